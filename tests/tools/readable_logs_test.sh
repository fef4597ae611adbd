#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What a person uses to read the driver's files and find their way in the
# program: `examlog` on the demo's ring and on damaged rings, `logs show` on
# the demo's CP932 files and on files that are not, --version, an example in
# every --help, `help MEMBER` and Tab completion in the shell, and `register`
# with a registry folder that is missing or cannot be made.
# Usage: readable_logs_test.sh VEXOKRT_PROGRAM
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
refused() {  # refused DESCRIPTION TEXT COMMAND...: exit 1 and TEXT on stderr, nothing on stdout
  local description="$1" text="$2"
  shift 2
  if "$@" >"$work/out" 2>"$work/err"; then fail "$description: accepted"; fi
  contains "$description" "$text" "$work/err"
  [ -s "$work/out" ] && { fail "$description: printed output"; cat "$work/out"; }
}

# The demo's files.
export OPOS_REGISTRY_DIR="$work/demo"
timeout 60 "$program" demo >"$work/demo.out" 2>&1 || { fail "demo"; cat "$work/demo.out"; }
logs="$work/demo/logs"

"$program" examlog "$logs/ExamlogS.txt" >"$work/exam.out" 2>&1 || { fail "examlog of the demo"; cat "$work/exam.out"; }
grep -oE '(enter|leave) (OpenService|Claim|Release|Close)|event fired: SOStatusUpdate (2001|12|13|31|32)' \
  "$work/exam.out" | tr '\n' ';' >"$work/order"
expected='enter OpenService;leave OpenService;enter Claim;leave Claim;event fired: SOStatusUpdate 2001;'
expected+='event fired: SOStatusUpdate 12;event fired: SOStatusUpdate 13;event fired: SOStatusUpdate 31;'
expected+='event fired: SOStatusUpdate 32;'
# The jam of the demo's pay-out and its end.
expected+='event fired: SOStatusUpdate 31;event fired: SOStatusUpdate 32;'
expected+='enter Release;leave Release;enter Close;leave Close;'
[ "$(cat "$work/order")" = "$expected" ] || { fail "examlog order"; cat "$work/order"; echo; cat "$work/exam.out"; }
contains "results are named" "leave OpenService argument 0, result 0 OPOS_SUCCESS" "$work/exam.out"
contains "properties are named" "set DeviceEnabled = 1" "$work/exam.out"
contains "times are shown" "$(date +%y-%m-%d)" "$work/exam.out"

# Damaged rings are refused with the reason.
exam="$logs/ExamlogS.txt"
head -c 40 "$exam" >"$work/short"
refused "examlog on a header cut short" "truncated: 40 bytes" "$program" examlog "$work/short"
head -c $(( $(stat -c %s "$exam") - 3 )) "$exam" >"$work/cut"
refused "examlog on a ring cut short" "lies outside the" "$program" examlog "$work/cut"
head -c 4000 /dev/urandom >"$work/garbage"
refused "examlog on garbage" "not an ExamLog" "$program" examlog "$work/garbage"
{ head -c 54 "$exam"; printf '%10d\r\nnot,a,record\r\n' 80; } >"$work/badline"
refused "examlog on a ring with a foreign line" "is not a record" "$program" examlog "$work/badline"
refused "examlog on a missing file" "cannot open" "$program" examlog "$work/missing"

# --follow prints what a service object writes after it started: `open`
# (OpenService, Close) with the demo's ring in its log folder.
mkdir -p "$work/followlogs"
cp "$exam" "$work/followlogs/ExamlogS.txt"
export OPOS_REGISTRY_DIR="$work/follow"
"$program" register >/dev/null 2>&1 || fail "register for follow"
"$program" config Follow1 --set "LogFolderName=$work/followlogs/" >/dev/null 2>&1 || fail "config for follow"
"$program" examlog --follow --interval 20 "$work/followlogs/ExamlogS.txt" >"$work/follow.out" 2>&1 &
follow_pid=$!
for _ in $(seq 1 200); do grep -q 'leave Close' "$work/follow.out" && break; sleep 0.05; done
before=$(grep -c '' "$work/follow.out")
"$program" open Follow1 >"$work/open.out" 2>&1 || { fail "open for follow"; cat "$work/open.out"; }
for _ in $(seq 1 200); do [ "$(grep -c 'leave Close' "$work/follow.out")" -ge 2 ] && break; sleep 0.05; done
kill "$follow_pid"; wait "$follow_pid" 2>/dev/null
tail -n +$((before + 1)) "$work/follow.out" | grep -oE '(enter|leave) (OpenService|Close)' | tr '\n' ';' >"$work/followed"
[ "$(cat "$work/followed")" = "enter OpenService;leave OpenService;enter Close;leave Close;" ] ||
  { fail "follow prints the new records in order"; cat "$work/followed"; echo; cat "$work/follow.out"; }

# logs show: the demo's CP932 files as UTF-8.
trading="$(ls "$logs"/Trading*.txt | head -1)"
"$program" logs show "$trading" >"$work/trading.out" 2>"$work/err" || { fail "logs show trading log"; cat "$work/err"; }
contains "trading log label in UTF-8" "通電時間(H)," "$work/trading.out"
trace="$(ls "$logs"/trace?? | head -1)"
"$program" logs show "$trace" >"$work/trace.out" 2>"$work/err" || { fail "logs show trace"; cat "$work/err"; }
contains "trace in UTF-8" "Inf::Enter   : CCashChanger::OpenService" "$work/trace.out"
"$program" logs show "$exam" >"$work/examtext.out" 2>"$work/err" || { fail "logs show ExamLog"; cat "$work/err"; }
contains "ExamLog header in UTF-8" "_エディタなどで編集しないで下さい(ファイル削除は可能)_" "$work/examtext.out"
printf '通電時間(H),300\r\n' >"$work/utf8.txt"
refused "logs show on UTF-8" "UTF-8 text, not a CP932 file" "$program" logs show "$work/utf8.txt"
printf 'abc\r\nline \x85\xff two\r\n' >"$work/latin.txt"
refused "logs show on bytes that are not CP932" "line 2 is not CP932 text" "$program" logs show "$work/latin.txt"
printf 'ELF\x00\x01\x02binary' >"$work/binary.bin"
refused "logs show on binary data" "line 1 holds binary data (byte 0x00 at column 4)" "$program" logs show "$work/binary.bin"
refused "logs show on a missing file" "cannot open" "$program" logs show "$work/missing"
refused "logs without show still needs its options" "--port is required" "$program" logs --code 1 --folder "$work/x"

# --version names both versions and the library.
"$program" --version >"$work/version" 2>&1 || fail "--version"
contains "program version" "vexokrt 1.6.0.312" "$work/version"
contains "service object version" "version 1006312 (Vexo Cash Changer KRT 77/07/02 Service Object)" "$work/version"
contains "library path" "libvexokrt77.so" "$work/version"

# Every subcommand's --help ends with an example.
"$program" --help >"$work/help" 2>&1
commands="$(sed -n '/^Subcommands:/,$p' "$work/help" | awk 'NR > 1 && NF { print $1 }')"
[ -n "$commands" ] || { fail "no subcommands in --help"; cat "$work/help"; }
for command in $commands; do
  "$program" "$command" --help >"$work/sub" 2>&1
  grep -q "^Example: vexokrt\|^Example: .*vexokrt $command" "$work/sub" || { fail "$command --help has no example"; cat "$work/sub"; }
done
"$program" logs show --help >"$work/sub" 2>&1
contains "logs show --help" "Example: vexokrt logs show" "$work/sub"

# help MEMBER in the shell.
export OPOS_REGISTRY_DIR="$work/shell"
printf 'help DispenseChange\nhelp directio\nhelp readcashcounts\nhelp set\nhelp Nothing\n' |
  timeout 60 "$program" shell --sim KRT07 Dev1 >"$work/shell.out" 2>&1 || fail "shell help"
contains "help of a member" "help DispenseChange Amount:number -> result code" "$work/shell.out"
contains "help of a by-reference member" \
  "help DirectIO Command:number [pData:number, by reference] [pString:text, by reference] -> result code" \
  "$work/shell.out"
contains "help of ReadCashCounts" "[pDiscrepancy:true|false, by reference]" "$work/shell.out"
contains "help of a command" "help set NAME|INDEX VALUE" "$work/shell.out"
contains "help of an unknown word" "error no member or command Nothing" "$work/shell.out"

# Tab completion at a terminal (a pseudo-terminal made by script(1)).
if command -v script >/dev/null && "$program" shell --help | grep -q . ; then
  # Tab completes "Dispense" to the common "DispenseC"; two more list both.
  # Each key stroke waits until the terminal shows what the one before did
  # (checked every 50 ms, at most 10 s each).
  shown() { for _ in $(seq 1 200); do grep -q -- "$1" "$work/tty.out" 2>/dev/null && return 0; sleep 0.05; done; return 1; }
  : >"$work/tty.out"
  { shown 'vexokrt>'; printf 'Dispense\t\t\t'; shown 'DispenseChange'; printf '\025get DeviceSt\t\n'
    shown 'DeviceStatus'; printf 'quit\n'; } |
    timeout 60 script -qfec "$program shell --sim KRT07 Dev1" /dev/null >>"$work/tty.out" 2>&1
  if grep -q 'vexokrt>' "$work/tty.out"; then
    contains "Tab lists the matching members" "DispenseCash" "$work/tty.out"
    contains "Tab lists the matching members" "DispenseChange" "$work/tty.out"
    contains "Tab completes a property name" "prop DeviceStatus" "$work/tty.out"
    # help at a terminal: the command list line by line. The history of this
    # run is kept in the state folder, and the next run recalls it with Up.
    export XDG_STATE_HOME="$work/state"
    : >"$work/tty.out"
    { shown 'vexokrt>'; printf 'help\n'; shown 'quit  '; printf 'get DeviceName\n'; shown 'prop DeviceName'
      printf 'quit\n'; } |
      timeout 60 script -qfec "$program shell --sim KRT07 Dev1" /dev/null >>"$work/tty.out" 2>&1
    tr -d '\r' <"$work/tty.out" >"$work/tty.lines"
    grep -qE '^  get NAME\|INDEX +read a property' "$work/tty.lines" || { fail "help prints its lines"; cat "$work/tty.lines"; }
    grep -qF '\x0A' "$work/tty.lines" && fail "help shows its line ends as \\x0A"
    history="$work/state/vexokrt/shell_history"
    [ "$(tail -n 2 "$history" 2>/dev/null)" = "$(printf 'get DeviceName\nquit')" ] ||
      { fail "the history is kept in $history"; cat "$history"; }
    : >"$work/tty.out"
    { shown 'vexokrt>'; printf '\033[A\033[A\n'; shown 'prop DeviceName'; printf 'quit\n'; } |
      timeout 60 script -qfec "$program shell --sim KRT07 Dev1" /dev/null >>"$work/tty.out" 2>&1
    contains "Up recalls the line of the previous run" "prop DeviceName" "$work/tty.out"
    [ "$(grep -c '' "$history")" -eq 5 ] || { fail "the history holds both runs"; cat "$history"; }
    unset XDG_STATE_HOME
  else
    echo "note: the shell has no line editing here (built without readline); completion not checked"
  fi
fi

# register: a missing registry folder is made; one that cannot be made is named.
export OPOS_REGISTRY_DIR="$work/new/registry/folder"
"$program" register >"$work/out" 2>&1 || { fail "register into a missing folder"; cat "$work/out"; }
[ -f "$OPOS_REGISTRY_DIR/machine.reg" ] || fail "register did not create the folder"
touch "$work/plainfile"
export OPOS_REGISTRY_DIR="$work/plainfile/registry"
refused "register below a file" "cannot create the registry folder $work/plainfile/registry" "$program" register

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "readable logs and help: all checks passed"
