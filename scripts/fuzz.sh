#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan and UBSan, into build-fuzz/) and runs
# each for SECONDS seconds (default 30) on a copy of its seed corpus in fuzz/corpus/<name>/.
# Prints executions and crashes per target; crashing inputs are kept in
# build-fuzz/runs/<name>/artifacts/ with the report in build-fuzz/runs/<name>/fuzz.log.
# Exit status 1 when any target crashed.
set -euo pipefail
seconds=${1:-30}
cd "$(dirname "$0")/.."

cmake -S . -B build-fuzz -DKESTRUNE_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build build-fuzz --target fuzz_all -j "$(nproc)"

bin=$PWD/build-fuzz/fuzz
failed=0
printf '%-14s %12s %8s %s\n' target executions crashes report
for source in fuzz/fuzz_*.cpp; do
  target=$(basename "$source" .cpp)
  name=${target#fuzz_}
  work=build-fuzz/runs/$name
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp fuzz/corpus/"$name"/* "$work/corpus/"
  # The engine logs to log.txt in the working folder; millions of runs need no log.
  ln -s /dev/null "$work/log.txt"
  status=0
  (cd "$work" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
     "$bin/$target" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
     -artifact_prefix=artifacts/ -print_final_stats=1 corpus >fuzz.log 2>&1) || status=$?
  executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/fuzz.log")
  crashes=$(find "$work/artifacts" -type f | wc -l)
  [ "$status" -eq 0 ] && [ "$crashes" -eq 0 ] || failed=1
  printf '%-14s %12s %8s %s\n' "$name" "${executions:-?}" "$crashes" "$work/fuzz.log"
done
exit "$failed"
