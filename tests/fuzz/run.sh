#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build (make fuzz) for a bounded time each, one after the other
# in one process, so that the machine's other work goes on. The seeds in tests/fuzz/corpus/NAME/
# are read, never written; new inputs go to BUILD/fuzz-corpus/NAME/, and every crash, time-out,
# memory blow-up or failed check is saved as a file in BUILD/fuzz-crashes/NAME/ (replay one with
# BUILD/fuzz_NAME FILE). The last line of each run, with its executions and coverage, is shown
# at the end; the run fails when a target found anything.
#
#   tests/fuzz/run.sh BUILD SECONDS [NAME...]     (all targets of BUILD/fuzz-targets.txt by default)
#
# With FUZZ_RUNS=N in the environment a target also stops after N executions (a long campaign:
# FUZZ_RUNS=10000000 with a time limit of hours). FUZZ_OPTIONS adds libFuzzer options to every
# run (say -max_len=1024 for a target whose inputs are short by nature).
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD SECONDS [TARGET...]" >&2
  exit 2
fi
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < "$build/fuzz-targets.txt"
fi

mkdir -p "$build/fuzz-logs"
summary=()
found=()
for name in "${targets[@]}"; do
  [ -n "$name" ] || continue
  program=$build/fuzz_$name
  [ -x "$program" ] || { echo "no fuzz target $program" >&2; exit 2; }
  corpus=$build/fuzz-corpus/$name
  crashes=$build/fuzz-crashes/$name
  log=$build/fuzz-logs/$name.log
  mkdir -p "$corpus" "$crashes"
  options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$crashes/")
  [ -f "$here/dict/$name.dict" ] && options+=(-dict="$here/dict/$name.dict")
  [ -n "${FUZZ_RUNS:-}" ] && options+=(-runs="$FUZZ_RUNS")
  [ -n "${FUZZ_OPTIONS:-}" ] && read -r -a extra <<<"$FUZZ_OPTIONS" && options+=("${extra[@]}")
  before=$(find "$crashes" -type f | wc -l)
  echo "== $name: ${seconds} s"
  status=0
  "$program" "${options[@]}" "$corpus" "$here/corpus/$name" >"$log" 2>&1 || status=$?
  after=$(find "$crashes" -type f | wc -l)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  summary+=("$(printf '%-18s %s' "$name" "$last")")
  if [ "$status" -ne 0 ] || [ "$after" -gt "$before" ]; then
    found+=("$name")
    echo "   found a fault (exit $status): see $log and $crashes/"
    grep -E 'fuzz check failed|ERROR: |SUMMARY' "$log" | head -n 5 | sed 's/^/   /'
  fi
done

echo
echo "Fuzzing summary (last status line of each target):"
printf '%s\n' "${summary[@]}"
if [ ${#found[@]} -gt 0 ]; then
  echo "Faults found by: ${found[*]} (inputs in $build/fuzz-crashes/)"
  exit 1
fi
echo "No faults found."
