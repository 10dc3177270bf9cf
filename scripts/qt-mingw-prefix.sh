#!/usr/bin/env bash
# Prints the Qt for MinGW-w64 prefix to cross-build the wizard against, and
# fails (1) when there is none. VTRL_QT_MINGW names a folder holding
# qt6-mingw.tar.xz (as scripts/qt-mingw.sh leaves it) or an unpacked prefix;
# by default ../shared/qt6-mingw beside the repository. An archive is
# unpacked into build-mingw-qt/, again only when it changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source=${VTRL_QT_MINGW:-../shared/qt6-mingw}
if [ -f "$source/qt6-mingw.tar.xz" ]; then
  sum=$(sha256sum "$source/qt6-mingw.tar.xz" | cut -d' ' -f1)
  if [ "$(cat build-mingw-qt/archive.sha256 2>/dev/null)" != "$sum" ]; then
    rm -rf build-mingw-qt && mkdir -p build-mingw-qt
    tar xJf "$source/qt6-mingw.tar.xz" -C build-mingw-qt
    echo "$sum" > build-mingw-qt/archive.sha256
  fi
  echo "$PWD/build-mingw-qt/qt6-mingw"
elif [ -f "$source/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  (cd "$source" && pwd)
else
  exit 1
fi
