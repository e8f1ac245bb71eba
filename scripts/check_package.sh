#!/usr/bin/env bash
# Checks a built Debian package: lintian finds no error, the files are exactly
# those expected, the dependencies are declared, the systemd unit verifies, and
# the unpacked console starts offscreen in an empty working folder and ends
# cleanly on SIGTERM with meteo.cfg written.
#   check_package.sh path/to/orvalla_<version>_amd64.deb
set -euo pipefail

deb="$(realpath "$1")"
tmp="$(mktemp -d)"
console_pid=""
cleanup() {
    if [ -n "$console_pid" ]; then kill -KILL "$console_pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

echo "== lintian"
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" || fail "lintian found errors"
else
    fail "lintian is not installed"
fi

echo "== contents"
case "$(basename "$deb")" in
    orvalla_*_amd64.deb) ;;
    *) fail "unexpected file name $(basename "$deb")" ;;
esac
dpkg-deb -x "$deb" "$tmp/root"
expected="./lib/systemd/system/orvalla.service
./usr/bin/orvalla
./usr/bin/orvalla-station
./usr/share/applications/orvalla.desktop
./usr/share/doc/orvalla/README.md
./usr/share/doc/orvalla/changelog.gz
./usr/share/doc/orvalla/copyright
./usr/share/icons/hicolor/scalable/apps/orvalla.svg
./usr/share/man/man1/orvalla-station.1.gz
./usr/share/man/man1/orvalla.1.gz"
actual="$(cd "$tmp/root" && find . -type f -o -type l | LC_ALL=C sort)"
[ "$actual" = "$expected" ] || fail "file list differs:
$(diff <(echo "$expected") <(echo "$actual") || true)"
for f in usr/bin/orvalla usr/bin/orvalla-station; do
    [ -x "$tmp/root/$f" ] || fail "$f is not executable"
done
for page in orvalla orvalla-station; do
    zcat "$tmp/root/usr/share/man/man1/$page.1.gz" | grep -q "^\.SH NAME" || fail "$page.1 is no manual page"
done

depends="$(dpkg-deb -f "$deb" Depends)"
for pkg in adduser libqt6serialport6 libqt6network6 libqt6widgets6 libqt6multimedia6 libc6 \
    libqt6sql6-sqlite libqt6sql6-psql; do
    grep -qE "(^|[ ,|])$pkg([ ,(]|$)" <<<"$depends" || fail "Depends lacks $pkg: $depends"
done
recommends="$(dpkg-deb -f "$deb" Recommends)"
for pkg in libreoffice-calc-nogui python3-uno; do
    grep -q "$pkg" <<<"$recommends" || fail "Recommends lacks $pkg: $recommends"
done
dpkg-deb -e "$deb" "$tmp/control"
for script in postinst prerm postrm; do
    [ -x "$tmp/control/$script" ] || fail "maintainer script $script missing or not executable"
    sh -n "$tmp/control/$script" || fail "$script does not parse"
done
# Installing must never enable or start the service on its own.
! grep -qE "systemctl +(--system +)?(enable|start)" "$tmp/control/postinst" || fail "postinst enables the service"

echo "== systemd unit"
unit="$tmp/root/lib/systemd/system/orvalla.service"
for line in "User=orvalla" "SupplementaryGroups=dialout" "WorkingDirectory=/var/lib/orvalla" \
    "Environment=QT_QPA_PLATFORM=offscreen" "AmbientCapabilities=CAP_NET_BIND_SERVICE" \
    "Restart=on-failure" "ProtectSystem=strict" "StateDirectory=orvalla" "PrivateTmp=yes" "NoNewPrivileges=yes"; do
    grep -qx "$line" "$unit" || fail "unit lacks $line"
done
if command -v systemd-analyze >/dev/null; then
    # The unit as packaged, but starting the unpacked console, so that its
    # command is checked too while the system's own targets resolve.
    grep -qx "ExecStart=/usr/bin/orvalla" "$unit" || fail "unit does not start /usr/bin/orvalla"
    mkdir "$tmp/unit"
    sed "s|^ExecStart=/usr/bin/orvalla\$|ExecStart=$tmp/root/usr/bin/orvalla|" "$unit" >"$tmp/unit/orvalla.service"
    # A setting it cannot parse is only a warning to it; here it fails.
    verify="$(systemd-analyze verify --man=no "$tmp/unit/orvalla.service" 2>&1)" \
        || fail "systemd-analyze verify failed: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify warns: $verify"
else
    echo "systemd-analyze not found: unit not verified"
fi

echo "== console offscreen, stopped with SIGTERM"
mkdir "$tmp/work"
log="$tmp/console.log"
(cd "$tmp/work" && exec env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
    ORVALLA_SERIAL_PORT=/nonexistent/ttyOrvalla "$tmp/root/usr/bin/orvalla") 2>"$log" &
console_pid=$!
for _ in $(seq 1 300); do
    grep -q "start-up done" "$log" && break
    kill -0 "$console_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q "start-up done" "$log" || { cat "$log" >&2; fail "the console did not start"; }
kill -TERM "$console_pid"
status=0
wait "$console_pid" || status=$?
console_pid=""
[ "$status" -eq 0 ] || { cat "$log" >&2; fail "the console ended with status $status after SIGTERM"; }
[ -s "$tmp/work/meteo.cfg" ] || { cat "$log" >&2; fail "meteo.cfg was not written"; }
echo "check_package: $(basename "$deb") is fine"
