#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the program and its libraries (no tests, no benchmarks; preset
# `demo`, folder build-demo: lightly optimised, a unity build) and runs the demo against
# the built-in simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo --target vexokrt
exec ./build-demo/tools/vexokrt demo "$@"
