#!/usr/bin/env bash
# Sets up the machine, builds the program, converts the bundled sample listing page in a
# throw-away data folder and prints the SQL file it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

BUILD=${BUILD_DIR:-build/release}
mkdir -p "$(dirname "$BUILD")"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMVIREL_TESTS=OFF > "$BUILD.configure.log" 2>&1 \
  || { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" --target tamvirel -j "$(nproc)"

PAGE=${1:-examples/GC1TAMV.htm}
CODE=$(basename "$PAGE" .htm)
DATA=$(mktemp -d)
trap 'rm -rf "$DATA"' EXIT
mkdir -p "$DATA/tamvirel/tmp"
cp "$PAGE" "$DATA/tamvirel/tmp/htmlcopy.htm"

XDG_DATA_HOME="$DATA" "$BUILD/tamvirel" "$CODE"
echo "--- tmp/$CODE.sql" >&2
cat "$DATA/tamvirel/tmp/$CODE.sql"
