#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build/fuzz and runs each
# one for a bounded time on a copy of its seed corpus (tests/fuzz/corpus/<target>).
# Exits non-zero when a target crashes, hangs or breaks one of its invariants.
#   FUZZ_SECONDS   seconds per target (default 20); FUZZ_SECONDS=3600 for a long run
#   FUZZ_TARGETS   targets to run (default: all)
#   FUZZ_BUILD_DIR build folder (default build/fuzz)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=deps.sh
source "$root/scripts/deps.sh"
orvalla_install_missing "${ORVALLA_BUILD_PACKAGES[@]}" "${ORVALLA_FUZZ_PACKAGES[@]}"

SECONDS_PER_TARGET="${FUZZ_SECONDS:-20}"
targets=(${FUZZ_TARGETS:-fuzz_receiver fuzz_settings fuzz_http_request fuzz_http_connection fuzz_replies})
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DORVALLA_FUZZ=ON -DORVALLA_BUILD_TESTS=OFF -DORVALLA_SANITIZE=OFF
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TZ=Europe/Madrid QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for target in "${targets[@]}"; do
    corpus="$work/corpus/$target"
    mkdir -p "$corpus" "$work/artifacts/$target"
    if [ -d "$root/tests/fuzz/corpus/$target" ]; then
        cp -r "$root/tests/fuzz/corpus/$target/." "$corpus/"
    fi
    extra=()
    case "$target" in
        # Long enough to reach the parsers' size limits.
        fuzz_http_request | fuzz_replies) extra=(-max_len=20000) ;;
    esac
    echo "== $target: $SECONDS_PER_TARGET s"
    if ! "$build/fuzz/$target" "$corpus" -max_total_time="$SECONDS_PER_TARGET" -timeout=25 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$target/" "${extra[@]}" \
        >"$work/$target.log" 2>&1; then
        tail -n 60 "$work/$target.log"
        found=("$work/artifacts/$target/"*)
        if [ -e "${found[0]}" ]; then
            keep="$build/artifacts/$target"
            mkdir -p "$keep"
            cp "${found[@]}" "$keep/"
            echo "== $target FAILED; reproduce with: $build/fuzz/$target $keep/<file>"
        else
            echo "== $target FAILED"
        fi
        failed+=("$target")
    else
        grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$work/$target.log" || true
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing failed: ${failed[*]}"
    exit 1
fi
echo "fuzzing passed: ${targets[*]}"
