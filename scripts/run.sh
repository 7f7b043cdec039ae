#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs kestrune-cli with the given arguments,
# or the desktop program when there are none.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
if [ $# -gt 0 ]; then
  exec ./build/kestrune-cli "$@"
fi
exec ./build/kestrune
