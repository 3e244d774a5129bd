#!/usr/bin/env bash
# Builds the package of a build folder with CPack: a Debian package on Linux, a .zip for the
# Windows build. Prints the package's path on its last line; CPack's own lines, its warnings
# among them, go to standard error.
#
#   scripts/package.sh                      # preset "run" (build/run), built first
#   scripts/package.sh BUILD_DIR            # another configured build, built first
#   scripts/package.sh --no-build BUILD_DIR # a build that is already complete, as it is
#   scripts/package.sh build/windows        # the .zip of the Windows .exe
#
# What it needs it installs through scripts/setup.sh (purpose "package"). A Debian package is
# made only with its Depends computed from the binaries: without dpkg-shlibdeps it stops.
set -euo pipefail
cd "$(dirname "$0")/.."
build=1
if [ "${1:-}" = --no-build ]; then
  build=0
  shift
fi
dir=${1:-build/run}

fail() {
  echo "package: $*" >&2
  exit 1
}
# The set-up may fail (no network, no root) where the tools are there already: what counts is
# whether they are, checked below.
scripts/setup.sh package || echo "package: scripts/setup.sh package failed (above)" >&2
for tool in cmake cpack; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing: \`sudo apt-get install cmake\` (or scripts/setup.sh package as root)"
done

if [ ! -f "$dir/CMakeCache.txt" ]; then
  if [ "$dir" != build/run ]; then
    echo "package: $dir is not a configured build folder" >&2
    exit 2
  fi
  cmake --preset run >/dev/null
fi
if [ "$build" = 1 ]; then
  cmake --build "$dir"
fi
dir=$(cd "$dir" && pwd)
generator=$(sed -n 's/^set(CPACK_GENERATOR "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
case "$generator" in
  DEB) pattern='*.deb' ;;
  ZIP) pattern='*.zip' ;;
  *) fail "unknown generator '$generator'" ;;
esac

if [ "$generator" = DEB ]; then
  # Without dpkg-shlibdeps CPack would make a package whose Depends lack every library the
  # binaries link, and say so only in passing; without file it makes none.
  missing=()
  command -v dpkg-shlibdeps >/dev/null || missing+=("dpkg-shlibdeps (package dpkg-dev)")
  command -v file >/dev/null || missing+=("file (package file)")
  if ((${#missing[@]})); then
    fail "cannot make the Debian package: ${missing[*]} missing, without which its Depends" \
      "would not be computed from the binaries. Install them: \`sudo apt-get install dpkg-dev" \
      "file\` (scripts/setup.sh package does, as root or with sudo)."
  fi
fi

# cpack installs what the build made into a staging folder and packs it; it builds nothing.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! (cd "$dir" && cpack --config CPackConfig.cmake) >"$log" 2>&1; then
  cat "$log" >&2
  fail "cpack failed (above)"
fi
cat "$log" >&2
# CPack names the package relative to the build folder.
package=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log" | tail -1)
case "$package" in
  /*) ;;
  ?*) package=$dir/$package ;;
  *) package=$(ls -t "$dir"/packages/$pattern | head -1) ;;
esac

if [ "$generator" = DEB ]; then
  depends=$(dpkg-deb -f "$package" Depends 2>/dev/null || true)
  if grep -q 'dpkg-shlibdeps is not found\|Using only user-provided dependencies' "$log" ||
    ! grep -q 'libc6' <<<"$depends"; then
    rm -f "$package"
    fail "CPack made a package without the Depends of its binaries (Depends: '$depends');" \
      "removed it. dpkg-shlibdeps (package dpkg-dev) must work for the package to be made."
  fi
fi
echo "$package"
