#!/usr/bin/env bash
# Builds the fuzz targets and runs each (all of them, or those named) for a
# fixed time on its seed corpus, as many at once as there are processors.
# Fails when any target finds a crash, a sanitizer report, a leak, a
# timeout or an out-of-memory input; the input that does it is saved under
# build/fuzz/findings/<name>/ and printed (base64) in the output.
#
#   QUORVALE_FUZZ_SECONDS  time per target (default 25; 0 replays the corpus only)
#   QUORVALE_FUZZ_JOBS     targets run at once (default: the processor count)
#   QUORVALE_FUZZ_FLAGS    more libFuzzer flags, e.g. "-use_value_profile=1"
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
secs=${QUORVALE_FUZZ_SECONDS:-25}
jobs=${QUORVALE_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
started=$(date +%s)
build=$(fuzz/build.sh)
built=$(date +%s)

if [ $# -gt 0 ]; then names=("$@"); else names=(); for f in fuzz/targets/*.cpp; do names+=("$(basename "$f" .cpp)"); done; fi

run_one() {  # name
  local t=$1 work="$build/work/$1" found="$build/findings/$1" log="$build/logs/$1.log"
  rm -rf "$work" "$found"
  mkdir -p "$work" "$found" "$build/logs"
  local time_flags=(-max_total_time="$secs")
  [ "$secs" = 0 ] && time_flags=(-runs=0)
  # New inputs go to the work directory; the seed corpus stays as it is.
  local rc=0
  "$build/fuzz_$t" "${time_flags[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$found/" ${QUORVALE_FUZZ_FLAGS:-} "$work" "fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  local runs speed
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$found")" ] || grep -q -E "runtime error:|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)" "$log"; then
    echo "FAIL fuzz_$t (exit $rc); log: $log"
    tail -n 60 "$log" | sed 's/^/  | /'
    for f in "$found"/*; do
      [ -e "$f" ] || continue
      echo "  reproducer: $f (run: $build/fuzz_$t $f); base64:"
      base64 -w 100 "$f" | head -c 20000 | sed 's/^/    /'
      echo
    done
    return 1
  fi
  echo "ok   fuzz_$t: ${runs:-?} runs, ${speed:-?} exec/s"
}

echo "fuzzing ${#names[@]} targets, ${secs}s each, $jobs at a time"
failed=0
running=0
for t in "${names[@]}"; do
  [ -f "fuzz/targets/$t.cpp" ] || { echo "no target fuzz/targets/$t.cpp"; exit 1; }
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_one "$t" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
if [ "$failed" -ne 0 ]; then
  echo "fuzzing found something; see above (reproducers under $root/$build/findings)"
  exit 1
fi
now=$(date +%s)
echo "fuzz stage: $((now - started))s ($((built - started))s building, $((now - built))s fuzzing)"
echo "fuzzing: ${#names[@]} passed, 0 failed"
