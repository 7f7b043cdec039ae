#!/usr/bin/env bash
# Drives the desktop program's Plots screen under Xvfb with xdotool, as a user would: two
# remembered plot folders hold a PoC1 file, an unfinished .plotting file and a PoC2 file
# overlapping the first; "Plots", reached with Tab (its focus mark shows) and opened with
# Return, lists them with their states and the overlap; "Convert to
# PoC2" and "Yes" turn the PoC1 file into the bytes of a fresh PoC2 plot and leave the
# .plotting file as it was. Then a conversion slowed down (every sync 400 ms longer) is
# killed once its journal holds a step; the program started again offers to finish it from
# the Plots screen, and the file ends byte-exact. Screenshots stay in $SHOTS when it is set.
# Exits 77 (skipped) when no X server can be started.
set -u
for tool in Xvfb xdotool import convert cmp; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
kestrune=$(realpath "$1")
cli=$(realpath "$2")
slow_sync=$(realpath "$3")
account=7900104405094198526

work=$(mktemp -d)
mkdir -p "$work/run" "$work/t1" "$work/t2" "$work/ref" "$work/later"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "SKIP: Xvfb did not start"; exit 77; }
export DISPLAY=":$(head -1 "$work/display")"

fail() { echo "FAIL: $* (files in $work)"; tail -20 "$work/run/log.txt" 2>/dev/null; exit 1; }
shot() {
  import -window root -crop 640x480+0+0 +repage "$work/$1.png"
  [ -z "${SHOTS:-}" ] || cp "$work/$1.png" "$SHOTS/farm-$1.png"
}
pixel() { convert "$work/$1.png" -format "%[hex:p{$2,$3}]" info: | cut -c1-6; }
expect_pixel() { local got; got=$(pixel "$1" "$2" "$3"); [ "$got" = "$4" ] || fail "$1: pixel ($2,$3) is $got, expected $4"; }
# Pixels of one colour inside a rectangle WxH+X+Y of a screenshot.
count_colour() {
  convert "$work/$1.png" -crop "$2" +repage -fill black +opaque "#$3" -fill white -opaque "#$3" \
    -format "%[fx:int(mean*w*h+0.5)]" info:
}
start() {
  (cd "$work/run" && exec env ${PRELOAD:+LD_PRELOAD=$PRELOAD} "$kestrune" >>"$work/run/stderr.txt" 2>&1) &
  app=$!
  pids+=($app)
  for _ in $(seq 100); do xdotool search --name '^Kestrune$' >/dev/null 2>&1 && break; sleep 0.1; done
  sleep 1
}
stop_app() { kill -9 "$app" 2>/dev/null; wait "$app" 2>/dev/null; }
click() { xdotool mousemove "$1" "$2" click 1; sleep 0.6; }
# Clicks the button at $2 per cent of the width of the dialog titled $1 (buttons at its foot).
answer() {
  local id=""
  for _ in $(seq 60); do id=$(xdotool search --name "^$1\$" | head -1); [ -n "$id" ] && break; sleep 0.25; done
  [ -n "$id" ] || fail "no dialog titled $1"
  sleep 0.5
  [ -z "${2:-}" ] || { eval "$(xdotool getwindowgeometry --shell "$id")"; shot "$3"; click $((X + WIDTH * $2 / 100)) $((Y + HEIGHT - 17)); }
}
# Takes screenshot $1 until the test $2 holds (a loaded machine may paint late), else fails with $3.
shot_until() { for _ in $(seq 40); do shot "$1"; eval "$2" && return; sleep 0.25; done; fail "$1: $3"; }
wait_for() { for _ in $(seq 100); do eval "$1" && return; sleep 0.1; done; fail "timed out waiting for: $1"; }
plot() { "$cli" plot -i $account -p "$1" -s "$2" -n 16 --family avx2 -q $3 >/dev/null 2>&1 || fail "kestrune-cli plot $*"; }

a=${account}_0_16_16 b=${account}_8_16 c=${account}_1000_16_16 unfinished=${account}_100_32_32.plotting
plot "$work/t1" 0 ""
plot "$work/t2" 8 --poc2
plot "$work/ref" 0 --poc2
plot "$work/ref" 1000 --poc2
plot "$work/later" 1000 ""
truncate -s $((32 * 262144)) "$work/t1/$unfinished"
unfinished_sum=$(cksum <"$work/t1/$unfinished")
printf 'account: %s\nplots:\n  - %s/t1/\n  - %s/t2/\n' $account "$work" "$work" >"$work/run/config.yml"

start
xdotool mousemove 320 470 key Tab              # keys go to the window under the pointer
shot_until focus '[ "$(count_colour focus 90x40+545+18 0078D7)" -gt 20 ]' 'no focus mark around "Plots"'
xdotool key Return                             # "Plots" by keyboard
shot_until list '[ "$(count_colour list 6x298+26+106 C42B1C)" -eq 72 ]' 'the two overlapping files are not marked red'
[ "$(count_colour list 6x298+26+106 D98C00)" -eq 36 ] || fail "list: the unfinished file is not marked amber"
[ "$(count_colour list 592x298+24+106 C42B1C)" -gt 300 ] || fail "list: no overlap lines"
expect_pixel list 490 420 E1E1E1               # "Convert to PoC2" enabled: one PoC1 file

click 551 436                                  # "Convert to PoC2"
answer 'Convert to PoC2[?]' 75 question        # "Yes"
wait_for '[ -f "$work/t1/${account}_0_16" ]'
sleep 0.5
shot converted
cmp -s "$work/t1/${account}_0_16" "$work/ref/${account}_0_16" || fail "the converted file differs from a fresh PoC2 plot"
[ "$(cksum <"$work/t1/$unfinished")" = "$unfinished_sum" ] || fail "the .plotting file changed"
[ ! -e "$work/t1/$a" ] && [ ! -e "$work/t1/$a.converting" ] || fail "the PoC1 name or the journal is left: $(ls "$work/t1")"
expect_pixel converted 490 420 CCCCCC          # the list again: nothing left to convert
grep -q "Converted 1 file; skipped 1: 1 unfinished." "$work/run/log.txt" || fail "no summary in the log"
stop_app

mv "$work/later/$c" "$work/t1/"
PRELOAD=$slow_sync start
click 590 40
click 551 436
answer 'Convert to PoC2[?]' 75 question-slow
xdotool mousemove 320 300                      # off the buttons: their idle faces
wait_for '[ "$(stat -c %s "$work/t1/$c.converting" 2>/dev/null || echo 0)" -gt 8192 ]'
shot progress
stop_app                                       # killed with a step in its journal
[ -f "$work/t1/$c" ] && [ -f "$work/t1/$c.converting" ] || fail "the kill left no journal: $(ls "$work/t1")"
expect_pixel progress 490 420 E1E1E1           # "Stop"
[ "$(pixel progress 30 190)" = 4DA60C ] || [ "$(pixel progress 30 190)" = EFF7E9 ] || fail "progress: no bar"

start
click 590 40
answer 'Resume converting[?]' 75 resume        # "Yes": finish it
wait_for '[ -f "$work/t1/${account}_1000_16" ] && [ ! -e "$work/t1/$c.converting" ]'
sleep 0.5
shot resumed
cmp -s "$work/t1/${account}_1000_16" "$work/ref/${account}_1000_16" || fail "the resumed file differs from a fresh PoC2 plot"
grep -q "resuming: finishing step" "$work/run/log.txt" || fail "the conversion did not resume from its journal"
click 89 436                                   # "Back"
shot back
expect_pixel back 490 420 CCCCCC               # the setup screen: no target, Start disabled
echo "PASS: Plots lists states and overlaps, converts byte-exact, leaves the .plotting file, resumes after a kill"
