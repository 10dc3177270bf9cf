#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs them, one per core.
#   scripts/fuzz.sh MINUTES          each target for MINUTES minutes
#   scripts/fuzz.sh --seconds N      each target for N seconds (what CI uses)
#   scripts/fuzz.sh --runs N         each target for N executions
#   scripts/fuzz.sh --merge MINUTES  as the first form, then adds to
#                                    fuzz/seeds/<target> only those inputs found
#                                    that reach something the seeds do not
# Each target starts from its seeds in fuzz/seeds/<target> (kept in the
# repository) and keeps what it finds in build-fuzz/corpus-<target>. A finding
# is written to build-fuzz/<target>-crash-... and ends the script with 1.
# FUZZ_TARGETS="fuzz_pages ..." picks targets; FUZZ_JOBS targets run side by
# side (one per core); FUZZ_NOBUILD=1 skips the build
# (for several runs side by side after one build).
# The target "model" is the model test (tests/model) built with the
# sanitizers in build-asan: random operator actions and device behaviour
# against the wizard and vtrlctl, for the time given or --runs N sequences,
# in MODEL_JOBS processes side by side (2). A finding prints its seed and
# the actions that replay it, is kept in build-asan/model-findings.log and
# ends the script with 1.
# Long runs are meant for the background: nice -n 19 scripts/fuzz.sh 60
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 [--merge] MINUTES | --seconds N | --runs N" >&2; exit 2; }
merge=0
limit=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [ $# -ge 2 ] || usage; limit="-max_total_time=$2"; shift 2 ;;
    --runs) [ $# -ge 2 ] || usage; limit="-runs=$2"; shift 2 ;;
    --merge) merge=1; shift ;;
    [0-9]*) limit="-max_total_time=$(( $1 * 60 ))"; shift ;;
    *) usage ;;
  esac
done
[ -n "$limit" ] || usage

read -r -a requested <<<"${FUZZ_TARGETS:-fuzz_receiver fuzz_paramblock fuzz_ledger fuzz_pages fuzz_profile model}"
targets=()
model=0
for name in "${requested[@]}"; do
  if [ "$name" = model ]; then model=1; else targets+=("$name"); fi
done
if [ ${#targets[@]} -gt 0 ] && [ "${FUZZ_NOBUILD:-0}" != 1 ]; then
  jobs=$(nproc 2>/dev/null || echo 2)
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVTRL_GUI=ON -DVTRL_TESTS=OFF \
    -DVTRL_BENCH=OFF -DVTRL_FUZZ=ON -DVTRL_SANITIZE=address,undefined >/dev/null
  cmake --build build-fuzz -j "$jobs" --target "${targets[@]}"
fi

export QT_QPA_PLATFORM=offscreen
# One target per core at a time; each reports when its batch is done.
fuzz_one() {
  local name=$1 corpus="build-fuzz/corpus-$1" log="build-fuzz/$1.log"
  mkdir -p "$corpus"
  # Three frames of the longest kind fit; longer inputs only slow the search.
  "build-fuzz/fuzz/$name" "$corpus" "fuzz/seeds/$name" "$limit" -max_len=1024 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/$name-" >"$log" 2>&1
}
report_one() {
  local name=$1 log="build-fuzz/$1.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$name: ${runs:-?} executions (${rate:-?}/s; ${limit#-}), no finding"
  if [ $merge -eq 1 ]; then
    "build-fuzz/fuzz/$name" -merge=1 "fuzz/seeds/$name" "build-fuzz/corpus-$name" >>"$log" 2>&1
    echo "  fuzz/seeds/$name: $(ls "fuzz/seeds/$name" | wc -l) inputs"
  fi
}
side_by_side=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
all=("${targets[@]+"${targets[@]}"}")
for (( at = 0; at < ${#all[@]}; at += side_by_side )); do
  batch=("${all[@]:at:side_by_side}")
  pids=()
  for name in "${batch[@]}"; do fuzz_one "$name" & pids+=($!); done
  failed=""
  for i in "${!batch[@]}"; do wait "${pids[$i]}" || failed+=" ${batch[$i]}"; done
  for name in "${batch[@]}"; do
    case " $failed " in
      *" $name "*)
        tail -n 40 "build-fuzz/$name.log"
        echo "fuzz target $name found a fault (input: build-fuzz/$name-*)" ;;
      *) report_one "$name" ;;
    esac
  done
  [ -z "$failed" ] || exit 1
done

if [ $model -eq 1 ]; then
  if [ "${FUZZ_NOBUILD:-0}" != 1 ]; then
    [ -f build-asan/build.ninja ] || cmake -S . -B build-asan -G Ninja -DVTRL_SANITIZE=address,undefined \
      -DVTRL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build-asan -j "$(nproc 2>/dev/null || echo 2)" --target model_test
  fi
  case "$limit" in
    -runs=*) bound=(--sequences "${limit#-runs=}") ;;
    *) bound=(--seconds "${limit#-max_total_time=}") ;;
  esac
  log=build-asan/model-findings.log
  # A fresh stretch of seeds each run, unless MODEL_SEED names one.
  seed=${MODEL_SEED:-$(( $(date +%s) % 100000 * 1000000 ))}
  if ! build-asan/tests/model/model_test "${bound[@]}" --seed "$seed" --jobs "${MODEL_JOBS:-2}" >"$log" 2>&1; then
    grep -v '^QStandardPaths' "$log" | tail -n 40
    echo "model found a fault (seeds and actions: $log)"
    exit 1
  fi
  echo "model: $(grep -o '[0-9]* wizard sequences.*' "$log" | tail -n 1), no finding"
fi
