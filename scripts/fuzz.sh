#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 30).
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Targets: frame_decoder, cash_counts, reg_file, directio. New inputs go to
# build-fuzz/corpus/TARGET (the committed seeds in tests/fuzz/corpus/TARGET
# are read, never changed); a crash leaves its input in build-fuzz/artifacts/
# and makes the script exit non-zero. Targets run one per core at a time.
# Runs for hours: give the seconds, e.g. scripts/fuzz.sh 14400 reg_file.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then targets=(frame_decoder cash_counts reg_file directio); fi
scripts/deps.sh fuzz

declare -A sources=(
  [frame_decoder]="src/link/frame_codec.cc"
  [cash_counts]="src/cash/cash_counts.cc"
  [reg_file]="src/platform/reg_file.cc src/platform/codepage.cc"
  [directio]="src/directio/readouts.cc src/cash/cash_counts.cc"
)
out=build-fuzz
mkdir -p "$out/artifacts"
# Builds and runs one target; its output goes to $out/TARGET.log.
fuzz_one() {
  local target=$1
  # shellcheck disable=SC2086
  if ! clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
      -Isrc "tests/fuzz/${target}_fuzz.cc" ${sources[$target]} -o "$out/${target}_fuzz" 2>"$out/${target}.log"; then
    echo "fuzz $target: build FAILED" >&2
    cat "$out/${target}.log" >&2
    return 1
  fi
  mkdir -p "$out/corpus/$target"
  if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$out/${target}_fuzz" -max_total_time="$seconds" \
      -print_final_stats=1 -artifact_prefix="$out/artifacts/${target}-" \
      "$out/corpus/$target" "tests/fuzz/corpus/$target" 2>"$out/${target}.log"; then
    echo "fuzz $target FAILED; last lines of $out/${target}.log:" >&2
    tail -n 40 "$out/${target}.log" >&2
    return 1
  fi
  echo "fuzz $target: ${seconds} s, $(grep -E '^stat::number_of_executed_units' "$out/${target}.log" || true)"
}
for target in "${targets[@]}"; do
  if [[ -z "${sources[$target]:-}" ]]; then echo "unknown fuzz target: $target" >&2; exit 2; fi
done
# One target per core at a time.
jobs_at_once=$(nproc)
status=0
running=0
for target in "${targets[@]}"; do
  if (( running >= jobs_at_once )); then
    wait -n || status=1
    running=$((running - 1))
  fi
  echo "=== fuzz $target: build and ${seconds} s"
  fuzz_one "$target" &
  running=$((running + 1))
done
while (( running > 0 )); do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
