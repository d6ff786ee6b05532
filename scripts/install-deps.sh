#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Pellora needs.
# Safe to run again: packages already present are left as they are. Needs root (or sudo).
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # benchmark baselines
  libsqlite3-dev
  # independent readers of our table files (peer tests)
  libdbd-xbase-perl python3 python3-dbf python3-dbfread pgdbf
  # fax images
  netpbm libtiff-tools libtiff-dev imagemagick valgrind
  # fax engine and modem rig
  libspandsp-dev efax
  # desktop (Qt)
  qt6-base-dev libgl-dev
  xvfb xauth
  # fax converter (system fonts through FreeType and fontconfig)
  libfreetype-dev libfontconfig-dev
  # fonts the converter and the page rendering ask for (Arial's metrics, a sans fallback)
  fonts-liberation fonts-dejavu-core
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
