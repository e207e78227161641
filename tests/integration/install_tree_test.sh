#!/usr/bin/env bash
# `cmake --install` of a build puts exactly the program, its manual page (compressed), the menu
# entry, the README, the copyright file and the change log under the prefix; the entry and the page validate, the page names every option
# the program's help names, and the installed program runs.
# Usage: install_tree_test.sh CMAKE BUILD_DIR
set -euo pipefail
CMAKE=$1
BUILD=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

"$CMAKE" --install "$BUILD" --prefix "$PREFIX" > "$WORK/install.log" 2>&1 \
  || { cat "$WORK/install.log" >&2; exit 1; }

expected='bin/tamvirel
share/applications/tamvirel.desktop
share/doc/tamvirel/README.md
share/doc/tamvirel/changelog.gz
share/doc/tamvirel/copyright
share/man/man1/tamvirel.1.gz'
actual=$(cd "$PREFIX" && find . -mindepth 1 ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
[ -z "$(find "$PREFIX" -type d -empty)" ] || fail "empty folders: $(find "$PREFIX" -type d -empty)"

entry=$PREFIX/share/applications/tamvirel.desktop
out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
grep -qx 'Exec=tamvirel' "$entry" || fail "the menu entry does not start tamvirel without arguments"

page=$PREFIX/share/man/man1/tamvirel.1.gz
out=$(zcat "$page" | groff -ww -z -man 2>&1) || fail "groff: $out"
[ -z "$out" ] || fail "groff -ww: $out"
out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 > "$WORK/page.txt") || fail "man -l: $out"
[ -z "$out" ] || fail "man -l: $out"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES 'EXIT STATUS' ENVIRONMENT; do
  grep -qx "$section" "$WORK/page.txt" || fail "the manual page has no section $section"
done

help=$("$PREFIX/bin/tamvirel" --help) || fail "the installed program's --help ended with status $?"
for option in $(grep -o -- '--[a-z][a-z-]*' <<< "$help" | sort -u); do
  grep -qE -- "^ +(-[a-z], )?$option( |\$)" "$WORK/page.txt" || fail "the manual page does not list $option"
done
exit $failed
