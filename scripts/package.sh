#!/usr/bin/env bash
# Builds the three Debian packages into out/:
#   vtrlcfg  the wizard, with its desktop entry and icon
#   vtrlctl  the command line (QtCore only)
#   vtrlsim  the device simulator
# and, where Qt for MinGW-w64 is at hand (scripts/qt-mingw-prefix.sh), the
# Windows folder packed as out/vtrlcfg-VERSION-win64.zip: vtrlcfg.exe and
# vtrlctl.exe with the Qt DLLs, their plug-ins and the compiler's runtime DLLs.
# Installs only what building them needs (not the test stack of scripts/deps.sh)
# and builds without tests, benchmarks or fuzz targets, in build-package/.
# Install with: sudo apt install ./out/vtrlcfg_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# The build's own packages only.
scripts/deps.sh build-essential cmake ninja-build pkg-config file \
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl1-mesa-dev libudev-dev

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

win=build-package-win
if qt_prefix=$(scripts/qt-mingw-prefix.sh); then
  scripts/deps.sh g++-mingw-w64-x86-64
  cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DVTRL_TESTS=OFF -DVTRL_BENCH=OFF -DCMAKE_PREFIX_PATH="$qt_prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >/dev/null
  cmake --build "$win" -j "$jobs" --target vtrlcfg vtrlctl
  version=$(sed -n 's/^project(VtrlCfg VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  folder="vtrlcfg-$version-win64"
  rm -rf "$win/stage" "out/$folder.zip"
  cmake --install "$win" --prefix "$win/stage/$folder" --strip >/dev/null
  (cd "$win/stage" && cmake -E tar cf "$OLDPWD/out/$folder.zip" --format=zip "$folder")
  ls -1 "out/$folder.zip"
else
  echo "No Qt for MinGW-w64 (scripts/qt-mingw.sh builds it): no Windows folder"
fi
