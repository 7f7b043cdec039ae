#!/usr/bin/env bash
# The larger power-loss replay: the replay tests of the suite (a plot, a staged move and a
# convert, power_loss.*) with POINTS (default 8) more crash points inside every run of writes
# between two syncs, so that states with part of a batch, of a copy or of a journal step on
# the disk are rerun too. Prints the states rerun per operation and any state that failed.
# Usage: power_loss.sh [POINTS]. Uses build/kestrune_tests (or $KESTRUNE_TESTS).
# Exit status 1 when a state fails.
set -euo pipefail
points=${1:-8}
cd "$(dirname "$0")/.."
tests=$(realpath "${KESTRUNE_TESTS:-build/kestrune_tests}")
[ -x "$tests" ] || { echo "power_loss: $tests is missing; build first (scripts/setup.sh)" >&2; exit 2; }
output=$(mktemp /tmp/kestrune-power-loss.XXXXXX)
trap 'rm -f "$output"' EXIT
status=0
KESTRUNE_REPLAY_POINTS=$points KESTRUNE_REPLAY_ALL_FAILURES=1 "$tests" --gtest_filter='power_loss.*' \
  >"$output" 2>/dev/null || status=1
grep -E '^power-loss replay|^power loss after|^\[  (PASSED|FAILED)  \]' "$output" || true
exit $status
