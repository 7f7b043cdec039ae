#!/usr/bin/env bash
# Builds the test suite (kestrune_tests and kestrune-cli, Debug -O1, no benchmarks) with
# AddressSanitizer + UndefinedBehaviorSanitizer into build-asan/ and with ThreadSanitizer
# into build-tsan/, and runs it under CTest in each. Leak checking is on; the only
# suppressions are for the OpenCL driver's own allocations (tests/sanitize/).
# Usage: sanitize.sh [address] [thread]   (default: both). Compiler: $SANITIZE_CXX (g++).
# Prints every sanitizer report header found; exit status 1 when any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(address thread)
cxx=${SANITIZE_CXX:-g++}
cc=${SANITIZE_CC:-gcc}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$root/tests/sanitize/lsan.supp:print_suppressions=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=second_deadlock_stack=1:history_size=4
# A ThreadSanitizer suppression file exists only while a third-party library needs one.
[ ! -f tests/sanitize/tsan.supp ] || TSAN_OPTIONS+=:suppressions=$root/tests/sanitize/tsan.supp

failed=0
for kind in "${kinds[@]}"; do
  case "$kind" in address) dir=build-asan ;; thread) dir=build-tsan ;;
    *) echo "sanitize: unknown sanitizer '$kind' (address or thread)" >&2; exit 2 ;; esac
  cmake -S . -B "$dir" -DKESTRUNE_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
  cmake --build "$dir" --target kestrune_tests -j "$(nproc)"
  status=0
  # The desktop session test needs the desktop program, which these builds leave out; heavy
  # tests (end-to-end scripts) would only repeat what the suite checks, many times slower.
  (cd "$dir" && ctest -j "$(nproc)" -E '^(gui_session|farm_session)$' -LE heavy --timeout 900 --output-on-failure >ctest.log 2>&1) || status=$?
  tail -n 3 "$dir/ctest.log" | grep -v '^$' || true
  log=$dir/Testing/Temporary/LastTest.log
  echo "sanitize $kind: ctest exit $status; reports (count, header):"
  grep -ohE '(ERROR: (AddressSanitizer|LeakSanitizer): [a-z-]+|WARNING: ThreadSanitizer: [a-z -]+|runtime error: .*)' "$log" \
    | sed 's/ (pid=[0-9]*)//' | sort | uniq -c | sed 's/^/  /' || true
  [ "$status" -eq 0 ] || { grep -E '^ *[0-9]+ - .*\(Failed|Timeout|Subprocess' "$dir/ctest.log" | sed 's/^/  /' || true; failed=1; }
done
exit "$failed"
