#!/usr/bin/env bash
# Builds the Debian package: the installed programs and their man pages in BUILD_DIR
# (configured here when it is not yet), then CPack. Its Depends are the shared
# libraries the programs link, found by dpkg-shlibdeps, and the programs the code starts.
# The last line printed is the package's path.
#
#   scripts/package.sh [BUILD_DIR]     (default: build)
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"

for tool in cmake cpack dpkg-shlibdeps dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELLO_WERROR=ON \
        -DTARVELLO_BENCH=OFF >/dev/null
fi
BUILD="$(cd "$BUILD" && pwd)"
cmake --build "$BUILD" --target tarvello_installable

OUT="$BUILD/package"
rm -rf "$OUT"
mkdir -p "$OUT"
cpack --config "$BUILD/CPackConfig.cmake" -B "$OUT" >"$OUT/cpack.log" 2>&1 || {
    cat "$OUT/cpack.log" >&2
    exit 1
}
# The staging tree is only CPack's.
rm -rf "$OUT/_CPack_Packages"
debs=("$OUT"/*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || { echo "package: CPack made no single .deb in $OUT" >&2; exit 1; }
echo "${debs[0]}"
