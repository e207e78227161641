#!/usr/bin/env bash
# Builds the program in Release and makes its Debian package with CPack, from the same install
# rules as `cmake --install`. The package lands in the build folder; its path is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

BUILD=${BUILD_DIR:-build/package}
mkdir -p "$(dirname "$BUILD")"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMVIREL_TESTS=OFF > "$BUILD.configure.log" 2>&1 \
  || { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" --target tamvirel -j "$(nproc)"
rm -f "$BUILD"/tamvirel_*.deb
(cd "$BUILD" && cpack -G DEB > cpack.log 2>&1) || { cat "$BUILD/cpack.log"; exit 1; }
ls "$BUILD"/tamvirel_*.deb
