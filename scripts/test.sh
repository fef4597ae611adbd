#!/usr/bin/env bash
# Builds and runs the whole suite twice: plain, then under AddressSanitizer and
# UndefinedBehaviorSanitizer; with VEXOKRT_TSAN=1 a third time under
# ThreadSanitizer. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
presets=(default asan)
if [[ "${VEXOKRT_TSAN:-0}" == 1 ]]; then presets+=(tsan); fi
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done
