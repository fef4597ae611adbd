#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
set -euo pipefail
# With the argument "fuzz": what the fuzz targets need (clang and its
# libFuzzer runtime) instead.
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev)
if [[ "${1:-}" == fuzz ]]; then packages=(clang libclang-rt-14-dev); fi
need=()
for pkg in "${packages[@]}"; do
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
