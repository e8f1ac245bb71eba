#!/usr/bin/env bash
# Builds the Debian package orvalla_<version>_amd64.deb (cpack -G DEB) from a
# Release build and prints its path on the last line.
#   ORVALLA_RELEASE_BUILD_DIR Release build folder (default build/release)
#   ORVALLA_PACKAGE_DIR       where the package goes (default build/package)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
release="${ORVALLA_RELEASE_BUILD_DIR:-$root/build/release}"
out="${ORVALLA_PACKAGE_DIR:-$root/build/package}"

cmake -S "$root" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$release" -j "$(nproc)"
mkdir -p "$out"
rm -f "$out"/orvalla_*.deb
cpack -G DEB --config "$release/CPackConfig.cmake" -B "$out" >&2
rm -rf "$out/_CPack_Packages"
deb="$(ls "$out"/orvalla_*_amd64.deb)"
echo "$deb"
