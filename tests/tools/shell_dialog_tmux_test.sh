#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The maintenance dialog in the shell at a real terminal: the shell runs
# interactively (readline) in a tmux pane, CheckHealth 3 opens the dialog,
# key 1 reads the deposit counts and status of the simulated KRT07, key 4
# closes it. Keys go in with send-keys, the screen is read with capture-pane.
# Skipped (exit 77) where tmux is not installed.
# Usage: shell_dialog_tmux_test.sh VEXOKRT_PROGRAM
set -uo pipefail
program="$(realpath "$1")"
if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIP: tmux is not installed (apt-get install tmux, or scripts/deps.sh)"
  exit 77
fi
work="$(mktemp -d)"
socket="$work/tmux.sock"
cleanup() { tmux -S "$socket" kill-server >/dev/null 2>&1; rm -rf "$work"; }
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

screen() { tmux -S "$socket" capture-pane -p -J -S -1000 -t shell 2>/dev/null; }
# Waits (at most 20 s) until the screen holds the fixed text $1.
await() {
  local deadline=$(( $(date +%s) + 20 ))
  while ! screen | grep -qF -- "$1"; do
    if [ "$(date +%s)" -ge "$deadline" ]; then fail "not on the screen within 20 s: $1"; return 1; fi
    sleep 0.1
  done
}
type_line() { tmux -S "$socket" send-keys -t shell -l -- "$1" && tmux -S "$socket" send-keys -t shell Enter; }

tmux -S "$socket" -u new-session -d -s shell -x 160 -y 60 -c "$work" \
  "env LANG=C.UTF-8 OPOS_LOCK_DIR='$work' OPOS_REGISTRY_DIR='$work/registry' '$program' shell --sim KRT07 Dev1; \
   echo shell-exit=\$?; sleep 30" || { echo "FAIL: tmux did not start"; exit 1; }

await 'result OpenService 0 OPOS_SUCCESS' || { screen; exit 1; }
# A deposit of 2 x 1000 + 500 yen leaves its counts in the kept record;
# status bytes 2 and 5 are set so the fields can be told apart.
steps=(
  'ClaimDevice 1000|result ClaimDevice 0 OPOS_SUCCESS'
  'set DeviceEnabled 1|set DeviceEnabled ResultCode=0'
  'set DataEventEnabled 1|set DataEventEnabled ResultCode=0'
  'BeginDeposit|result BeginDeposit 0 OPOS_SUCCESS'
  'sim insert 1000:2,500:1|sim ok counting'
  'pump 3000|event SOData 0'
  'FixDeposit|result FixDeposit 0 OPOS_SUCCESS'
  'EndDeposit 2|result EndDeposit 0 OPOS_SUCCESS'
  'sim set status 2 0x37|sim ok'
  'sim set status 5 0x39|sim ok'
  'CheckHealth 3|dialog keys: 1 入金枚数取得, 2 入金枚数クリア, 3 全回収, 4 終了, q closes'
  '1|dialog コマンド送信=正常応答を受信しました'
  '4|result CheckHealth 0 OPOS_SUCCESS'
  'get CheckHealthText|prop CheckHealthText ""'
  'quit|shell-exit=0'
)
for step in "${steps[@]}"; do
  type_line "${step%%|*}"
  await "${step#*|}" || break
done

out="$(screen)"
for line in 'dialog CashChanger Interactive CheckHealth' \
            'dialog 10000=0  5000=0  2000=0  1000=2' \
            'dialog 500=1  100=0  50=0  10=0  5=0  1=0' \
            'dialog ユニット情報=30  動作モード=37  入金モード=30  エラーコード=30 39' \
            'dialog closed CashChanger Interactive CheckHealth' \
            'result Close 0 OPOS_SUCCESS'; do
  grep -qxF -- "$line" <<<"$out" || fail "no line: $line"
done
# The dialog opened with its fields empty.
grep -qxF 'dialog 10000=  5000=  2000=  1000=' <<<"$out" || fail "the dialog did not open with empty fields"
if [ $failures -ne 0 ]; then echo "--- screen:"; echo "$out"; exit 1; fi
echo "the terminal dialog read the simulated KRT07's counts and status"
