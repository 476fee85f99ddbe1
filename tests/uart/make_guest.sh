#!/usr/bin/env bash
# Makes the UART guest in DIR: Debian's cloud kernel and an initramfs with
# busybox, the tarvick under test (with the shared libraries it loads), the
# probe, and the files the checks load. The kernel and busybox packages are
# fetched once with apt-get download and unpacked, never installed.
#   make_guest.sh DIR TARVICK PROBE
set -euo pipefail
mkdir -p "$1"
dir=$(cd "$1" && pwd) tarvick=$(realpath "$2") probe=$(realpath "$3")
source_dir=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir/debs"
cd "$dir/debs"

fetch() { # package name pattern
  ls $2 >/dev/null 2>&1 && return
  apt-get download "$1" >/dev/null 2>&1 || { apt-get update -qq && apt-get download "$1"; }
}
kernel_package=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null |
                   awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
if [ -z "$kernel_package" ]; then
  apt-get update -qq
  kernel_package=$(apt-cache depends linux-image-cloud-amd64 |
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
# The libraries tarvick loads, at the paths it loads them from.
ldd "$tarvick" | grep -o '/[^ ]*' | while read -r library; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
head -c 65536 /dev/urandom >"$root/image-64k.bin"
printf 'ok' >"$root/image.bin"
printf 'one\ntwo\n' >"$root/lines.txt"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initrd.gz"
