#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target for 20 s (scripts/fuzz.sh 20), builds the libraries
# and the program with clang and its lock analysis (preset clang: a build,
# no tests), and builds and runs the whole suite three times: plain (the
# browser test included), under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer. Exits non-zero when anything fails. Name
# presets to run only those, one after the other (e.g. `scripts/test.sh
# default`; `fuzz` for the fuzz runs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The builds compile through ccache when it is installed; paths below the
# checkout are hashed relative to it, so a clone in another folder finds what
# this one compiled.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
build() {
  echo "=== $1: configure and build"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}
run_tests() {
  echo "=== $1: test"
  ctest --preset "$1"
}

# A job beside the tests, at the lowest priority so that the tests come
# first; its output is shown once it has ended.
side_pid=""
side_log=""
side() {
  side_log="$(mktemp)"
  (
    renice -n 19 "$BASHPID" >/dev/null
    "$@"
  ) >"$side_log" 2>&1 &
  side_pid=$!
}
side_done() {
  local status=0
  wait "$side_pid" || status=$?
  cat "$side_log"
  rm -f "$side_log"
  side_pid=""
  return "$status"
}
trap '[[ -n "$side_pid" ]] && kill "$side_pid" 2>/dev/null; [[ -n "$side_log" ]] && rm -f "$side_log"' EXIT
fuzz_and_clang() {
  scripts/fuzz.sh 20
  build clang
}

if [[ $# -eq 0 ]]; then
  # The whole suite. Most tests of the plain suite wait on the simulated
  # machine rather than compute, which leaves about a core idle: the fuzz
  # runs and the clang build go beside it. The sanitizer suites run alone:
  # under them the tests need the cores themselves.
  build default
  side fuzz_and_clang
  run_tests default
  side_done
  for preset in asan tsan; do
    build "$preset"
    run_tests "$preset"
  done
  exit 0
fi

for preset in "$@"; do
  if [[ "$preset" == fuzz ]]; then
    scripts/fuzz.sh 20
    continue
  fi
  build "$preset"
  if [[ "$preset" == clang ]]; then continue; fi
  run_tests "$preset"
done
