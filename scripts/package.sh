#!/usr/bin/env bash
# Builds the program in Release and makes its Debian package with CPack, from the same install
# rules as `cmake --install`. The package lands in the build folder; its path is printed. A
# package that lintian finds an error in fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD_DIR:-build/package}
bash scripts/build-program.sh "$BUILD"
rm -f "$BUILD"/tamvirel_*.deb
(cd "$BUILD" && cpack -G DEB > cpack.log 2>&1) || { cat "$BUILD/cpack.log"; exit 1; }
lintian --fail-on error "$BUILD"/tamvirel_*.deb >&2
ls "$BUILD"/tamvirel_*.deb
