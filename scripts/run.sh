#!/usr/bin/env bash
# The run command. On a fresh Debian 12 machine (as root): installs what is
# missing, builds a Release build in build/release, prepares the demo working
# folder demo/ and starts the station emulator and the console on the two ends
# of a pseudo-terminal pair. Ctrl-C ends all of them; the console saves its
# settings as when the operator closes it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=deps.sh
source "$root/scripts/deps.sh"
orvalla_install_missing "${ORVALLA_BUILD_PACKAGES[@]}" socat

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --target orvalla orvalla-station -j "$(nproc)"

demo="$root/demo"
mkdir -p "$demo"

# The demo settings: the station on the pseudo-terminal (simulated reception
# off), one record a minute, FTP and mail pointed at this machine and switched
# off. Written once; afterwards the console keeps it up to date.
if [ ! -f "$demo/meteo.cfg" ]; then
    lines=(
        "Identificador do sistema = 'tarvelo'"
        "Envio correo auto = 0"
        "Envio correo (minuto diario) = 600 "
        "Servidor de correo = localhost"
        "Porto de correo = 2525"
        "Clave de correo = "
        "Usuario de correo = orvalla"
        "Dominio de correo = localhost"
        "Remitente de correo = orvalla@localhost"
        "Motivo de correo = información meteorolóxica"
        "Destinatarios de correo = meteo@localhost"
        "Envio ficheiros auto = 0"
        "Intervalo envio ficheiros (minutos) = 15 "
        "Servidor de ftp = localhost"
        "Usuario de ftp = orvalla"
        "Clave de ftp = "
        "Porto de ftp = 2121"
        "Ruta local de ficheiros de ftp = "
        "Ruta remota de ficheiros de ftp = /"
        "Nome de ficheiro de ftp = Orvalla.htm"
        "Servidor http activo = 0"
        "Ruta de ficheiros http = "
        "Nome de ficheiro fonte http = Orvalla.txt"
        "Nome de ficheiro destino http = Orvalla.htm"
        "Ruta de ficheiro excel = "
        "Nome de ficheiro excel = datos.xls"
        "Excel activo = 0"
        "Modo simulado = 0"
        "Intervalo almacenamento datos (minutos) = 1"
        "Envio imaxe webcam = 0"
        "Inicio diario de lectura de maximas (minutos) = 1195"
        "Periodo diario de lectura maximas (minutos) = 5"
        "Intervalo de fallo de lectura maximas (minutos) = 60"
        "Numero minimo de datos de maximas = 24"
        "Calibracion de piranometro = 3.9200"
        "Tension de transmisor = 4.00"
        "Calibracion de barometro = 3.2717"
    )
    printf '%s\r\n' "${lines[@]}" | iconv -f UTF-8 -t WINDOWS-1252 > "$demo/meteo.cfg"
fi

# The page template, with the eight value markers.
if [ ! -f "$demo/Orvalla.txt" ]; then
    printf '%s\r\n' \
        '<html><head><meta charset="windows-1252"><title>Orvalla</title></head><body>' \
        '<h1>Estación meteorolóxica</h1>' \
        '<p>Última lectura: ##3##</p>' \
        '<table>' \
        '<tr><td>Temperatura</td><td>##1## ºC</td></tr>' \
        '<tr><td>Humidade</td><td>##2## %</td></tr>' \
        '<tr><td>Presión</td><td>##4## mbar</td></tr>' \
        '<tr><td>Radiación solar</td><td>##5## W/m2</td></tr>' \
        '<tr><td>Choiva</td><td>##6## mm</td></tr>' \
        '<tr><td>Vento</td><td>##7##</td></tr>' \
        '<tr><td>Batería</td><td>##8##</td></tr>' \
        '</table></body></html>' | iconv -f UTF-8 -t WINDOWS-1252 > "$demo/Orvalla.txt"
fi

pids=()
cleanup() {
    trap - INT TERM EXIT
    # The console first: it saves meteo.cfg on SIGTERM.
    if [ -n "${console_pid:-}" ] && kill -0 "$console_pid" 2>/dev/null; then
        kill -TERM "$console_pid" 2>/dev/null || true
        wait "$console_pid" 2>/dev/null || true
    fi
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -f "$demo/ttyStation" "$demo/ttyConsole"
    echo "Orvalla stopped. Data files are in $demo"
}
trap cleanup INT TERM EXIT

rm -f "$demo/ttyStation" "$demo/ttyConsole"
socat -d -d "pty,raw,echo=0,link=$demo/ttyStation" "pty,raw,echo=0,link=$demo/ttyConsole" \
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

# A frame every 20 seconds, so readings show within the first minute.
"$build/tools/orvalla-station" "$demo/ttyStation" --interval 20 &
pids+=("$!")

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display: the console runs offscreen (no window is shown); watch its log below."
fi
echo "Console working folder (settings, data files, page): $demo"
echo "  day's data file: $demo/tarvelo_datos_$(date +%d_%m_%Y).txt (today copy: tarvelo_datos_hoxe.txt)"
echo "  mail queue: $demo/tarvelo_datos10_correo.txt"
echo "Press Ctrl-C to stop."

cd "$demo"
ORVALLA_SERIAL_PORT="$demo/ttyConsole" "$build/app/orvalla" &
console_pid=$!
wait "$console_pid" || true
