#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs COMMAND against a simulated cash changer as an application meets one:
# a registry folder of its own with the service object registered by
# `vexokrt register`, `vexokrt sim` on a pseudo-terminal, and the device key
# Changer1 for it written by `vexokrt config`. COMMAND finds in its
# environment
#   VEXOKRT_DEVICE        the device name (Changer1)
#   VEXOKRT_SIM_CONTROL   a file to write simulator control lines to, one a
#                         line (`insert 1000:2`, `jam on`)
#   VEXOKRT_SIM_REPLIES   the simulator's output: one line more for each
#                         control line it has carried out
#   OPOS_REGISTRY_DIR, OPOS_LOCK_DIR
# and its exit status is the script's. The simulator's actions are short
# (pay-outs 300 ms), so sessions are quick. --upos writes the device
# setting UposVersion, the release the service object is asked to serve.
# Usage: with_simulator.sh VEXOKRT_PROGRAM [--model MODEL] [--upos VERSION] COMMAND [ARG...]
set -uo pipefail
program="$1"
shift
model=KRT07
if [ "${1:-}" = --model ]; then model="$2"; shift 2; fi
upos=()
if [ "${1:-}" = --upos ]; then upos=(--set "UposVersion=$2"); shift 2; fi
work="$(mktemp -d)"
sim_pid=""
cleanup() {
  exec 3>&-
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

export OPOS_REGISTRY_DIR="$work/registry" OPOS_LOCK_DIR="$work"
"$program" register >"$work/register.out" 2>&1 || { echo "with_simulator: register failed"; cat "$work/register.out"; exit 1; }
mkfifo "$work/sim.in"
"$program" sim --model "$model" <"$work/sim.in" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
# Held open here, so the simulator's input ends only with this script.
exec 3>"$work/sim.in"
for _ in $(seq 1 100); do grep -q '^slave: ' "$work/sim.out" && break; sleep 0.1; done
port="$(sed -n 's/^slave: //p' "$work/sim.out")"
[ -n "$port" ] || { echo "with_simulator: the simulator did not start"; cat "$work/sim.err"; exit 1; }
mkdir -p "$work/logs"
"$program" config Changer1 --set "Port=$port" --set Port_Initialize_String=9600,E,8,1 --set WatchInterval=20 \
  --set "LogFolderName=$work/logs/" "${upos[@]}" >"$work/config.out" 2>&1 || { echo "with_simulator: config failed"; cat "$work/config.out"; exit 1; }
printf 'set duration dispense 300\nset duration counting 100\nset duration end-deposit 200\nset duration reset 300\n' >&3
# The simulator answers each control line with one line; COMMAND starts once
# these four are answered, so that it can tell its own lines carried out by
# the count of lines in VEXOKRT_SIM_REPLIES.
for _ in $(seq 1 100); do [ "$(wc -l <"$work/sim.out")" -ge 5 ] && break; sleep 0.1; done

export VEXOKRT_DEVICE=Changer1 VEXOKRT_SIM_CONTROL="$work/sim.in" VEXOKRT_SIM_REPLIES="$work/sim.out"
"$@"
status=$?
if [ "$status" -ne 0 ]; then
  echo "with_simulator: the simulator's replies:"; cat "$work/sim.out"
fi
exit "$status"
