#!/usr/bin/env bash
# Runs one command inside a real Linux kernel with CAN support: Debian's
# user-mode Linux (a kernel that runs as an ordinary process), booted on the
# host's root file system, with the can, can-raw, can-dev, vcan and vxcan
# modules loaded. Prints what the command printed and exits with its status.
#   tests/uml/run-in-uml.sh [--timeout S] COMMAND [ARGS...]
# The command runs as root inside, from the current directory, with the
# environment variables named in UML_PASS_ENV (space separated) carried in.
# When the kernel cannot be booted or the command does not finish, it says so
# and exits non-zero: a test run through it never passes without running.
set -euo pipefail
timeout_s=300
if [ "${1:-}" = "--timeout" ]; then
  timeout_s=$2
  shift 2
fi
[ $# -ge 1 ] || { echo "usage: run-in-uml.sh [--timeout S] COMMAND [ARGS...]" >&2; exit 2; }
kernel=$(command -v linux.uml || true)
if [ -z "$kernel" ]; then
  echo "run-in-uml: user-mode Linux (linux.uml) is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
version=$(ls /usr/lib/uml/modules 2>/dev/null | sort -V | tail -n 1)
if [ -z "$version" ]; then
  echo "run-in-uml: no modules under /usr/lib/uml/modules" >&2
  exit 1
fi

# A short path: UML keeps its sockets and memory file under TMPDIR.
work=$(mktemp -d /tmp/uml.XXXXXX)
trap 'rm -rf "$work"' EXIT

{
  echo "cd $(printf '%q' "$PWD")"
  for name in ${UML_PASS_ENV:-}; do
    [ -n "${!name+x}" ] && echo "export $name=$(printf '%q' "${!name}")"
  done
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} > "$work/job"

cat > "$work/init" <<INIT
#!/bin/sh
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root TMPDIR=/tmp
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts -o ptmxmode=0666 devpts /dev/pts 2>/dev/null
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
modules=/usr/lib/uml/modules/$version/kernel
for m in net/can/can.ko net/can/can-raw.ko drivers/net/can/dev/can-dev.ko drivers/net/can/vcan.ko drivers/net/can/vxcan.ko; do
  insmod \$modules/\$m || echo "run-in-uml: insmod \$m failed" >> $work/out
done
ip link set lo up
bash $work/job >> $work/out 2>&1 </dev/null
echo \$? > $work/status
sync
poweroff -f
INIT
chmod +x "$work/init"

started=$(date +%s)
# The console carries the kernel's own messages; kept apart from the command's.
timeout --kill-after=10 "$timeout_s" "$kernel" mem=1024M root=/dev/root rootfstype=hostfs rootflags=/ rw \
  init="$work/init" >"$work/console" 2>&1 </dev/null || true
cat "$work/out" 2>/dev/null || true
if [ ! -s "$work/status" ]; then
  echo "run-in-uml: the command did not finish inside the kernel within ${timeout_s} s; the console said:" >&2
  tail -n 30 "$work/console" >&2
  exit 1
fi
echo "run-in-uml: finished in $(( $(date +%s) - started )) s" >&2
exit "$(cat "$work/status")"
