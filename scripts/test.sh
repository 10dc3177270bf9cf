#!/usr/bin/env bash
# Builds VtrlCfg and runs the whole test suite.
#   scripts/test.sh           everything: tests, ASan+UBSan build, driver under TSan,
#                             fuzz targets for FUZZ_SECONDS each (20), Windows cross build
#                             with the Qt-free tests run under Wine
#   scripts/test.sh --quick   the plain build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=$(nproc 2>/dev/null || echo 2)
# Most tests wait on the device's time rather than compute: twice as many
# side by side as there are cores.
test_jobs=$(( jobs * 2 ))
fuzz_seconds=${FUZZ_SECONDS:-20}

scripts/deps.sh

# Each stage says how long the one before it took.
stage_name="" stage_start=$SECONDS
stage_done() { [ -z "$stage_name" ] || echo "--- $stage_name: $((SECONDS - stage_start)) s"; }
stage() { stage_done; stage_name=$*; stage_start=$SECONDS; echo; echo "=== $* ==="; }

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

export QT_QPA_PLATFORM=offscreen

stage "build"
configure build
cmake --build build -j "$jobs"

if [ $quick -eq 0 ]; then
  stage "AddressSanitizer + UndefinedBehaviorSanitizer"
  # Line tables are all a sanitizer report needs, at a fifth less compiling.
  configure build-asan -DVTRL_SANITIZE=address,undefined -DVTRL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG=-g1
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$test_jobs" --timeout 300

  stage "ThreadSanitizer (driver, protocol, simulator)"
  configure build-tsan -DVTRL_GUI=OFF -DVTRL_SANITIZE=thread -DVTRL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG=-g1
  cmake --build build-tsan -j "$jobs"
  # Newer kernels randomise mmap beyond what this TSan runtime maps; run without ASLR.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    setarch "$(uname -m)" -R ctest --test-dir build-tsan --output-on-failure -j "$jobs" --timeout 300

  stage "fuzz targets, ${fuzz_seconds}s each"
  # The model test has just run under the sanitizers with the suite.
  FUZZ_TARGETS="${FUZZ_TARGETS:-fuzz_receiver fuzz_paramblock fuzz_ledger fuzz_pages fuzz_profile}" \
    scripts/fuzz.sh --seconds "$fuzz_seconds"

  stage "Windows cross build (MinGW-w64) and its tests under Wine"
  # Qt for MinGW-w64: ../shared/qt6-mingw, or where VTRL_QT_MINGW says
  # (scripts/qt-mingw-prefix.sh). Without it only the Qt-free layers are
  # cross-built; scripts/qt-mingw.sh builds it.
  qt_prefix=$(scripts/qt-mingw-prefix.sh) || qt_prefix=""
  if [ -n "$qt_prefix" ]; then
    echo "Qt for MinGW-w64: $qt_prefix (the wizard and its walk-through are cross-built)"
    windows_args=(-DVTRL_GUI=ON -DCMAKE_PREFIX_PATH="$qt_prefix" -DQT_HOST_PATH=/usr
                  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
  else
    echo "No Qt for MinGW-w64 in ${VTRL_QT_MINGW:-../shared/qt6-mingw} (scripts/qt-mingw.sh builds it): only the Qt-free layers are cross-built"
    windows_args=(-DVTRL_GUI=OFF)
  fi
  # Unoptimised and without debug information: the wizard's Qt-heavy sources
  # compile quicker so (scripts/package.sh builds the Windows folder optimised).
  cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    "${windows_args[@]}" -DVTRL_TESTS=ON -DVTRL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g0 >/dev/null
  cmake --build build-mingw -j "$jobs"
  # Prefixes of our own, no desktop integration, no Mono or Gecko prompts.
  export WINEPREFIX="$PWD/build-mingw/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
  # One server for the whole stage: one that ends whenever no Windows program
  # runs can be caught ending by the next test's start ("wine client error:
  # recvmsg: Connection reset by peer").
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p </dev/null >/dev/null 2>&1
  # Persistent: ended on every way out of the script, a failed test's too.
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  # Made before the tests, so that none of them sees Wine's first-run notes.
  "$wine" wineboot -i >/dev/null 2>&1 || true
  # The walk-throughs need an X display: a virtual one.
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir build-mingw --output-on-failure --timeout 300
  for prefix in "$PWD"/build-mingw/wine-*dpi; do
    if [ -d "$prefix" ]; then WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true; fi
  done
  # The Win32 backend on a COM port that the prefix maps to the simulator's
  # pseudo-terminal.
  com_link="$WINEPREFIX/dosdevices/com40"
  build/sim/vtrlsim --link "$com_link" >/dev/null &
  sim_pid=$!
  for _ in $(seq 50); do [ -L "$com_link" ] && break; sleep 0.1; done
  check_rc=0
  timeout 120 "$wine" build-mingw/tests/windows/comport_check.exe 40 2>/dev/null || check_rc=$?
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  [ "$check_rc" -eq 0 ] || { echo "Win32 backend check under Wine failed ($check_rc)"; exit 1; }
fi

stage "tests"
ctest --test-dir build --output-on-failure -j "$test_jobs" --timeout 300
stage_done
echo "--- whole run: $SECONDS s"
