#!/usr/bin/env bash
# Plotting on emulated hard disks (scripts/drive_rig.sh): each case's rate as a fraction of
# the drive's rate (or of the sum of the drives' rates), beside what the processor computes
# in the same run, so it shows whether the drives or the processor set the pace.
#
#   drive_bench.sh            # the cases of the README's table (about 12 minutes, 12 GiB written)
#   drive_bench.sh --quick    # one short direct case (128 MiB), the one CI runs
#   drive_bench.sh one two    # only the named cases: one (drive), two (drives), staged
#
# The staged case's drive takes the loop device's largest requests (drive_rig.sh MAX_KB hw):
# at 250 requests/s the default 256 KiB requests cap any writer at 64 MB/s, a third of the
# drive's 200 MB/s. It first measures the staging folder's disk (the host's) writing and
# reading alone and both at once, and what `dd` of 4 MiB direct blocks gets from the drive,
# which on a loaded host can fall short of its throttle.
#
# CLI=path runs another build's kestrune-cli (to compare two builds in one sitting); RIG_DIR
# puts the emulated drives elsewhere (drive_rig.sh). Needs root and loop devices; builds
# build/ first when kestrune-cli is missing. Every file is checked afterwards with the
# throttles lifted (--full in the quick case), and the drives are torn down on exit whatever
# happens.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${CLI:-$PWD/build/kestrune-cli}
rig=$PWD/scripts/drive_rig.sh
[ -x "$cli" ] || ./scripts/setup.sh >/dev/null
export RIG_DIR=${RIG_DIR:-/var/tmp/kestrune-rig}
work=$(mktemp -d /var/tmp/kestrune-bench.XXXXXX)
trap '"$rig" down; rm -rf "$work"' EXIT
"$rig" down
account=7900104405094198526
threads=$(nproc)
failed=0

now() { date +%s.%N; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# The processor's rate in MB/s of nonces: the plotter's own choice on every thread.
compute_mbps() {
  "$cli" bench --cpu "$threads" --seconds "$1" --csv 2>/dev/null |
    awk -F, -v t="$threads" '$1 == "best" && $2 == t { printf "%.1f", $5 * 262144 / 60 / 1e6 }'
}

# check FILE...: sampled, or every nonce with CHECK=--full.
check() {
  for file in "$@"; do
    if ! "$cli" check ${CHECK:-} "$file" >"$work/check.out" 2>&1; then
      echo "  FAILED check of $file:"; sed 's/^/    /' "$work/check.out"; failed=1
    fi
  done
}

# direct NAME DRIVES MBPS IOPS NONCES MEM_GIB: one file of NONCES on each drive, written
# directly; prints the fraction of the drives' summed rate.
direct() {
  local name=$1 drives=$2 mbps=$3 iops=$4 nonces=$5 mem=$6
  mapfile -t folders < <("$rig" up "$drives" "$mbps" "$iops")
  local targets=() t0 t1 log="$work/direct$drives.log"
  for folder in "${folders[@]}"; do targets+=(-p "$folder"); done
  t0=$(now)
  "$cli" plot -i "$account" -s 0 -n "$nonces" "${targets[@]}" -m "$mem" -q >"$log" 2>&1 ||
    { echo "  plot failed:"; tail -5 "$log"; failed=1; }
  t1=$(now)
  local rate
  rate=$(awk -v b=$((nonces * drives * 262144)) -v s="$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" 'BEGIN { printf "%.1f", b / s / 1e6 }')
  printf "%-44s %8s MB/s of %4d MB/s  %s of the drives  (load %s)\n" "$name" "$rate" $((mbps * drives)) \
    "$(ratio "$rate" $((mbps * drives)))" "$(load)"
  grep -h "batch\|Pace:" "$log" | head -3 | sed 's/^/    plan: /' || true
  "$rig" pace 0 0
  check $(for folder in "${folders[@]}"; do ls "$folder"/"${account}"_* ; done)
  "$rig" down
}

# staged NAME MBPS IOPS NONCES: one file plotted into a staging folder on the host's disk and
# moved to one drive; prints the move's fraction of the drive's rate.
staged() {
  local name=$1 mbps=$2 iops=$3 nonces=$4
  local folder
  folder=$("$rig" up 1 "$mbps" "$iops" 64 hw)
  local dd_rate
  dd_rate=$(dd if=/dev/zero of="$folder/dd" bs=4M count=256 oflag=direct conv=fdatasync 2>&1 | tail -1 |
    awk '{ v = $(NF-1); if ($NF ~ /^GB/) v *= 1000; printf "%.1f", v }')
  rm -f "$folder/dd"
  echo "  the drive alone, dd of 1 GiB in 4 MiB direct blocks: $dd_rate MB/s"
  mkdir -p "$work/ssd"
  "$cli" plot -i "$account" -s 0 -n "$nonces" -p "$folder" --ssd "$work/ssd" -q >"$work/staged.log" 2>&1 &
  local pid=$! began="" log="$work/staged.log"
  while kill -0 "$pid" 2>/dev/null; do
    if [ -z "$began" ] && compgen -G "$folder/*.moving" >/dev/null; then began=$(now); fi
    sleep 0.05
  done
  wait "$pid" || { echo "  plot failed:"; tail -5 "$log"; failed=1; }
  local ended rate
  ended=$(now)
  rate=$(awk -v b=$((nonces * 262144)) -v s="$(awk -v a="${began:-$ended}" -v b="$ended" 'BEGIN { print b - a }')" \
    'BEGIN { printf "%.1f", (s > 0 ? b / s / 1e6 : 0) }')
  printf "%-44s %8s MB/s of %4d MB/s  %s of the drive (the move), %s of dd  (load %s)\n" "$name" "$rate" "$mbps" \
    "$(ratio "$rate" "$mbps")" "$(ratio "$rate" "$dd_rate")" "$(load)"
  "$rig" pace 0 0
  check "$folder"/"${account}"_*
  rm -rf "$work/ssd"
  "$rig" down
}

# The staging folder's disk (the host's): 2 GiB of direct 8 MiB transfers written alone, read
# alone, and both at once (a move reading one file while the plotter writes the next).
staging_share() {
  local a="$work/share-a" b="$work/share-b" rate='{ print $(NF-1), $NF }'
  echo "staging disk (host): write alone $(dd if=/dev/zero of="$a" bs=8M count=256 oflag=direct conv=fdatasync 2>&1 | tail -1 | awk "$rate")," \
    "read alone $(dd if="$a" of=/dev/null bs=8M iflag=direct 2>&1 | tail -1 | awk "$rate")"
  dd if="$a" of=/dev/null bs=8M iflag=direct 2>"$work/share-read" &
  dd if=/dev/zero of="$b" bs=8M count=256 oflag=direct conv=fdatasync 2>"$work/share-write"
  wait
  echo "  both at once: read $(tail -1 "$work/share-read" | awk "$rate"), write $(tail -1 "$work/share-write" | awk "$rate")"
  rm -f "$a" "$b"
}

compute=$(compute_mbps 3)
echo "processor: $compute MB/s of nonces on $threads threads (the plotter's choice of family; load $(load))"
if [ "${1:-}" = "--quick" ]; then
  CHECK=--full direct "one drive 100 MB/s 1000 req/s, 512 nonces" 1 100 1000 512 1
else
  cases=${*:-one two staged}
  for name in $cases; do
    case $name in
      one) direct "one drive 25 MB/s 100 req/s, 16384 nonces, -m 1" 1 25 100 16384 1 ;;
      two) direct "two drives 25 MB/s 100 req/s, 16384 each, -m 2" 2 25 100 16384 2 ;;
      staged) staging_share; staged "one drive 200 MB/s 250 req/s behind a staging folder, 16384" 200 250 16384 ;;
      *) echo "drive_bench: no case $name (one, two, staged)" >&2; exit 2 ;;
    esac
  done
fi
echo "processor after: $(compute_mbps 3) MB/s (load $(load))"
exit "$failed"
