#!/usr/bin/env bash
# Builds the three Debian packages into out/:
#   vtrlcfg  the wizard, with its desktop entry and icon
#   vtrlctl  the command line (QtCore only)
#   vtrlsim  the device simulator
# Installs only what building them needs (not the test stack of scripts/deps.sh)
# and builds without tests, benchmarks or fuzz targets, in build-package/.
# Install with: sudo apt install ./out/vtrlcfg_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

packages=(
  build-essential cmake ninja-build pkg-config file
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl1-mesa-dev
  libudev-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

dir=build-package
# Debian's hardening flags, all of them (dpkg-buildflags comes with build-essential).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DVTRL_TESTS=OFF -DVTRL_BENCH=OFF -DVTRL_FUZZ=OFF -DVTRL_SANITIZE= \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$dir" -j "$jobs" --target vtrlcfg vtrlctl vtrlsim vtrl_package_docs
mkdir -p out
rm -f out/*.deb
(cd "$dir" && cpack -G DEB -B "$PWD/../out" >/dev/null)
rm -rf out/_CPack_Packages
ls -1 out/*.deb
