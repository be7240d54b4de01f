#!/usr/bin/env bash
# Checks the Debian packages, one "ok - NAME" or "FAIL - NAME: why" line per check; exits 1 when
# one failed, 77 when this system cannot run them.
#   scripts/check-deb.sh    as root: builds this machine's package, installs it into this system,
#     checks what it installed, that the installed program runs and that the maintainer scripts
#     call udevadm, removes and purges it, then runs the package's own tests (debian/tests) with
#     autopkgtest. It changes the real system, so it first purges a package a previous run left.
#     piuparts installs and purges it in a clean Debian 12 from deb.debian.org.
#   scripts/check-deb.sh --arch arm64|armhf DIR    builds the cross package, checks that it holds
#     the same files as this machine's and depends on the same packages, and unpacks it into DIR.
# lintian (scripts/package-deb.sh) judges the packages' files: stripped program, compressed man
# page and changelog, machine-readable copyright with its licence text.
set -o pipefail
cd "$(dirname "$0")/.." || exit 2
# shellcheck source=tests/lib.sh
. tests/lib.sh
package() { scripts/package-deb.sh "$@" | tail -n 1; }  # [--arch ARCH]: the .deb's path

if [ "${1:-}" = --arch ]; then
  [ $# -eq 3 ] || usage "[--arch arm64|armhf DIR]"
  arch=$2 dir=$3
  scripts/install-deps.sh build package arm >"$work/deps.log" 2>&1 ||
    { cat "$work/deps.log" >&2; skip "no cross compilers for $arch"; }
  # This machine's package is built only to be compared: without its tests, which the package
  # check of this machine's build runs.
  if ! native=$(DEB_BUILD_OPTIONS="parallel=2 nocheck" package) || ! deb=$(package --arch "$arch")
  then fail "build the packages"; exit 1; fi
  ok "build $deb and $native"
  contents() { dpkg-deb -c "$1" | awk '{ print $1, $6 }'; }
  depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | awk '{ print $1 }' | sort | paste -sd ' '; }
  check "$arch: the same files as $native" diff <(contents "$native") <(contents "$deb")
  same "$arch: depends on the packages $native depends on" "$(depends "$native")" "$(depends "$deb")"
  rm -rf "$dir" && dpkg-deb -x "$deb" "$dir"
  check "$arch: unpacked into $dir" test -f "$dir/usr/bin/tunezap"
  exit $status
fi

[ "$(id -u)" -eq 0 ] || skip "must run as root (it installs the package)"
# The maintainer scripts see a udevadm that records its arguments and fails, as it does where udev
# is not running: they must call it and must not fail because of it.
printf '#!/bin/sh\necho "$*" >>"%s"\nexit 1\n' "$work/udevadm.log" >"$work/udevadm"
chmod +x "$work/udevadm"
udev_calls() {  # NAME: the maintainer script called udevadm as expected, once
  same "$1" "control --reload-rules;trigger --subsystem-match=hidraw --action=change;" \
    "$(tr '\n' ';' 2>/dev/null <"$work/udevadm.log")"
  rm -f "$work/udevadm.log"
}
# apt-get waits up to 10 minutes for another apt-get or dpkg to let go of the lock, and gives
# dpkg its own PATH, with the recording udevadm first.
apt() {
  apt-get -y -o DPkg::Lock::Timeout=600 -o DPkg::Path="$work:/usr/sbin:/usr/bin:/sbin:/bin" \
    "$@" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; false; }
}

! dpkg-query -W tunezap >/dev/null 2>&1 || apt purge tunezap ||
  { fail "purge the package a previous run left installed"; exit 1; }
deb=$(package) || { fail "build the package (scripts/package-deb.sh)"; exit 1; }
ok "build the package: $deb"
# piuparts installs it into a clean Debian 12, removes and purges it, and finds anything left
# behind or not owned. Its base system is kept for the next run.
base=/var/cache/tunezap/piuparts-bookworm.tgz && mkdir -p "${base%/*}"
if [ -f "$base" ]; then tarball=(--basetgz "$base"); else tarball=(--save "$base"); fi
check "piuparts: installed into a clean Debian 12, removed, purged, nothing left" \
  piuparts -d bookworm -m http://deb.debian.org/debian "${tarball[@]}" "$deb"
apt install "$PWD/$deb" || { fail "apt-get install $deb"; exit 1; }
same "apt-get install $deb" "install ok installed" "$(dpkg-query -W -f='${Status}' tunezap)"
udev_calls "postinst reloads the udev rules"

/usr/bin/tunezap >"$work/usage.out" 2>/dev/null </dev/null
same "/usr/bin/tunezap without arguments: exit status 2" 2 $?
check "/usr/bin/tunezap without arguments: usage bytes" cmp tests/data/stdout/usage.out "$work/usage.out"
# gzip -9n stores no name and no time: flag byte and time stamp all zero.
page=/usr/share/man/man1/tunezap.1.gz
same "man page compressed without name and time" 0000000000 "$(od -An -tx1 -j3 -N5 "$page" | tr -d ' \n')"
check "man page starts with .TH" sh -c "zcat '$page' | head -n 1 | grep -q '^\.TH TUNEZAP 1'"
# The udev rule, unchanged, where dh_installudev puts it and udev reads it; not a conffile.
check "udev rule installed" cmp packaging/70-tunezap.rules /lib/udev/rules.d/70-tunezap.rules
check "bash completion installed where bash-completion loads it" cmp packaging/tunezap.bash-completion \
  "$(pkg-config --variable=completionsdir bash-completion)/tunezap"
same "no conffiles" "" "$(dpkg-query -W -f='${Conffiles}' tunezap)"
doc=/usr/share/doc/tunezap
check "$doc/README.md.gz" sh -c "zcat '$doc/README.md.gz' | cmp -s README.md -"
check "$doc/changelog.Debian.gz" sh -c "zcat '$doc/changelog.Debian.gz' | head -n 1 | grep -q '^tunezap ('"

check "apt-get remove tunezap" apt remove tunezap
udev_calls "postrm reloads the udev rules"
check "apt-get purge tunezap" apt purge tunezap
check "dpkg no longer knows the package" sh -c '! dpkg-query -W tunezap >/dev/null 2>&1'

# The package's own tests on this system, the package installed by autopkgtest; then purged. Both
# must pass, and autopkgtest must succeed, but for its last step: on a testbed it cannot revert
# it runs apt-get update over every list, which fails while a mirror is in the middle of a sync.
dsc=$(dirname "$deb")/$(basename "$deb" | sed 's/_[^_]*$//').dsc
autopkgtest -o "$work/autopkgtest" "$deb" "$dsc" -- null >"$work/autopkgtest.log" 2>&1
code=$? passes=$(grep -cs ' PASS$' "$work/autopkgtest/summary")
[ "$passes" = 2 ] && { [ $code -eq 0 ] || grep -q 'error cleaning up' "$work/autopkgtest.log"; }
verdict $? "autopkgtest $deb $dsc -- null: its 2 tests pass" "$(tail -n 40 "$work/autopkgtest.log")"
check "apt-get purge tunezap after autopkgtest" apt purge tunezap
exit $status
