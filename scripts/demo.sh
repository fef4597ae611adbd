#!/usr/bin/env bash
# Builds the program and runs the demo against the built-in simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec ./build/tools/vexokrt demo "$@"
