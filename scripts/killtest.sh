#!/usr/bin/env bash
# Crash test of kestrune-cli plot: kills the plotter with SIGKILL at random moments, CYCLES
# times (default 10), then lets one more run finish, and requires the result to equal an
# uninterrupted run: every file byte-identical, no other file names (no duplicate or
# unrequested ranges, no leftovers) in the targets, and staging folders empty.
# Two cases: direct writing to two targets, and writing through one --ssd staging folder to
# two targets. Usage: killtest.sh [CYCLES] [direct|ssd|both]   (default: 10 both)
# Kills run in rounds of at most 10 on fresh folders (each round has its own uninterrupted
# run and final check), since every kill lands later in the files than the one before.
# Uses build/kestrune-cli (or $KESTRUNE_CLI). Exit status 1 when a case fails.
set -euo pipefail
cycles=${1:-10}
cases=${2:-both}
cd "$(dirname "$0")/.."
cli=$(realpath "${KESTRUNE_CLI:-build/kestrune-cli}")
[ -x "$cli" ] || { echo "killtest: $cli is missing; build first (scripts/setup.sh)" >&2; exit 2; }
case "$cases" in direct|ssd) ;; both) cases="direct ssd" ;; *) echo "killtest: unknown case '$cases'" >&2; exit 2 ;; esac

scratch=$(mktemp -d /tmp/kestrune-killtest.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# One file per target; small buffers (-m) give a resume point every 16 to 64 nonces (the
# plotter shapes its batches for the slower of processor and drive), so little work is lost
# per kill, and one thread keeps the run to one core.
account=7900104405094198526
nonces=${KILLTEST_NONCES:-512}
plot_args=(-i "$account" -s 0 -n "$nonces" -c 1 -m 0.016 -q)

# Runs the plotter for a case in folder $1 (targets $1/t1 and $1/t2, staging $1/ssd), in the
# background; its log stays in $1/work. Sets plot_pid.
start_plot() {
  local root=$1 kind=$2
  local args=("${plot_args[@]}" -p "$root/t1" -p "$root/t2")
  [ "$kind" = ssd ] && args+=(--ssd "$root/ssd")
  (cd "$root/work" && exec "$cli" plot "${args[@]}" >>"$root/work/out.txt" 2>>"$root/work/err.txt") &
  plot_pid=$!
}

make_case_folders() { mkdir -p "$1/t1" "$1/t2" "$1/ssd" "$1/work"; }

# "name sha256" lines of every file in a case's targets, sorted.
target_digest() {
  (cd "$1" && find t1 t2 -type f -exec sha256sum {} + | awk '{print $2, $1}' | sort)
}

# The files of a case's folders, an unfinished one with the count in its resume record.
folder_state() {
  local file size
  (cd "$1" && find t1 t2 ssd -type f | sort) | while read -r file; do
    printf '%s' "${file/${account}_/}"
    if [[ $file == *.plotting ]]; then
      size=$(stat -c %s "$1/$file")
      printf '[%s]' "$(od -An -t u8 -j $((size - 8)) -N 8 "$1/$file" | tr -d ' ')"
    fi
    printf ' '
  done
}

# Nonces a case's folders hold: finished files once each (a file being moved is on both
# drives) and the resume records of unfinished ones.
nonces_done() {
  local file size record total=0
  declare -A seen=()
  while read -r file; do
    local name=${file##*/}
    if [[ $name =~ ^[0-9]+_[0-9]+_([0-9]+).*\.plotting$ ]]; then
      # The final batch overwrites the record with plot data: count the file as written.
      size=$(stat -c %s "$1/$file")
      record=$(od -An -t u8 -j $((size - 8)) -N 8 "$1/$file" | tr -d ' ')
      [ -n "$record" ] && [ ${#record} -lt 19 ] && [ "$record" -le "${BASH_REMATCH[1]}" ] || record=${BASH_REMATCH[1]}
      total=$((total + record))
    elif [[ $name =~ ^[0-9]+_[0-9]+_([0-9]+)(_[0-9]+)?$ ]] && [ -z "${seen[$name]:-}" ]; then
      seen[$name]=1
      total=$((total + BASH_REMATCH[1]))
    fi
  done < <(cd "$1" && find t1 t2 ssd -type f)
  echo "$total"
}

run_case() {
  local kind=$1 round=$2 kills=$3 ok=1
  local reference=$scratch/$kind-$round-reference crashed=$scratch/$kind-$round-crashed
  make_case_folders "$reference"
  make_case_folders "$crashed"

  local began pid ended
  began=$(date +%s.%N)
  start_plot "$reference" "$kind"; pid=$plot_pid
  wait "$pid" || { echo "killtest $kind: the uninterrupted run failed (exit $?)"; return 1; }
  ended=$(date +%s.%N)
  local duration
  duration=$(awk -v a="$began" -v b="$ended" 'BEGIN { printf "%.2f", b - a }')
  local cycle mid_run=0
  for ((cycle = 1; cycle <= kills; ++cycle)); do
    start_plot "$crashed" "$kind"; pid=$plot_pid
    # Kill once the run has added a random 3 to 20% of what is left short of the last eighth,
    # plus up to 0.15 s, so the kills move on through the late phases (the second file, the
    # moves) and land at any moment of a batch, while each still finds work to do: the
    # records lag what is computed by the batches in the buffers, up to 64 nonces each.
    local have goal
    have=$(nonces_done "$crashed")
    goal=$(awk -v seed="$RANDOM$RANDOM" -v have="$have" -v total=$((2 * nonces)) \
      'BEGIN { srand(seed); end = total - total / 8; left = have < end ? end - have : 0; printf "%d", have + left * (0.03 + 0.17 * rand()) }')
    while kill -0 "$pid" 2>/dev/null && [ "$(nonces_done "$crashed")" -lt "$goal" ]; do sleep 0.05; done
    sleep "$(awk -v seed="$RANDOM$RANDOM" 'BEGIN { srand(seed); printf "%.2f", 0.15 * rand() }')"
    if kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid"
      mid_run=$((mid_run + 1))
    fi
    wait "$pid" 2>/dev/null || true
    # What the kill left behind, for the report.
    echo "  after kill $cycle: $(folder_state "$crashed")" >>"$scratch/$kind-$round.states"
  done
  local status=0
  start_plot "$crashed" "$kind"; pid=$plot_pid
  wait "$pid" || status=$?

  echo "killtest $kind, round $round: uninterrupted run ${duration}s, $mid_run of $kills kills landed mid-run, final run exit $status"
  [ "$status" -eq 0 ] || ok=0
  [ "$mid_run" -eq "$kills" ] || { echo "  some runs ended before their kill: make the files larger (KILLTEST_NONCES)"; ok=0; }
  if ! diff <(target_digest "$reference") <(target_digest "$crashed") >"$scratch/$kind-$round.diff"; then
    echo "  target files differ from the uninterrupted run (< expected, > found):"
    sed 's/^/    /' "$scratch/$kind-$round.diff"
    ok=0
  fi
  local duplicates
  duplicates=$(cd "$crashed" && find t1 t2 -type f -printf '%f\n' | sort | uniq -d)
  [ -z "$duplicates" ] || { echo "  the same file on both targets (a duplicate range): $duplicates"; ok=0; }
  local leftovers
  leftovers=$(find "$crashed/ssd" -mindepth 1 | sed "s|$crashed/||")
  if [ -n "$leftovers" ]; then
    echo "  staging folder not empty:"
    echo "$leftovers" | sed 's/^/    /'
    ok=0
  fi
  [ -z "${KILLTEST_VERBOSE:-}" ] || cat "$scratch/$kind-$round.states"
  if [ "$ok" -eq 1 ]; then echo "  PASS"; else
    cat "$scratch/$kind-$round.states"
    echo "  FAIL (last log lines of the final run follow)"
    tail -n 15 "$crashed/work/log.txt" | sed 's/^/    /'
  fi
  [ "$ok" -eq 1 ]
}

failed=0
for kind in $cases; do
  left=$cycles round=1
  while [ "$left" -gt 0 ]; do
    kills=$((left < 10 ? left : 10))
    run_case "$kind" "$round" "$kills" || failed=1
    left=$((left - kills)) round=$((round + 1))
  done
done
exit "$failed"
