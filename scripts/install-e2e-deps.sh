#!/usr/bin/env bash
# Installs what tests/e2e/run.sh needs on Debian 12, only the packages missing: QEMU, a static
# busybox for the guest, cpio for its image, and a static C++ toolchain for the device emulator.
# Updates the package lists first: run.sh fetches the kernel package with apt-get download (it is
# never installed on the host). Safe to run again.
set -euo pipefail
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
missing=()
for package in qemu-system-x86 busybox-static cpio g++ libc6-dev libstdc++-12-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] ||
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
