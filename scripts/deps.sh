#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
set -euo pipefail
need=()
for pkg in cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libcpp-httplib-dev \
           nlohmann-json3-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing missing Debian packages: ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Not root: please run  sudo apt-get install ${need[*]}" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
