#!/usr/bin/env bash
# Prepares the kernel tests' guest: the distribution's newest 6.1 kernel with the USB gadget, USB
# storage and SCSI generic modules, busybox and udevd (downloaded once and kept in the cache), and
# an initramfs holding the project as installed, the device-side programs, the expected flash
# contents and the guest's init.
set -euo pipefail

usage() {
  echo "usage: prepare-guest.sh --build DIR --cache DIR --out DIR --init FILE --gadget FILE" \
       "--watch FILE --expected FILE" >&2
  exit 2
}
build= cache= out= init= gadget= watch= expected=
while (($#)); do
  case "$1" in
    --build) build=$2 ;; --cache) cache=$2 ;; --out) out=$2 ;; --init) init=$2 ;;
    --gadget) gadget=$2 ;; --watch) watch=$2 ;; --expected) expected=$2 ;;
    *) usage ;;
  esac
  shift 2
done
[[ -n $build && -n $cache && -n $out && -n $init && -n $gadget && -n $watch && -n $expected ]] ||
  usage

# The modules the guest loads (their dependencies are added below); crct10dif_generic because
# t10-pi asks the crypto layer for its CRC by name.
modules=(dummy_hcd libcomposite usb_f_fs usb-storage sg sd_mod scsi_mod usb-common usbcore
  udc-core crct10dif_generic)
# How much of the reader's flash the guest dumps and compares.
flash_bytes=131072

mkdir -p "$cache/debs"

# ---- The kernel, busybox and udevd, once -----------------------------------------------------
if [[ ! -f $cache/kernel-version ]]; then
  newest_kernel() {
    apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | cut -d' ' -f1 |
      sort -V | tail -n1
  }
  image=$(newest_kernel)
  if [[ -z $image ]]; then
    apt-get update >/dev/null
    image=$(newest_kernel)
  fi
  [[ -n $image ]] || { echo "prepare-guest: apt knows no linux-image-6.1.0-N-amd64" >&2; exit 1; }
  echo "prepare-guest: downloading $image, busybox-static and udev"
  rm -f "$cache"/debs/*.deb
  # libkmod2 and libssl3 are udevd's libraries that a build machine may lack. Run as root, apt
  # warns that it downloads unsandboxed; that is all.
  if ! (cd "$cache/debs" && apt-get download "$image" busybox-static udev libsystemd-shared \
        libkmod2 libssl3 2>"$cache/download.log"); then
    grep -v '^W: Download is performed unsandboxed' "$cache/download.log" >&2
    echo "prepare-guest: apt-get download failed" >&2
    exit 1
  fi
  rm -rf "$cache/root"
  for deb in "$cache"/debs/*.deb; do dpkg-deb -x "$deb" "$cache/root"; done
  version=${image#linux-image-}
  [[ -f $cache/root/boot/vmlinuz-$version ]] || {
    echo "prepare-guest: $image did not unpack" >&2; exit 1; }
  echo "$version" >"$cache/kernel-version"
fi
version=$(cat "$cache/kernel-version")
kroot=$cache/root
busybox=$kroot/bin/busybox

# ---- The staging tree ----------------------------------------------------------------------------
stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage"/{usr/bin,usr/sbin,usr/lib/x86_64-linux-gnu,usr/lib64,etc,proc,sys,dev,run,tmp}
mkdir -p "$stage/usr/lib/systemd" "$stage/root" "$stage/home/tester" "$stage/test"
for d in bin sbin lib lib64; do ln -s "usr/$d" "$stage/$d"; done

# The project as it installs (the rule where udev reads it); the window program stays out.
cmake --install "$build" --prefix "$out/install/usr" >/dev/null
cp "$out/install/usr/bin/tr350-fwupdate-cli" "$stage/usr/bin/"
mkdir -p "$stage/usr/lib/udev/rules.d"
cp "$out/install/usr/lib/udev/rules.d/70-tr350-fwupdate.rules" "$stage/usr/lib/udev/rules.d/"
cp "$gadget" "$watch" "$stage/usr/bin/"
# Debug information only slows the guest's unpacking; the resource section stays.
strip --strip-debug "$stage"/usr/bin/tr350-*
cp "$busybox" "$kroot/bin/udevadm" "$stage/usr/bin/"
ln -s ../../bin/udevadm "$stage/usr/lib/systemd/systemd-udevd"

# Shared libraries of every program, where the dynamic loader looks for them.
libpath="$kroot/usr/lib/x86_64-linux-gnu/systemd:$kroot/usr/lib/x86_64-linux-gnu:$kroot/lib/x86_64-linux-gnu"
for program in tr350-fwupdate-cli tr350-kernel-gadget tr350-kernel-watch udevadm; do
  deps=$(LD_LIBRARY_PATH=$libpath ldd "$stage/usr/bin/$program")
  if grep -q 'not found' <<<"$deps"; then
    echo "prepare-guest: $program lacks libraries:" >&2
    grep 'not found' <<<"$deps" >&2
    exit 1
  fi
  while read -r lib; do
    case "$lib" in
      */systemd/libsystemd-shared-*) target=usr/lib/x86_64-linux-gnu/systemd ;;
      */ld-linux-x86-64.so.2) target=usr/lib64 ;;
      *) target=usr/lib/x86_64-linux-gnu ;;
    esac
    mkdir -p "$stage/$target"
    cp -L "$lib" "$stage/$target/"
  done < <(grep -o '/[^ ]*\.so[^ ]*' <<<"$deps" | sort -u)
done

# The modules and what they depend on.
moddir=$kroot/lib/modules/$version
find_module() { find "$moddir/kernel" -name "$1.ko" -o -name "${1//-/_}.ko" | head -n1; }
declare -A wanted=()
queue=("${modules[@]}")
while ((${#queue[@]})); do
  name=${queue[0]}
  queue=("${queue[@]:1}")
  [[ -n ${wanted[$name]:-} ]] && continue
  file=$(find_module "$name")
  [[ -n $file ]] || { echo "prepare-guest: no module $name in $version" >&2; exit 1; }
  wanted[$name]=$file
  depends=$("$busybox" strings "$file" | sed -n 's/^depends=//p' | tr ',' ' ')
  for dep in $depends; do queue+=("$dep"); done
done
for name in "${!wanted[@]}"; do
  file=${wanted[$name]}
  mkdir -p "$stage/lib/modules/$version/$(dirname "${file#$moddir/}")"
  cp "$file" "$stage/lib/modules/$version/${file#$moddir/}"
done
"$busybox" depmod -b "$stage" "$version"

# The guest's users, the init, the expected flash contents.
cat >"$stage/etc/passwd" <<'PASSWD'
root:x:0:0:root:/root:/bin/sh
tester:x:1000:1000:tester:/home/tester:/bin/sh
PASSWD
cat >"$stage/etc/group" <<'GROUP'
root:x:0:
disk:x:6:
tape:x:26:
tester:x:1000:
GROUP
cp "$init" "$stage/init"
chmod 0755 "$stage/init"
"$expected" "$stage/usr/bin/tr350-fwupdate-cli" flash-old "$flash_bytes" \
  "$stage/test/expected-flash.bin" "$stage/test/expected-flash-again.bin"
echo "$flash_bytes" >"$stage/test/flash-bytes"

# ---- The initramfs -------------------------------------------------------------------------------
(cd "$stage" && find . -mindepth 1 | "$busybox" cpio -o -H newc -R 0:0 2>/dev/null) \
  >"$out/initramfs.cpio.part"
mv "$out/initramfs.cpio.part" "$out/initramfs.cpio"
cp "$kroot/boot/vmlinuz-$version" "$out/vmlinuz"
echo "prepare-guest: kernel $version, initramfs $(du -h "$out/initramfs.cpio" | cut -f1)"
