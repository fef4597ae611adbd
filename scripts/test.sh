#!/usr/bin/env bash
# Builds and runs the whole suite three times: plain, under AddressSanitizer
# with UndefinedBehaviorSanitizer, and under ThreadSanitizer. Exits non-zero
# when anything fails. Name presets to run only those (e.g. `scripts/test.sh default`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then presets=(default asan tsan); fi
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done
