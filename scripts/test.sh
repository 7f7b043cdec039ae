#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cd build
ctest --output-on-failure -j "$(nproc)" --timeout 600
