#!/usr/bin/env bash
# Runs one command in a virtual machine with Debian's stock kernel (see
# guest-kernel.sh), booted by qemu under software emulation. The guest's root
# is this machine's root, read-only over 9p, with a writable layer in the
# guest's memory on top (overlayfs): the same programs, the same paths, and
# nothing the guest writes reaches this machine, except in the folders given
# with --share. Prints what the command printed and exits with its status.
#   tests/kernel/run-in-vm.sh [--timeout S] [--memory MB] [--share DIR]... COMMAND [ARGS...]
# The command runs as root, from the current directory, with the environment
# variables named in VM_PASS_ENV (space separated) carried in. Loaded before
# it starts: usbcore, usbip-core and vhci-hcd (USB/IP's host controller, two
# ports per speed and controller), can, can-raw, can-dev, vcan, vxcan; the
# guest's /lib/modules holds the kernel's modules for modprobe.
# When qemu, busybox or the kernel is missing, the guest does not boot or the
# command does not finish, it says so and exits non-zero: a test run through it
# never passes without running.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
timeout_s=300
memory=1024
shares=()
while [ $# -gt 0 ]; do
  case $1 in
    --timeout) timeout_s=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --share) shares+=("$(cd "$2" && pwd)"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || {
  echo "usage: run-in-vm.sh [--timeout S] [--memory MB] [--share DIR]... COMMAND [ARGS...]" >&2; exit 2; }

fail() { echo "run-in-vm: $*" >&2; exit 1; }
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || fail "qemu-system-x86_64 is not installed (scripts/install-deps.sh installs it)"
busybox=""
for b in /usr/bin/busybox /bin/busybox; do
  if [ -x "$b" ] && file -L "$b" | grep -q "statically linked"; then busybox=$b; break; fi
done
[ -n "$busybox" ] || fail "a static busybox is not installed (package busybox-static)"
kdir=$("$here/guest-kernel.sh") || fail "no kernel for the guest"
abi=$(cat "$kdir/version")

work=$(mktemp -d "${TMPDIR:-/tmp}/vm.XXXXXX")
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill -9 "$qemu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

{
  echo "cd $(printf '%q' "$PWD")"
  for name in ${VM_PASS_ENV:-}; do
    [ -n "${!name+x}" ] && echo "export $name=$(printf '%q' "${!name}")"
  done
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} > "$work/job"

# The initramfs: busybox, the modules that reach the host's root, and init.
ird=$work/initramfs
mkdir -p "$ird/bin" "$ird/modules" "$ird/proc" "$ird/sys" "$ird/dev" "$ird/lower" "$ird/rw" "$ird/root"
cp "$busybox" "$ird/bin/busybox"
: > "$ird/modules/order"
for m in virtio_pci 9pnet_virtio 9p overlay; do
  modprobe -d "$kdir" -S "$abi" --show-depends "$m" | while read -r verb path _; do
    [ "$verb" = insmod ] || continue
    base=$(basename "$path")
    grep -qx "$base" "$ird/modules/order" && continue
    cp "$path" "$ird/modules/$base"
    echo "$base" >> "$ird/modules/order"
  done
done

{
  echo '#!/bin/busybox sh'
  echo "work=$work"
  echo "kdir=$kdir"
  echo "abi=$abi"
  printf 'shares="'; printf '%s ' "${shares[@]+"${shares[@]}"}"; echo '"'
  cat <<'INIT'
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m || echo "init: insmod $m failed"; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose host /lower || echo "init: no host root"
mount -t tmpfs -o mode=755 rw /rw
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work root /root || echo "init: no overlay"
mount -t proc proc /root/proc
mount -t sysfs sys /root/sys
mount -t devtmpfs dev /root/dev
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts -o ptmxmode=0666 devpts /root/dev/pts
mount -t tmpfs tmpfs /root/dev/shm
# /run starts empty, as at boot (the host's sockets and udev's database are
# not the guest's); /tmp stays the host's (a checkout may live there), its
# changes in the writable layer.
mount -t tmpfs -o mode=755 tmpfs /root/run
mkdir -p /root$work
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 work /root$work
i=0
for s in $shares; do
  mkdir -p /root$s
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share$i /root$s
  i=$((i + 1))
done
rm -rf /root/lib/modules
mkdir -p /root/lib/modules
ln -s $kdir/lib/modules/$abi /root/lib/modules/$abi
cat > /root/run/guest-init.sh <<'GUEST'
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root TMPDIR=/tmp LANG=C.UTF-8
hostname ycan-guest
ip link set lo up
for m in usbip-core vhci-hcd can can-raw can-dev vcan vxcan; do
  modprobe $m || echo "guest: modprobe $m failed"
done
GUEST
chroot /root /bin/bash -c ". /run/guest-init.sh > $work/setup 2>&1; bash $work/job > $work/out 2>&1 < /dev/null; echo \$? > $work/status"
sync
echo b > /proc/sysrq-trigger
INIT
} > "$ird/init"
chmod +x "$ird/init"
(cd "$ird" && find . | "$busybox" cpio -o -H newc 2>/dev/null) > "$work/initramfs.cpio"

virtfs=(-virtfs "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap"
        -virtfs "local,path=$work,mount_tag=work,security_model=none,multidevs=remap")
i=0
for s in "${shares[@]+"${shares[@]}"}"; do
  virtfs+=(-virtfs "local,path=$s,mount_tag=share$i,security_model=none,multidevs=remap")
  i=$((i + 1))
done

"$qemu" -accel tcg -cpu max -smp 1 -m "$memory" -nographic -no-reboot -nodefaults -serial stdio \
  -kernel "$kdir/boot/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  "${virtfs[@]}" > "$work/console" 2>&1 < /dev/null &
qemu_pid=$!
waited=0
while kill -0 "$qemu_pid" 2>/dev/null && [ "$waited" -lt $((timeout_s * 10)) ]; do
  sleep 0.1
  waited=$((waited + 1))
done
if kill -0 "$qemu_pid" 2>/dev/null; then
  kill -9 "$qemu_pid" 2>/dev/null
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=""
  [ -f "$work/out" ] && cat "$work/out"
  echo "run-in-vm: the command did not finish within ${timeout_s} s; the guest's console:" >&2
  tail -n 40 "$work/console" >&2
  exit 124
fi
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=""
[ -f "$work/setup" ] && grep -v '^$' "$work/setup" >&2 || true
[ -f "$work/out" ] && cat "$work/out"
if [ ! -f "$work/status" ]; then
  echo "run-in-vm: the guest ended without running the command; its console:" >&2
  tail -n 40 "$work/console" >&2
  exit 1
fi
exit "$(cat "$work/status")"
