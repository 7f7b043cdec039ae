#!/usr/bin/env bash
# Timings of convert and plots (a benchmark, not a test): converting a 4096-nonce (1 GiB) file
# beside cp of the same file followed by sync, in the same run, ROUNDS times (default 2); then
# plots over 10,000 empty-but-full-size (sparse) files in 100 folders.
# The file's bytes are random: conversion does not look at them. Needs about 2.5 GiB free in
# $TMPDIR (default /tmp). Uses build/kestrune-cli (or $KESTRUNE_CLI).
set -euo pipefail
rounds=${1:-2}
cd "$(dirname "$0")/.."
cli=$(realpath "${KESTRUNE_CLI:-build/kestrune-cli}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-convert-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

seconds() { local began=$1; awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }

head -c 1073741824 /dev/urandom >1_0_4096_4096
sync
for ((round = 1; round <= rounds; ++round)); do
  began=$(date +%s.%N); cp 1_0_4096_4096 copy && sync; copy=$(seconds "$began")
  rm copy && sync
  began=$(date +%s.%N); "$cli" convert 1_0_4096_4096 -q 2>/dev/null >/dev/null; to2=$(seconds "$began")
  began=$(date +%s.%N); "$cli" convert 1_0_4096 --to poc1 -q 2>/dev/null >/dev/null; to1=$(seconds "$began")
  echo "round $round: cp+sync ${copy} s, convert to poc2 ${to2} s, back to poc1 ${to1} s" \
       "(ratio $(awk -v a="$to2" -v b="$copy" 'BEGIN { printf "%.2f", a / b }'))"
done
rm -f 1_0_4096_4096

python3 - <<'EOF'
import os
for d in range(100):
    os.makedirs(f"f{d}")
    for i in range(100):
        start = (d * 100 + i) * 4096
        name = f"f{d}/123_{start}_4096" if i % 2 else f"f{d}/123_{start}_4096_4096"
        with open(name, "wb") as f:
            f.truncate(4096 * 262144)
EOF
for format in text --json; do
  flag=$([ "$format" = text ] && echo "" || echo "$format")
  began=$(date +%s.%N); "$cli" plots f* $flag >/dev/null; echo "plots ($format) over 10,000 files in 100 folders: $(seconds "$began") s"
done
