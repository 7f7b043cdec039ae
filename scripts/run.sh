#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs kestrune-cli with the given arguments,
# or the desktop program when there are none. Paths in the arguments are relative to the
# folder it is started from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
if [ $# -gt 0 ]; then
  exec "$root/build/kestrune-cli" "$@"
fi
exec "$root/build/kestrune"
