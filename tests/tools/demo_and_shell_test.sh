#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job and the scripted shell, as a newcomer and a script run them:
# the demo against each simulated model, and a shell session whose output
# lines are parsed.
# Usage: demo_and_shell_test.sh VEXOKRT_PROGRAM
set -uo pipefail
program="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export OPOS_LOCK_DIR="$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
contains() {  # contains DESCRIPTION TEXT FILE
  if ! grep -qF -- "$2" "$3"; then fail "$1: no \"$2\" in $3"; cat "$3"; fi
}

for model in KRT07 KRT03; do
  export OPOS_REGISTRY_DIR="$work/demo-$model"
  if ! timeout 60 "$program" demo --model "$model" >"$work/demo.out" 2>&1; then
    fail "demo --model $model exits non-zero"; cat "$work/demo.out"
  fi
  for line in "OpenService: 0" "ClaimDevice(3000): 0" "event SOStatusUpdate 2001" "event SOStatusUpdate 12" \
              "event SOStatusUpdate 13" "event SOStatusUpdate 31" "event SOStatusUpdate 32" "ReleaseDevice: 0" \
              "Close: 0" "ExamlogS.txt" "History" "Trading" "BeginDeposit: 0" "FixDeposit: 0" \
              "event SOData 0" "EndDeposit(1, with change): 0" "event SOStatusUpdate 91" "AsyncResultCode 0" \
              "paid before the jam: 1500 yen" "every amount adds up"; do
    contains "demo $model" "$line" "$work/demo.out"
  done
  ls "$OPOS_REGISTRY_DIR/logs/"trace?? >/dev/null 2>&1 || fail "demo $model wrote no trace file"
done
if timeout 10 "$program" demo --model KRT99 >"$work/demo.out" 2>&1; then fail "an unknown model is refused"; fi
# Without --upos (the last demo above) the properties are those of 1.6.
if grep -qE 'CapStatisticsReporting|CapJamSensor|the members of releases' "$work/demo.out"; then
  fail "the demo of release 1.6 shows later members"; cat "$work/demo.out"
fi

# --upos 1.14 writes UposVersion and the demo calls the later members. A
# service object that still reports 1.6 has none of them: each refusal is
# said, and the demo still succeeds.
export OPOS_REGISTRY_DIR="$work/demo-upos"
if ! timeout 60 "$program" demo --upos 1.14 >"$work/demo.out" 2>&1; then
  fail "demo --upos 1.14 exits non-zero"; cat "$work/demo.out"
fi
contains "demo --upos" "the members of releases 1.8 to 1.11 (UposVersion 1.14):" "$work/demo.out"
"$program" config VexoDemo --show >"$work/demo-key.out" 2>&1
grep -qE '^ *UposVersion += "1\.14"' "$work/demo-key.out" || { fail "demo --upos writes UposVersion"; cat "$work/demo-key.out"; }
version="$(sed -n 's/^ *ServiceObjectVersion *//p' "$work/demo.out")"
if [ "$version" = 1006312 ]; then
  for member in RetrieveStatistics CompareFirmwareVersion AdjustCashCounts; do
    contains "demo --upos on 1.6" "$member: the service object (version 1006312) has no such member" "$work/demo.out"
  done
else
  contains "demo --upos on $version" 'RetrieveStatistics(""): 0 OPOS_SUCCESS' "$work/demo.out"
  contains "demo --upos on $version" "ReadCashCounts (after AdjustCashCounts)" "$work/demo.out"
fi

export OPOS_REGISTRY_DIR="$work/shell"
cat >"$work/script" <<'SCRIPT'
# a scripted session
ClaimDevice 1000
set PowerNotify 1
set DeviceEnabled 1
pump 300
get DeviceName
get 13004
set CurrencyCode jpy
set FreezeEvents 1
sim jam on
pump 800
get DeviceStatus
set FreezeEvents 0
pump 300
COFreezeEvents yes
ReadCashCounts
DispenseChange x
nonsense
"unterminated
sim jam off
pump 800
DispenseChange 1500
ReadCashCounts
ReleaseDevice
SCRIPT
timeout 60 "$program" shell --sim KRT07 Dev1 <"$work/script" >"$work/shell.out" 2>&1 || fail "shell exits non-zero"
expected=(
  'result OpenService 0 OPOS_SUCCESS'
  'result ClaimDevice 0 OPOS_SUCCESS'
  'set PowerNotify ResultCode=0'
  'set DeviceEnabled ResultCode=0'
  'event SOStatusUpdate 2001'
  'prop DeviceName "KRT07"'
  'prop CurrentExit 1'
  'set CurrencyCode ResultCode=106'
  'set FreezeEvents ResultCode=0'
  'sim ok'
  'prop DeviceStatus 31'
  'set FreezeEvents ResultCode=0'
  'event SOStatusUpdate 31'
  'error not true or false: yes'
  'result ReadCashCounts 0 OPOS_SUCCESS cashCounts="0:20,1:60,5:40,10:70,50:40,100:70,500:25;1000:50,2000:5,5000:10,10000:0" discrepancy=0'
  'error not a number: x'
  'error unknown command nonsense (try help)'
  'error unterminated quote'
  'sim ok'
  'event SOStatusUpdate 32'
  'result DispenseChange 0 OPOS_SUCCESS'
  'result ReadCashCounts 0 OPOS_SUCCESS cashCounts="0:20,1:60,5:40,10:70,50:40,100:70,500:24;1000:49,2000:5,5000:10,10000:0" discrepancy=0'
  'result ReleaseDevice 0 OPOS_SUCCESS'
  'result Close 0 OPOS_SUCCESS'
)
# Every expected line, in this order, and nothing unexpected in between.
if ! diff <(printf '%s\n' "${expected[@]}") "$work/shell.out" >"$work/diff"; then
  fail "shell session output"; cat "$work/diff"
fi

# The shell of a service object of release 1.6: props lists the 1.6
# properties only, and a later member is refused by name.
export OPOS_REGISTRY_DIR="$work/shell-release"
printf 'props\nRetrieveStatistics\nhelp CompareFirmwareVersion\n' |
  timeout 60 "$program" shell --sim KRT07 Dev1 >"$work/shell.out" 2>&1 || fail "shell of release 1.6 exits non-zero"
contains "shell props" "prop DepositCounts" "$work/shell.out"
if grep -qE '^prop (CapStatisticsReporting|CapCompareFirmwareVersion|CurrentService|CapJamSensor) ' "$work/shell.out"; then
  fail "props of release 1.6 lists later properties"; cat "$work/shell.out"
fi
contains "shell later member" "error RetrieveStatistics: the service object (version 1006312) has no such member" \
  "$work/shell.out"
contains "shell help of a later member" \
  "help CompareFirmwareVersion FirmwareFileName:text [pResult:number, by reference] -> result code" "$work/shell.out"

# The control panel's option on each command: the address is printed with the
# port the system chose, and a malformed one is refused before anything starts.
export OPOS_REGISTRY_DIR="$work/panel"
if ! timeout 60 "$program" demo --http 127.0.0.1:0 </dev/null >"$work/demo-http.out" 2>&1; then
  fail "demo --http exits non-zero"; cat "$work/demo-http.out"
fi
grep -qE '\] control panel at http://127\.0\.0\.1:[1-9][0-9]*/$' "$work/demo-http.out" ||
  { fail "demo --http prints the panel's address"; cat "$work/demo-http.out"; }
contains "demo --http" "event SOStatusUpdate 32" "$work/demo-http.out"
printf 'quit\n' | timeout 20 "$program" sim --model KRT07 --http 0 >"$work/sim-http.out" 2>&1 ||
  fail "sim --http exits non-zero"
sed -n 2p "$work/sim-http.out" | grep -qE '^http: http://127\.0\.0\.1:[1-9][0-9]*/$' ||
  { fail "sim --http prints the panel's address second"; cat "$work/sim-http.out"; }
for refused in "sim --http 127.0.0.1:" "sim --http 70000" "shell Dev1 --http 0" "shell --sim KRT07 Dev1 --http x"; do
  # shellcheck disable=SC2086
  if timeout 20 "$program" $refused </dev/null >"$work/refused.out" 2>&1; then fail "$refused is refused"; fi
done

# DirectIO by readable name or number, from the shell and as one command.
export OPOS_REGISTRY_DIR="$work/dio"
printf 'ClaimDevice 1000\nset DeviceEnabled 1\ndio settings 12 "0,B,1,2,F"\ndio page 12\ndio 5\ndio nothing\nhelp dio\n' |
  timeout 60 "$program" shell --sim KRT77 Dev1 >"$work/dio.out" 2>&1 || fail "shell dio exits non-zero"
contains "dio settings" 'result DirectIO 0 OPOS_SUCCESS pData=12 pString="0,B,1,2,F"' "$work/dio.out"
contains "dio page" 'result DirectIO 0 OPOS_SUCCESS pData=12 pString="C:0,B,1,2,F"' "$work/dio.out"
contains "dio by number" 'result DirectIO 106 OPOS_E_ILLEGAL pData=0 pString=""' "$work/dio.out"
contains "dio unknown name" 'error dio NAME|NUMBER [pData] [pString] (help dio)' "$work/dio.out"
contains "help dio" 'levels (87): fill level per denomination' "$work/dio.out"
timeout 60 "$program" dio Dev1 counts --sim KRT07 >"$work/dio-one.out" 2>&1 || fail "vexokrt dio exits non-zero"
grep -qE '^result DirectIO 0 OPOS_SUCCESS pData=0 pString="1:[0-9]+,5:[0-9]+,10:[0-9]+,50:[0-9]+,100:[0-9]+,500:[0-9]+;1000:[0-9]+,2000:[0-9]+,5000:[0-9]+,10000:[0-9]+"$' \
  "$work/dio-one.out" || { fail "vexokrt dio counts"; cat "$work/dio-one.out"; }
contains "vexokrt dio releases" "result ReleaseDevice 0 OPOS_SUCCESS" "$work/dio-one.out"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "all passed"
