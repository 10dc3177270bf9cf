#!/usr/bin/env bash
# A commissioning line on eight simulated units: one vtrlctl line on all of
# them, or the same units one vtrlctl apply at a time, for timing the two
# against each other and for looking at the record against each unit's flash.
#
#   bench/line/line_farm.sh [--mode line|apply] [--faults] [--record DB|--postgres] [--show]
#
#   --mode line    one `vtrlctl line` process, a slot per unit (default)
#   --mode apply   `vtrlctl apply` on each unit in turn
#   --faults       unit 6 refuses the device settings, unit 7 never answers,
#                  unit 8 is unplugged (its simulator killed) while it saves
#   --record DB    the record database (default: a new SQLite file)
#   --postgres     a PostgreSQL server of its own for the record (initdb as an
#                  unprivileged user into a temporary folder, a free port on
#                  127.0.0.1), stopped at the end
#   --show         print the record's rows and every unit's flash afterwards
#   --device-ms N  every answer N ms after its command (default 25), and the save
#                  ten times that: a device's own time, which a line overlaps
#
# BUILD names the build folder (default build). Nothing is timed here: time the
# whole script from outside, one mode against the other.
set -u
cd "$(dirname "$0")/../.."
build=${BUILD:-build}
mode=line faults=0 show=0 record="" postgres=0 device_ms=25
while [ $# -gt 0 ]; do
  case $1 in
    --mode) mode=$2; shift ;;
    --faults) faults=1 ;;
    --record) record=$2; shift ;;
    --postgres) postgres=1 ;;
    --show) show=1 ;;
    --device-ms) device_ms=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
work=$(mktemp -d /tmp/vtrl-line-XXXXXX)
chmod 755 "$work"
sims=()
pg_bin="" pg_as=()
cleanup() {
  for pid in "${sims[@]}"; do kill -INT "$pid" 2>/dev/null; done
  wait 2>/dev/null
  if [ -n "$pg_bin" ]; then "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -m immediate -w stop >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ $postgres -eq 1 ]; then
  pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  [ -x "$pg_bin/initdb" ] || { echo "no PostgreSQL server binaries" >&2; exit 1; }
  mkdir "$work/pgroot"
  if [ "$(id -u)" -eq 0 ]; then  # initdb refuses root
    chown nobody:nogroup "$work/pgroot"
    pg_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
  fi
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  "${pg_as[@]}" "$pg_bin/initdb" -D "$work/pgroot/data" -U vtrl --auth=trust -E UTF8 --locale=C --no-sync >/dev/null || exit 1
  ln -s "$work/pgroot/data" "$work/pg"
  "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -l "$work/pgroot/log" -w \
    -o "-p $port -k $work/pgroot -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null || exit 1
  record="postgresql://vtrl@127.0.0.1:$port/postgres"
fi
[ -n "$record" ] || record="$work/record.sqlite"

# Eight SPP Servers; the faulty ones as --faults says.
for i in 1 2 3 4 5 6 7 8; do
  args=(--link "$work/unit$i.tty" --address "001BDC0B000$i" --function spp --delay-ms "$device_ms")
  [ "$device_ms" -gt 0 ] && args+=(--late "14:$((device_ms * 10))")
  if [ $faults -eq 1 ]; then
    case $i in
      6) args+=(--refuse 11:2) ;;
      7) args+=(--silent) ;;
      8) args+=(--late 14:5000) ;;  # the last --late counts
    esac
  fi
  "$build/sim/vtrlsim" "${args[@]}" >"$work/unit$i.log" 2>&1 &
  sims+=($!)
done
for i in 1 2 3 4 5 6 7 8; do
  for _ in $(seq 50); do [ -e "$work/unit$i.tty" ] && break; sleep 0.02; done
done
cat >"$work/unit.json" <<'JSON'
{"format": "vtrlctl profile", "version": 1,
 "local": {"function": "SPP Server", "baud": 19200, "flow": "hardware", "authentication": true, "pin": "4711"}}
JSON

unplug() {  # unit 8 goes while its save is unanswered
  [ $faults -eq 1 ] || return 0
  sleep 1.5
  kill -KILL "${sims[7]}" 2>/dev/null
}

code=0
if [ "$mode" = line ]; then
  # The silent unit never becomes a unit: the line ends after the other seven.
  units=8; [ $faults -eq 1 ] && units=7
  unplug &
  "$build/vtrlctl" line "$work/unit.json" --port "$work/unit*.tty" --units $units --name 'PUMP-{n:03}' \
    --label station=bench --record "$record" || code=$?
else
  unplug &
  for i in 1 2 3 4 5 6 7 8; do
    "$build/vtrlctl" apply -q --port "$work/unit$i.tty" "$work/unit.json" --label station=bench --record "$record" || code=$?
  done
fi
wait "$!" 2>/dev/null

if [ $show -eq 1 ]; then
  echo "== the record ($record)"
  "$build/vtrlctl" report "$record"
  "$build/vtrlctl" report "$record" --export |
    python3 -c 'import json,sys
for l in sys.stdin:
    r=json.loads(l); f=r.get("failure") or {}
    print("%-14s %-10s exit %d  flash %-10s %s" % (r.get("device",{}).get("address","(none)"), r.get("unitName",""), r["exit"], r["flash"], f.get("step","") + (": " + f["result"] if f else "")))'
  for pid in "${sims[@]}"; do kill -INT "$pid" 2>/dev/null; done
  wait "${sims[@]}" 2>/dev/null
  sims=()
  echo "== each unit's flash"
  for i in 1 2 3 4 5 6 7 8; do
    printf 'unit %d: ' "$i"
    # The attached device's block only, not its remotes'.
    awk '/^Flash of the attached/{on=1; next} /^[^ ]/{on=0} on && /^  (serial|device name|encryption)/' "$work/unit$i.log" |
      tr -s ' ' | tr '\n' ';'
    grep -q 'Flash of' "$work/unit$i.log" || printf '(killed: no flash printed)'
    echo
  done
fi
exit $code
