#!/usr/bin/env bash
# Sets up the machine, builds everything with AddressSanitizer and UBSan, and runs every test.
# A sanitizer report aborts the test that caused it and so fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

BUILD=${BUILD_DIR:-build/test}
mkdir -p "$(dirname "$BUILD")"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMVIREL_SANITIZE=ON -DTAMVIREL_TESTS=ON -DTAMVIREL_WERROR=ON > "$BUILD.configure.log" 2>&1 \
  || { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" -j "$(nproc)"

# The tests' scratch folders live in the build folder: two clones testing at once on one
# machine then never share (or lock) each other's files under /tmp.
export TEST_TMPDIR="$(cd "$BUILD" && pwd)/test-tmp/"
rm -rf "$TEST_TMPDIR" && mkdir -p "$TEST_TMPDIR"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 300
