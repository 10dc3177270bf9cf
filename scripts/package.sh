#!/usr/bin/env bash
# Builds the Debian package (vtrlcfg, vtrlctl, vtrlsim, desktop entry, icon,
# manual page) into out/. Install it with: sudo apt install ./out/vtrlcfg_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

scripts/deps.sh
dir=build-package
[ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DVTRL_TESTS=OFF -DVTRL_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$jobs" --target vtrlcfg vtrlctl vtrlsim vtrl_manpages
mkdir -p out
(cd "$dir" && cpack -G DEB -B "$PWD/../out" >/dev/null)
rm -rf out/_CPack_Packages
ls -1 out/*.deb
