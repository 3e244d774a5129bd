#!/usr/bin/env bash
# The Debian package of a complete build, made and checked as a user would get it: what it
# holds and declares, lintian, the packed fpga-diag-sim and fpga-diag-setup run from an
# extracted copy, and every packed manual page rendered without a warning.
#
#   package_check.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}
for tool in dpkg-deb dpkg-shlibdeps lintian groff; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/setup.sh test)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The build is complete already: packing it must not build it again.
deb=$("$source_dir/scripts/package.sh" --no-build "$build_dir" | tail -1)
echo "package: $deb"
[ -f "$deb" ] || { echo "FAIL: no package at '$deb'" >&2; exit 1; }

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' >"$work/contents"
expected=(usr/bin/fpga-diag usr/bin/fpga-diag-sim usr/bin/fpga-diag-setup usr/bin/fpga-diag-report
          usr/share/man/man1/fpga-diag.1.gz usr/share/man/man1/fpga-diag-sim.1.gz
          usr/share/man/man1/fpga-diag-report.1.gz usr/share/doc/fpga-diag/report.schema.json
          usr/share/bash-completion/completions/fpga-diag-report
          usr/share/man/man1/fpga-board-server.1.gz usr/share/man/man8/fpga-diag-setup.8.gz
          usr/share/doc/fpga-diag/README.md usr/share/doc/fpga-diag/copyright
          usr/share/doc/fpga-diag/changelog.Debian.gz
          usr/share/doc/fpga-diag/examples/90-vfio.rules usr/share/lintian/overrides/fpga-diag)
# The server exists where its protocol layer builds; its manual page is packed regardless.
[ -x "$build_dir/fpga-board-server" ] && expected+=(usr/bin/fpga-board-server)
for path in "${expected[@]}"; do
  grep -qx "$path" "$work/contents" || problem "the package lacks $path"
done
# The suite's own programs stay out of it.
if grep -E '(^|/)(check_[a-z_]+|fpga-diag-vfio-sim|soak|vm-guest[^/]*)$' "$work/contents"; then
  problem "the package holds the test suite's programs (above)"
fi
# No udev rule is put in effect by installing the package.
grep -E '^(etc|lib|usr/lib)/udev/' "$work/contents" && problem "the package installs a udev rule"

control=$(dpkg-deb -f "$deb" Depends Recommends Maintainer Description)
echo "$control"
grep -q '^Depends: .*libc6 (>= ' <<<"$control" || problem "Depends is not computed from the binaries"
grep -q '^Recommends: .*driverctl' <<<"$control" || problem "driverctl is not recommended"
grep -q '^Maintainer: .\+ <.\+@.\+>' <<<"$control" || problem "no Maintainer"

# Errors and warnings both fail; those that do not apply are overridden in the package, with
# their reasons.
if ! lintian --fail-on error,warning "$deb" 2>"$work/lintian.err"; then
  problem "lintian reports errors or warnings (above)"
fi
grep -v -e '^running with root privileges' -e '^CPackDeb' "$work/lintian.err" >&2 || true

root=$work/root
dpkg-deb -x "$deb" "$root"
status=0
FPGA_SIM=boards=0 "$root/usr/bin/fpga-diag-sim" </dev/null >"$work/sim.out" 2>&1 || status=$?
cat "$work/sim.out"
[ "$status" = 0 ] || problem "the packed fpga-diag-sim exited with status $status"
grep -qx 'FPGA PCI-Express controller diagnostic utility.' "$work/sim.out" ||
  problem "the packed fpga-diag-sim printed no banner"
tail -1 "$work/sim.out" | grep -qx 'No device (vendor ID 0x10EE, device ID 0x5050) was found' ||
  problem "the packed fpga-diag-sim did not end at the no-device line"
"$root/usr/bin/fpga-diag-setup" --help | grep -q '^Usage: fpga-diag-setup' ||
  problem "the packed fpga-diag-setup does not run"
# The packed report judges the packed utility's output: no board is a FAIL, exit status 1.
status=0
"$root/usr/bin/fpga-diag-report" "$work/sim.out" >"$work/report.out" 2>&1 || status=$?
cat "$work/report.out"
[ "$status" = 1 ] && tail -1 "$work/report.out" | grep -qx 'FAIL: run: no board' ||
  problem "the packed fpga-diag-report did not judge the no-device run as FAIL (status $status)"

for page in "$root"/usr/share/man/man*/*.gz; do
  if ! zcat "$page" | groff -man -ww -z 2>"$work/groff.err" || [ -s "$work/groff.err" ]; then
    problem "$(basename "$page") does not render cleanly:"
    cat "$work/groff.err" >&2
  fi
done
# fpga-diag-sim's page is fpga-diag's, by a link that must resolve inside the package.
[ "$(readlink -f "$root/usr/share/man/man1/fpga-diag-sim.1.gz")" = \
  "$root/usr/share/man/man1/fpga-diag.1.gz" ] || problem "fpga-diag-sim.1.gz does not lead to fpga-diag.1.gz"

[ "$fail" = 0 ] && echo "package: all checks passed"
exit "$fail"
