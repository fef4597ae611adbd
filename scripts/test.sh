#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target for 20 s (scripts/fuzz.sh 20), builds the libraries
# and the program with clang and its lock analysis (preset clang: a build,
# no tests), then builds and runs the whole suite three times: plain (the
# browser test included), under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer. Exits non-zero when
# anything fails. Name presets to run only those (e.g. `scripts/test.sh
# default`; `fuzz` for the fuzz runs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The builds compile through ccache when it is installed; paths below the
# checkout are hashed relative to it, so a clone in another folder finds what
# this one compiled.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then presets=(fuzz clang default asan tsan); fi
for preset in "${presets[@]}"; do
  if [[ "$preset" == fuzz ]]; then
    scripts/fuzz.sh 20
    continue
  fi
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [[ "$preset" == clang ]]; then continue; fi
  echo "=== $preset: test"
  ctest --preset "$preset"
done
