#!/usr/bin/env bash
# Sets up the machine and builds the program in Release into the folder given (its configure
# log lands beside it). Shared by the example run and the Debian package.
#
#   scripts/build-program.sh BUILD_FOLDER
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$1

bash scripts/setup.sh

mkdir -p "$(dirname "$BUILD")"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMVIREL_TESTS=OFF > "$BUILD.configure.log" 2>&1 \
  || { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" --target tamvirel -j "$(nproc)"
