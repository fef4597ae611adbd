#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks that clang's lock analysis sees the annotations of
# platform/thread_annotations.h: lock_analysis_cases.cc compiles as it is,
# and each of its cases that breaks a lock rule is refused with the
# analysis' own diagnostic (not for some other reason). Exits 77 (skipped)
# when clang++ is not installed.
#   lock_analysis_check.sh CLANGXX SOURCE_DIR
set -uo pipefail
clang="${1:-}"
src="${2:?source folder}"
if [[ -z "$clang" ]] || ! command -v "$clang" >/dev/null 2>&1; then
  echo "clang++ not found: the lock analysis cannot be checked"
  exit 77
fi
cases="$(dirname "$0")/lock_analysis_cases.cc"
compile() { "$clang" -std=c++20 -fsyntax-only -Wthread-safety -Werror -I"$src" "$@" "$cases" 2>&1; }

status=0
if ! out=$(compile); then
  echo "the file that keeps every lock rule does not compile:"
  echo "$out"
  status=1
fi
for broken in UNLOCKED_WRITE UNLOCKED_READ CALL_WITHOUT_REQUIRED CALL_WITH_EXCLUDED ACCESS_AFTER_UNLOCK \
              PREDICATE_WITHOUT_REQUIRES; do
  if out=$(compile "-D$broken"); then
    echo "$broken: compiled; the analysis did not see the broken rule"
    status=1
  elif ! grep -q -- '-Wthread-safety' <<<"$out"; then
    echo "$broken: refused, but not by the lock analysis:"
    echo "$out"
    status=1
  else
    echo "$broken: refused: $(grep -m1 -o 'error: .*' <<<"$out")"
  fi
done
exit $status
