#!/usr/bin/env bash
# Crash test of kestrune-cli convert: converts three plot files back and forth and kills the
# converter with SIGKILL at random moments, CYCLES times (default 20), then reruns it until
# it finishes. After every kill each file must exist under exactly one of its two names.
# At the end every file must be byte-identical to a freshly plotted PoC2 file of the same
# range, pass check --full, and convert back to a copy of its freshly plotted PoC1 file, with
# no journal left. Usage: convert_killtest.sh [CYCLES]
# Uses build/kestrune-cli (or $KESTRUNE_CLI). Exit status 1 when a check fails.
set -euo pipefail
cycles=${1:-20}
cd "$(dirname "$0")/.."
cli=$(realpath "${KESTRUNE_CLI:-build/kestrune-cli}")
[ -x "$cli" ] || { echo "convert_killtest: $cli is missing; build first (scripts/setup.sh)" >&2; exit 2; }

scratch=$(mktemp -d /tmp/kestrune-convert-killtest.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
account=7900104405094198526
nonces=${KILLTEST_NONCES:-64}
starts=(0 1000 5000)
# Small steps (a 512 KiB buffer) give every file many steps, each flushed twice, so a kill
# lands at any phase: reading, journal writing, file writing, flushing, renaming.
memory=0.0005
mkdir -p "$scratch/poc1" "$scratch/poc2" "$scratch/work"

began=$SECONDS
for s in "${starts[@]}"; do
  (cd "$scratch/work" && "$cli" plot -i "$account" -s "$s" -n "$nonces" -p "$scratch/poc1" -c 2 -q 2>/dev/null)
  (cd "$scratch/work" && "$cli" plot -i "$account" -s "$s" -n "$nonces" -p "$scratch/poc2" --poc2 -c 2 -q 2>/dev/null)
  cp "$scratch/poc1/${account}_${s}_${nonces}_${nonces}" "$scratch/work/"
done
echo "convert_killtest: reference files plotted in $((SECONDS - began)) s"

files=()
for s in "${starts[@]}"; do files+=("$scratch/work/${account}_${s}_${nonces}_${nonces}"); done

# Runs the converter over every file in the background, given their PoC1 names.
start_convert() {
  (cd "$scratch/work" && exec "$cli" convert "${files[@]}" --to "$1" -m "$memory" -q >>out.txt 2>>err.txt) &
  convert_pid=$!
}

# Every file under exactly one name; journals are counted separately.
names_ok() {
  local s one=0
  for s in "${starts[@]}"; do
    one=0
    [ -e "$scratch/work/${account}_${s}_${nonces}_${nonces}" ] && one=$((one + 1))
    [ -e "$scratch/work/${account}_${s}_${nonces}" ] && one=$((one + 1))
    [ "$one" -eq 1 ] || { echo "  file starting at $s exists under $one names"; return 1; }
  done
}

# A clean run of all three files, timed, sets the range of the kill moments.
began=$(date +%s.%N)
start_convert poc2; wait "$convert_pid"
start_convert poc1; wait "$convert_pid"
span=$(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", (b - a) / 2 }')
echo "convert_killtest: an uninterrupted conversion of the three files takes ${span} s"

direction=poc2 kills=0 journaled=0 finished=0 ok=1
while [ "$kills" -lt "$cycles" ]; do
  start_convert "$direction"
  sleep "$(awk -v seed="$RANDOM$RANDOM" -v span="$span" 'BEGIN { srand(seed); printf "%.3f", span * rand() }')"
  if kill -KILL "$convert_pid" 2>/dev/null; then
    kills=$((kills + 1))
    wait "$convert_pid" 2>/dev/null || true
    [ -z "$(find "$scratch/work" -name '*.converting')" ] || journaled=$((journaled + 1))
  elif wait "$convert_pid"; then
    # It finished before the kill: go the other way next.
    finished=$((finished + 1))
    [ "$direction" = poc2 ] && direction=poc1 || direction=poc2
  else
    echo "  a run ended with an error:"; tail -n 5 "$scratch/work/err.txt"; ok=0; break
  fi
  names_ok || { ok=0; break; }
done
echo "convert_killtest: $kills kills ($journaled left a journal to finish), $finished runs finished before their kill"

# Finish whatever the last kill interrupted, then end in PoC2.
status=0
start_convert "$direction"; wait "$convert_pid" || status=$?
[ "$status" -eq 0 ] || { echo "  the rerun after the last kill failed (exit $status)"; ok=0; }
start_convert poc2; wait "$convert_pid" || { echo "  the final run to poc2 failed"; ok=0; }
names_ok || ok=0
leftovers=$(find "$scratch/work" -name '*.converting')
[ -z "$leftovers" ] || { echo "  journals left: $leftovers"; ok=0; }
for s in "${starts[@]}"; do
  name=${account}_${s}_${nonces}
  cmp -s "$scratch/work/$name" "$scratch/poc2/$name" || { echo "  $name differs from a freshly plotted PoC2 file"; ok=0; }
  "$cli" check --full "$scratch/work/$name" 2>/dev/null | grep -q ": OK" || { echo "  check --full fails for $name"; ok=0; }
done
start_convert poc1; wait "$convert_pid" || { echo "  converting back to poc1 failed"; ok=0; }
for s in "${starts[@]}"; do
  name=${account}_${s}_${nonces}_${nonces}
  cmp -s "$scratch/work/$name" "$scratch/poc1/$name" || { echo "  $name differs from its freshly plotted PoC1 file"; ok=0; }
done
if [ "$ok" -eq 1 ]; then echo "convert_killtest: PASS in $SECONDS s"; else
  echo "convert_killtest: FAIL (last log lines follow)"
  tail -n 15 "$scratch/work/log.txt" | sed 's/^/    /'
fi
[ "$ok" -eq 1 ]
