#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs each over its seed corpus for a while.
#   scripts/fuzz.sh [seconds per target, default 300] [target ...]
# New inputs go to build-fuzz/corpus/<target>/, findings to build-fuzz/findings/; any finding
# (crash, broken invariant, leak, time-out) fails the run. With FUZZ_MERGE=1 the new inputs
# that reach code the corpus does not are merged into tests/fuzz/corpus/ to be committed
# (new edges only, not new hit counts or comparisons: a few dozen small files per target).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=($(ls tests/fuzz/corpus))
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

failed=()
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t
  findings=build-fuzz/findings/$t
  mkdir -p "$work" "$findings"
  log=build-fuzz/findings/$t.log
  echo "=== $t: ${seconds} s ==="
  # A slow input is a finding too: none may take 10 s, even on a loaded machine.
  if build-fuzz/bin/"$t" -max_total_time="$seconds" -timeout=10 -max_len=8192 -rss_limit_mb=1024 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "tests/fuzz/corpus/$t" \
      >"$log" 2>&1; then
    grep -E 'DONE +cov:' "$log" | tail -1 || true
    grep -E 'stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
  else
    tail -40 "$log"
    echo "=== $t: FINDING, inputs in $findings/ ==="
    failed+=("$t")
  fi
  if [ "${FUZZ_MERGE:-0}" = 1 ]; then
    build-fuzz/bin/"$t" -merge=1 -use_counters=0 -use_cmp=0 -max_len=8192 "tests/fuzz/corpus/$t" "$work" >/dev/null 2>&1
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing found nothing"
