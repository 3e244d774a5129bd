#!/usr/bin/env bash
# The Debian package of a complete build, made and checked as a user would get it: that
# scripts/package.sh never makes it without its computed Depends, what it holds and declares,
# the hardening of its binaries, lintian, the packed programs run from an extracted copy (their
# --version, their --help against their pages, the server's mistakes and SIGHUP), every packed
# manual page rendered without a warning, and a user-prefix install without the package's own
# files.
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
for tool in dpkg-deb dpkg-shlibdeps lintian groff readelf; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/setup.sh test)" >&2; exit 1; }
done
work=$(mktemp -d)
server_pid=
trap '[ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ -n "$version" ] || { echo "FAIL: no project version in $build_dir/CMakeCache.txt" >&2; exit 1; }

# ---- A machine without dpkg-dev: a PATH without dpkg-shlibdeps, where dpkg calls dpkg-dev not
# installed. First apt-get cannot install it: package.sh must stop with its message and make no
# package. Then apt-get "installs" it (puts dpkg-shlibdeps in that PATH): the package is made,
# and is the one checked below. The build is complete already: packing must not build again.
fake=$work/bin
mkdir "$fake"
real_dpkg=$(command -v dpkg)
real_shlibdeps=$(command -v dpkg-shlibdeps)
for dir in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
  for file in "$dir"/*; do
    name=${file##*/}
    case "$name" in dpkg | dpkg-shlibdeps | apt-get | sudo) continue ;; esac
    [ -e "$fake/$name" ] || ln -s "$file" "$fake/$name"
  done
done
cat >"$fake/dpkg" <<EOF
#!/bin/sh
[ "\$1" = -s ] && [ "\$2" = dpkg-dev ] && [ ! -e "$fake/dpkg-shlibdeps" ] && exit 1
exec "$real_dpkg" "\$@"
EOF
cat >"$fake/apt-get" <<EOF
#!/bin/sh
echo "apt-get \$*" >>"$work/apt.log"
[ "\$1" = update ] && exit 0
[ -e "$work/apt-works" ] || exit 100
ln -s "$real_shlibdeps" "$fake/dpkg-shlibdeps"
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$fake/sudo"
chmod +x "$fake/dpkg" "$fake/apt-get" "$fake/sudo"

rm -f "$build_dir"/packages/*.deb
status=0
PATH=$fake "$source_dir/scripts/package.sh" --no-build "$build_dir" >"$work/bare.out" \
  2>"$work/bare.err" || status=$?
[ "$status" = 0 ] && problem "package.sh succeeded without dpkg-shlibdeps"
grep -q 'install .*dpkg-dev' "$work/apt.log" 2>/dev/null ||
  problem "package.sh did not ask apt-get for dpkg-dev (scripts/setup.sh package)"
grep -q 'dpkg-shlibdeps (package dpkg-dev) missing, without which its Depends' "$work/bare.err" ||
  { problem "package.sh did not say why it stopped:"; cat "$work/bare.err" >&2; }
if ls "$build_dir"/packages/*.deb 2>/dev/null; then problem "a package was made anyway (above)"; fi

touch "$work/apt-works"
deb=$(PATH=$fake "$source_dir/scripts/package.sh" --no-build "$build_dir" 2>"$work/cpack.err" |
  tail -1) || { cat "$work/cpack.err" >&2; exit 1; }
echo "package: $deb"
[ -f "$deb" ] || { echo "FAIL: no package at '$deb'" >&2; exit 1; }
grep -q '^CPack: - package: ' "$work/cpack.err" || problem "package.sh hid CPack's output"

# ---- What it holds and declares.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' >"$work/contents"
doc=usr/share/doc/fpga-diag
expected=(usr/bin/fpga-diag usr/bin/fpga-diag-sim usr/bin/fpga-diag-setup
          usr/share/man/man1/fpga-diag.1.gz usr/share/man/man1/fpga-diag-sim.1.gz
          usr/share/man/man1/fpga-board-server.1.gz usr/share/man/man8/fpga-diag-setup.8.gz
          $doc/README.md $doc/copyright $doc/changelog.gz $doc/changelog.Debian.gz
          $doc/examples/90-vfio.rules usr/share/bash-completion/completions/fpga-diag-setup)
# The server exists where its protocol layer builds; its manual page is packed regardless.
if [ -x "$build_dir/fpga-board-server" ]; then
  expected+=(usr/bin/fpga-board-server usr/share/bash-completion/completions/fpga-board-server)
fi
for path in "${expected[@]}"; do
  grep -qx "$path" "$work/contents" || problem "the package lacks $path"
done
# The suite's own programs stay out of it.
if grep -E '(^|/)(check_[a-z_]+|fpga-diag-vfio-sim|soak|vm-guest[^/]*)$' "$work/contents"; then
  problem "the package holds the test suite's programs (above)"
fi
# No udev rule is put in effect by installing the package.
grep -E '^(etc|lib|usr/lib)/udev/' "$work/contents" && problem "the package installs a udev rule"

control=$(dpkg-deb -f "$deb" Version Depends Recommends Suggests Maintainer Description)
echo "$control"
grep -qx "Version: $version-1" <<<"$control" || problem "the package is not version $version-1"
grep -q '^Depends: .*libc6 (>= ' <<<"$control" || problem "Depends is not computed from the binaries"
grep -q '^Depends: \(.*, \)\?kmod\(,\|$\)' <<<"$control" || problem "the package does not depend on kmod"
grep -q '^Recommends: .*driverctl' <<<"$control" || problem "driverctl is not recommended"
grep -q '^Suggests: .*pciutils' <<<"$control" || problem "pciutils is not suggested"
grep -q '^Maintainer: .\+ <.\+@.\+>' <<<"$control" || problem "no Maintainer"

# ---- Errors and warnings fail; no tag at all may say the binaries lack their hardening.
status=0
lintian -I --fail-on error,warning "$deb" >"$work/lintian.out" 2>"$work/lintian.err" || status=$?
cat "$work/lintian.out"
[ "$status" = 0 ] || problem "lintian reports errors or warnings (above)"
grep -q 'hardening-' "$work/lintian.out" && problem "lintian finds binaries without hardening"
grep -v -e '^running with root privileges' -e '^CPackDeb' "$work/lintian.err" >&2 || true

root=$work/root
dpkg-deb -x "$deb" "$root"
# As dpkg-buildflags' hardening leaves them: bind-now and relro, PIE, fortified calls, the
# stack protector.
for exe in "$root"/usr/bin/*; do
  name=${exe##*/}
  dynamic=$(readelf -dW "$exe")
  symbols=$(readelf --dyn-syms -W "$exe")
  grep -q '(FLAGS).*BIND_NOW' <<<"$dynamic" || problem "$name is not linked with -z now"
  grep -q '(FLAGS_1).*PIE' <<<"$dynamic" || problem "$name is not a PIE"
  readelf -lW "$exe" | grep -q GNU_RELRO || problem "$name has no relro segment"
  grep -qE ' __[a-z]+_chk(@|$)' <<<"$symbols" || problem "$name calls no fortified function"
  grep -q ' __stack_chk_fail' <<<"$symbols" || problem "$name has no stack protector"
done

# ---- The packed programs.
status=0
FPGA_SIM=boards=0 "$root/usr/bin/fpga-diag-sim" </dev/null >"$work/sim.out" 2>&1 || status=$?
cat "$work/sim.out"
[ "$status" = 0 ] || problem "the packed fpga-diag-sim exited with status $status"
grep -qx 'FPGA PCI-Express controller diagnostic utility.' "$work/sim.out" ||
  problem "the packed fpga-diag-sim printed no banner"
tail -1 "$work/sim.out" | grep -qx 'No device (vendor ID 0x10EE, device ID 0x5050) was found' ||
  problem "the packed fpga-diag-sim did not end at the no-device line"

# The option forms a page's synopsis and options list (--name and -x): each must be in --help.
forms() {
  zcat "$1" | sed -n '/^\.SH SYNOPSIS/,/^\.SH DESCRIPTION/p;/^\.SH OPTIONS/,/^\.SH [^O]/p' |
    grep -oE '\\-\\-([a-z]|\\-)+|(^|[ "])\\-[a-zA-Z]\b' | sed 's/\\//g; s/^[ "]//' | sort -u
}
programs=(fpga-diag-setup:man8/fpga-diag-setup.8.gz)
[ -x "$root/usr/bin/fpga-board-server" ] && programs+=(fpga-board-server:man1/fpga-board-server.1.gz)
for entry in "${programs[@]}"; do
  program=${entry%%:*}
  page=$root/usr/share/man/${entry#*:}
  "$root/usr/bin/$program" --version | grep -qx "$program (fpga-diag) $version" ||
    problem "$program --version does not print version $version"
  "$root/usr/bin/$program" --help >"$work/help" || problem "$program --help failed"
  grep -q "^Usage: $program" "$work/help" || problem "$program --help shows no usage"
  listed=$(forms "$page")
  [ -n "$listed" ] || problem "no option forms found in $page"
  for form in $listed; do
    grep -qE -- "(^|[ ,|[{])$form([] ,=|}]|$)" "$work/help" ||
      problem "$program --help lacks $form, which its page lists"
  done
  zcat "$page" | head -1 | grep -qF "\"fpga-diag $version\"" || problem "$page is not of $version"
done
# The upstream changelog and the Debian one begin with this release.
zcat "$root/$doc/changelog.gz" | grep -m1 '^## ' | grep -q "^## $version " ||
  problem "changelog.gz does not begin with $version"
zcat "$root/$doc/changelog.Debian.gz" | head -1 | grep -q "^fpga-diag ($version-1) " ||
  problem "changelog.Debian.gz does not begin with $version-1"

server=$root/usr/bin/fpga-board-server
if [ -x "$server" ]; then
  "$server" --fd=abc 2>"$work/server.err" && problem "fpga-board-server took --fd=abc"
  grep -q -- "--fd=abc: not a number" "$work/server.err" || problem "--fd=abc: $(cat "$work/server.err")"
  "$server" --socket-path="$work/no.sock" --fd=0 2>"$work/server.err" &&
    problem "fpga-board-server took --socket-path and --fd together"
  grep -q "only one of --socket-path and --fd" "$work/server.err" ||
    problem "--socket-path with --fd: $(cat "$work/server.err")"
  # SIGHUP ends it as SIGTERM does: status 0, the socket gone.
  "$server" --socket-path "$work/s.sock" 2>"$work/server.err" &
  server_pid=$!
  for _ in $(seq 100); do [ -S "$work/s.sock" ] && break; sleep 0.05; done
  [ -S "$work/s.sock" ] || problem "fpga-board-server made no socket: $(cat "$work/server.err")"
  kill -HUP "$server_pid"
  status=0
  wait "$server_pid" || status=$?
  server_pid=
  [ "$status" = 0 ] || problem "fpga-board-server ended on SIGHUP with status $status"
  [ -e "$work/s.sock" ] && problem "fpga-board-server left its socket behind on SIGHUP"
fi

for page in "$root"/usr/share/man/man*/*.gz; do
  if ! zcat "$page" | groff -man -ww -z 2>"$work/groff.err" || [ -s "$work/groff.err" ]; then
    problem "$(basename "$page") does not render cleanly:"
    cat "$work/groff.err" >&2
  fi
done
# fpga-diag-sim's page is fpga-diag's, by a link that must resolve inside the package.
[ "$(readlink -f "$root/usr/share/man/man1/fpga-diag-sim.1.gz")" = \
  "$root/usr/share/man/man1/fpga-diag.1.gz" ] || problem "fpga-diag-sim.1.gz does not lead to fpga-diag.1.gz"
# The pages name the package's paths.
zcat "$root/usr/share/man/man1/fpga-diag.1.gz" | grep -qF '/usr/share/doc/fpga\-diag/README.md' ||
  problem "fpga-diag(1) does not name /usr/share/doc/fpga-diag/README.md"

# ---- A user-prefix install: no Debian-only file, and the pages name that prefix's paths.
local_root=$work/local
cmake --install "$build_dir" --prefix "$local_root" >/dev/null
for path in share/doc/fpga-diag/changelog.Debian.gz share/lintian; do
  [ -e "$local_root/$path" ] && problem "cmake --install --prefix carries the package's $path"
done
[ -f "$local_root/share/doc/fpga-diag/changelog.gz" ] || problem "cmake --install lacks changelog.gz"
zcat "$local_root/share/man/man1/fpga-diag.1.gz" |
  grep -qF "$(sed 's/-/\\-/g' <<<"$local_root")/share/doc/fpga\-diag/README.md" ||
  problem "fpga-diag(1) installed under $local_root does not name its README there"

[ "$fail" = 0 ] && echo "package: all checks passed"
exit "$fail"
