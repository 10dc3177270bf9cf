#!/usr/bin/env bash
# Builds Qt 6.4.2 for MinGW-w64 (Core, Gui, Widgets, Test, Sql with SQLite;
# the windows, offscreen and minimal platform plug-ins, the Windows Vista
# style) from Debian 12's own source packages, as ../shared/qt6-mingw holds
# it, for anyone who does not have that archive. About 45 minutes on 2 cores.
#   scripts/qt-mingw.sh [--configure-only] [FOLDER]
# Works in FOLDER (build-qt-mingw), and leaves FOLDER/qt6-mingw.tar.xz; then
#   VTRL_QT_MINGW=FOLDER scripts/test.sh
# cross-builds the wizard against it. --configure-only stops after Qt's
# configuration (a check of everything before the long build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

configure_only=0
if [ "${1:-}" = "--configure-only" ]; then configure_only=1; shift; fi
work=$(mkdir -p "${1:-build-qt-mingw}" && cd "${1:-build-qt-mingw}" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
qt_version=6.4.2
step() { echo; echo "=== $* ==="; }

step "tools: the MinGW-w64 compilers, Debian's Qt host tools, Tcl for SQLite's amalgamation, Wine's headers"
scripts/deps.sh build-essential cmake ninja-build pkg-config dpkg-dev g++-mingw-w64-x86-64 \
  qt6-base-dev qt6-base-dev-tools tcl libwine-dev xz-utils

step "Debian's source packages: qt6-base and sqlite3"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  # The same archives as the binary packages, for sources.
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -f "$list" ] || continue
    sed 's/^Types: deb$/Types: deb-src/' "$list" | $sudo tee "/etc/apt/sources.list.d/vtrl-src-$(basename "$list")" >/dev/null
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $sudo tee /etc/apt/sources.list.d/vtrl-src.list >/dev/null
  fi
  $sudo apt-get update -qq
fi
cd "$work"
# Debian 12's: qt6-base 6.4.2+dfsg, sqlite3 3.40.1.
qt_src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -1)
if [ -z "$qt_src" ]; then
  apt-get source -qq qt6-base
  qt_src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -1)
fi
sqlite_dir=$(find . -maxdepth 1 -type d -name 'sqlite3-3.*' | head -1)
if [ -z "$sqlite_dir" ]; then
  apt-get source -qq sqlite3
  sqlite_dir=$(find . -maxdepth 1 -type d -name 'sqlite3-3.*' | head -1)
fi
[ -n "$qt_src" ] || { echo "no qt6-base $qt_version source after apt-get source" >&2; exit 1; }
[ -n "$sqlite_dir" ] || { echo "no sqlite3 source after apt-get source" >&2; exit 1; }

step "SQLite for MinGW-w64, with the column metadata the Qt driver calls"
if [ ! -f "$work/sqlite/libsqlite3.a" ]; then
  (cd "$sqlite_dir" && { [ -f Makefile ] || ./configure >/dev/null; } && make -s sqlite3.c >/dev/null)
  mkdir -p "$work/sqlite"
  cp "$sqlite_dir/sqlite3.h" "$sqlite_dir/sqlite3ext.h" "$work/sqlite/"
  x86_64-w64-mingw32-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA \
    -c "$sqlite_dir/sqlite3.c" -o "$work/sqlite/sqlite3.o"
  x86_64-w64-mingw32-ar rcs "$work/sqlite/libsqlite3.a" "$work/sqlite/sqlite3.o"
fi

step "two mends to Debian's tree, for what its +dfsg tarball leaves out"
# The tablet headers are not in the tarball: Wine's, made to build outside Wine.
wintab="$qt_src/src/3rdparty/wintab"
if [ ! -f "$wintab/wintab.h" ]; then
  mkdir -p "$wintab"
  {
    echo '#include <windows.h>'
    echo '#define DECL_WINELIB_TYPE_AW(type) typedef type##W type;'
    echo '#define WINELIB_NAME_AW(f) f##W'
    echo '#define API WINAPI'
    cat /usr/include/wine/wine/windows/wintab.h
  } > "$wintab/wintab.h"
  cp /usr/include/wine/wine/windows/pktdef.h "$wintab/pktdef.h"
fi
# The Windows plug-in does not build with OpenGL off without this.
sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
  "$qt_src/src/plugins/platforms/windows/qwindowswindow.cpp"

step "configure Qt $qt_version for MinGW-w64"
build="$work/build"
mkdir -p "$build"
[ -f "$build/build.ninja" ] || cmake -S "$qt_src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$work/qt6-mingw" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
  -DFEATURE_system_freetype=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_doubleconversion=OFF \
  -DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON \
  -DSQLite3_INCLUDE_DIR="$work/sqlite" -DSQLite3_LIBRARY="$work/sqlite/libsqlite3.a" \
  -DFEATURE_sql_odbc=OFF -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_testlib=ON
if [ $configure_only -eq 1 ]; then
  echo "Configured in $build; the build itself: run again without --configure-only."
  exit 0
fi

step "build and install (the long part)"
cmake --build "$build" -j "$jobs"
rm -rf "$work/qt6-mingw"
cmake --install "$build" >/dev/null
tar cJf "$work/qt6-mingw.tar.xz" -C "$work" qt6-mingw
echo "Qt for MinGW-w64: $work/qt6-mingw.tar.xz; VTRL_QT_MINGW=$work scripts/test.sh uses it"
