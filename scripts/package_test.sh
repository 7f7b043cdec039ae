#!/usr/bin/env bash
# Installs the .deb into a fresh Debian 12 (debootstrap, minbase) with apt, so only the
# package's declared dependencies come along, then plots and checks with the installed CLI and
# runs the desktop session test against the installed kestrune. Needs root and Debian's mirror;
# the bare system is kept in build/debian12 for reruns.
# Usage: sudo ./scripts/package_test.sh   (after ./scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD/build/debian12
command -v debootstrap >/dev/null || apt-get install -y debootstrap
(cd build && cpack -G DEB >/dev/null)
deb=$(ls -t build/kestrune_*_amd64.deb | head -1)
[ -x "$root/bin/sh" ] || debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian

# The host's /tmp is shared, so the session test's scratch folders are the same paths inside.
mounts=(proc sys dev tmp)
cleanup() { for m in "${mounts[@]}"; do umount "$root/$m" 2>/dev/null || true; done; }
trap cleanup EXIT
for m in "${mounts[@]}"; do mount --bind "/$m" "$root/$m"; done
cp /etc/resolv.conf "$root/etc/"
cp "$deb" "$root/root/kestrune.deb"
chroot "$root" sh -c 'apt-get update -q >/dev/null && apt-get install -y -q /root/kestrune.deb >/dev/null'

# Wrappers that run an installed program inside the system, in the caller's folder.
for program in kestrune kestrune-cli; do
  printf '#!/bin/sh\nexec chroot %s /bin/sh -c '\''cd "$1" 2>/dev/null || cd /; shift; exec "$@"'\'' sh "$PWD" /usr/bin/%s "$@"\n' \
    "$root" "$program" >"build/installed-$program"
  chmod +x "build/installed-$program"
done

work=$(mktemp -d)
mkdir "$work/host"
build/installed-kestrune-cli plot -i 7900104405094198526 -s 0 -n 64 -p "$work" >/dev/null 2>&1
build/kestrune-cli plot -i 7900104405094198526 -s 0 -n 64 -p "$work/host" >/dev/null 2>&1
cmp "$work/7900104405094198526_0_64_64" "$work/host/7900104405094198526_0_64_64"
build/installed-kestrune-cli check --full "$work/7900104405094198526_0_64_64"
rm -rf "$work"
bash tests/ui/gui_session_test.sh build/installed-kestrune build/installed-kestrune-cli build/kestrune_drag_source
echo "PASS: $(basename "$deb") installs on a fresh Debian 12; the installed programs plot, check and run the desktop session"
