#!/usr/bin/env bash
# valgrind memcheck over one whole run of fpga-diag-sim on the virtual board: every test, with the
# integrity pass ended early by a dropped completion (FPGA_SIM=irq-drop=ch0@2: the second
# transfer's interrupt never comes, so the pass ends after its 1 s wait), then the performance
# and backloop tests in full. Nothing is suppressed. Passes when valgrind finds no error and no
# leak, the utility exits with status 0 and its whole output is what the suite's oracle expects
# for that run. The check itself is the soak driver's valgrind mode (tests/e2e/soak_main.cpp).
#
#   scripts/valgrind.sh              # builds the utility and the driver in build/valgrind first
#   FPGA_DIAG_VALGRIND_EXE=build/release/fpga-diag-sim scripts/valgrind.sh   # another build
#
# build/valgrind is RelWithDebInfo with g++: an unoptimised (Debug) build is too slow under
# valgrind, where the board's 50 MiB backloop copy outlasts the test's 2 s wait.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed" >&2; exit 2; }

dir=build/valgrind
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
      -DFPGA_DIAG_CHECKS=ON >/dev/null
cmake --build "$dir" -j 2 --target soak  # the driver, and the utility it runs by default
exec "$dir/tests/soak" --valgrind ${FPGA_DIAG_VALGRIND_EXE:+--exe "$FPGA_DIAG_VALGRIND_EXE"}
