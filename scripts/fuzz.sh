#!/usr/bin/env bash
# Builds the libFuzzer targets (preset host-x64-fuzz) and runs each for the given number of
# seconds (default 60) on a working copy of its corpus in the build tree, seeded from
# tests/fuzz/corpus/<target>. Exits non-zero when any target finds a crash, leak or hang.
#   scripts/fuzz.sh            60 seconds each (the long run)
#   scripts/fuzz.sh 20         the short run of the test command
#   scripts/fuzz.sh 60 log     one target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

cmake --preset host-x64-fuzz >/dev/null
cmake --build --preset host-x64-fuzz
build=build/host-x64-fuzz
targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(grep -v '^$' "$build/fuzz_targets.txt")
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in "${targets[@]}"; do
  seeds=tests/fuzz/corpus/$target
  work=$build/corpus/$target
  artifacts=$build/artifacts/$target/
  mkdir -p "$work" "$seeds" "$artifacts"
  log=$build/fuzz_$target.log
  echo "== fuzz_$target: $seconds s" >&2
  if "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -max_len=20000 -print_final_stats=1 -artifact_prefix="$artifacts" \
       "$work" "$seeds" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz_$target: $runs executions, no findings" >&2
  else
    echo "fuzz_$target: FINDING (see $log and $artifacts)" >&2
    tail -40 "$log" >&2
    status=1
  fi
done
exit $status
