#!/usr/bin/env bash
# Builds the package of a build folder with CPack: a Debian package on Linux, a .zip for the
# Windows build. Prints the package's path on its last line.
#
#   scripts/package.sh                      # preset "run" (build/run), built first
#   scripts/package.sh BUILD_DIR            # another configured build, built first
#   scripts/package.sh --no-build BUILD_DIR # a build that is already complete, as it is
#   scripts/package.sh build/windows        # the .zip of the Windows .exe
set -euo pipefail
cd "$(dirname "$0")/.."
build=1
if [ "${1:-}" = --no-build ]; then
  build=0
  shift
fi
dir=${1:-build/run}
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
# cpack installs what the build made into a staging folder and packs it; it builds nothing.
(cd "$dir" && cpack --config CPackConfig.cmake >/dev/null)
generator=$(sed -n 's/^set(CPACK_GENERATOR "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
case "$generator" in
  DEB) pattern='*.deb' ;;
  ZIP) pattern='*.zip' ;;
  *) echo "package: unknown generator '$generator'" >&2; exit 1 ;;
esac
package=$(ls -t "$dir"/packages/$pattern | head -1)
echo "$package"
