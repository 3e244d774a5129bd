#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test fpga-diag. Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev)
# The Windows .exe (preset "windows") and Wine to run its end-to-end cases: wine64 runs 64-bit
# programs, wine brings the wine, wineserver and wineboot commands.
packages+=(g++-mingw-w64-x86-64-posix wine64 wine)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
