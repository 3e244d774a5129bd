#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the release build (with the full integrity
# sweeps), then the ASan+UBSan and TSan builds (without the sweeps, too slow there).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
unset FPGA_SIM
jobs=$(nproc)
for preset in release asan tsan; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  exclude=()
  [ "$preset" = release ] || exclude=(-LE sweep)
  ctest --preset "$preset" -j "$jobs" --timeout 1500 "${exclude[@]}"
done
