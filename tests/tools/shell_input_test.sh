#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The scripted shell given hostile input: control bytes, zero bytes, escapes
# the command language does not have, and one very long line.
# Usage: shell_input_test.sh VEXOKRT_PROGRAM
set -uo pipefail
program="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export OPOS_LOCK_DIR="$work" OPOS_REGISTRY_DIR="$work/registry"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

printf 'bad\001cmd\033[2J\nDirectIO 21 0 "a\\qb"\nDirectIO 21 0 "a\\rb"\nDirectIO 21 0 "a\000b"\nnon\000sense\n' |
  timeout 30 "$program" shell --sim KRT07 --no-open Dev1 >"$work/out" 2>&1 || fail "shell exits non-zero"
expected=(
  'error unknown command bad\x01cmd\x1B[2J (try help)'
  'error unknown escape \q'
  'error unknown escape \r'
  'error zero byte in line at column 17'
  'error zero byte in line at column 4'
)
if ! diff <(printf '%s\n' "${expected[@]}") <(head -n 5 "$work/out") >"$work/diff"; then
  fail "errors name the input with its control bytes shown"; cat "$work/diff"
fi
if LC_ALL=C grep -q '[[:cntrl:]]' "$work/out"; then fail "a control byte reached the output"; cat -v "$work/out"; fi

# One long line (64 MiB; less where a sanitizer slows every byte down, as
# VEXOKRT_LONG_LINE_MIB says): read in time proportional to its length (a few
# seconds at most; reading it in time that grows with its square takes minutes).
mib="${VEXOKRT_LONG_LINE_MIB:-64}"
bytes=$((mib * 1048576))
{ head -c "$bytes" /dev/zero | tr '\0' x; printf '\nquit\n'; } >"$work/long"
start=$(date +%s)
timeout 60 "$program" shell --sim KRT07 --no-open Dev1 <"$work/long" >"$work/long.out" 2>&1 || fail "long line: shell failed or took over 60 s"
took=$(( $(date +%s) - start ))
echo "a ${mib} MiB line took ${took} s"
[ "$took" -le 20 ] || fail "a ${mib} MiB line took ${took} s"
size=$(stat -c %s "$work/long.out")
[ "$size" -gt "$bytes" ] || fail "the long line was not answered whole (${size} bytes out)"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "shell input: all passed"
