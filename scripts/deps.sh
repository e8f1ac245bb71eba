# Sourced by the run and test commands: installs the Debian packages that are
# missing (only those), as root, on a Debian 12 machine.

ORVALLA_BUILD_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-multimedia-dev libgl-dev
    libqt6sql6-sqlite libqt6sql6-psql
    tzdata locales
)
# The virtual camera of scripts/virtual-camera.sh: PipeWire publishes a GStreamer
# test pattern, which Qt Multimedia's GStreamer back end lists as a camera.
ORVALLA_CAMERA_PACKAGES=(
    pipewire pipewire-bin wireplumber dbus
    gstreamer1.0-pipewire gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
)
ORVALLA_TEST_PACKAGES=(
    clang-format git
    socat curl python3 python3-pyftpdlib python3-aiosmtpd python3-openssl openssl vsftpd
    libreoffice-calc-nogui python3-uno
    chromium
    lintian systemd file
    postgresql
    "${ORVALLA_CAMERA_PACKAGES[@]}"
)
ORVALLA_BENCH_PACKAGES=(
    wrk nginx-light curl python3-pyftpdlib
)
ORVALLA_FUZZ_PACKAGES=(
    clang libclang-rt-14-dev
)

orvalla_install_missing() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
