#!/usr/bin/env bash
# Builds and runs the whole suite three times: plain, under AddressSanitizer
# with UndefinedBehaviorSanitizer, and under ThreadSanitizer. Exits non-zero
# when anything fails. Name presets to run only those (e.g. `scripts/test.sh default`);
# the name `fuzz` runs every fuzz target for 30 s (scripts/fuzz.sh 30), which
# the plain run leaves out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then presets=(default asan tsan); fi
for preset in "${presets[@]}"; do
  if [[ "$preset" == fuzz ]]; then
    scripts/fuzz.sh 30
    continue
  fi
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done
