#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build needs, when any is missing.
#   scripts/deps.sh        everything the test suite needs (test libraries,
#                          pkg-config for the install test, Debian's packaging
#                          tools and lintian for the package test, clang for the
#                          build with the lock analysis)
#   scripts/deps.sh demo   only what the program needs: compiler, CMake, CLI11 and, for the
#                          simulator's control panel, cpp-httplib and nlohmann-json
set -euo pipefail
packages=(cmake g++ make pkg-config libcli11-dev libcpp-httplib-dev nlohmann-json3-dev)
if [ "${1:-}" != demo ]; then
  # clang: the build with the lock analysis (preset clang) and its check;
  # python3-pytest: the tests of the Python package; libxml2-utils: xmllint,
  # which checks the statistics document against its schema.
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev libreadline-dev pkgconf dpkg-dev binutils tmux clang
             python3-pytest libxml2-utils)
  # The package test (dpkg-buildpackage with debhelper and dh-python,
  # lintian), the manual page check (man-db) and the JSON checks of the
  # command line (python3).
  packages+=(debhelper dh-python lintian man-db python3)
fi
# With the argument "fuzz": what the fuzz targets need (clang and its
# libFuzzer runtime).
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
