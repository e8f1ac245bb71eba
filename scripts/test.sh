#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; builds Release as well, runs
# the unit tests there and makes and checks the Debian package from it, so that
# both configurations are held. Exits non-zero on
# any failure. Arguments go to the CTest run of the sanitizer build.
#   ORVALLA_TEST_BUILD_DIR    sanitizer build folder (default build/asan)
#   ORVALLA_RELEASE_BUILD_DIR Release build folder (default build/release)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=deps.sh
source "$root/scripts/deps.sh"
orvalla_install_missing "${ORVALLA_BUILD_PACKAGES[@]}" "${ORVALLA_TEST_PACKAGES[@]}"

# The tree keeps its one format; a change that drifts from it fails here, early.
(cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror)

build="${ORVALLA_TEST_BUILD_DIR:-$root/build/asan}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVALLA_SANITIZE=ON
cmake --build "$build" -j "$(nproc)"

# The whole tree, tests included: some faults only show without assertions.
release="${ORVALLA_RELEASE_BUILD_DIR:-$root/build/release}"
cmake -S "$root" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$release" -j "$(nproc)"
status=0
# The package from that build: made, linted, unpacked and started.
deb="$(ORVALLA_RELEASE_BUILD_DIR="$release" bash "$root/scripts/package.sh" | tail -n 1)"
bash "$root/scripts/check_package.sh" "$deb" || status=1

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Each fuzz target for a bounded time first, so that CTest's summary closes the output.
bash "$root/scripts/fuzz.sh"
(cd "$release" && ctest --output-on-failure -j "$(nproc)" -L unit) || status=1
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@" || status=1
exit "$status"
