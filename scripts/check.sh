#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the release build (with one complete integrity
# sweep), then the ASan+UBSan and TSan builds (without the sweeps and the rate checks: too slow
# there), a short run of each fuzz target, then the Windows .exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
unset FPGA_SIM
jobs=$(nproc)
for preset in release asan tsan; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  # The end-to-end cases mostly wait (for the board's timed runs, for their keys), so they run
  # six to a core; the rest one to a core. Their checks hold on a loaded machine: the printed
  # rates follow the board's clock, and no case times the utility tightly.
  if [ "$preset" = release ]; then
    ctest --preset "$preset" -j "$jobs" --timeout 1500 -LE 'sweep|wine|e2e'
    ctest --preset "$preset" -j $((6 * jobs)) --timeout 1500 -L 'e2e'
    # One complete sweep, both passes on a healthy board (about 2.5 minutes); the fault sweeps
    # take as long each and run with `ctest --preset release -L sweep`.
    ctest --preset "$preset" --timeout 3600 -R '^SweepIntegrity\.HealthyBoardBothPassesComplete$'
  else
    ctest --preset "$preset" -j "$jobs" --timeout 1500 -LE 'sweep|wine|link|e2e'
    # Under TSan a run's DMA engine needs several times its CPU, and the backloop's fixed 2 s
    # wait is the first thing a crowded core misses: four cases to a core there.
    per_core=6
    [ "$preset" = tsan ] && per_core=4
    ctest --preset "$preset" -j $((per_core * jobs)) --timeout 1500 -L 'e2e'
  fi
done

# Each fuzz target for 20 s from its seeds, and the inputs that once failed (scripts/fuzz.sh
# runs them for longer).
echo "=== fuzz ==="
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzz_targets  # the utilities are built above
ctest --preset fuzz -j "$jobs"

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
