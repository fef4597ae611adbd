#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The command-line path an installer and an operator take: register the
# library, configure a device, open it; and the errors for what is missing.
# Usage: service_object_cli_test.sh VEXOKRT_PROGRAM
set -uo pipefail
program="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export OPOS_REGISTRY_DIR="$work/registry" OPOS_LOCK_DIR="$work"
mkdir -p "$work/logs"
failures=0
check() {  # check DESCRIPTION EXPECTED_EXIT COMMAND...
  local description="$1" expected="$2"
  shift 2
  "$@" >"$work/out" 2>&1
  local got=$?
  if [ "$got" -ne "$expected" ]; then
    echo "FAIL: $description: exit $got, expected $expected"; cat "$work/out"; failures=$((failures + 1))
  fi
}
contains() {  # contains DESCRIPTION TEXT FILE
  if ! grep -qF -- "$2" "$3"; then echo "FAIL: $1: no \"$2\" in $3"; cat "$3"; failures=$((failures + 1)); fi
}

check "open before anything exists" 1 "$program" open Changer1
contains "missing device key is named" 'no registry key HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\Changer1' "$work/out"
check "register a library that does not exist" 1 "$program" register --library "$work/none.so"
contains "missing library is named" "$work/none.so" "$work/out"

check "register" 0 "$program" register
check "config" 0 "$program" config Changer1 --set "DbgLogFileName=$work/logs/trace" --set DbgLogLevel=0 \
  --set "LogFolderName=$work/logs/"
check "open" 0 "$program" open Changer1
contains "open reports its result" "OpenService: 0, GetOpenResult: 0" "$work/out"
contains "trace file of today" "Inf::Exit    : CCashChanger::Close" "$work/logs/trace$(date +%d)"
exam="$work/logs/ExamlogS.txt"
[ "$(head -c 54 "$exam" | iconv -f CP932 -t UTF-8)" = "_エディタなどで編集しないで下さい(ファイル削除は可能)_" ] ||
  { echo "FAIL: ExamLog header"; failures=$((failures + 1)); }
contains "ExamLog close record" ",1,102,0,0" "$exam"

check "unregister" 0 "$program" unregister
check "open after unregister" 1 "$program" open Changer1
contains "unregistered service object is named" 'OPOS.CashChanger.Vexo-KRT77" is not registered' "$work/out"

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "service object command line: all checks passed"
