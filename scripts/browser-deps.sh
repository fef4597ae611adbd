#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the browser test needs: Debian's chromium and chromium-driver
# (apt-get, when missing) and the browser-automation package of
# tests/browser/package-lock.json (npm ci) into DIR (default tests/browser).
# Exit 0 when everything is there, 77 when the browser cannot be installed,
# 1 on any other failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/tests/browser}"

need=()
for pkg in chromium chromium-driver; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing missing Debian packages: ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Not root: please run  sudo apt-get install ${need[*]}" >&2
  else
    apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 "${need[@]}" || true
  fi
fi
if [ ! -x /usr/bin/chromium ]; then
  echo "The browser cannot be installed here (no /usr/bin/chromium)." >&2
  exit 77
fi

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "Node.js and npm are needed to drive the browser; none found." >&2
  exit 1
fi
mkdir -p "$dir"
if [ "$dir" != "$root/tests/browser" ]; then
  cp "$root/tests/browser/package.json" "$root/tests/browser/package-lock.json" "$dir/"
fi
# npm ci only when the lock file changed since the last install.
stamp="$dir/node_modules/.vexokrt-lock"
if [ ! -f "$stamp" ] || ! cmp -s "$dir/package-lock.json" "$stamp"; then
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$dir/package-lock.json" "$stamp"
fi
