#!/usr/bin/env bash
# End-to-end tests against the real Linux HID stack: boots Debian's kernel in QEMU, plugs in
# emulated USB HID devices through /dev/uhid, and real ones (a USB gadget on dummy_hcd's software
# controller, taken by usbhid), and runs the given tunezap there as a user would, some runs under
# the real udevd with our rule.
#
#   tests/e2e/run.sh [--cache DIR] [--scenarios "NAME..."] [--windows EXE] [--arch amd64|arm64]
#                    [--armhf PROGRAM] [TUNEZAP]
#
# --cache     where the kernel, the helpers and the guest image are kept (default: e2e-cache next
#             to TUNEZAP, i.e. in the build directory)
# --scenarios the scenarios to run (default: all; on arm64 those in $uhid)
# --windows   the Windows build (tunezap.exe), run under wine in the guest by the scenarios named
#             windows_*; those are added to the default selection, and TUNEZAP may then be left out
#             (only the Windows group runs)
# --arch      the guest's architecture (default amd64). arm64 boots Debian's arm64 kernel in
#             qemu-system-aarch64 (-M virt, TCG) and needs TUNEZAP cross-built and linked
#             statically; the helpers are cross-built with aarch64-linux-gnu-g++ and busybox comes
#             from busybox-static:arm64 (dpkg --add-architecture arm64; apt-get update).
# --armhf     with --arch arm64: a static armhf build, run by the scenarios named armhf_NAME (the
#             uhid scenarios are added to the default selection so) on the guest's 64-bit kernel
#
# Prints one line per scenario and "N passed, N failed" last; exits 1 on any failure. Without
# QEMU, busybox-static, cpio, udev, a static C++ toolchain or the kernel package it says SKIPPED and
# exits 77. `scripts/install-deps.sh e2e` installs the packages.
set -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lib.sh
. "$here/../lib.sh"
# Every scenario the guest runs (a row of its table or a function of its program), in that order.
all=$(grep -o '^[a-z][a-z0-9_]*' "$here/scenarios.cases" | uniq)
# The Windows group: the same scenarios, run with tunezap.exe under wine.
all_windows="length_9 length_65 first_of_several no_device report_too_short device_vanishes
concurrent_pairs serial_picks_second device_picks_second serial_unknown wait_late gap"
# The scenarios that need nothing in the guest but uhid (none on USB, none with udevd, no --wait):
# the only ones run on arm64.
uhid=$(grep -v -e '^usb_' -e '^udev_' -e '^wait_' <<<"$all")
arch=amd64 cache="" scenarios="" windows="" armhf=""
while [ $# -gt 1 ]; do
  case "$1" in
    --cache) cache=$2 ;;
    --scenarios) scenarios=$2 ;;
    --windows) windows=$(realpath -e "$2") || exit 2 ;;
    --arch) arch=$2 ;;
    --armhf) armhf=$(realpath -e "$2") || exit 2 ;;
    *) break ;;
  esac
  shift 2
done
[ $# -eq 1 ] || { [ $# -eq 0 ] && [ -n "$windows" ]; } ||
  usage "[--cache DIR] [--scenarios \"NAME...\"] [--windows EXE] [--arch amd64|arm64]" \
    "[--armhf PROGRAM] [TUNEZAP]"
tunezap=""
[ $# -eq 0 ] || { tunezap=$(realpath "$1") && [ -x "$tunezap" ]; } ||
  { echo "e2e: $1 is not an executable" >&2; exit 2; }
# What differs between the guests' architectures. The modules the guest loads, in this order: each
# after those it depends on (the package has no modules.dep; each module's "depends=" says). HID,
# uhid, then USB for real: configfs, the USB core, a gadget's HID function on dummy_hcd's software
# controller, and usbhid to take it. Last, 9p over virtio, for the Windows group's share of the
# host's root. arm64 runs the uhid scenarios only: HID, uhid, and configfs, which the guest mounts.
case "$arch" in
  amd64)
    qemu=(qemu-system-x86_64 -accel tcg) console=ttyS0 cxx=g++ deb_suffix="" boot_seconds=180
    modules=(hid hid-generic uhid configfs usb-common usbcore udc-core libcomposite usb_f_hid
      dummy_hcd usbhid virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
      9pnet 9pnet_virtio netfs fscache 9p)
    [ -n "$scenarios" ] ||
      scenarios="${tunezap:+$all} $([ -z "$windows" ] || printf 'windows_%s ' $all_windows)" ;;
  arm64)
    # Debian's arm64 kernel boots as a plain Image on the virt board; no firmware is needed.
    qemu=(qemu-system-aarch64 -accel tcg -M virt -cpu cortex-a53) console=ttyAMA0
    cxx=aarch64-linux-gnu-g++ deb_suffix=":arm64" boot_seconds=240
    modules=(hid hid-generic uhid configfs)
    [ -z "$windows" ] || { echo "e2e: --windows runs on amd64 only" >&2; exit 2; }
    [ -n "$scenarios" ] || scenarios="$uhid $([ -z "$armhf" ] || printf 'armhf_%s ' $uhid)" ;;
  *) echo "e2e: unknown architecture '$arch' (amd64 or arm64)" >&2; exit 2 ;;
esac
read -r -d '' -a scenarios <<<"$scenarios" || true
: "${cache:=$(dirname "${tunezap:-$windows}")/e2e-cache}"

# A missing piece of the environment: the suite is skipped (under CI, CTest fails it).
for tool in "${qemu[0]}" cpio gzip zstd "$cxx" dpkg-deb ldd timeout jq; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
mkdir -p "$cache/bin" || exit 1
log="$cache/log"
: >"$log"
if [ "$arch" = amd64 ]; then
  busybox=$(command -v busybox) || skip "busybox-static is not installed"
  ldd "$busybox" >/dev/null 2>&1 && skip "$busybox is not linked statically (busybox-static)"
else
  # A foreign program cannot be installed beside the host's: busybox-static for the guest is
  # fetched and unpacked into the cache, aside first so that an interrupted fetch leaves nothing.
  busybox="$cache/busybox-$arch/busybox"
  if [ ! -s "$busybox" ]; then
    rm -rf "$cache/busybox-$arch" && mkdir -p "$cache/busybox-$arch/deb" || exit 1
    (cd "$cache/busybox-$arch/deb" && apt-get download "busybox-static$deb_suffix" &&
      dpkg-deb -x busybox-static_*.deb . && mv bin/busybox ..) >>"$log" 2>&1 ||
      skip "cannot fetch busybox from busybox-static$deb_suffix (see $log)"
    rm -rf "$cache/busybox-$arch/deb"
  fi
  # A foreign program's libraries cannot be found with ldd: the program must need none.
  for program in "$tunezap" $armhf; do
    ! readelf -l "$program" 2>/dev/null | grep -q INTERP ||
      { echo "e2e: $program is linked dynamically; the $arch guest needs a static build" >&2; exit 2; }
  done
fi

# ---- The kernel and its HID modules, from the package linux-image-$arch points at.
kernel_package=${TUNEZAP_E2E_KERNEL_PACKAGE:-$(apt-cache depends "linux-image-$arch$deb_suffix" \
  2>/dev/null | sed -n "s/^ *Depends: \(linux-image-[0-9].*-$arch\)\($deb_suffix\)\?\$/\1/p" |
  head -n 1)}
if [ -z "$kernel_package" ]; then
  # Offline: a kernel fetched before will do.
  kernel_package=$(cd "$cache" && compgen -G 'linux-image-*/ready' | sort -V | tail -n 1)
  kernel_package=${kernel_package%/ready}
  [ -n "$kernel_package" ] ||
    skip "apt-cache knows no linux-image-$arch$deb_suffix (dpkg --add-architecture? update?)"
fi
kernel_dir="$cache/$kernel_package"
if [ "$(cat "$kernel_dir/ready" 2>/dev/null)" != "${modules[*]}" ]; then
  # Unpacked aside and moved into place whole, so that an interrupted fetch leaves nothing usable.
  download="$cache/download" pieces="$cache/download/pieces"
  rm -rf "$kernel_dir" "$download"
  mkdir -p "$pieces"
  (cd "$download" && apt-get download "$kernel_package$deb_suffix") >>"$log" 2>&1 ||
    skip "apt-get download $kernel_package failed (see $log)"
  patterns=("${modules[@]/#/./lib/modules/*/}")
  dpkg-deb --fsys-tarfile "$download"/*.deb | tar -x -C "$download" --wildcards './boot/vmlinuz-*' \
    "${patterns[@]/%/.ko*}" >>"$log" 2>&1 ||
    skip "$kernel_package holds no kernel or lacks a module of ${modules[*]} (see $log)"
  mv "$download"/boot/vmlinuz-* "$pieces/vmlinuz"
  # QEMU boots an arm64 kernel only as an uncompressed Image.
  if [ "$arch" = arm64 ] && gzip -t "$pieces/vmlinuz" 2>/dev/null; then
    gzip -dc "$pieces/vmlinuz" >"$pieces/Image" && mv "$pieces/Image" "$pieces/vmlinuz"
  fi
  shopt -s globstar
  for module in "$download"/lib/modules/**/*.ko*; do  # zstd -f unpacks xz and gzip too, or copies
    module_name=$(basename "$module")
    zstd -qdcf "$module" >"$pieces/${module_name%.ko*}.ko" || skip "cannot unpack $module"
  done
  echo "${modules[*]}" >"$pieces/ready"
  mv "$pieces" "$kernel_dir" && rm -rf "$download"
fi

# ---- The guest's own programs, static so that they need nothing from the image. Warnings are
# errors when the build asks for it (TUNEZAP_WERROR, passed on by ctest).
werror=()
[ "${TUNEZAP_WERROR:-OFF}" = ON ] && werror=(-Werror)
for helper in hid_emulator guest; do
  if [ ! "$cache/bin/$helper" -nt "$here/$helper.cc" ] ||
    [ "$here/../test_data.h" -nt "$cache/bin/$helper" ]; then
    "$cxx" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
      "${werror[@]}" -static -o "$cache/bin/$helper" "$here/$helper.cc" >>"$log" 2>&1 ||
      skip "cannot build $helper.cc statically (libc6-dev, libstdc++-12-dev? see $log)"
  fi
done

# ---- The Windows group. The guest mounts the host's root read-only over 9p and runs the host's
# wine in a chroot of it, with a prefix made here once (wineboot takes 10 to 20 s) and handed over
# on a second share that the guest may write.
# guest_seconds: more time for the guest than the Linux scenarios need.
guest_memory=256 guest_seconds=0 guest_shares=()
prepare_windows() {
  # winebus reads hidraw devices only with its SDL bus off; with it on it looks for libSDL2 alone.
  local prefix="$cache/wineprefix" version
  command -v wine >/dev/null || skip "wine is not installed"
  # wine runs only in a prefix its user owns, and it runs as root in the guest.
  [ "$(id -u)" -eq 0 ] || skip "the Windows group runs as root only"
  version=$(wine --version 2>/dev/null)
  if [ "$(cat "$prefix.ready" 2>/dev/null)" != "$version" ] || [ ! -s "$prefix/system.reg" ]; then
    rm -rf "$prefix" "$prefix.ready"
    (export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" && wineboot -i &&
      wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v "Enable SDL" /t REG_DWORD \
        /d 0 /f && wineserver -w) >>"$log" 2>&1 ||
      skip "cannot make a wine prefix (see $log)"
    echo "$version" >"$prefix.ready"
  fi
  # wine rewrites some files in place (the registry): only the DLLs, most of the prefix, are shared.
  rm -rf "$cache/winshare"
  mkdir -p "$cache/winshare/prefix"
  tar -C "$prefix" -c --exclude=./drive_c/windows/system32 . | tar -C "$cache/winshare/prefix" -x &&
    cp -al "$prefix/drive_c/windows/system32" "$cache/winshare/prefix/drive_c/windows/" || exit 1
  # On the share, since the guest's own /tmp hides the host's: the program may have been built there.
  cp "$windows" "$cache/winshare/tunezap.exe" || exit 1
  echo /tmp/wine/tunezap.exe >"$root/e2e/windows"
  guest_memory=2048
  guest_seconds=$((90 * $(echo "${scenarios[*]}" | grep -o 'windows_' | wc -l)))
  guest_shares=(
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$cache/winshare,mount_tag=winshare,security_model=none,multidevs=remap")
}

# ---- The guest image: busybox, the modules, the helpers, the expected outputs, and tunezap with
# the shared libraries it loads, at the paths it was linked with.
root="$cache/root"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,lib/modules,e2e}
with_libraries() {  # PROGRAM: copies the shared libraries PROGRAM loads into the image
  ldd "$1" 2>/dev/null | grep -o '/[^ ]*' | sort -u | xargs -r cp -L --parents -t "$root"
}
cp "$busybox" "$root/bin/busybox"
cp "$kernel_dir"/*.ko "$root/lib/modules/"
echo "${modules[*]}" >"$root/lib/modules/order"
cp "$here/init" "$root/init"
cp -r "$here/scenarios.cases" "$here/../data" "$cache/bin/hid_emulator" "$cache/bin/guest" "$root/e2e/"
echo "${scenarios[*]}" >"$root/e2e/selected"
[ -z "$tunezap" ] || { cp "$tunezap" "$root/usr/bin/tunezap" && with_libraries "$tunezap"; }
[ -z "$armhf" ] || cp "$armhf" "$root/usr/bin/tunezap-armhf"

# The real udevd (udevadm is systemd-udevd when called so) with the libraries it loads, our rule,
# the rules of the same package that handle hidraw devices (with fido_id, which one of them runs
# on each), and users to apply them to: uid 1000 in group plugdev.
udev_files=$(dpkg -L udev 2>/dev/null) || skip "udev is not installed"
udevadm=$(grep -m 1 '/bin/udevadm$' <<<"$udev_files")
fido_id=$(grep -m 1 '/udev/fido_id$' <<<"$udev_files")
default_rules=$(grep -E '/rules.d/(50-udev-default|60-fido-id).rules$' <<<"$udev_files")
# The rule that runs the uaccess builtin on tagged devices comes with systemd.
default_rules+=$'\n'$(dpkg -L systemd 2>/dev/null | grep -m 1 '/rules.d/73-seat-late.rules$')
[ -n "$udevadm" ] && [ -n "$fido_id" ] && [ "$(grep -c . <<<"$default_rules")" -eq 3 ] ||
  skip "the udev and systemd packages lack udevadm, fido_id or the hidraw and seat rules"
mkdir -p "$root"/{lib/systemd,usr/lib/udev/rules.d,etc,run} "$root$(dirname "$fido_id")"
cp "$udevadm" "$root/bin/udevadm"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
cp "$fido_id" "$root$fido_id"
# shellcheck disable=SC2086 # one path a line
cp "$here/../../packaging/70-tunezap.rules" $default_rules "$root/usr/lib/udev/rules.d/"
with_libraries "$udevadm"
printf 'root:x:0:0::/:/bin/sh\nuser:x:1000:1000::/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nplugdev:x:46:user\nuser:x:1000:\n' >"$root/etc/group"
[ -z "$windows" ] || prepare_windows
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$cache/initrd.gz" || exit 1

# ---- One boot for every scenario. TCG only: under KVM this guest hangs on some hosts. One
# processor, so that the emulator (a real-time process there) runs before any writer resumes.
start=$SECONDS
timeout $((boot_seconds + guest_seconds)) "${qemu[@]}" -smp 1 -m "$guest_memory" \
  -nographic -no-reboot -nic none "${guest_shares[@]}" \
  -kernel "$kernel_dir/vmlinuz" -initrd "$cache/initrd.gz" \
  -append "console=$console panic=-1 quiet" </dev/null 2>>"$log" | tr -d '\r' >"$cache/serial.log"
qemu_status=${PIPESTATUS[0]}

# The guest's lines start with "E2E "; firmware escape sequences may precede the first one.
results=$(sed -n 's/^.*\(E2E \(kernel\|ok\|FAIL\|fatal\|done\|json\)\)/\1/p' "$cache/serial.log")
# The guest has no JSON parser: a JSON output comes as "E2E json NAME HEX FILTER" before the line
# of its scenario, which fails unless jq finds FILTER true of it.
while read -r _ _ name hex filter; do
  printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")" | tee -a "$log" | jq -e "$filter" >>"$log" 2>&1 ||
    results=${results/$'\n'"E2E ok $name"$'\n'/$'\n'"E2E FAIL $name: jq finds its JSON wrong (see $log)"$'\n'}
done < <(grep '^E2E json ' <<<"$results")
boot="$((SECONDS - start)) s from boot to power-off"
sed -n -e "s/^E2E kernel \(.*\)/e2e: Linux \1 in QEMU ($boot)/p" \
  -e 's/^E2E ok /ok - /p' -e 's/^E2E FAIL /FAIL - /p' -e 's/^E2E fatal /FAIL - guest: /p' <<<"$results"
passed=$(grep -c '^E2E ok ' <<<"$results")
failed=$(grep -c '^E2E FAIL ' <<<"$results")
grep -q '^E2E fatal ' <<<"$results" && status=1  # the guest itself went wrong
if ! grep -qx 'E2E done' <<<"$results" || [ $((passed + failed)) -ne "${#scenarios[@]}" ]; then
  echo "FAIL - the guest ran $((passed + failed)) of ${#scenarios[@]} scenarios (qemu status" \
    "$qemu_status, $((SECONDS - start)) s); the end of its console, from $cache/serial.log:"
  tail -n 20 "$cache/serial.log" | sed 's/^/  /'
  failed=$((${#scenarios[@]} - passed)) status=1
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$status" -eq 0 ]
