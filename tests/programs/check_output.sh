#!/bin/sh
# Runs a program with no display at all and checks how it ends:
#   check_output.sh CODE STREAM LINE PROGRAM [ARGUMENT...]
# It must exit with CODE and print LINE as a whole line on STREAM (stdout or
# stderr), and nothing on the other stream. A Windows program's CR LF line
# ends count as line ends.
code=$1 stream=$2 line=$3
shift 3
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$@" >"$out" 2>"$err"
rc=$?
if [ "$stream" = stdout ]; then seen=$out other=$err; else seen=$err other=$out; fi
fail=0
[ "$rc" -eq "$code" ] || { echo "exit code $rc, expected $code"; fail=1; }
tr -d '\r' <"$seen" | grep -qxF -- "$line" || { echo "no line \"$line\" on $stream"; fail=1; }
[ -s "$other" ] && { echo "unexpected output on the other stream:"; fail=1; }
[ $fail -eq 0 ] || { echo "--- stdout"; cat "$out"; echo "--- stderr"; cat "$err"; }
exit $fail
