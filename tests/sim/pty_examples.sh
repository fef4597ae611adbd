#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Talks to "vexokrt sim" through the slave side of its pseudo-terminal with
# nothing but stty, printf and dd: writes the protocol's worked example frames
# and checks the answers byte by byte. Usage: pty_examples.sh [path/to/vexokrt]
set -euo pipefail

bin=${1:-build/tools/vexokrt}
work=$(mktemp -d)
pids=()
cleanup() {
  exec 3>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # description, expected, actual
  if [[ "$2" == "$3" ]]; then
    echo "ok    $1"
  else
    echo "FAIL  $1: expected '$2', got '$3'"
    failures=$((failures + 1))
  fi
}

# Starts a simulator of model $1; sets slave.
start_sim() {
  "$bin" sim --model "$1" --ignore-stdin </dev/null >"$work/$1.out" 2>/dev/null &
  pids+=($!)
  slave=""
  for _ in $(seq 100); do
    slave=$(sed -n 's/^slave: //p' "$work/$1.out" 2>/dev/null | head -n1)
    [[ -n "$slave" ]] && break
    sleep 0.05
  done
  [[ -n "$slave" ]] || { echo "FAIL  no slave path from the $1 simulator"; exit 1; }
}

# Opens the slave as fd 3 with the given stty settings.
open_line() {  # path, stty settings...
  local path=$1
  shift
  exec 3<>"$path"
  stty -F "$path" raw -echo "$@"
}

# Sends hex bytes ("02 11 48 ...") and prints the hex of the next $2 bytes
# (whatever arrived within a second when fewer come).
exchange() {
  local bytes=$1 count=$2 escaped=""
  for b in $bytes; do escaped+="\\x$b"; done
  printf "$escaped" >&3
  timeout 1 dd bs=1 count="$count" <&3 2>/dev/null | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' || true
}

# BCC of a host frame body: exclusive-or of the bytes and ETX.
frame() {  # body hex bytes -> full frame hex
  local bcc=3
  for b in $1; do bcc=$((bcc ^ 16#$b)); done
  printf '02 %s 03 %02x' "$1" "$bcc"
}

# Checks a data answer: DLE STX, length characters, ETX and BCC; prints the data hex.
data_of() {
  local -a a=($1)
  local n=$(( (16#${a[2]} - 0x30) * 16 + (16#${a[3]} - 0x30) ))
  local bcc=0
  for ((i = 2; i < 5 + n; i++)); do bcc=$((bcc ^ 16#${a[i]})); done
  if [[ "${a[0]} ${a[1]}" != "10 02" || "${a[4 + n]}" != "03" || $((16#${a[5 + n]})) -ne $bcc ]]; then
    echo "bad-frame"
    return
  fi
  echo "${a[@]:4:n}"
}

ascii() { local out=""; for b in $1; do out+=$(printf "\\x$b"); done; printf '%s' "$out"; }

# A pty keeps only the speed (it refuses 7 data bits and parity, and reports
# every line as 8 data bits without parity), so only the speed is set here.

# --- KRT03 on 9600 (its line is 9600,E,7,1): the status read of the worked example
start_sim KRT03
open_line "$slave" 9600
check "status request frame of the worked example" "02 11 69 30 30 03 7b" "$(frame '11 69 30 30')"
answer=$(exchange "02 11 69 30 30 03 7b" 59)
check "KRT03 status answer: 53 data bytes (length '3' '5')" "10 02 33 35" "$(echo "$answer" | cut -d' ' -f1-4)"
data=$(data_of "$answer")
check "KRT03 status answer: ETX and BCC" "53" "$(echo "$data" | wc -w | tr -d ' ')"
check "KRT03 status byte 1 idle" "30" "$(echo "$data" | cut -d' ' -f2)"
exec 3>&-

# --- KRT77 on 9600 (9600,E,8,1) -------------------------------------------------
start_sim KRT77
open_line "$slave" 9600
answer=$(exchange "$(frame '11 48 30 30')" 57)
check "KRT77 status answer: 51 data bytes (length '3' '3')" "10 02 33 33" "$(echo "$answer" | cut -d' ' -f1-4)"
check "KRT77 status answer: ETX and BCC" "51" "$(data_of "$answer" | wc -w | tr -d ' ')"
answer=$(exchange "$(frame '11 3a 30 30')" 34)
name=$(ascii "$(data_of "$answer" | cut -d' ' -f21-27)")
check "KRT77 model name at bytes 20-26" "KRT77A " "$name"
check "ENQ while idle" "06" "$(exchange "05" 1)"
check "unknown command" "15" "$(exchange "$(frame '11 6a 30 30')" 1)"
check "frame with a wrong BCC" "15" "$(exchange "02 11 48 30 30 03 00" 1)"
check "speed change to 115200" "06" "$(exchange "$(frame '11 7d 30 31 36')" 1)"
check "status read still at 9600: no answer" "" "$(exchange "$(frame '11 48 30 30')" 57)"
stty -F "$slave" 115200
answer=$(exchange "$(frame '11 48 30 30')" 57)
check "status read at 115200" "51" "$(data_of "$answer" | wc -w | tr -d ' ')"
exec 3>&-

# --- KRT07 driven by control lines on its standard input ------------------------
coproc SIM { "$bin" sim --model KRT07 2>/dev/null; }
# Bash unsets SIM_PID once the coprocess has ended, which it may have by the
# time it is waited for below: keep the number.
sim_pid=$SIM_PID
pids+=("$sim_pid")
read -r -t 5 first <&"${SIM[0]}"
slave=${first#slave: }
open_line "$slave" 9600
echo "jam on 0A21" >&"${SIM[1]}"
read -r -t 5 reply <&"${SIM[0]}"
check "control line accepted" "ok" "$reply"
data=$(data_of "$(exchange "$(frame '11 48 30 30')" 57)")
check "jammed: status byte 1 and the error number" "31 30 30 3a 32 31" "$(echo "$data" | cut -d' ' -f2-7)"
exec 3>&-
exec {SIM[1]}>&-
if timeout 5 tail --pid="$sim_pid" -f /dev/null; then
  check "simulator ends when its standard input closes" "ended" "ended"
else
  check "simulator ends when its standard input closes" "ended" "still running"
fi

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
