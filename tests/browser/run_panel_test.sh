#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# CTest's entry to the browser test: installs the browser and the automation
# package (scripts/browser-deps.sh, into WORK_DIR, not into the checkout), then
# runs panel_test.mjs. Exit 77 (skipped) only where the browser cannot be installed.
# Usage: run_panel_test.sh VEXOKRT_PROGRAM WORK_DIR SCREENSHOT_PNG
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
program="$1" work="$2" screenshot="$3"
"$here/../../scripts/browser-deps.sh" "$work"
status=$?
if [ $status -eq 77 ]; then
  echo "SKIP: the browser test needs Debian's chromium, which cannot be installed here"
  exit 77
fi
[ $status -eq 0 ] || { echo "FAIL: installing the browser test's packages failed ($status)"; exit 1; }
cp "$here/panel_test.mjs" "$work/"
cd "$work" && exec node panel_test.mjs "$program" "$screenshot"
