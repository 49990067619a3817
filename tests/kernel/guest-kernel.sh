#!/usr/bin/env bash
# Fetches Debian's stock amd64 kernel for the test machine once and prints the
# folder it is kept in: boot/vmlinux (uncompressed, so that qemu boots it
# straight through PVH), boot/config-*, lib/modules/VERSION (with depmod's
# tables) and a file "version". Nothing is installed on this machine.
#   tests/kernel/guest-kernel.sh
# The kernel is the pinned ABI below, the one bookworm's point release ships
# (linux-image-amd64 6.1.176-1 depends on it). When the archive no longer
# serves it, the ABI that the archive's linux-image-amd64 depends on now is
# taken instead, and said. YCAN_GUEST_KERNEL names another ABI;
# YCAN_KERNEL_CACHE another cache folder.
set -euo pipefail
pinned=6.1.0-50-amd64
cache_root=${YCAN_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ycan/guest-kernel}

say() { echo "guest-kernel: $*" >&2; }

abi=${YCAN_GUEST_KERNEL:-$pinned}
dir=$cache_root/$abi
if [ -f "$dir/ready" ]; then
  echo "$dir"
  exit 0
fi
# One fetch at a time (tests start in parallel on a new machine).
mkdir -p "$cache_root"
exec 9>"$cache_root/.lock"
flock 9
if [ -f "$dir/ready" ]; then
  echo "$dir"
  exit 0
fi

command -v apt-get >/dev/null || { say "apt-get is needed to fetch the kernel package"; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/guest-kernel.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

fetch() {  # ABI: downloads linux-image-ABI into $tmp
  (cd "$tmp" && apt-get download -q "linux-image-$1" >/dev/null 2>"$tmp/apt.err")
}

if ! fetch "$abi"; then
  if [ -n "${YCAN_GUEST_KERNEL:-}" ]; then
    say "cannot download linux-image-$abi:"; cat "$tmp/apt.err" >&2; exit 1
  fi
  current=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: linux-image-\([0-9][^ ]*-amd64\)$/\1/p' | head -n 1)
  if [ -z "$current" ]; then
    say "cannot download linux-image-$abi and the archive names no other amd64 kernel:"
    cat "$tmp/apt.err" >&2
    exit 1
  fi
  say "linux-image-$abi is no longer served; using linux-image-$current (what linux-image-amd64 depends on now)"
  abi=$current
  dir=$cache_root/$abi
  if [ -f "$dir/ready" ]; then echo "$dir"; exit 0; fi
  fetch "$abi" || { say "cannot download linux-image-$abi:"; cat "$tmp/apt.err" >&2; exit 1; }
fi

deb=$(ls "$tmp"/linux-image-*.deb)
dpkg-deb -x "$deb" "$tmp/root"
depmod -b "$tmp/root" "$abi"

# The uncompressed kernel inside the bzImage: find the compressed payload's
# magic and unpack from there (xz stops at the end of its stream).
vmlinuz="$tmp/root/boot/vmlinuz-$abi"
unpack() {  # MAGIC (as printf writes it) DECOMPRESSOR...
  local magic=$1; shift
  local offsets
  offsets=$(LC_ALL=C grep -obUaP "$magic" "$vmlinuz" | cut -d: -f1 || true)
  for off in $offsets; do
    if tail -c "+$((off + 1))" "$vmlinuz" | "$@" > "$tmp/vmlinux" 2>/dev/null ||
       [ -s "$tmp/vmlinux" ]; then
      if file "$tmp/vmlinux" | grep -q ELF; then return 0; fi
    fi
  done
  return 1
}
unpack '\xfd7zXZ\x00' xz -dc || unpack '\x28\xb5\x2f\xfd' zstd -dc || unpack '\x1f\x8b\x08' gzip -dc || {
  say "cannot find the uncompressed kernel inside $vmlinuz"; exit 1; }

rm -rf "$dir.partial"
mkdir -p "$dir.partial/boot" "$dir.partial/lib"
mv "$tmp/vmlinux" "$dir.partial/boot/vmlinux"
mv "$tmp/root/boot/config-$abi" "$dir.partial/boot/"
mv "$tmp/root/lib/modules" "$dir.partial/lib/modules"
echo "$abi" > "$dir.partial/version"
basename "$deb" > "$dir.partial/package"
touch "$dir.partial/ready"
rm -rf "$dir"
mv "$dir.partial" "$dir"
say "cached $(cat "$dir/package") in $dir"
echo "$dir"
