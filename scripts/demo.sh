#!/usr/bin/env bash
# Builds the program and its libraries (no tests, no benchmarks; preset
# `release`, folder build-release) and runs the demo against the built-in
# simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
cmake --preset release >/dev/null
cmake --build --preset release --target vexokrt
exec ./build-release/tools/vexokrt demo "$@"
