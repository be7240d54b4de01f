#!/usr/bin/env bash
# Builds the Debian package, installs it into this system, checks what it installed and that the
# installed program runs, removes it and checks that nothing is left. Needs root; changes the real
# system, so it first removes any tunezap package a previous run left behind.
#   scripts/check-deb.sh
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

if [ "$(id -u)" -ne 0 ]; then
  echo "check-deb: must run as root (it installs the package with dpkg)" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# shellcheck source=tests/tally.sh
. "$(dirname "$0")/../tests/tally.sh"
check() {  # NAME COMMAND...: passes when the command succeeds
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

# dpkg with its lock: another apt-get or dpkg may be running; wait for it (up to 10 minutes)
# instead of failing.
dpkg_locked() {
  local tries=0
  while :; do
    if dpkg "$@" 2>"$work/dpkg.err"; then
      cat "$work/dpkg.err" >&2
      return 0
    fi
    if ! grep -q 'lock' "$work/dpkg.err" || [ $tries -ge 120 ]; then
      cat "$work/dpkg.err" >&2
      return 1
    fi
    tries=$((tries + 1))
    sleep 5
  done
}

known_to_dpkg() { dpkg-query -W tunezap >/dev/null 2>&1; }

# Install and remove see a udevadm that records its arguments and fails, as it does where udev is
# not running: the maintainer scripts must call it and must not fail because of it.
mkdir "$work/bin"
printf '#!/bin/sh\necho "$*" >>"%s"\nexit 1\n' "$work/udevadm.log" >"$work/bin/udevadm"
chmod +x "$work/bin/udevadm"
udev_calls='control --reload-rules
trigger --subsystem-match=hidraw --action=change'
check_udev_calls() {  # NAME: the maintainer script called udevadm as expected, once
  if [ "$(cat "$work/udevadm.log" 2>/dev/null)" = "$udev_calls" ]; then pass "$1"; else
    fail "$1" "udevadm calls: $(tr '\n' ';' <"$work/udevadm.log" 2>/dev/null)"; fi
  rm -f "$work/udevadm.log"
}

# A previous run that stopped half-way may have left the package installed.
if known_to_dpkg; then
  echo "check-deb: removing the tunezap package left installed" >&2
  dpkg_locked --purge tunezap >/dev/null || { fail "remove the previous install"; finish; exit; }
fi

# Build. The package script prints the .deb's path last.
if ! scripts/package-deb.sh >"$work/build.out"; then
  fail "build the package (scripts/package-deb.sh)"
  finish; exit
fi
deb=$(tail -n 1 "$work/build.out")
if [ -f "$deb" ]; then pass "build the package: $deb"; else fail "build the package" "no file '$deb'"; finish; exit; fi

# Install.
if ! PATH="$work/bin:$PATH" dpkg_locked -i "$deb" >/dev/null; then
  fail "dpkg -i $deb"
  finish; exit
fi
status=$(dpkg-query -W -f='${Status}' tunezap 2>/dev/null)
if [ "$status" = "install ok installed" ]; then pass "dpkg -i"; else fail "dpkg -i" "status '$status'"; fi
check_udev_calls "postinst reloads the udev rules"

# The installed program: started without arguments it shows its usage and exits with status 2.
printf 'Console Application Example In Visual Basic.\r\n\r\nSyntax: tunezap.exe <box 0/1> <channel> \r\n' \
  >"$work/usage.expected"
/usr/bin/tunezap >"$work/usage.out" 2>"$work/usage.err" </dev/null
code=$?
if cmp -s "$work/usage.expected" "$work/usage.out"; then
  pass "/usr/bin/tunezap without arguments: usage bytes"
else
  fail "/usr/bin/tunezap without arguments: usage bytes" \
    "got $(sed -n l "$work/usage.out" | tr '\n' ' ')"
fi
if [ "$code" -eq 2 ]; then pass "/usr/bin/tunezap without arguments: exit status 2"; else
  fail "/usr/bin/tunezap without arguments: exit status 2" "got $code"; fi
check "/usr/bin/tunezap is stripped" sh -c 'file -b /usr/bin/tunezap | grep -q ", stripped"'

# The man page: gzip -9n (no stored name or time: flag byte and time stamp all zero), and a page.
page=/usr/share/man/man1/tunezap.1.gz
if [ -f "$page" ] && gzip -t "$page" 2>/dev/null; then
  pass "man page $page installed"
  header=$(od -An -tx1 -j3 -N5 "$page" | tr -d ' \n')
  if [ "$header" = "0000000000" ]; then pass "man page compressed without name and time"; else
    fail "man page compressed without name and time" "flags and time bytes $header"; fi
  check "man page starts with .TH" sh -c "zcat '$page' | head -n 1 | grep -q '^\.TH TUNEZAP 1'"
else
  fail "man page $page installed"
fi

# The udev rule, unchanged, where dh_installudev puts it and udev reads it; not a conffile.
rule=/lib/udev/rules.d/70-tunezap.rules
check "udev rule $rule installed" cmp -s packaging/70-tunezap.rules "$rule"
check "bash completion installed where bash-completion loads it" cmp -s \
  packaging/tunezap.bash-completion "$(pkg-config --variable=completionsdir bash-completion)/tunezap"
conffiles=$(dpkg-query -W -f='${Conffiles}' tunezap)
if [ -z "$conffiles" ]; then pass "no conffiles"; else fail "no conffiles" "$conffiles"; fi

# Documentation.
doc=/usr/share/doc/tunezap
check "$doc/copyright is machine-readable" grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' "$doc/copyright"
check "$doc/copyright holds the licence" grep -q '^ Permission is hereby granted' "$doc/copyright"
# Debian compresses documents over 4 kB.
check "$doc/README.md" sh -c "{ cmp -s README.md '$doc/README.md' || zcat '$doc/README.md.gz' | cmp -s README.md -; }"
check "$doc/changelog.Debian.gz" sh -c "zcat '$doc/changelog.Debian.gz' | head -n 1 | grep -q '^tunezap ('"

# Remove, and check that every path the package owned is gone.
dpkg-query -L tunezap >"$work/owned"
if PATH="$work/bin:$PATH" dpkg_locked -r tunezap >/dev/null; then pass "dpkg -r tunezap"; else
  fail "dpkg -r tunezap"; fi
check_udev_calls "postrm reloads the udev rules"
# A package with a postrm stays known to dpkg until purged, but owns no files any more.
still=$(dpkg-query -L tunezap 2>/dev/null | grep '^/')
if [ -z "$still" ]; then pass "dpkg -L tunezap lists no files"; else
  fail "dpkg -L tunezap lists no files" "$(echo "$still" | tr '\n' ' ')"; fi
left=()
while IFS= read -r path; do
  # Directories like /usr/bin stay because other packages own them too; "/." is the root.
  [ "$path" = /. ] && continue
  if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; }; then
    left+=("$path")
  fi
done <"$work/owned"
if [ ${#left[@]} -eq 0 ]; then pass "nothing left behind ($(wc -l <"$work/owned") paths checked)"; else
  fail "nothing left behind" "${left[*]}"; fi
if dpkg_locked --purge tunezap >/dev/null; then pass "dpkg --purge tunezap"; else fail "dpkg --purge tunezap"; fi
check "dpkg no longer knows the package" sh -c '! dpkg-query -W tunezap >/dev/null 2>&1'

# The package's own tests (debian/tests) on this system, the package installed by autopkgtest;
# then removed again.
dsc=$(dirname "$deb")/$(basename "$deb" | sed 's/_[^_]*$//').dsc
if PATH="$work/bin:$PATH" autopkgtest "$deb" "$dsc" -- null >"$work/autopkgtest.log" 2>&1; then
  pass "autopkgtest $deb $dsc -- null: $(grep -E '^[a-z-]+ +PASS' "$work/autopkgtest.log" | tr -s ' ')"
else
  cat "$work/autopkgtest.log"
  fail "autopkgtest $deb $dsc -- null"
fi
if dpkg_locked --purge tunezap >/dev/null; then pass "dpkg --purge tunezap after autopkgtest"; else
  fail "dpkg --purge tunezap after autopkgtest"; fi

finish
