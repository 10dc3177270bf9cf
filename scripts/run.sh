#!/usr/bin/env bash
# Builds the wizard and the device simulator, starts the simulator on a
# pseudo-terminal and the wizard with that port in its COM port list.
# Arguments go to the simulator: scripts/run.sh --app-version "Vantrel App V2.08"
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

scripts/deps.sh
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$jobs" --target vtrlcfg vtrlsim

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != "offscreen" ]; then
  cat >&2 <<'MSG'
There is no display to show the wizard on (neither DISPLAY nor WAYLAND_DISPLAY is set).
Run it under a virtual X server instead:
    xvfb-run -a -s "-screen 0 1024x768x24" scripts/run.sh
MSG
  exit 1
fi

link="$PWD/build/vtrlsim.tty"
rm -f "$link"
build/sim/vtrlsim --link "$link" "$@" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
[ -e "$link" ] || { echo "The device simulator did not start." >&2; exit 1; }

echo "Device simulator on $(readlink -f "$link"), listed by the wizard as a COM port."
VTRLCFG_PORTS="$link" build/vtrlcfg
