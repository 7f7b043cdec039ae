#!/usr/bin/env bash
# Drives the real desktop program under Xvfb with xdotool, as a user would: the first-run
# question, the account prompt, a target folder through the native chooser, a small fill,
# "Start Plotting!", a finished plot file that checks out, and a second start that goes
# straight to the setup screen. Exits 77 (skipped) when no X server can be started.
set -u
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
kestrune=$(realpath "$1")
cli=$(realpath "$2")

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
xdotool type --delay 20 "0.02"
sleep 0.5
click 320 356                                 # "OK"
click 550 436                                 # "Start Plotting!"
plot=""
for _ in $(seq 60); do
  plot=$(ls "$target" | grep -E '^7900104405094198526_[0-9]+_[0-9]+_[0-9]+$' | head -1)
  [ -n "$plot" ] && break
  sleep 0.5
done
shot plotting
[ -n "$plot" ] || fail "no finished plot file in $target: $(ls "$target")"
"$cli" check "$target/$plot" >/dev/null 2>&1 || fail "the plot file $plot does not check out"
grep -q "account: 7900104405094198526" "$work/run/config.yml" || fail "config.yml lacks the account"
grep -q -- "- $target/" "$work/run/config.yml" || fail "config.yml does not remember the target folder"

kill "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null
start 2
shot second
[ "$(darkest second 80x26+24+24)" -lt 100 ] || fail "the second start does not show the setup screen"
expect_pixel second 215 218 FFFFFF            # no first-run question
echo "PASS: first-run question, account prompt, chooser, fill prompt, plot $plot, second start"
