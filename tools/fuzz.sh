#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan, UBSan), writes the seed
# corpora with the project's own package builder, and runs every fuzz target
# for a bounded time. Fails when any target finds something; the input that
# did is kept under build-fuzz/fuzz-findings/.
#
# Usage: tools/fuzz.sh [SECONDS]   seconds per target (default: the
#        QUILLMERE_FUZZ_SECONDS variable, else 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-${QUILLMERE_FUZZ_SECONDS:-60}}"
targets=(extract merge round_trip)

tools/install-deps.sh cmake ninja-build clang libclang-rt-14-dev libgtest-dev python3

cmake --preset fuzz -DQUILLMERE_WERROR="${QUILLMERE_WERROR:-OFF}" >/dev/null
cmake --build --preset fuzz

build=build-fuzz
bin="$build/tests/fuzz"
findings="$build/fuzz-findings"
mkdir -p "$findings" "$build/fuzz-logs"
"$bin/quillmere_fuzz_seeds" "$build/fuzz-seeds"

failed=()
for target in "${targets[@]}"; do
  # The corpus grows from run to run in a build tree; a fresh clone starts
  # from the seeds alone.
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  cp "$build/fuzz-seeds/$target"/* "$corpus/"
  log="$build/fuzz-logs/$target.log"
  dict=()
  [ "$target" != merge ] && dict=(-dict=tests/fuzz/package.dict)
  status=0
  "$bin/quillmere_fuzz_$target" "$corpus" "${dict[@]}" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  inputs=$(ls "$corpus" | wc -l)
  extra=$(sed -n 's/^round trips checked: /, round trips checked: /p' "$log")
  echo "fuzz $target: ${runs:-?} executions in ${seconds} s, corpus $inputs inputs${extra}"
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target FAILED (exit $status); the end of $log:"
    tail -n 40 "$log"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "Fuzz findings in: ${failed[*]} (inputs under $findings)"
  exit 1
fi
echo "Fuzzing found nothing in ${#targets[@]} targets"
