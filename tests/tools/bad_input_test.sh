#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The command line as a script relies on it. Every subcommand given missing,
# extra and malformed arguments exits 2 with one line on standard error that
# names what is wrong, and prints nothing on standard output; an operation
# that is tried and fails (a device key that does not exist, a registry
# folder that cannot be written, a port that cannot be opened, a call with a
# non-zero result) exits 1 and says why; a one-shot command stops at the
# first step that fails. Then the --json outputs, read back with a JSON parser,
# and the temporary folders of `shell --sim` and `dio --sim`.
# Usage: bad_input_test.sh VEXOKRT_PROGRAM
set -uo pipefail
program="$(realpath "$1")"
work="$(mktemp -d)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
export OPOS_LOCK_DIR="$work" OPOS_REGISTRY_DIR="$work/registry"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$program" register >/dev/null 2>&1 || fail "register"
"$program" config Dev1 --set Port=/dev/null >/dev/null 2>&1 || fail "config Dev1"
touch "$work/file"

# EXIT|TEXT ON STDERR|ARGUMENTS (split at blanks; none is empty)
usage_cases=(
  '2|A subcommand is required|'
  '2|unknown command nosuchcommand|nosuchcommand'
  '2|unknown option --frobnicate|--frobnicate'
  '2|NAME is required (or --list)|config'
  '2|was not expected: Dev2|config Dev1 Dev2'
  '2|--set wants Value=Text, not "Port"|config Dev1 --set Port'
  '2|"Nope" is not a setting of a cash changer|config Dev1 --set Nope=1'
  '2|--set: 1 required TEXT missing|config Dev1 --set'
  '2|--list takes no device name|config --list Dev1'
  '2|--json goes with --show or --list|config Dev1 --set Port=x --json'
  '2|was not expected: --bogus|config Dev1 --bogus'
  '2|was not expected: now|demo now'
  '2|unknown model KRT99|demo --model KRT99'
  '2|takes [ADDRESS:]PORT, not x|demo --http x'
  '2|not a release from 1.6 to 1.14: 1.15|demo --upos 1.15'
  '2|NAME is required|dio'
  '2|COMMAND is required|dio Dev1'
  '2|not a DirectIO name or number: nothing|dio Dev1 nothing'
  '2|not a number: x|dio Dev1 counts x'
  '2|was not expected: extra|dio Dev1 counts 0 text extra'
  '2|unknown model KRT99|dio Dev1 counts --sim KRT99'
  '2|--keep needs --sim|dio Dev1 counts --keep'
  '2|FILE is required|examlog'
  '2|was not expected: second|examlog first second'
  '2|not in range 10 to 60000|examlog first --interval 5'
  '2|--interval: Value x|examlog first --interval x'
  '2|--port is required|logs --code 99 --folder out'
  '2|Could not convert: --code = x|logs --port p --code x --folder out'
  '2|FILE is required|logs show'
  '2|was not expected: second|logs show first second'
  '2|NAME is required|open'
  '2|was not expected: Dev2|open Dev1 Dev2'
  '2|--port is required|probe'
  '2|not a line definition such as 9600,E,8,1|probe --port /dev/null --line fast'
  '2|was not expected: extra|probe --port /dev/null extra'
  '2|was not expected: extra|register extra'
  '2|--library: 1 required TEXT missing|register --library'
  '2|was not expected: extra|unregister extra'
  '2|NAME is required|shell'
  '2|was not expected: Dev2|shell Dev1 Dev2'
  '2|--http needs --sim|shell Dev1 --http 0'
  '2|--keep needs --sim|shell Dev1 --keep'
  '2|unknown model KRT99|shell --sim KRT99 Dev1'
  '2|takes [ADDRESS:]PORT, not x|shell --sim KRT07 Dev1 --http x'
  '2|was not expected: extra|sim extra'
  '2|unknown model KRT99|sim --model KRT99'
  '2|not in range 0 to 60000|sim --latency -1'
  '2|takes [ADDRESS:]PORT, not 70000|sim --http 70000'
  '1|no registry key HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\Nope|open Nope'
  '1|no registry key HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\Nope|shell Nope'
  '1|no registry key HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\Nope|dio Nope counts'
  '1|no device key HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\Nope|config Nope --show'
  '1|cannot open|examlog /nonexistent/ExamlogS.txt'
  '1|cannot open|logs show /nonexistent/trace09'
  '1|cannot create the registry folder|register'
)
for row in "${usage_cases[@]}"; do
  IFS='|' read -r expected text arguments <<<"$row"
  read -r -a args <<<"$arguments"
  # The registry rows run against a registry folder below a plain file.
  if [ "$text" = "cannot create the registry folder" ]; then registry="$work/file/registry"; else registry="$OPOS_REGISTRY_DIR"; fi
  OPOS_REGISTRY_DIR="$registry" timeout 30 "$program" "${args[@]}" </dev/null >"$work/out" 2>"$work/err"
  got=$?
  if [ "$got" -ne "$expected" ]; then fail "vexokrt $arguments: exit $got, expected $expected"; cat "$work/err"; continue; fi
  grep -qF -- "$text" "$work/err" || { fail "vexokrt $arguments: no \"$text\" on stderr"; cat "$work/err"; }
  if [ "$expected" -eq 2 ]; then
    [ "$(grep -c '' "$work/err")" -eq 1 ] || { fail "vexokrt $arguments: not one line on stderr"; cat "$work/err"; }
    [ -s "$work/out" ] && { fail "vexokrt $arguments: printed on stdout"; cat "$work/out"; }
  fi
done
"$program" config --list >"$work/list" 2>&1 || fail "config --list"
[ "$(cat "$work/list")" = "Dev1" ] || { fail "the refused commands left something in the registry"; cat "$work/list"; }

# A registry folder that cannot be written: as an unprivileged user where
# the test runs as root (root writes anywhere), else with the folder read-only.
locked="$work/locked"
mkdir -p "$locked"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  if command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$program"; then
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  fi
else
  chmod 555 "$locked"
  as_user=(env)
fi
if [ ${#as_user[@]} -gt 0 ]; then
  for row in 'no write access to the registry file|register' \
             'cannot create HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\Dev9|config Dev9 --set Port=/dev/null'; do
    IFS='|' read -r text arguments <<<"$row"
    read -r -a args <<<"$arguments"
    OPOS_REGISTRY_DIR="$locked" "${as_user[@]}" "$program" "${args[@]}" >"$work/out" 2>"$work/err"
    got=$?
    [ "$got" -eq 1 ] || fail "read-only registry: vexokrt $arguments: exit $got, expected 1"
    grep -qF -- "$text" "$work/err" || { fail "read-only registry: vexokrt $arguments: no \"$text\""; cat "$work/err"; }
  done
  [ -z "$(ls -A "$locked")" ] || fail "something was written into the read-only registry folder"
else
  echo "note: no unprivileged user can run $program; the read-only registry folder was not tried"
fi

# A port that cannot be opened: the reason in words, and for a port the user
# may not open, the group that grants it.
"$program" probe --port "$work/missing-tty" >"$work/out" 2>&1
[ $? -eq 1 ] || fail "probe of a missing port does not exit 1"
grep -qF "the port cannot be opened: No such file or directory (errno 2)" "$work/out" || { fail "probe names ENOENT"; cat "$work/out"; }
: >"$work/sim.out"
"$program" sim --model KRT07 --ignore-stdin >"$work/sim.out" 2>/dev/null </dev/null &
sim_pid=$!
for _ in $(seq 1 100); do grep -q '^slave: ' "$work/sim.out" && break; sleep 0.1; done
slave="$(sed -n 's/^slave: //p' "$work/sim.out")"
[ -n "$slave" ] || fail "the simulator did not start"
if [ -n "$slave" ] && [ "$(id -u)" -eq 0 ] && [ ${#as_user[@]} -gt 0 ]; then
  "${as_user[@]}" "$program" probe --port "$slave" >"$work/out" 2>&1
  [ $? -eq 1 ] || fail "probe of a port without permission does not exit 1"
  grep -qF "Permission denied (errno 13)" "$work/out" || { fail "probe names EACCES"; cat "$work/out"; }
  grep -qF "group dialout" "$work/out" || { fail "probe names the dialout group"; cat "$work/out"; }
else
  echo "note: not root, or no unprivileged user: a port without permission was not tried"
fi
if [ -n "$slave" ]; then
  "$program" probe --port "$slave" --json >"$work/probe.json" 2>"$work/err" || { fail "probe --json"; cat "$work/err"; }
  python3 - "$work/probe.json" <<'PY' || fail "probe --json content"
import json, sys
found = json.load(open(sys.argv[1]))
assert found["opened"] is True and found["detection_result"] == 0, found
assert found["model"] == "KRT07" and found["model_code"] == 7, found
assert found["line_settings"] == "9600,E,8,1" and found["status"]["length"] == 51, found
PY
fi

# One-shot commands stop at the first step that fails. A claim that fails
# (nothing answers on /dev/null): no enabling, no DirectIO, no release.
"$program" dio Dev1 counts >"$work/out" 2>"$work/err"
[ $? -eq 1 ] || fail "dio after a failed claim does not exit 1"
grep -qE '^vexokrt dio: ClaimDevice 3000 failed: result 1[0-9][0-9] OPOS_E_[A-Z]+' "$work/err" || { fail "the failed claim is named"; cat "$work/err"; }
grep -qE 'DeviceEnabled|DirectIO|ReleaseDevice' "$work/out" && { fail "dio went on after the failed claim"; cat "$work/out"; }
grep -qxF 'result Close 0 OPOS_SUCCESS' "$work/out" || { fail "dio closes after the failed claim"; cat "$work/out"; }
# A refused command: the result on stderr, the device released.
"$program" dio Dev2 999 --sim KRT07 >"$work/out" 2>"$work/err"
[ $? -eq 1 ] || fail "dio 999 does not exit 1"
grep -qxF 'vexokrt dio: DirectIO 999 failed: result 106 OPOS_E_ILLEGAL' "$work/err" || { fail "dio 999 names the result"; cat "$work/err"; }
grep -qxF 'result ReleaseDevice 0 OPOS_SUCCESS' "$work/out" || { fail "dio 999 releases"; cat "$work/out"; }

# --json: dio, config --show and --list, examlog.
"$program" dio Dev2 counts --sim KRT07 --json >"$work/dio.json" 2>"$work/err" || { fail "dio --json"; cat "$work/err"; }
"$program" dio Dev2 999 --sim KRT07 --json >"$work/dio-failed.json" 2>/dev/null && fail "dio 999 --json exits 0"
"$program" config Dev1 --show --json >"$work/config.json" 2>"$work/err" || { fail "config --show --json"; cat "$work/err"; }
"$program" config --list --json >"$work/list.json" 2>"$work/err" || { fail "config --list --json"; cat "$work/err"; }
OPOS_REGISTRY_DIR="$work/demo" timeout 60 "$program" demo >/dev/null 2>&1 || fail "demo for the ExamLog"
"$program" examlog "$work/demo/logs/ExamlogS.txt" --json >"$work/exam.jsonl" 2>"$work/err" || { fail "examlog --json"; cat "$work/err"; }
"$program" examlog "$work/demo/logs/ExamlogS.txt" >"$work/exam.txt" 2>&1
python3 - "$work" <<'PY' || fail "JSON outputs"
import json, re, sys
work = sys.argv[1]
dio = json.load(open(work + "/dio.json"))
assert dio["device"] == "Dev2" and dio["command"] == 1 and dio["result"] == 0 and dio["failure"] is None, dio
assert re.fullmatch(r"1:\d+,5:\d+,10:\d+,50:\d+,100:\d+,500:\d+;1000:\d+,2000:\d+,5000:\d+,10000:\d+", dio["pString"]), dio
assert "result ReleaseDevice 0 OPOS_SUCCESS" in dio["lines"], dio
failed = json.load(open(work + "/dio-failed.json"))
assert failed["result"] == 106 and failed["failure"] == "DirectIO 999 failed: result 106 OPOS_E_ILLEGAL", failed
config = json.load(open(work + "/config.json"))
assert config["key"].endswith("\\CashChanger\\Dev1") and config["service_object"] == "OPOS.CashChanger.Vexo-KRT77", config
port = [s for s in config["settings"] if s["name"] == "Port"][0]
assert port["value"] == "/dev/null", port
level = [s for s in config["settings"] if s["name"] == "DbgLogLevel"][0]
assert level["value"] is None and level["default"] == "-1", level
assert json.load(open(work + "/list.json")) == ["Dev1", "Dev2"]
records = [json.loads(line) for line in open(work + "/exam.jsonl")]
text = [line for line in open(work + "/exam.txt") if not line.startswith("#")]
assert len(records) == len(text) > 10, (len(records), len(text))
for record, line in zip(records, text):
    assert line.startswith(record["time"]) and record["text"] in line, (record, line)
    assert line.rstrip().endswith("[%d,%d,%d,%d]" % (record["kind"], record["code"], record["argument"], record["result"]))
PY

# The temporary registry folders of the simulator: removed, or kept when asked
# and named.
unset OPOS_REGISTRY_DIR
mkdir -p "$work/tmp"
export TMPDIR="$work/tmp"
printf 'ClaimDevice 1000\n' | timeout 60 "$program" shell --sim KRT07 Dev1 >"$work/out" 2>&1 || fail "shell --sim"
"$program" dio Dev1 counts --sim KRT07 >"$work/out" 2>&1 || fail "dio --sim"
[ -z "$(ls -A "$work/tmp")" ] || { fail "shell --sim or dio --sim left a folder behind"; ls -la "$work/tmp"; }
for command in "shell --sim KRT07 --keep Dev1" "dio Dev1 counts --sim KRT07 --keep"; do
  read -r -a args <<<"$command"
  timeout 60 "$program" "${args[@]}" </dev/null >"$work/out" 2>"$work/err" || fail "$command"
  kept="$(sed -n "s/^vexokrt [a-z]*: kept the simulator's registry folder //p" "$work/err")"
  if [ -z "$kept" ] || [ ! -f "$kept/machine.reg" ]; then fail "$command does not keep and name its folder"; cat "$work/err"; fi
  case "$kept" in "$work/tmp/"*) rm -rf "$kept" ;; *) fail "$command kept $kept, outside TMPDIR" ;; esac
done

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "bad input and exit codes: ${#usage_cases[@]} cases, all checks passed"
