#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the release build (with the full integrity
# sweeps), then the ASan+UBSan and TSan builds (without the sweeps and the rate checks: too slow
# there), then the Windows .exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
unset FPGA_SIM
jobs=$(nproc)
for preset in release asan tsan; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  exclude=(-LE wine)
  [ "$preset" = release ] || exclude=(-LE 'sweep|wine|link')
  ctest --preset "$preset" -j "$jobs" --timeout 1500 "${exclude[@]}"
done

# The Windows .exe under Wine, with the release build's test programs. setup.sh installs the
# cross compiler and Wine, so this stage is skipped only where they were taken away on purpose.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  echo "=== windows (Wine) ==="
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$jobs"
  start=$SECONDS
  FPGA_DIAG_WINE_REQUIRED=1 ctest --preset release -j "$jobs" --timeout 600 -L wine
  echo "Wine stage: $((SECONDS - start)) s"
else
  echo "=== windows (Wine): skipped, no x86_64-w64-mingw32-g++-posix or no wine ==="
fi
