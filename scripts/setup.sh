#!/usr/bin/env bash
# Installs every package the build, the tests, the benchmarks, the fuzz targets and the Debian
# package need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  cmake
  ninja-build
  g++
  clang
  libclang-rt-14-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libssl-dev
  libssl3
  openssl
  libfltk1.3-dev
  xvfb
  xauth
  xdotool
  x11-utils
  imagemagick
  fonts-dejavu-core
  curl
  nlohmann-json3-dev
  squid
  python3
  rapidjson-dev
  libsimdjson-dev
  libsqlite3-dev
  sqlite3
  time
  desktop-file-utils
  man-db
  groff-base
  dpkg-dev
  lintian
  gpsbabel
  libxml2-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
