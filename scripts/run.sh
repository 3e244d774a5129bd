#!/usr/bin/env bash
# Sets up, builds and runs fpga-diag-sim on the virtual board. FPGA_SIM is passed through.
# Installs and builds only what the utility needs (preset "run": no test suite).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run
cmake --preset run >/dev/null
cmake --build --preset run --target fpga-diag-sim
exec build/run/fpga-diag-sim "$@"
