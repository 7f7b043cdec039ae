#!/usr/bin/env bash
# GPU benchmark and end-to-end check on one OpenCL device: lists the devices, runs
# `bench -g` at three sizes, plots a PoC2 file with the device, checks it with
# `check --full` and a few nonces with `nonce`, and prints nonces/min and the chosen size.
#
# Usage: gpu_bench.sh [--quick] [--device P:D] [--cli PATH] [--dir DIR]
#        gpu_bench.sh --bundle OUT
#   --quick     small sizes for a CPU OpenCL runtime (PoCL): bench at 32, 64 and 128 nonces
#               per pass, a 512-nonce PoC2 file with 128 nonces per pass and a 256-nonce PoC1
#               file with the device named twice (two queue slots)
#   --device    the device to use (default: the first GPU listed, else 0:0)
#   --cli       kestrune-cli to run (default: beside this script, then build/)
#   --dir       where the plot files go, on local disk (default: $TMPDIR or /tmp); removed after
#   --bundle    copies kestrune-cli, this script and the shared libraries it needs beyond the
#               C library (liblz4, libstdc++, libgcc_s) into OUT, for a machine without a build:
#               copy OUT over and run OUT/gpu_bench.sh there. The target needs glibc as new as
#               the build host's and its own OpenCL ICD loader (libOpenCL.so.1) and driver.
# Exit status 0 when every step passed, 1 when one failed, 77 when there is no OpenCL device.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
quick=0 device="" cli="" dir="${TMPDIR:-/tmp}" bundle=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --device) device=$2; shift ;;
    --cli) cli=$2; shift ;;
    --dir) dir=$2; shift ;;
    --bundle) bundle=$2; shift ;;
    *) echo "gpu_bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$cli" ]; then
  for c in "$here/kestrune-cli" "$here/../build/kestrune-cli"; do [ -x "$c" ] && { cli=$c; break; }; done
fi
[ -x "$cli" ] || { echo "gpu_bench: no kestrune-cli (build it, or give --cli)" >&2; exit 2; }
# Libraries carried beside the binary come first.
[ -d "$(dirname "$cli")/lib" ] && export LD_LIBRARY_PATH="$(dirname "$cli")/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

if [ -n "$bundle" ]; then
  mkdir -p "$bundle/lib"
  cp "$cli" "$bundle/kestrune-cli"
  cp "$here/gpu_bench.sh" "$bundle/gpu_bench.sh"
  ldd "$cli" | awk '/=> \// { print $3 }' | grep -Ev '/(libc|libm|libpthread|libdl|librt|ld-linux[^/]*)\.so' \
    | while read -r lib; do cp -L "$lib" "$bundle/lib/"; done
  echo "bundle in $bundle: $(ls "$bundle/lib" | tr '\n' ' ')"
  exit 0
fi

step() { echo; echo "== $*"; }
fail() { echo "gpu_bench: FAILED: $*" >&2; exit 1; }
start=$(date +%s)

step "devices"
devices=$("$cli" devices)
echo "$devices"
grep -q '^[0-9]*:[0-9]*  ' <<<"$devices" || { echo "gpu_bench: no OpenCL device"; exit 77; }
if [ -z "$device" ]; then
  device=$(awk '$2 == "GPU" { print $1; exit }' <<<"$devices")
  [ -n "$device" ] || device=$(awk '/^[0-9]+:[0-9]+ / { print $1; exit }' <<<"$devices")
fi
planned=$(awk -v d="$device" '$1 == d { found = 1; next } found && /plans/ { print $2; exit }' <<<"$devices")
[ -n "$planned" ] || fail "device $device is not listed"
echo "device $device: plotting would use $planned nonces per pass"

if [ "$quick" = 1 ]; then
  sizes="32 64 128" file_nonces=512 pass=128 seconds=0
else
  # A quarter, half and all of the planned size, in whole groups of 32.
  sizes="$((planned / 4 / 32 * 32)) $((planned / 2 / 32 * 32)) $planned" file_nonces=65536 pass="" seconds=20
fi

step "bench -g $device at $sizes nonces per pass"
for n in $sizes; do
  [ "$n" -ge 32 ] || continue
  out=$("$cli" bench -g "$device" --gpu-nonces "$n" --seconds "$seconds" --csv 2>/dev/null) || fail "bench at $n"
  tail -n 1 <<<"$out" | awk -F, '{ printf "  %8s nonces per pass: %10.0f nonces/min (%s nonces in %s s)\n", $6, $5, $3, $4 }'
done

work=$(mktemp -d "$dir/kestrune-gpu-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
account=10282355196851764065

# Plots one file of `file_nonces` with the device (slots: how many times it is named), then
# checks it.
plot_and_check() {
  local name=$1 slots=$2 format=$3 file_nonces=$4 gpus=() i
  for ((i = 0; i < slots; ++i)); do gpus+=(-g "$device"); done
  mkdir -p "$work/$name"
  step "plot $file_nonces nonces ($format, $slots slot(s)${pass:+, $pass nonces per pass})"
  local t0 t1 log
  t0=$(date +%s.%N)
  log=$("$cli" plot -i $account -p "$work/$name" -s 0 -n $file_nonces $([ "$format" = PoC2 ] && echo --poc2) \
        "${gpus[@]}" ${pass:+--gpu-nonces $pass} -q 2>&1) || { echo "$log"; fail "plot $name"; }
  t1=$(date +%s.%N)
  grep -E 'nonces per pass, set by|GPU direct mode|cuts the GPU size' <<<"$log" | sed 's/^[0-9-]* [0-9:]* /  /'
  awk -v n=$file_nonces -v a="$t0" -v b="$t1" 'BEGIN { printf "  plotted in %.1f s: %.0f nonces/min with writing\n", b - a, n * 60 / (b - a) }'
  local file
  file=$(ls "$work/$name"/${account}_0_${file_nonces}*)
  step "check --full $(basename "$file")"
  "$cli" check "$file" --full | tail -n 2 || fail "check $name"
  # A few nonces against `nonce`: 16 scoops each, first and last included.
  local n s expected=$work/nonce.bin
  for n in 0 $((file_nonces / 2 + 1)) $((file_nonces - 1)); do
    "$cli" nonce $account $n $([ "$format" = PoC2 ] && echo --poc2) -o "$expected"
    for s in 0 1 273 1365 2048 2730 4000 4095; do
      cmp -s <(dd if="$file" bs=64 skip=$((s * file_nonces + n)) count=1 status=none) \
             <(dd if="$expected" bs=64 skip=$s count=1 status=none) || fail "nonce $n scoop $s of $name"
    done
  done
  echo "  nonces 0, $((file_nonces / 2 + 1)) and $((file_nonces - 1)) equal kestrune-cli nonce"
  rm -rf "${work:?}/$name"
}

plot_and_check poc2 1 PoC2 $file_nonces
# Two queue slots on the one device: one pass of two shares fills the file.
[ "$quick" = 0 ] || plot_and_check poc1 2 PoC1 $((2 * pass))
echo
echo "gpu_bench: all steps passed in $(( $(date +%s) - start )) s"
