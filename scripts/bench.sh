#!/usr/bin/env bash
# Builds the bench preset and prints the performance figures beside their goals:
#   - the library's BAR access against the floor (an out-of-line call making the same volatile
#     access), through the virtual board's window and through the VFIO backend's: at most 2x;
#   - the integrity pass: with the 100 us pause, at least 98% of the 10,000 transfers a second
#     the pause allows; with pause=off, the memory-write pass in at most 60 s and the
#     memory-read pass in at most 120 s.
#   - a REGION_READ of a BAR1 register through fpga-board-server's layer and board, against a
#     bare round trip of the same sizes over a UNIX socket: at most 2x.
# The machines are shared and noisy: each figure is the median of 5 repetitions.
#
#   scripts/bench.sh          # builds the bench preset and runs build/bench/bench/bench_*
#   scripts/bench.sh FOLDER   # the bench_* programs of FOLDER as they are, not built: another
#                             # build's, to compare two builds in interleaved runs
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${1:-}" ]; then
  bin=$1
  [ -x "$bin/bench_sweep" ] || { echo "bench: no bench_sweep in $bin" >&2; exit 2; }
else
  cmake --preset bench >/dev/null
  cmake --build --preset bench >/dev/null
  bin=build/bench/bench
fi
median() {  # binary, filter: a line per median: its name, real time and counters (JSON)
  "$bin/$1" --benchmark_filter="$2" --benchmark_repetitions=5 --benchmark_min_time=0.2 \
    --benchmark_report_aggregates_only=true --benchmark_format=json 2>/dev/null |
    python3 -c '
import json, sys
for b in json.load(sys.stdin)["benchmarks"]:
    if b.get("aggregate_name") == "median":
        print(b["run_name"], b["real_time"], json.dumps({k: v for k, v in b.items()
              if k in ("pass_s", "share_of_pause_limit", "transfers_per_s")}))'
}

echo "BAR access, library / out-of-line call (goal <= 2.00):"
for exe in bench_wdc bench_wdc_vfio; do
  [ -x "$bin/$exe" ] || continue
  median "$exe" 'BM_(OpaqueCall|Wdc)' | python3 -c '
import sys
t = {}
for line in sys.stdin:
    name, ns, _ = line.split(" ", 2)
    t[name] = float(ns)
for op, wdc in (("Read32", "ReadAddr32"), ("Write32", "WriteAddr32"), ("Read8", "ReadAddr8"),
                ("Write8", "WriteAddr8")):
    floor, lib = t["BM_OpaqueCall" + op], t["BM_Wdc" + wdc]
    print("  %-15s %-8s %5.2f ns / %5.2f ns = %.2f" % (sys.argv[1], op, lib, floor, lib / floor))
' "$exe"
done

echo "Integrity pass on the virtual board:"
median bench_sweep 'BM_IntegrityPass' | python3 -c '
import json, sys
for line in sys.stdin:
    name, _, counters = line.split(" ", 2)
    c = json.loads(counters)
    if "pause:1" in name:
        share = c["share_of_pause_limit"]
        print("  write pass, pause on:  %.3f of the pause limit (goal >= 0.98)" % share)
    elif "write:1" in name:
        print("  write pass, pause=off: %.0f s for the pass (goal <= 60)" % c["pass_s"])
    else:
        print("  read pass, pause=off:  %.0f s for the pass (goal <= 120)" % c["pass_s"])
'

if [ -x "$bin/bench_vfu" ]; then
  echo "vfio-user REGION_READ of a BAR1 register / bare socket round trip (goal <= 2.00):"
  median bench_vfu 'BM_' | python3 -c '
import sys
t = {line.split(" ")[0]: float(line.split(" ")[1]) for line in sys.stdin}
lib, floor = t["BM_RegionReadBar1/real_time"], t["BM_SocketRoundTripFloor/real_time"]
print("  %.1f us / %.1f us = %.2f" % (lib / 1000, floor / 1000, lib / floor))'
fi
