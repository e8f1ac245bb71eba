#!/usr/bin/env bash
# Orvalla's benchmarks: installs what they need (only what is missing), builds
# Release in build/bench, runs every benchmark and prints one line per figure.
# Loopback only (127.0.0.1); every load is bounded and stops by itself.
#
# usage: bash bench/run.sh
# Knobs (environment): BENCH_READING_ROUNDS (300), BENCH_FTP_MB (100),
# BENCH_FTP_ROUNDS (7), BENCH_HTTP_SECONDS (3 per run), BENCH_HTTP_ROUNDS (3),
# BENCH_HTTP_CONNECTIONS ("2 16"), BENCH_HTTP_IDLE (500 idle clients),
# BENCH_STARTS (5);
# BENCH_BACKLOG=n gives the HTTP engine another listen backlog than the
# console's 5.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/bench"

# shellcheck source=../scripts/deps.sh
source "$ROOT/scripts/deps.sh"
orvalla_install_missing "${ORVALLA_BUILD_PACKAGES[@]}" "${ORVALLA_BENCH_PACKAGES[@]}"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVALLA_SANITIZE=OFF \
    -DORVALLA_BUILD_TESTS=OFF -DORVALLA_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" --target orvalla bench_reading_path bench_ftp bench_http_tick bench_console bench_history

export TZ=Europe/Madrid QT_QPA_PLATFORM=offscreen
WORK="$(mktemp -d -t orvalla-bench.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
BIN="$BUILD/bench"
STATUS=0
: >"$WORK/figures"

# run NAME PREFIX COMMAND...: the command's result lines (stdout), each
# prefixed, go to the screen and to the summary; its log stays in $WORK.
run() {
    local name="$1" prefix="$2"
    shift 2
    echo "== $name" >&2
    if "$@" >"$WORK/$name.out" 2>"$WORK/$name.log"; then
        sed "s/^/$prefix/" "$WORK/$name.out" | tee -a "$WORK/figures"
    else
        echo "$name FAILED; its log:" | tee -a "$WORK/figures"
        tail -n 30 "$WORK/$name.log"
        STATUS=1
    fi
}

# The page the HTTP servers answer: the demo page when scripts/run.sh has
# written it, else the demo's template filled with one reading as the console
# fills it.
PAGE="$ROOT/demo/Orvalla.htm"
if [ ! -f "$PAGE" ]; then
    PAGE="$WORK/Orvalla.htm"
    sed -e 's/$/\r/' -e 's/##1##/12,3/' -e 's/##2##/87/' -e 's|##3##|09/12/2026 22:00|' \
        -e 's/##4##/1016,4/' -e 's/##5##/0/' -e 's/##6##/1,2/' -e 's/##7##/NO 3,4 km\/h/' \
        -e 's/##8##/13,1 V/' "$ROOT/scripts/demo/Orvalla.txt.in" | iconv -f UTF-8 -t WINDOWS-1252 >"$PAGE"
fi
echo "HTTP page: $PAGE ($(stat -c %s "$PAGE") bytes)" >&2

run reading "" "$BIN/bench_reading_path" "${BENCH_READING_ROUNDS:-300}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    # The same on a RAM disk: what is left without the disk's flushes.
    run reading-tmpfs "(tmpfs) " env TMPDIR=/dev/shm "$BIN/bench_reading_path" "${BENCH_READING_ROUNDS:-300}"
fi
run history "" "$BIN/bench_history" "${BENCH_READING_ROUNDS:-300}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    run history-tmpfs "(tmpfs) " env TMPDIR=/dev/shm "$BIN/bench_history" "${BENCH_READING_ROUNDS:-300}"
fi
run ftp "" "$BIN/bench_ftp" "${BENCH_FTP_MB:-100}" "${BENCH_FTP_ROUNDS:-7}"
# shellcheck disable=SC2086 # the connection counts are separate arguments
run http "" env BENCH_HTTP_ROUNDS="${BENCH_HTTP_ROUNDS:-3}" BENCH_HTTP_IDLE="${BENCH_HTTP_IDLE:-500}" "$BIN/bench_http_tick" "$PAGE" \
    "${BENCH_HTTP_SECONDS:-3}" ${BENCH_HTTP_CONNECTIONS:-2 16}
run console "" "$BIN/bench_console" "$BUILD/app/orvalla" "${BENCH_STARTS:-5}"

echo
echo "Summary ($(nproc) cores):"
cat "$WORK/figures"
exit $STATUS
