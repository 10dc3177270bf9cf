#!/usr/bin/env bash
# Builds and runs the wizard against the device simulator.
#
# With a display: starts the simulator on a pseudo-terminal and the wizard with
# that port in its COM port list. Arguments go to the simulator, for example
#     scripts/run.sh --app-version "Vantrel App V2.08"
# When the wizard ends, the simulator prints what its devices keep in flash.
#
# Without a display: runs the headless walk-through instead, the real wizard on
# Qt's offscreen platform driven through both page sequences. It prints every
# step, saves a picture of every page in build/walkthrough (or in the folder
# VTRL_WALK_DIR names) and prints what the simulated devices keep in flash.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  headless=1
  cat >&2 <<'MSG'
There is no display to show the wizard on (neither DISPLAY nor WAYLAND_DISPLAY is set).
Running the headless walk-through instead: the wizard driven through both page sequences
against the device simulator, with a picture of every page.
MSG
  [ $# -eq 0 ] || echo "The simulator options ($*) apply only with a display; ignored." >&2
fi

scripts/deps.sh
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null

# Qt wants a private runtime directory and complains on every start without one.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi

if [ "$headless" -eq 1 ]; then
  cmake --build build -j "$jobs" --target vtrlwalk
  folder="${VTRL_WALK_DIR:-$PWD/build/walkthrough}"
  rm -f "$folder"/*.png
  QT_QPA_PLATFORM=offscreen exec build/vtrlwalk "$folder"
fi

cmake --build build -j "$jobs" --target vtrlcfg vtrlsim

link="$PWD/build/vtrlsim.tty"
rm -f "$link"
build/sim/vtrlsim --link "$link" "$@" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
[ -e "$link" ] || { echo "The device simulator did not start." >&2; exit 1; }

echo "Device simulator on $(readlink -f "$link"), listed by the wizard as a COM port."
status=0
VTRLCFG_PORTS="$link" build/vtrlcfg || status=$?
# The simulator prints its devices' flash as it stops.
kill "$sim" 2>/dev/null || true
wait "$sim" || true
trap - EXIT
exit "$status"
