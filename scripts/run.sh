#!/usr/bin/env bash
# The run command. On a fresh Debian 12 machine (as root): installs what is
# missing, builds a Release build in build/release, prepares the demo working
# folder demo/, starts a local FTP server and a local mail server on loopback,
# and starts the station emulator and the console on the two ends of a
# pseudo-terminal pair. Ctrl-C ends all of them; the console saves its
# settings as when the operator closes it.
#
# ORVALLA_DEMO_EXCEL=1 also installs LibreOffice Calc and ticks "activar Excel"
# with the demo workbook; ORVALLA_DEMO_EXCEL=0 unticks it. Unset, a new demo
# ticks it only when LibreOffice Calc and its Python bridge are installed.
#
# ORVALLA_DEMO_CAMERA=1 also installs and starts a virtual camera (a PipeWire
# test pattern, scripts/virtual-camera.sh) for the console and ticks "envío
# imaxe webcam"; ORVALLA_DEMO_CAMERA=0 unticks it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=deps.sh
source "$root/scripts/deps.sh"

excel_mode="${ORVALLA_DEMO_EXCEL:-}"
case "$excel_mode" in
    "" | 0 | 1) ;;
    *) echo "ORVALLA_DEMO_EXCEL must be 1, 0 or unset" >&2; exit 2 ;;
esac
camera_mode="${ORVALLA_DEMO_CAMERA:-}"
case "$camera_mode" in
    "" | 0 | 1) ;;
    *) echo "ORVALLA_DEMO_CAMERA must be 1, 0 or unset" >&2; exit 2 ;;
esac

packages=("${ORVALLA_BUILD_PACKAGES[@]}" socat python3 python3-pyftpdlib python3-aiosmtpd python3-openssl openssl)
if [ "$excel_mode" = 1 ]; then
    packages+=(libreoffice-calc-nogui python3-uno)
fi
if [ "$camera_mode" = 1 ]; then
    packages+=("${ORVALLA_CAMERA_PACKAGES[@]}")
fi
orvalla_install_missing "${packages[@]}"

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --target orvalla orvalla-station -j "$(nproc)"

demo="$root/demo"
mkdir -p "$demo"
# The system's Python: the Debian packages above put the servers' modules there,
# not into whatever other python3 comes first on PATH.
python=/usr/bin/python3

# The demo's peers, on loopback only, and the accounts the settings name.
ftp_port=2121
smtp_port=2525
ftp_user=orvalla
ftp_password=orvalla-demo
mail_user=orvalla
mail_password=orvalla-demo
workbook=datos.ods

office_installed() {
    command -v soffice >/dev/null 2>&1 && "$python" -c 'import uno' >/dev/null 2>&1
}

# The demo servers speak TLS with a certificate of their own, made here once
# and trusted by the console through "Certificados de confianza".
tls="$demo/tls"
certificate="$tls/servidor.pem"
certificate_key="$tls/servidor.key"
if [ ! -s "$certificate" ] || [ ! -s "$certificate_key" ]; then
    mkdir -p "$tls"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$certificate_key" -out "$certificate" -days 3650 -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" 2>/dev/null
    chmod 600 "$certificate_key"
fi

# Bumped whenever the demo settings below change: a demo/ prepared by an older
# run.sh gets the new settings (its meteo.cfg is kept as meteo.cfg.old).
demo_version="orvalla-demo-settings 5"
stamp="$demo/.demo-settings"

write_settings() {
    local excel=$1
    local lines=(
        "Identificador do sistema = 'tarvelo'"
        "Envio correo auto = 0"
        "Envio correo (minuto diario) = 600 "
        "Servidor de correo = 127.0.0.1"
        "Porto de correo = $smtp_port"
        "Clave de correo = $mail_password"
        "Usuario de correo = $mail_user"
        "Dominio de correo = localhost"
        "Remitente de correo = orvalla@localhost"
        "Motivo de correo = información meteorolóxica"
        "Destinatarios de correo = meteo@localhost"
        "Envio ficheiros auto = 1"
        "Intervalo envio ficheiros (minutos) = 1 "
        "Servidor de ftp = 127.0.0.1"
        "Usuario de ftp = $ftp_user"
        "Clave de ftp = $ftp_password"
        "Porto de ftp = $ftp_port"
        "Ruta local de ficheiros de ftp = "
        "Ruta remota de ficheiros de ftp = /"
        "Nome de ficheiro de ftp = Orvalla.htm,awekas.txt,tarvelo_medida.txt,meteoclimatic.htm,grafica_temperatura.png,grafica_humidade.png,grafica_presion.png,grafica_vento.png,grafica_choiva.png"
        "Servidor http activo = 1"
        "Ruta de ficheiros http = "
        "Nome de ficheiro fonte http = Orvalla.txt"
        "Nome de ficheiro destino http = Orvalla.htm"
        "Ruta de ficheiro excel = $demo/"
        "Nome de ficheiro excel = $workbook"
        "Excel activo = $excel"
        "Modo simulado = 0"
        "Intervalo almacenamento datos (minutos) = 2"
        "Envio imaxe webcam = 0"
        "Inicio diario de lectura de maximas (minutos) = 1195"
        "Periodo diario de lectura maximas (minutos) = 5"
        "Intervalo de fallo de lectura maximas (minutos) = 60"
        "Numero minimo de datos de maximas = 24"
        "Calibracion de piranometro = 3.9200"
        "Tension de transmisor = 4.00"
        "Calibracion de barometro = 3.2717"
        "Modo pasivo de ftp = 1"
        "Seguridade de ftp = 1"
        "Seguridade de correo = 1"
        "Certificados de confianza = $certificate"
    )
    printf '%s\r\n' "${lines[@]}" | iconv -f UTF-8 -t WINDOWS-1252 > "$demo/meteo.cfg.new"
    mv -f "$demo/meteo.cfg.new" "$demo/meteo.cfg"
}

# The demo settings: the station on the pseudo-terminal (simulated reception
# off); an interval record every two minutes (each carries the reading of the
# minute before; with one minute it could carry none); the page, the feed files
# and the interval data file uploaded every minute to the demo FTP server; mail
# to the demo mail server when the operator presses "enviar correo"; the
# working folder served over HTTP. Written when missing or older; afterwards
# the console keeps it up to date, so the operator's changes survive.
if [ ! -f "$demo/meteo.cfg" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$demo_version" ]; then
    if [ -f "$demo/meteo.cfg" ]; then
        mv -f "$demo/meteo.cfg" "$demo/meteo.cfg.old"
        echo "The demo settings changed: the previous ones are kept as $demo/meteo.cfg.old"
    fi
    excel=0
    if [ "$excel_mode" = 1 ] || { [ -z "$excel_mode" ] && office_installed; }; then
        excel=1
    fi
    write_settings "$excel"
    # The demo workbook goes with the settings: made anew from its source below.
    if [ -f "$demo/$workbook" ]; then
        mv -f "$demo/$workbook" "$demo/$workbook.old"
    fi
    echo "$demo_version" > "$stamp"
elif [ -n "$excel_mode" ]; then
    LC_ALL=C sed -i "s/^Excel activo = -\{0,1\}[0-9]*\r\$/Excel activo = $excel_mode\r/" "$demo/meteo.cfg"
fi
if [ -n "$camera_mode" ]; then
    LC_ALL=C sed -i "s/^Envio imaxe webcam = -\{0,1\}[0-9]*\r\$/Envio imaxe webcam = $camera_mode\r/" \
        "$demo/meteo.cfg"
fi

excel_on=0
if LC_ALL=C grep -q $'^Excel activo = [1-9][0-9]*\r$' "$demo/meteo.cfg"; then
    excel_on=1
fi
# The demo workbook, made from its source once. LibreOffice cannot write Basic
# macros into the .xls format, so the workbook is an OpenDocument one.
if [ "$excel_on" = 1 ] && [ ! -f "$demo/$workbook" ]; then
    if office_installed; then
        profile="$(mktemp -d)"
        soffice --headless --norestore "-env:UserInstallation=file://$profile" \
            --convert-to ods --outdir "$demo" "$root/scripts/demo/datos.fods" >/dev/null 2>&1 || true
        rm -rf "$profile"
        [ -f "$demo/$workbook" ] || echo "warning: could not make $demo/$workbook with soffice" >&2
    else
        echo "warning: \"Excel activo = 1\" but LibreOffice Calc is not installed;" \
            "run with ORVALLA_DEMO_EXCEL=1 to install it" >&2
    fi
fi

# The page template, with the eight value markers and the five charts of the
# last 24 hours. A template of an older demo, without the charts, is kept as
# Orvalla.txt.old and made anew.
if [ -f "$demo/Orvalla.txt" ] && ! grep -q grafica_temperatura "$demo/Orvalla.txt"; then
    mv -f "$demo/Orvalla.txt" "$demo/Orvalla.txt.old"
fi
if [ ! -f "$demo/Orvalla.txt" ]; then
    # CR LF line ends and the page's own code page, as an operator's template.
    sed 's/$/\r/' "$root/scripts/demo/Orvalla.txt.in" | iconv -f UTF-8 -t WINDOWS-1252 >"$demo/Orvalla.txt"
fi

# Every program below runs in a session of its own, so that Ctrl-C reaches only
# this script, which then stops them in order: the console first, while its
# peers (and its office process) still answer, then the rest.
pids=()
cleanup() {
    trap - INT TERM EXIT
    # The console first: it saves meteo.cfg (and the workbook) on SIGTERM.
    if [ -n "${console_pid:-}" ] && kill -0 "$console_pid" 2>/dev/null; then
        kill -TERM "$console_pid" 2>/dev/null || true
        wait "$console_pid" 2>/dev/null || true
    fi
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    if [ "$camera_mode" = 1 ]; then
        bash "$root/scripts/virtual-camera.sh" stop "$demo/camera" || true
    fi
    rm -f "$demo/ttyStation" "$demo/ttyConsole"
    echo "Orvalla stopped. Data files are in $demo"
}
trap cleanup INT TERM EXIT

# Starts one demo server in the background; it prints READY once listening.
start_server() {
    local name=$1 log=$2
    shift 2
    setsid "$@" >"$log" 2>&1 &
    local pid=$!
    pids+=("$pid")
    for _ in $(seq 1 100); do
        grep -q '^READY' "$log" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "The demo $name did not start (port in use? another demo running?); see $log:" >&2
    tail -n 5 "$log" >&2
    exit 1
}

mkdir -p "$demo/ftp-server" "$demo/mail-server"
start_server "FTP server" "$demo/ftp-server.log" "$python" "$root/scripts/demo/ftp_server.py" \
    "$demo/ftp-server" "$ftp_user" "$ftp_password" --address 127.0.0.1 --port "$ftp_port" \
    --tls "$certificate" "$certificate_key" --tls-required
start_server "mail server" "$demo/mail-server.log" "$python" "$root/scripts/demo/smtp_server.py" \
    "$demo/mail-server" "$mail_user" "$mail_password" --address 127.0.0.1 --port "$smtp_port" \
    --starttls "$certificate" "$certificate_key"

rm -f "$demo/ttyStation" "$demo/ttyConsole"
setsid socat -d -d "pty,raw,echo=0,link=$demo/ttyStation" "pty,raw,echo=0,link=$demo/ttyConsole" \
    2>"$demo/socat.log" &
pids+=("$!")
for _ in $(seq 1 100); do
    [ -e "$demo/ttyStation" ] && [ -e "$demo/ttyConsole" ] && break
    sleep 0.1
done
if [ ! -e "$demo/ttyStation" ] || [ ! -e "$demo/ttyConsole" ]; then
    echo "socat did not make the pseudo-terminal pair; see $demo/socat.log" >&2
    exit 1
fi

# The virtual camera, before the console looks for one; it also stops by itself
# should this script be killed.
if [ "$camera_mode" = 1 ]; then
    bash "$root/scripts/virtual-camera.sh" start "$demo/camera" "$$"
    while IFS= read -r line; do
        export "${line?}"
    done < <(bash "$root/scripts/virtual-camera.sh" env "$demo/camera")
fi

# A frame every 20 seconds, so readings show within the first minute.
setsid "$build/tools/orvalla-station" "$demo/ttyStation" --interval 20 &
pids+=("$!")

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display: the console runs offscreen (no window is shown); watch its log below."
fi
if [ "$(id -u)" -ne 0 ] \
    && [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)" -gt 80 ] \
    && ! { command -v getcap >/dev/null && getcap "$build/app/orvalla" | grep -q cap_net_bind_service; }; then
    echo "Note: as an ordinary user the console cannot open port 80; see \"Serving the page over HTTP\" in README.md."
fi
echo "Console working folder (settings, data files, page): $demo"
echo "  day's data file: $demo/tarvelo_datos_$(date +%d_%m_%Y).txt (today copy: tarvelo_datos_hoxe.txt)"
echo "  mail queue: $demo/tarvelo_datos10_correo.txt"
echo "  page (after the first upload interval, 1 min): http://localhost/"
echo "  FTP uploads every minute (passive, explicit TLS) to 127.0.0.1:$ftp_port -> $demo/ftp-server/"
echo "  \"enviar correo\" mails (STARTTLS) to 127.0.0.1:$smtp_port -> $demo/mail-server/"
echo "  both servers' certificate, trusted by the console: $certificate"
if [ "$excel_on" = 1 ]; then
    echo "  Excel: $demo/$workbook, updated at every upload interval"
fi
if [ "$camera_mode" = 1 ]; then
    echo "  webcam: the virtual camera \"Orvalla-test-camera\"; a picture every record (2 min):" \
        "$demo/webcam.jpg and webcam_YYYY_MM_DD_MMMM.jpg"
fi
echo "Press Ctrl-C to stop."

cd "$demo"
ORVALLA_SERIAL_PORT="$demo/ttyConsole" setsid "$build/app/orvalla" &
console_pid=$!
wait "$console_pid" || true
