#!/usr/bin/env bash
# What an operator sees of line's live table: line_farm.sh --faults under a
# terminal (tmux), the screen captured while the units save and at the end.
#   bench/line/capture_table.sh [OUT_DIR]   (default /tmp)
set -eu
cd "$(dirname "$0")/../.."
out=${1:-/tmp}
session=vtrl-line-$$
tmux new-session -d -s "$session" -x 150 -y 16 "bench/line/line_farm.sh --faults --device-ms 150; sleep 6"
sleep 1.6
tmux capture-pane -p -t "$session" >"$out/line-table-mid.txt"
sleep 5
tmux capture-pane -p -t "$session" >"$out/line-table-end.txt"
tmux kill-session -t "$session" 2>/dev/null || true
cat "$out/line-table-mid.txt" "$out/line-table-end.txt" | grep -v '^$'
