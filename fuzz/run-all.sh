#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan and UBSan, into
# build-fuzz), makes their seed corpora from the built resources, and runs
# each target for SECONDS seconds (default 60). Prints the executions and
# the crashes of each; the exit status is 1 when any target crashed, hung
# or ran out of memory.
#
#   fuzz/run-all.sh [SECONDS]
#
# Corpora grow under build-fuzz/fuzz/runs/<target>/corpus and are kept
# between runs; crashing inputs land in build-fuzz/fuzz/runs/<target>/
# artifacts (reproduce one: build-fuzz/fuzz/fuzz_<target> <file>).
set -euo pipefail
seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_all

build=build-fuzz/fuzz
runs=$build/runs
# target and the seed folder it starts from
targets=(update:update res_file:res dialog_template:dialog menu_template:menu registry_spec:registry script:script)

failed=0
report=()
for entry in "${targets[@]}"; do
  name=${entry%%:*}
  seeds=$build/seeds/${entry#*:}
  dir=$runs/$name
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp -n "$seeds"/* "$dir/corpus/" 2>/dev/null || true
  echo "=== fuzz_$name for $seconds s"
  status=0
  # A hard limit above libFuzzer's own, in case a run cannot even stop.
  timeout $((seconds + 120)) "$build/fuzz_$name" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$dir/log" | tail -1)
  crashes=$(find "$dir/artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  corpus=$(find "$dir/corpus" -maxdepth 1 -type f | wc -l)
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    failed=1
    tail -30 "$dir/log"
  fi
  report+=("$(printf '%-18s %12s %8s %8s %6s' "fuzz_$name" "${execs:-?}" "$crashes" "$corpus" "$status")")
done

echo
printf '%-18s %12s %8s %8s %6s\n' target executions crashes corpus exit
for line in "${report[@]}"; do echo "$line"; done
exit $failed
