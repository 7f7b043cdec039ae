#!/usr/bin/env bash
# Installs the Debian packages Kestrune needs (only those missing) and builds it into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config
          libgtest-dev libgmock-dev libbenchmark-dev
          libyaml-cpp-dev liblz4-dev
          opencl-headers ocl-icd-libopencl1 pocl-opencl-icd
          libgtk-3-dev libcairo2-dev xvfb xauth
          clang libclang-rt-dev xdotool imagemagick e2fsprogs liburing-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"
