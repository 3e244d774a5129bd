#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks, by purpose. Safe to run again.
#
#   scripts/setup.sh run      # building and running the utility: cmake, ninja, g++
#   scripts/setup.sh package  # that, and making the Debian package (scripts/package.sh)
#   scripts/setup.sh test     # those, and what the test command needs besides
set -euo pipefail
purpose=${1:-test}

packages=(cmake ninja-build g++)
lean=()  # installed without their recommended packages
# CPack's Debian generator needs dpkg-shlibdeps (dpkg-dev) for the package's Depends and file to
# tell the binaries from the other files: without the first its package has no computed Depends,
# without the second there is none at all.
package_tools=(dpkg-dev file)
case "$purpose" in
  run) ;;
  package) lean+=("${package_tools[@]}") ;;
  test)
    # clang with its sanitizer and libFuzzer runtimes (asan, tsan and fuzz presets), the test
    # and benchmark frameworks, the Windows cross compiler (preset "windows") and Wine to run
    # its cases: wine64 runs 64-bit programs, wine brings wine, wineserver and wineboot.
    packages+=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
               g++-mingw-w64-x86-64-posix wine64 wine)
    # The virtual-machine test (scripts/vm-test.sh): QEMU, and busybox for the guest. The guest
    # kernel is fetched by the script itself.
    lean+=(qemu-system-x86 busybox-static)
    # The package and its check (label package): what the package needs, lintian, and groff to
    # render the manual pages.
    lean+=("${package_tools[@]}" lintian groff-base)
    # The guest with our board (scripts/vm-board.sh): QEMU 11.1 runs in a trixie root that
    # debootstrap makes (never installed here, Debian 12's QEMU has no vfio-user client), and
    # xz unpacks the guest kernel's modules.
    lean+=(debootstrap xz-utils)
    ;;
  *)
    echo "usage: scripts/setup.sh [run|package|test]" >&2
    exit 2
    ;;
esac

missing=() missing_lean=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
for p in "${lean[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing_lean+=("$p")
done
if ((${#missing[@]} + ${#missing_lean[@]})); then
  echo "setup: installing ${missing[*]} ${missing_lean[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  install=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq)
  if ((${#missing[@]})); then "${install[@]}" "${missing[@]}"; fi
  if ((${#missing_lean[@]})); then "${install[@]}" --no-install-recommends "${missing_lean[@]}"; fi
fi
