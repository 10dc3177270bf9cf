#!/usr/bin/env bash
# Installs what building and testing VtrlCfg needs on Debian 12, if anything is missing;
# with package names given, only those (scripts/package.sh asks for the build's own).
# Quiet and quick when everything is there already.
set -euo pipefail

packages=("$@")
[ $# -gt 0 ] || packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl1-mesa-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 googletest wine64
  libudev-dev
  libqt6sql6-sqlite libqt6sql6-psql postgresql
  xvfb xauth fonts-dejavu-core fonts-dejavu-extra xz-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
