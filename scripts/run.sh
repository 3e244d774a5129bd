#!/usr/bin/env bash
# Sets up, builds and runs fpga-diag-sim on the virtual board. FPGA_SIM is passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target fpga-diag-sim
exec build/release/fpga-diag-sim "$@"
