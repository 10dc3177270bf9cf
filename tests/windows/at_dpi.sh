#!/bin/sh
# Runs a Windows program under Wine on a screen of DPI dots per inch (96 is
# 100 %, 144 is 150 %), in the Wine prefix WINEPREFIX names:
#   at_dpi.sh WINE DPI PROGRAM [ARGUMENT...]
# Needs an X display (scripts/test.sh gives it a virtual one); without one
# it says so and is skipped (77).
wine=$1 dpi=$2
shift 2
[ -n "$DISPLAY" ] || { echo "no X display: not run"; exit 77; }
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 || {
  echo "cannot set the screen's DPI in $WINEPREFIX"; exit 1; }
exec "$wine" "$@"
