#!/usr/bin/env bash
# Makes the serial guest in DIR: Debian's generic kernel (the 8250 driver is
# built in, USB comes as modules) and an initramfs with busybox, the USB
# modules the cases need in the order their dependencies ask, the tarvick
# under test and the simulated target (with the shared libraries they
# load), the probe, and the files the checks load. The kernel and busybox
# packages are fetched once with apt-get download and unpacked, never
# installed.
#   make_guest.sh DIR TARVICK PROBE TARGET
set -euo pipefail
mkdir -p "$1"
dir=$(cd "$1" && pwd) tarvick=$(realpath "$2") probe=$(realpath "$3") target=$(realpath "$4")
source_dir=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir/debs"
cd "$dir/debs"

fetch() { # package name pattern
  ls $2 >/dev/null 2>&1 && return
  apt-get download "$1" >/dev/null 2>&1 || { apt-get update -qq && apt-get download "$1"; }
}
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
                   awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
if [ -z "$kernel_package" ]; then
  apt-get update -qq
  kernel_package=$(apt-cache depends linux-image-amd64 |
                     awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
fi
fetch "$kernel_package" "${kernel_package}_*.deb"
fetch busybox-static 'busybox-static_*.deb'
rm -rf unpacked && mkdir unpacked
dpkg-deb -x "$(ls ${kernel_package}_*.deb | head -n 1)" unpacked
dpkg-deb -x "$(ls busybox-static_*.deb | head -n 1)" unpacked
cp unpacked/boot/vmlinuz-* "$dir/vmlinuz"

root=$dir/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp}
cp unpacked/bin/busybox "$root/bin/"
cp "$source_dir/init" "$root/init"
cp "$tarvick" "$root/bin/tarvick"
cp "$probe" "$root/bin/guest-probe"
cp "$target" "$root/bin/tarvick-target"
# The libraries they load, at the paths they load them from, the libcrypto
# tarvick loads for a run's record and the libudev a station loads.
{ ldd "$tarvick"; ldd "$target"
  ldconfig -p | awk '/(libcrypto.so.3|libudev.so.1) .*x86-64/ { print $NF }'; } |
  grep -o '/[^ ]*' | sort -u | while read -r library; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done

# The USB modules, each after those its .modinfo names in depends=.
modules=$(ls -d unpacked/lib/modules/*/kernel)
mkdir -p "$root/modules"
: >"$root/modules/order"
module_path() { find "$modules" -name "$1.ko" -o -name "${1//_/-}.ko" | head -n 1; }
add_module() { # name
  grep -qx "$1" "$root/modules/order" && return
  local path depends
  path=$(module_path "$1")
  [ -n "$path" ] || { echo "make_guest: no module $1" >&2; exit 1; }
  depends=$(tr '\0' '\n' <"$path" | sed -n 's/^depends=//p' | head -n 1)
  for depend in ${depends//,/ }; do add_module "${depend//-/_}"; done
  cp "$path" "$root/modules/$1.ko"
  echo "$1" >>"$root/modules/order"
}
for module in xhci_pci usbserial ftdi_sio cdc_acm dummy_hcd usb_f_acm g_serial; do
  add_module "$module"
done
head -c 65536 /dev/urandom >"$root/image-64k.bin"
head -c 1048576 /dev/zero >"$root/zeros-1m.bin"
printf 'ok' >"$root/image.bin"
printf 'one\ntwo\n' >"$root/lines.txt"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initrd.gz"
