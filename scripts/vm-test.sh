#!/usr/bin/env bash
# The VFIO backend against a real Linux kernel: boots Debian's cloud kernel in QEMU (TCG) with
# an emulated Intel IOMMU and QEMU's educational PCI device (edu), and runs the guest's test
# program (tests/vm/guest.cpp) there, case by case, through vfio-pci. Three boots: the IOMMU
# with MSI, the IOMMU with MSI off in the kernel (INTx), and no IOMMU at all.
#
#   scripts/vm-test.sh [BUILD_DIR]    # default build/release
#
# It builds the guest's two programs (vm-guest, fpga-diag-static) in BUILD_DIR first, and
# configures BUILD_DIR with the release preset's settings when it is not configured yet, so a
# fresh clone needs no build of its own beforehand.
#
# The guest kernel is fetched with apt-get download (never installed) and kept in
# $FPGA_DIAG_VM_CACHE (default ~/.cache/fpga-diag/vm). Prints the guests' consoles, each case
# as passed or failed, and "N passed, N failed"; exits non-zero on any failure, or when a guest
# does not end within $FPGA_DIAG_VM_TIMEOUT seconds (default 180).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cache=${FPGA_DIAG_VM_CACHE:-$HOME/.cache/fpga-diag/vm}
timeout_s=${FPGA_DIAG_VM_TIMEOUT:-180}

for tool in qemu-system-x86_64 busybox apt-get dpkg; do
  command -v "$tool" >/dev/null ||
    { echo "vm-test: $tool is missing (scripts/setup.sh test)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---- The guest's programs --------------------------------------------------------------------
# What cmake prints is shown only when it fails: the guests' consoles are this script's output.
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "vm-test: configuring $build (preset release)"
  if [ -z "${1:-}" ]; then
    configure=(cmake --preset release)
  else
    configure=(cmake --preset release -B "$build")
  fi
  "${configure[@]}" >"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; echo "vm-test: configuring $build failed" >&2; exit 1; }
fi
build=$(realpath "$build")
echo "vm-test: building vm-guest and fpga-diag-static in $build"
# A build directory has them when it has the test suite and no sanitizer.
cmake --build "$build" --target vm-guest fpga-diag-static >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log" >&2; echo "vm-test: building the guest's programs failed" >&2; exit 1; }

# ---- The guest kernel: the image the cloud meta package depends on today ---------------------
pkg=$(apt-cache depends linux-image-cloud-amd64 |
      awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [ -z "$pkg" ]; then
  echo "vm-test: apt knows no linux-image-cloud-amd64 (apt-get update?)" >&2
  exit 1
fi
kver=${pkg#linux-image-}
kdir=$cache/$pkg
if [ ! -f "$kdir/boot/vmlinuz-$kver" ]; then
  echo "vm-test: fetching $pkg"
  mkdir -p "$cache"
  fetch=$(mktemp -d)
  # As root apt warns that it fetched without its sandbox user: that is expected here.
  (cd "$fetch" && apt-get download -q "$pkg" 2>&1 |
     grep -v '^W: Download is performed unsandboxed' || true)
  rm -rf "$kdir.part"
  dpkg -x "$fetch"/*.deb "$kdir.part"
  rm -rf "$fetch" "$kdir"
  mv "$kdir.part" "$kdir"
fi
modules=$kdir/lib/modules/$kver/kernel

# ---- The initramfs: busybox, the vfio modules, the programs, the init ------------------------
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
cp "$(command -v busybox)" "$root/bin/busybox"
cp "$build/tests/vm/vm-guest" "$root/bin/vm-guest"
cp "$build/tests/vm/fpga-diag-static" "$root/bin/fpga-diag"
# In the order they depend on each other (the package has no modules.dep).
for m in drivers/vfio/vfio virt/lib/irqbypass drivers/vfio/vfio_iommu_type1 \
         drivers/vfio/vfio_virqfd drivers/vfio/pci/vfio-pci-core drivers/vfio/pci/vfio-pci \
         drivers/uio/uio drivers/uio/uio_pci_generic; do
  cp "$modules/$m.ko" "$root/modules/"
done
cat > "$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
boot=$(sed -n 's/.*fdvm.boot=\([a-z]*\).*/\1/p' /proc/cmdline)
echo 4 > /proc/sys/kernel/printk   # warnings and worse only, so that results stay whole lines
for m in vfio irqbypass vfio_iommu_type1 vfio_virqfd vfio-pci-core vfio-pci uio uio_pci_generic; do
  insmod /modules/$m.ko || echo "FAIL insmod $m"
done
edu=$(grep -l 0x11e8 /sys/bus/pci/devices/*/device | head -n 1 | xargs dirname | xargs basename)
echo "guest: boot $boot, edu at $edu"
run() {
  /bin/vm-guest "$@"
  rc=$?
  [ $rc -le 1 ] || echo "FAIL $*: vm-guest ended with status $rc"
}
if [ "$boot" = noiommu ]; then
  run no-iommu
else
  dev=/sys/bus/pci/devices/$edu
  run not-bound
  # Bound to another driver (a generic one: edu has no driver of its own), then to vfio-pci.
  echo uio_pci_generic > $dev/driver_override
  echo $edu > /sys/bus/pci/drivers_probe
  run not-bound uio_pci_generic
  echo $edu > $dev/driver/unbind
  echo vfio-pci > $dev/driver_override
  echo $edu > /sys/bus/pci/drivers_probe
  group=$(basename "$(readlink /sys/bus/pci/devices/$edu/iommu_group)")
  if [ "$boot" = nomsi ]; then
    run interrupt intx
  else
    run scan-open $edu
    run bar0
    run dma
    run interrupt msi
    run isolation
    run ledger
    run kill
    run permission
    chown 1000:1000 /dev/vfio/$group
    run memlock
    chown 0:0 /dev/vfio/$group
    if fpga-diag </dev/null | grep -q 'No device (vendor ID 0x10EE, device ID 0x5050) was found'
    then echo "PASS fpga-diag without the board"; else echo "FAIL fpga-diag without the board"; fi
  fi
fi
echo "guest: kernel IOMMU and VFIO messages"
dmesg | grep -i -E 'dmar|iommu|vfio' | head -n 40
echo "guest: done"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz"

# ---- The boots ---------------------------------------------------------------------------------
pass=0 fail=0
boot() {  # name, cases it runs, extra kernel arguments, extra QEMU arguments...
  local name=$1 cases=$2 append=$3
  shift 3
  local log=$work/$name.log
  echo "=== boot $name"
  local status=0 started=$SECONDS
  timeout "$timeout_s" qemu-system-x86_64 -machine q35,accel=tcg -cpu max -m 512 -nographic \
    -no-reboot -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 panic=-1 fdvm.boot=$name $append" "$@" -device edu </dev/null \
    | tr -d '\r' | tee "$log" || status=$?
  local init
  init=$(sed -n 's/^\[ *\([0-9.]*\)\] Run \/init as init process.*/\1/p' "$log" | head -n 1)
  echo "boot $name: init reached ${init:-never} s after the kernel started; $((SECONDS - started)) s in all" |
    tee -a "$work/times"
  if ! grep -q '^guest: done' "$log"; then
    echo "FAIL boot $name: the guest did not finish (status $status)"
    fail=$((fail + 1))
  fi
  local passed failed
  passed=$(grep -c '^PASS ' "$log" || true)
  failed=$(grep -c '^FAIL ' "$log" || true)
  if [ $((passed + failed)) -ne "$cases" ]; then
    echo "FAIL boot $name: $((passed + failed)) results for $cases cases"
    fail=$((fail + 1))
  fi
  pass=$((pass + passed))
  fail=$((fail + failed))
}
boot iommu 13 "intel_iommu=on" -device intel-iommu,intremap=on
boot nomsi 3 "intel_iommu=on pci=nomsi" -device intel-iommu,intremap=on
boot noiommu 1 ""

echo "=== results"
cat "$work/times"
grep -h -E '^(PASS|FAIL) ' "$work"/*.log || true
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ] && [ "$pass" -gt 0 ]
