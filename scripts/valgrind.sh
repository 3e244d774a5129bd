#!/usr/bin/env bash
# valgrind memcheck over one whole run of fpga-diag-sim on the virtual board: every test, with the
# integrity pass ended early by a dropped completion (FPGA_SIM=irq-drop=ch0@2: the second
# transfer's interrupt never comes, so the pass ends after its 1 s wait), then the performance
# and backloop tests in full. Nothing is suppressed. Passes when valgrind finds no error and no
# leak, the utility exits with status 0 and its output holds every line of a healthy run.
#
#   scripts/valgrind.sh              # builds build/valgrind (RelWithDebInfo, g++) first
#   FPGA_DIAG_VALGRIND_EXE=build/release/fpga-diag-sim scripts/valgrind.sh   # a given build
#
# Under valgrind the run takes well under a minute with an optimised build (the performance
# test's five one-second measurements are sleeps). An unoptimised (Debug) build is too slow
# there: the board's 50 MiB backloop copy outlasts the test's 2 s wait, which this script then
# reports as a missing line.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed" >&2; exit 2; }

exe=${FPGA_DIAG_VALGRIND_EXE:-}
if [ -z "$exe" ]; then
  dir=build/valgrind
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
        -DFPGA_DIAG_CHECKS=OFF >/dev/null
  cmake --build "$dir" -j 2 --target fpga-diag-sim
  exe=$dir/fpga-diag-sim
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

start=$SECONDS
set +e
FPGA_SIM=irq-drop=ch0@2 valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --track-origins=yes --log-file="$work/valgrind.log" "$exe" </dev/null >"$work/out.txt" 2>&1
status=$?
set -e
echo "valgrind.sh: $exe ran $((SECONDS - start)) s under valgrind, exit status $status"

fail=0
if [ "$status" -ne 0 ]; then
  echo "valgrind.sh: expected exit status 0 (99: valgrind found errors)"
  fail=1
fi
if ! grep -q "ERROR SUMMARY: 0 errors" "$work/valgrind.log"; then
  echo "valgrind.sh: valgrind reported errors"
  fail=1
fi
if grep -q "resources left at close" "$work/out.txt"; then
  echo "valgrind.sh: the library reported resources left at close"
  fail=1
fi

# The lines of the run, in this order (rates and counts matched by form).
expected=(
  '^$'
  '^FPGA PCI-Express controller diagnostic utility\.$'
  '^BAR0 slave memory read/write testing:$'
  '^Reading of bytes array from BAR0 memory\.\.\. success$'
  '^Reading of uint16 array from BAR0 memory\.\.\. success$'
  '^Reading of uint32 array from BAR0 memory\.\.\. success$'
  '^Reading of uint64 array from BAR0 memory\.\.\. success$'
  '^Memory write DMA transfers data integrity testing\.\.\.$'
  '^Testing for transfer size = 4096\.\.\.$'
  '^device interrupts waiting failure$'
  '^Memory write DMA performance testing\.\.\.$'
  '^Memory write transfer rate is [0-9]+\.[0-9]{6} MByte/sec$'
  '^Memory read DMA performance testing\.\.\.$'
  '^Memory read DMA performance testing \(2 read channels\)\.\.\.$'
  '^Channel 2 memory read transfer rate is [0-9]+\.[0-9]{6} MByte/sec$'
  '^Memory read/write DMA performance testing\.\.\.$'
  '^Memory read/write DMA performance testing \(2 read channels\)\.\.\.$'
  '^Scatter/Gather DMA backloop testing \(buffers size is 50\.000000 MByte\)\.\.\.$'
  '^Number of data mismatches = 0$'
  '^Backloop transfer rate is [0-9]+\.[0-9]{6} MByte/sec$'
)
line=0
for pattern in "${expected[@]}"; do
  next=$(tail -n "+$((line + 1))" "$work/out.txt" | grep -n -m1 -E "$pattern" | cut -d: -f1 || true)
  if [ -z "$next" ]; then
    echo "valgrind.sh: missing, after line $line of the output: $pattern"
    fail=1
    break
  fi
  line=$((line + next))
done
if [ "$(wc -l <"$work/out.txt")" -ne 45 ]; then
  echo "valgrind.sh: expected 45 output lines, got $(wc -l <"$work/out.txt")"
  fail=1
fi

grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks" \
  "$work/valgrind.log" | sed 's/^==[0-9]*== /  /' || true
if [ "$fail" -ne 0 ]; then
  echo "--- output ---"; cat "$work/out.txt"
  echo "--- valgrind ---"; cat "$work/valgrind.log"
  exit 1
fi
echo "valgrind.sh: clean"
