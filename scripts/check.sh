#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the release build (with one complete integrity
# sweep), then the ASan+UBSan and TSan builds (without the sweeps and the rate checks: too slow
# there), a short run of each fuzz target, then the Windows .exe under Wine. Each stage's line
# says how long the command had run when it began.
set -euo pipefail
cd "$(dirname "$0")/.."
stage() { echo "=== $1 (at $SECONDS s) ==="; }
stage setup
scripts/setup.sh test
unset FPGA_SIM
jobs=$(nproc)
have_windows=0
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  have_windows=1
fi

build() {
  stage "build $1"
  cmake --preset "$1" >/dev/null
  if [ "$1" = fuzz ]; then
    cmake --build --preset fuzz -j "$jobs" --target fuzz_targets  # the utilities are built above
  else
    cmake --build --preset "$1" -j "$jobs"
  fi
}

build release
stage "release"
ctest --preset release -j "$jobs" --timeout 1500 -LE 'sweep|wine|e2e'

# One complete sweep, both passes on a healthy board (2.5 to 4 minutes; the fault sweeps take
# as long each and run with `ctest --preset release -L sweep`). It keeps one core busy and
# checks no time, so it runs beside what follows until the sanitizer stages: the end-to-end
# cases, which mostly wait, the other builds and the fuzz stage, which it only slows down. Its
# log is shown once it has ended.
sweep_log=build/release/sweep.log
ctest --preset release --timeout 3600 -R '^SweepIntegrity\.HealthyBoardBothPassesComplete$' \
  >"$sweep_log" 2>&1 &
sweep_pid=$!
trap 'kill "$sweep_pid" 2>/dev/null || true' EXIT
# The end-to-end cases mostly wait (for the board's timed runs, for their keys), so they run six
# to a core; the rest one to a core. Their checks hold on a loaded machine: the printed rates
# follow the board's clock, and no case times the utility tightly.
stage "release end-to-end, beside the sweep"
ctest --preset release -j $((6 * jobs)) --timeout 1500 -L 'e2e'
build asan
build tsan
build fuzz
[ "$have_windows" = 0 ] || build windows
# Each fuzz target for 20 s from its seeds, and the inputs that once failed (scripts/fuzz.sh
# runs them for longer).
stage fuzz
ctest --preset fuzz -j "$jobs"
sweep_status=0
wait "$sweep_pid" || sweep_status=$?
trap - EXIT
stage "sweep's result"
cat "$sweep_log"
[ "$sweep_status" = 0 ] || { echo "check: the sweep failed" >&2; exit 1; }

# Under a sanitizer the end-to-end cases against the kernel model skip the variations that
# differ from their in-process twins only in the board's fault (bad settings, BAR0 patterns,
# stuck bits, a signal in each test): the threads and memory they exercise are the twins', and
# all of them run in the release stage.
sanitized_skip='^vfio-sim/(Items/E2eBadSetting|Bar0/E2eMatrixRegister|E2eBar0Stuck|DuringEachTest/E2eSignal)'
for preset in asan tsan; do
  stage "$preset"
  ctest --preset "$preset" -j "$jobs" --timeout 1500 -LE 'sweep|wine|link|e2e'
  # Under TSan a run's DMA engine needs several times its CPU, and the backloop's fixed 2 s
  # wait is the first thing a crowded core misses: four cases to a core there.
  per_core=6
  [ "$preset" = tsan ] && per_core=4
  ctest --preset "$preset" -j $((per_core * jobs)) --timeout 1500 -L 'e2e' -E "$sanitized_skip"
done

# The Windows .exe under Wine, with the release build's test programs. setup.sh installs the
# cross compiler and Wine, so this stage is skipped only where they were taken away on purpose.
if [ "$have_windows" = 1 ]; then
  stage "windows (Wine)"
  FPGA_DIAG_WINE_REQUIRED=1 ctest --preset release -j "$jobs" --timeout 600 -L wine
else
  echo "=== windows (Wine): skipped, no x86_64-w64-mingw32-g++-posix or no wine ==="
fi
stage "done"
