#!/usr/bin/env bash
# Drives the real desktop program under Xvfb with xdotool, as a user would: the first-run
# question, the account prompt, a target folder through the native chooser, a 16-nonce fill,
# "Start Plotting!" up to the summary screen and a plot file that checks out in full; then a
# second start that goes straight to the setup screen, where dropped files open the checker
# (a good file all green, a damaged copy partly red) and a dropped unfinished file resumes
# through the progress screen (shot mid-run) to the summary. On the way: a press and release
# on different regions clicks nothing, and a second program in the same folder is refused.
# Exits 77 (skipped) when no X server can be started.
set -u
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
kestrune=$(realpath "$1")
cli=$(realpath "$2")
drag_source=$(realpath "$3")

work=$(mktemp -d)
# The chooser opens in the program's folder; the target is typed relative to it, since
# the location field completes names inline and a long path races with its completion.
target=$work/run/plots
mkdir -p "$work/run"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "SKIP: Xvfb did not start"; exit 77; }
export DISPLAY=":$(head -1 "$work/display")"

fail() { echo "FAIL: $* (files in $work)"; cat "$work/run/log.txt" 2>/dev/null | tail -20; exit 1; }
shot() { import -window root "$work/$1.png"; }
# Colour of one pixel of a screenshot as RRGGBB.
pixel() { convert "$work/$1.png" -format "%[hex:p{$2,$3}]" info: | cut -c1-6; }
expect_pixel() { local got; got=$(pixel "$1" "$2" "$3"); [ "$got" = "$4" ] || fail "$1: pixel ($2,$3) is $got, expected $4"; }
# Darkest grey level (0-255) inside a rectangle: text drawn there is well below 255.
darkest() { convert "$work/$1.png" -crop "$2" -colorspace gray -format "%[fx:int(255*minima)]" info:; }
start() {
  (cd "$work/run" && exec "$kestrune" >"$work/run/stderr-$1.txt" 2>&1) &
  pids+=($!)
  xdotool search --sync --name '^Kestrune$' >/dev/null 2>&1 &
  local waiter=$!
  for _ in $(seq 100); do kill -0 "$waiter" 2>/dev/null || break; sleep 0.1; done
  kill "$waiter" 2>/dev/null
  sleep 1
}
click() { xdotool mousemove "$1" "$2" click 1; sleep 0.6; }
# Pixels of one colour inside a rectangle WxH+X+Y of a screenshot.
count_colour() {
  convert "$work/$1.png" -crop "$2" +repage -fill black +opaque "#$3" -fill white -opaque "#$3" \
    -format "%[fx:int(mean*w*h+0.5)]" info:
}
# Drags a file from a helper window onto the program's window, as a file manager would.
drop() {
  "$drag_source" "$1" 900 100 &
  local source=$!
  sleep 1
  xdotool mousemove 950 150 mousedown 1
  for x in 940 900 800 700 600 500 400 300; do xdotool mousemove "$x" 200; sleep 0.05; done
  xdotool mousemove 300 210
  sleep 0.2
  xdotool mouseup 1
  sleep 0.6
  kill "$source" 2>/dev/null
}
# Clicks the button at $2 per cent of the width of the dialog whose title matches the
# pattern $1 (its buttons sit at its foot).
answer() {
  local id=""
  for _ in $(seq 120); do id=$(xdotool search --name "^$1\$" | head -1); [ -n "$id" ] && break; sleep 0.5; done
  [ -n "$id" ] || fail "no dialog titled $1"
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$id")"
  click $((X + WIDTH * $2 / 100)) $((Y + HEIGHT - 17))
}
# Waits for the checker's grid to hold only verdicts, every cell green or red; sets red to
# the red pixels.
checked() {
  local cells=$((1770 * 81)) green
  for _ in $(seq 60); do
    shot "$1"
    green=$(count_colour "$1" 590x300+24+74 4CD964)
    red=$(count_colour "$1" 590x300+24+74 DE1D10)
    [ $((green + red)) -eq $cells ] && return
    sleep 0.5
  done
  fail "$1: the check did not finish ($green green, $red red pixels)"
}
# Waits for the end of a run: the "Done!" message over the summary screen, which it closes.
finished() {
  answer 'Done!' 50                           # "Close"
  shot "$1"
  expect_pixel "$1" 320 334 000000            # the summary's baseline
}

start 1
mkdir "$target"
shot question
expect_pixel question 215 218 E1E1E1          # "Yes"
expect_pixel question 335 218 E1E1E1          # "No"
[ -f "$work/run/config.yml" ] || fail "no config.yml written on the first start"

click 380 231                                 # "No": the account prompt
shot account
expect_pixel account 275 343 CCCCCC           # "OK" disabled while the entry is empty
xdotool type --delay 20 "7900104405094198526"
sleep 0.6
shot account-typed
expect_pixel account-typed 275 343 E1E1E1     # a valid account enables "OK"
click 320 356
shot setup
[ "$(darkest setup 80x26+24+24)" -lt 100 ] || fail "no \"Config\" title at (24, 24)"
expect_pixel setup 490 420 CCCCCC             # "Start Plotting!" disabled without a target

# A press on the target's "Click to select...", released outside every region, then a press
# on empty space released on it: no click, so no chooser.
xdotool mousemove 100 378 mousedown 1; sleep 0.3
xdotool mousemove 320 100; sleep 0.3; xdotool mouseup 1; sleep 0.3
xdotool mousedown 1; sleep 0.3; xdotool mousemove 100 378; sleep 0.3; xdotool mouseup 1; sleep 1
! xdotool search --name 'Path to external drive plots' >/dev/null 2>&1 || fail "a press and release on different regions opened the chooser"

# A second program started in the same folder leaves the running one's log and settings
# alone and says why.
log_head=$(head -1 "$work/run/log.txt")
(cd "$work/run" && exec "$kestrune" >"$work/run/stderr-again.txt" 2>&1) &
again=$!
answer 'Sorry' 50                             # "Kestrune is already running in this folder."
for _ in $(seq 20); do kill -0 "$again" 2>/dev/null || break; sleep 0.2; done
! kill -0 "$again" 2>/dev/null || fail "the second program did not end"
[ "$(head -1 "$work/run/log.txt")" = "$log_head" ] || fail "the second program emptied the running one's log.txt"

click 100 378                                 # target "Click to select...": the folder chooser
sleep 1
xdotool mousemove 500 400 key ctrl+l
xdotool type --delay 80 "plots"
sleep 0.5
xdotool key Return
sleep 1
shot target
expect_pixel target 490 420 E1E1E1            # enabled once a target is planned

click 45 392                                  # the target's fill caption: the fill prompt
xdotool key ctrl+a
xdotool type --delay 20 "0.0042"              # 16 nonces
sleep 0.5
click 320 356                                 # "OK"
click 550 436                                 # "Start Plotting!"
finished summary
plot=$(ls "$target" | grep -E '^7900104405094198526_[0-9]+_16_16$' | head -1)
[ -n "$plot" ] || fail "no finished 16-nonce plot file in $target: $(ls "$target")"
"$cli" check --full "$target/$plot" >/dev/null 2>&1 || fail "the plot file $plot does not check out"
grep -q "account: 7900104405094198526" "$work/run/config.yml" || fail "config.yml lacks the account"
grep -q -- "- $target/" "$work/run/config.yml" || fail "config.yml does not remember the target folder"

kill "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null
start 2
shot second
[ "$(darkest second 80x26+24+24)" -lt 100 ] || fail "the second start does not show the setup screen"
expect_pixel second 215 218 FFFFFF            # no first-run question

drop "$target/$plot"
checked check-good
[ "$red" -eq 0 ] || fail "the good file $plot shows red samples"
click 89 436                                  # "Back"
shot back
expect_pixel back 490 420 CCCCCC              # the setup screen again (no target: Start disabled)
mkdir "$work/damaged"
cp "$target/$plot" "$work/damaged/"
dd if=/dev/zero of="$work/damaged/$plot" bs=1M seek=1 count=1 conv=notrunc status=none
drop "$work/damaged/$plot"
checked check-damaged
[ "$red" -gt 0 ] || fail "the damaged copy of $plot shows no red samples"

# An unfinished file without a valid resume record starts again from its first nonce; it is
# large enough (400 MB) that the run is still going when the progress screen is shot.
mkdir "$work/resume"
unfinished=$work/resume/7900104405094198526_0_1600_1600.plotting
truncate -s $((1600 * 262144)) "$unfinished"
drop "$unfinished"
answer 'Resume[?]' 75                           # "Yes"
sleep 1.5
shot progress
expect_pixel progress 540 460 E1E1E1          # "Pause"
[ "$(pixel progress 24 130)" != FFFFFF ] || fail "progress: no compute chart at (24, 50)"
[ "$(pixel progress 472 130)" != FFFFFF ] || fail "progress: no gauge at x 472"
finished resumed
[ -f "${unfinished%.plotting}" ] || fail "the resumed file did not get its finished name"
echo "PASS: first-run question, account prompt, pointer rule, second program refused, chooser, fill prompt, plot $plot, summary, second start, checks, resume"

