#!/usr/bin/env bash
# Emulated hard disks for speed work: loop devices over sparse files, formatted ext4, mounted,
# and throttled by the kernel's block-I/O controller, so that every request costs 1/IOPS s
# whatever its size up to the device's largest request (MAX_KB) and large sequential
# transfers run at the bandwidth, as on a spinning disk. Needs root and loop devices.
# MAX_KB is 256 by default (a quarter of a real disk's bytes per request); "hw" takes the
# loop device's own largest request (max_hw_sectors_kb), for cases that need a drive whose
# requests are large enough to reach its bandwidth at its requests/s.
#
#   drive_rig.sh up N MBPS IOPS [GB] [MAX_KB]   # makes drives 0..N-1, prints their folders
#   drive_rig.sh down                          # unmounts, detaches, clears the throttles
#   drive_rig.sh list                          # the folders of the drives now up
#   drive_rig.sh pace MBPS IOPS                # new limits for every drive (0 0: none)
#
# The throttle is set in the root cgroup of the blkio hierarchy (cgroup v1) or with io.max
# (cgroup v2), so it also holds the kernel's writeback of buffered writes, not only the
# direct writes of one process. RIG_DIR (default /var/tmp/kestrune-rig) holds the images
# and mount points; images are sparse and take only what is written.
set -euo pipefail

RIG_DIR=${RIG_DIR:-/var/tmp/kestrune-rig}
V1=/sys/fs/cgroup/blkio
V2=/sys/fs/cgroup

die() { echo "drive_rig: $*" >&2; exit 1; }

# throttle MAJ:MIN BYTES_PER_S IOPS: 0 and 0 clear the limits.
throttle() {
  local device=$1 bps=$2 iops=$3
  if [ -w "$V1/blkio.throttle.write_bps_device" ]; then
    for way in read write; do
      echo "$device $bps" > "$V1/blkio.throttle.${way}_bps_device"
      echo "$device $iops" > "$V1/blkio.throttle.${way}_iops_device"
    done
  elif [ -w "$V2/io.max" ]; then
    [ "$bps" = 0 ] && bps=max
    [ "$iops" = 0 ] && iops=max
    echo "$device rbps=$bps wbps=$bps riops=$iops wiops=$iops" > "$V2/io.max"
  else
    die "no block-I/O controller to throttle with (cgroup v1 blkio or v2 io.max)"
  fi
}

up() {
  local count=$1 mbps=$2 iops=$3 gb=${4:-64} max_kb=${5:-256}
  [ "$(id -u)" -eq 0 ] || die "needs root (loop devices, mounts, cgroups)"
  command -v mkfs.ext4 >/dev/null || die "mkfs.ext4 is missing (Debian e2fsprogs)"
  mkdir -p "$RIG_DIR"
  for ((i = 0; i < count; i++)); do
    local image="$RIG_DIR/drive$i.img" folder="$RIG_DIR/drive$i"
    mountpoint -q "$folder" 2>/dev/null && die "$folder is already up: run '$0 down' first"
    truncate -s "${gb}G" "$image"
    local loop
    loop=$(losetup --find --show "$image")
    echo "$loop" > "$RIG_DIR/drive$i.loop"
    local queue
    queue=/sys/block/$(basename "$loop")/queue
    [ "$max_kb" = hw ] && max_kb=$(cat "$queue/max_hw_sectors_kb")
    echo "$max_kb" > "$queue/max_sectors_kb"
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$loop"
    mkdir -p "$folder"
    mount "$loop" "$folder"
    throttle "$(cat "/sys/block/$(basename "$loop")/dev")" $((mbps * 1000000)) "$iops"
    echo "$folder"
  done
}

down() {
  shopt -s nullglob
  for record in "$RIG_DIR"/drive*.loop; do
    local loop folder=${record%.loop}
    loop=$(cat "$record")
    if [ -e "/sys/block/$(basename "$loop")/dev" ]; then
      throttle "$(cat "/sys/block/$(basename "$loop")/dev")" 0 0 || true
    fi
    mountpoint -q "$folder" && umount "$folder"
    losetup -d "$loop" 2>/dev/null || true
    rm -f "$record" "$folder.img"
    rmdir "$folder" 2>/dev/null || true
  done
}

list() {
  shopt -s nullglob
  for record in "$RIG_DIR"/drive*.loop; do echo "${record%.loop}"; done
}

pace() {
  shopt -s nullglob
  for record in "$RIG_DIR"/drive*.loop; do
    throttle "$(cat "/sys/block/$(basename "$(cat "$record")")/dev")" $(($1 * 1000000)) "$2"
  done
}

case "${1:-}" in
  up) [ $# -ge 4 ] || die "usage: $0 up N MBPS IOPS [GB] [MAX_KB]"; shift; up "$@" ;;
  down) down ;;
  list) list ;;
  pace) [ $# -eq 3 ] || die "usage: $0 pace MBPS IOPS"; pace "$2" "$3" ;;
  *) die "usage: $0 up N MBPS IOPS [GB] [MAX_KB] | down | list | pace MBPS IOPS" ;;
esac
