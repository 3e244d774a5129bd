#!/usr/bin/env bash
# The real-board utility, unchanged, in a Linux guest against our virtual board: the board is
# served on this machine by fpga-board-server over vfio-user, QEMU 11.1 (TCG, an emulated Intel
# IOMMU) attaches it to the guest as a PCI device, the guest's init binds it to vfio-pci and runs
# fpga-diag on a pseudo-terminal, typing a key when a given line appears.
#
#   scripts/vm-board.sh [--intx] [--key-on REGEX] [--build-dir DIR] [SETTINGS]
#
# SETTINGS is the board's FPGA_SIM (faults and link, as for fpga-diag-sim). --intx boots the
# guest with MSI off (pci=nomsi). The key is typed once a line matching REGEX (ECMAScript, as
# std::regex reads it) appears; by default the line of transfer size 4095, so that the
# integrity test ends after its first size. Prints the utility's console output alone on
# standard output, the guest's console and the server's lines on standard error; exits 0 when
# the utility ran to its end in the guest.
#
# Each board is a PCI Express endpoint behind a root port of its own (pcie-root-port at
# 00:0(3+I).0 of q35's root bus), so that QEMU and the guest's kernel see an endpoint on an
# Express link: board I is at 0000:0(1+I):00.0, the bus the firmware gives its port.
#
# The test's form, several boards in one guest (each its own server, root port and IOMMU
# group) and several runs of the utility, one after another:
#
#   scripts/vm-board.sh [--intx] [--build-dir DIR] [--no-build] --out DIR
#                       --board SETTINGS [--board SETTINGS...] --runs FILE [--setup-board I]
#                       [--errors-board I[:user]...]
#
# FILE has one run a line, TAB-separated: name, board index, key REGEX, kill REGEX (SIGKILL to
# the utility once a matching line has appeared), then the KiB of locked memory the kill waits
# for after that line, and the milliseconds after those; a seventh field is a command to run
# instead of the utility (tests/vm/pty_run.cpp says how), fpga-diag-report's for example. They run one at a time: a backloop's
# locks are 25,600 page mappings that QEMU makes one by one for the guest's IOMMU, stalling the
# guest's other processor meanwhile, for over a second at times, past a run's interrupt wait.
# DIR gets per run NAME.out, NAME.status, NAME.times (each line with the second it appeared),
# NAME.json (what a command wrote there) and NAME.irqs (the guest's /proc/interrupts just before the key), and
# dmesg (the guest kernel's log), guest.log (its console), board-I.log (each server's lines,
# and the status it ended with) and times (the boot's phases); and, as the guest's kernel saw
# them before the runs, board-I.link (its link files in sysfs: current_link_speed and the
# others, one "NAME VALUE" a line), and board-I.config and port-I.config (the board's and its
# root port's configuration space, as root reads it from sysfs), and pci_express (the port
# services the kernel bound, /sys/bus/pci_express/devices).
#
# --setup-board I leaves board I to fpga-diag-setup: the init binds it with no driver, and
# around the runs takes it through the tool's steps as a user would, each step's output and
# status in DIR as setup-STEP.out and setup-STEP.status, and the board's driver, override and
# IOMMU group as setup-STATE.sysfs. Before the runs, as root: status (before), bind, status
# (bound); then as uid 1000 (fduser, the memory-lock limit raised as a user's would be): status
# (user_before), bind --user fduser (as root), status (user_bound); after the runs: unbind,
# status (after).
#
# --errors-board I (repeatable) takes board I's error registers through fpga-diag-setup after
# the runs, as root through sysfs config: status ADDR (errors-I-before), clear-errors ADDR
# (errors-I-clear), status ADDR (errors-I-after), in DIR as setup-errors-I-STEP.out and .status,
# with the board's configuration space as the runs left it in board-I.after.config. With :user
# the middle steps are uid 1000's through the group file, which the init gives it: status ADDR
# as root (errors-I-before), as the user (errors-I-user), clear-errors ADDR as the user
# (errors-I-clear), status ADDR as root (errors-I-after).
#
# Builds what it needs first (the release preset when no build dir is given; configured when
# missing). QEMU 11.1 comes from trixie-backports inside a trixie root made by debootstrap, and
# the guest kernel is trixie's 6.12 cloud kernel (apt-get download inside the root, never
# installed); both are kept in $FPGA_DIAG_VM_CACHE (default ~/.cache/fpga-diag/vm). A guest that
# does not end within $FPGA_DIAG_VM_TIMEOUT seconds (default 600) is stopped.
# FPGA_DIAG_VM_VERBOSE=1 has the servers log every message.
set -euo pipefail
cd "$(dirname "$0")/.."
# CI may start it without HOME: the account's own home then.
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${FPGA_DIAG_VM_CACHE:-$home/.cache/fpga-diag/vm}
timeout_s=${FPGA_DIAG_VM_TIMEOUT:-600}

usage() {  # exit status: 0 for --help (on standard output), else on standard error
  if [ "$1" -eq 0 ]; then sed -n '7p;23,25p' "$0" | sed 's/^#   //'
  else sed -n '7p;23,25p' "$0" | sed 's/^#   //' >&2; fi
  exit "$1"
}
intx=0 key='size = 4095\.\.\.$' build='' no_build=0 out='' runs='' boards=() setup_board=''
errors_boards=()
while (($#)); do
  case $1 in
    --intx) intx=1 ;;
    --key-on) key=${2?}; shift ;;
    --build-dir) build=${2?}; shift ;;
    --no-build) no_build=1 ;;
    --out) out=${2?}; shift ;;
    --board) boards+=("${2?}"); shift ;;
    --runs) runs=${2?}; shift ;;
    --setup-board) setup_board=${2?}; shift ;;
    --errors-board) errors_boards+=("${2?}"); shift ;;
    -h|--help) usage 0 ;;
    -*) echo "vm-board: unknown option $1" >&2; usage 2 ;;
    *) boards+=("$1") ;;
  esac
  shift
done
single=0
if [ -z "$runs" ]; then
  # One board, one run: the user's form.
  ((${#boards[@]} <= 1)) || usage 2
  ((${#boards[@]})) || boards=("")
  single=1
fi

for tool in debootstrap chroot cmake busybox xz; do
  command -v "$tool" >/dev/null ||
    { echo "vm-board: $tool is missing (scripts/setup.sh test)" >&2; exit 1; }
done
if [ "$(id -u)" -ne 0 ]; then
  # debootstrap and chroot: the root is made and entered as root.
  echo "vm-board: run it as root (it makes and enters a chroot)" >&2
  exit 1
fi

# ---- The programs: the utility and the runner for the guest, the server for this machine ----
if [ -z "$build" ]; then
  build=build/release
  [ -f "$build/CMakeCache.txt" ] || cmake --preset release >&2
elif [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
fi
build=$(realpath "$build")
# The tool, for the setup board's steps and the error registers' (one "I MODE" line each).
with_setup=${setup_board}${errors_boards[*]}
if [ "$no_build" -eq 0 ]; then
  cmake --build "$build" --target fpga-diag-static vm-pty-run fpga-board-server \
    fpga-diag-report-static ${with_setup:+fpga-diag-setup-static} >&2
fi
needed=(tests/vm/fpga-diag-static tests/vm/vm-pty-run)
if [ -n "$setup_board" ]; then
  [[ $setup_board =~ ^[0-9]+$ ]] && ((setup_board < ${#boards[@]})) ||
    { echo "vm-board: --setup-board $setup_board is not a board" >&2; exit 2; }
fi
errors_list=''
for spec in "${errors_boards[@]}"; do
  [[ $spec =~ ^([0-9]+)(:user)?$ ]] && ((BASH_REMATCH[1] < ${#boards[@]})) ||
    { echo "vm-board: --errors-board $spec is not a board (I or I:user)" >&2; exit 2; }
  errors_list+="${BASH_REMATCH[1]} ${BASH_REMATCH[2]:+user}"$'\n'
done
[ -z "$with_setup" ] || needed+=(tests/vm/fpga-diag-setup-static)
((${#boards[@]} == 0)) || needed+=(fpga-board-server)
for f in "${needed[@]}"; do
  [ -x "$build/$f" ] || { echo "vm-board: $build/$f was not built" >&2; exit 1; }
done

# ---- The trixie root with QEMU 11.1, and the guest kernel: made once, kept in the cache ------
root=$cache/trixie
mkdir -p "$cache"
exec 9>"$cache/trixie.lock"
flock 9  # a second run waits for the first to finish making the root
if [ ! -f "$root/.fdvm-ready" ]; then
  # Debian's own mirror as this machine's sources name it (deb822 or one-line form).
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
           awk -v RS= -v c="$codename" '/Suites:/ && $0 ~ "Suites:[^\n]*[ ]" c "([ \n]|$)" {
             if (match($0, /URIs: *[^ \n]+/)) { u = substr($0, RSTART, RLENGTH);
               sub(/URIs: */, "", u); print u; exit } }')
  if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
             awk -v c="$codename" '$1 == "deb" && $3 == c { print $2; exit }')
  fi
  mirror=${mirror:-http://deb.debian.org/debian}
  echo "vm-board: making the trixie root with QEMU 11.1 in $root (mirror $mirror)" >&2
  started=$SECONDS
  rm -rf "$root.part" "$root"
  debootstrap --variant=minbase trixie "$root.part" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/debootstrap.log" >&2; exit 1; }
  echo "deb $mirror trixie-backports main" > "$root.part/etc/apt/sources.list.d/backports.list"
  in_root() { chroot "$root.part" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
  in_root apt-get update -qq >&2
  in_root apt-get install -y -qq --no-install-recommends -t trixie-backports qemu-system-x86 \
    >"$cache/qemu-install.log" 2>&1 || { tail -n 20 "$cache/qemu-install.log" >&2; exit 1; }
  # The image the cloud meta package depends on; the test wants the 6.12 generation.
  kpkg=$(in_root apt-cache depends linux-image-cloud-amd64 |
         awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  case $kpkg in
    linux-image-6.12.*-cloud-amd64) ;;
    *) echo "vm-board: trixie's cloud kernel is '$kpkg', not a 6.12 one" >&2; exit 1 ;;
  esac
  mkdir -p "$root.part/var/cache/fdvm"
  # apt warns, as root, that it fetched without its sandbox user: expected here.
  in_root sh -c "cd /var/cache/fdvm && apt-get download -q $kpkg" 2>&1 |
    grep -v '^W: Download is performed unsandboxed' >&2 || true
  in_root sh -c "dpkg -x /var/cache/fdvm/${kpkg}_*.deb /var/cache/fdvm/kernel &&
                 rm /var/cache/fdvm/${kpkg}_*.deb"
  kver=${kpkg#linux-image-}
  kdir=$root.part/var/cache/fdvm/kernel
  # Busybox's insmod reads plain modules only.
  find "$kdir/usr/lib/modules/$kver/kernel/drivers/vfio" "$kdir/usr/lib/modules/$kver/kernel/virt" \
    -name '*.ko.xz' -exec xz -d {} +
  echo "$kver" > "$root.part/.fdvm-ready"
  mv "$root.part" "$root"
  echo "vm-board: root made in $((SECONDS - started)) s" >&2
fi
flock -u 9
kver=$(cat "$root/.fdvm-ready")
kdir=/var/cache/fdvm/kernel  # as seen from inside the root
modules=$root$kdir/usr/lib/modules/$kver/kernel

# ---- This run's folder, inside the root so that QEMU reaches the sockets and files ----------
work=$(mktemp -d "$root/tmp/fdvm.XXXXXX")
inside=${work#"$root"}
server_pids=()
stop_servers() {  # each one's status goes to the end of its log: 0 is a clean stop
  local i status
  for i in "${!server_pids[@]}"; do kill -TERM "${server_pids[$i]}" 2>/dev/null || true; done
  for i in "${!server_pids[@]}"; do
    status=0
    wait "${server_pids[$i]}" 2>/dev/null || status=$?
    echo "vm-board: the server ended with status $status" >> "$out/board-$i.log"
  done
  server_pids=()
}
cleanup() {
  stop_servers
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM  # the cleanup runs on these too
if [ -z "$out" ]; then
  out=$work/out
fi
mkdir -p "$out"
out=$(realpath "$out")
rm -f "$out"/*.out "$out"/*.status "$out"/*.times "$out"/*.irqs "$out"/*.json "$out"/*.sysfs "$out"/*.link \
      "$out"/*.config "$out"/dmesg "$out"/guest.log "$out"/board-*.log "$out"/times
phase() { echo "$1 $2" >> "$out/times"; }

# Board I's address in the guest: the bus of its root port (the ports are numbered in slot
# order, from bus 1).
board_bdf() { printf '0000:%02x:00.0' $((1 + $1)); }

# The plan for the guest's runner: board indices become the addresses the guest gives them.
if [ "$single" -eq 1 ]; then
  printf 'utility\t0\t%s\t\t0\t0\n' "$key" > "$work/runs"
else
  cp "$runs" "$work/runs"
fi
awk -F'\t' -v OFS='\t' '/^#/ || NF == 0 { next }
  { if ($2 !~ /^[0-9]+$/) { print "vm-board: bad board index: " $0 > "/dev/stderr"; exit 1 }
    $2 = sprintf("0000:%02x:00.0", 1 + $2); print }' "$work/runs" > "$work/plan"

# ---- The initramfs: busybox, the vfio modules, the utility, the runner, the init ------------
ird=$work/initramfs
mkdir -p "$ird"/{bin,dev,proc,sys,tmp,modules}
cp "$(command -v busybox)" "$ird/bin/busybox"
cp "$build/tests/vm/fpga-diag-static" "$ird/bin/fpga-diag"
cp "$build/tests/vm/vm-pty-run" "$ird/bin/vm-pty-run"
# The report, for runs whose plan names it (a seventh field).
if [ -x "$build/tests/vm/fpga-diag-report-static" ]; then
  cp "$build/tests/vm/fpga-diag-report-static" "$ird/bin/fpga-diag-report"
fi
cp "$work/plan" "$ird/plan"
[ -z "$with_setup" ] || cp "$build/tests/vm/fpga-diag-setup-static" "$ird/bin/fpga-diag-setup"
[ -z "$setup_board" ] || echo "$(board_bdf "$setup_board")" > "$ird/setup-slot"
printf '%s' "$errors_list" > "$ird/errors-boards"
# In the order they depend on each other (the package has no modules.dep).
for m in drivers/vfio/vfio virt/lib/irqbypass drivers/vfio/vfio_iommu_type1 \
         drivers/vfio/pci/vfio-pci-core drivers/vfio/pci/vfio-pci; do
  cp "$modules/$m.ko" "$ird/modules/"
done
cat > "$ird/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
for m in vfio irqbypass vfio_iommu_type1 vfio-pci-core vfio-pci; do
  insmod /modules/$m.ko || echo "guest: FAIL insmod $m"
done
# The setup board, if any, is fpga-diag-setup's to bind.
setup_slot=$(cat /setup-slot 2>/dev/null)
# Every other board to vfio-pci, as the README tells a user to.
for dev in /sys/bus/pci/devices/*; do
  [ "$(cat $dev/vendor):$(cat $dev/device)" = 0x10ee:0x5050 ] || continue
  slot=$(basename $dev)
  [ "$slot" = "$setup_slot" ] && continue
  echo vfio-pci > $dev/driver_override
  echo $slot > /sys/bus/pci/drivers_probe
  echo "guest: board $slot in IOMMU group $(basename "$(readlink $dev/iommu_group)")," \
       "driver $(basename "$(readlink $dev/driver)")"
done
# What the kernel shows of each board and of its root port, for the host to read: board I is
# on bus I+1.
mkdir -p /tmp/files
for dev in /sys/bus/pci/devices/*; do
  [ "$(cat $dev/vendor):$(cat $dev/device)" = 0x10ee:0x5050 ] || continue
  slot=$(basename $dev)
  i=$((0x$(echo $slot | cut -d: -f2) - 1))
  for f in current_link_speed current_link_width max_link_speed max_link_width; do
    echo "$f $(cat $dev/$f)"
  done > /tmp/files/board-$i.link
  cat $dev/config > /tmp/files/board-$i.config
  cat "$(dirname "$(readlink -f $dev)")/config" > /tmp/files/port-$i.config
done
# The port services the kernel bound (an AER service on a root port: the kernel controls AER).
ls /sys/bus/pci_express/devices > /tmp/files/pci_express 2>/dev/null
# fpga-diag-setup's steps: NAME then the command; the output and status go to /tmp/setup.
step() {
  name=$1
  shift
  "$@" > /tmp/setup/$name.out 2>&1
  echo "exit $?" > /tmp/setup/$name.status
  echo "guest: setup $name: $(cat /tmp/setup/$name.status)"
}
sysfs_state() {
  dev=/sys/bus/pci/devices/$setup_slot
  driver=none
  [ -e $dev/driver ] && driver=$(basename "$(readlink $dev/driver)")
  { echo "driver $driver"
    echo "override $(cat $dev/driver_override)"
    echo "group $(basename "$(readlink $dev/iommu_group)")"; } > /tmp/setup/$1.sysfs
}
# A user's limit, raised as limits.conf would: the tool's verdict weighs it against a run's pins.
as_user() { (ulimit -l unlimited && exec /bin/vm-pty-run --as 1000:1000 "$@"); }
mkdir -p /tmp/setup /etc
printf 'root:x:0:0:root:/root:/bin/sh\nfduser:x:1000:1000::/tmp:/bin/sh\n' > /etc/passwd
printf 'root:x:0:\nfduser:x:1000:\n' > /etc/group
if [ -n "$setup_slot" ]; then
  sysfs_state before
  step before fpga-diag-setup
  step bind fpga-diag-setup bind $setup_slot
  sysfs_state bound
  step bound fpga-diag-setup
  step user_before as_user /bin/fpga-diag-setup
  step bind_user fpga-diag-setup bind $setup_slot --user fduser
  step user_bound as_user /bin/fpga-diag-setup
fi
echo "guest: runs start $(cut -d' ' -f1 /proc/uptime) s after the kernel started"
/bin/vm-pty-run /plan /dev/ttyS1 || echo "guest: FAIL vm-pty-run ended with status $?"
if [ -n "$setup_slot" ]; then
  step unbind fpga-diag-setup unbind $setup_slot
  sysfs_state after
  step after fpga-diag-setup
fi
# Each errors board's registers as the runs left them, then fpga-diag-setup's steps on them.
while read -r i mode; do
  slot=$(printf '0000:%02x:00.0' $((1 + i)))
  dev=/sys/bus/pci/devices/$slot
  cat $dev/config > /tmp/files/board-$i.after.config
  step errors-$i-before fpga-diag-setup status $slot
  if [ "$mode" = user ]; then
    chown 1000 /dev/vfio/$(basename "$(readlink $dev/iommu_group)")
    step errors-$i-user as_user /bin/fpga-diag-setup status $slot
    step errors-$i-clear as_user /bin/fpga-diag-setup clear-errors $slot
  else
    step errors-$i-clear fpga-diag-setup clear-errors $slot
  fi
  step errors-$i-after fpga-diag-setup status $slot
done < /errors-boards
for f in /tmp/setup/*; do [ -e $f ] && mv $f /tmp/files/setup-$(basename $f); done
# Framed as the runner frames its files, on the port it left raw (held open meanwhile).
exec 8<>/dev/ttyS1
stty raw -echo <&8
for f in /tmp/files/*; do
  printf '\n\036@fdvm %s %d\n' "$(basename $f)" $(($(wc -c < $f))) >&8
  cat $f >&8
done
exec 8>&-
echo "guest: done"
poweroff -f
EOF
chmod +x "$ird/init"
(cd "$ird" && find . | busybox cpio -o -H newc 2>/dev/null) > "$work/initrd"
rm -rf "$ird"

# ---- The servers: listening before QEMU starts -------------------------------------------------
verbose=()
[ "${FPGA_DIAG_VM_VERBOSE:-0}" = 1 ] && verbose=(--verbose)
devices=()
for i in "${!boards[@]}"; do
  sock=$work/board$i.sock
  log=$out/board-$i.log
  FPGA_SIM=${boards[$i]} "$build/fpga-board-server" --socket-path="$sock" "${verbose[@]}" \
    2> >(tee -a "$log" | sed -u "s/^/board $i: /" >&2) &
  server_pids+=($!)
  for _ in $(seq 100); do
    grep -q 'listening on' "$log" 2>/dev/null && break
    kill -0 "${server_pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q 'listening on' "$log" 2>/dev/null; then
    echo "vm-board: the server of board $i (FPGA_SIM=${boards[$i]}) did not start" >&2
    exit 1
  fi
  # Its own root port (a chassis number each: QEMU wants each port's chassis and slot unique),
  # and the board as the endpoint below it.
  port_addr=$(printf '0x%x' $((3 + i)))
  devices+=(-device "pcie-root-port,id=rp$i,bus=pcie.0,chassis=$((1 + i)),addr=$port_addr"
            -device "{\"driver\":\"vfio-user-pci\",\"bus\":\"rp$i\",\"addr\":\"0x0\",\
\"socket\":{\"path\":\"$inside/board$i.sock\",\"type\":\"unix\"}}")
done

# ---- The boot ----------------------------------------------------------------------------------
# A test guest needs no speculation mitigations, and under TCG each of them costs: without them
# a syscall-heavy run is about a tenth quicker.
append="console=ttyS0 panic=-1 quiet intel_iommu=on mitigations=off"
[ "$intx" -eq 1 ] && append+=" pci=nomsi"
# Room for the backloop's 100 MiB of locked buffers, with the kernel and busybox beside them.
mem=512M
started=$SECONDS
status=0
# qemu64 rather than max: TCG emulates the wide vector units that max offers slowly, and the C
# library uses them for every copy and compare (a whole run took 16 s with max, 12 with
# qemu64). Two vCPUs: the utility's own thread and the library's interrupt thread each get one.
timeout "$timeout_s" chroot "$root" qemu-system-x86_64 -nodefaults -no-user-config \
  -machine q35,accel=tcg -cpu qemu64 -smp 2 -m "$mem" -display none -no-reboot \
  -device intel-iommu,caching-mode=on \
  -object memory-backend-memfd,id=mem,size="$mem",share=on -machine memory-backend=mem \
  -kernel "$kdir/boot/vmlinuz-$kver" -initrd "$inside/initrd" -append "$append" \
  -serial stdio -serial "file:$inside/ttyS1" "${devices[@]}" </dev/null |
  tr -d '\r' | tee "$out/guest.log" >&2 || status=$?
phase guest $((SECONDS - started))
stop_servers

# ---- The runs' files, cut out of the second serial port's stream -------------------------------
if [ -f "$work/ttyS1" ]; then
  { grep -a -b -o $'^\x1e@fdvm [^ ]* [0-9]*$' "$work/ttyS1" || true; } |
  while IFS=: read -r at header; do
    read -r _ name bytes <<<"$header"
    dd if="$work/ttyS1" of="$out/$name" iflag=skip_bytes,count_bytes status=none \
       skip=$((at + ${#header} + 1)) count="$bytes"
  done
fi
init=$(sed -n 's/^guest: runs start \([0-9.]*\) s.*/\1/p' "$out/guest.log" | head -n 1)
phase runs-start "${init:-?}"

if ! grep -q '^guest: done' "$out/guest.log"; then
  echo "vm-board: the guest did not finish (status $status)" >&2
  exit 1
fi
if [ "$single" -eq 1 ]; then
  cat "$out/utility.out" 2>/dev/null || true
  [ "$(head -n 1 "$out/utility.status" 2>/dev/null)" = "exit 0" ]
fi
