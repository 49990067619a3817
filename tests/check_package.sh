#!/usr/bin/env bash
# Builds the Debian package of a build, checks its contents and
# dependencies, unpacks it into a temporary root and uses it from there: the
# ycan tool runs, and a program outside the tree builds against it with
# pkg-config and runs.
#   check_package.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 src=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null
deb=$(ls "$work"/out/ycan_*.deb)

# Outputs are read whole before they are searched: under pipefail, grep -q
# leaving a pipe early fails the writer with SIGPIPE, now and then.
info=$(dpkg-deb -I "$deb")
grep -q "Depends:.*libusb-1.0-0" <<<"$info" || { echo "no libusb dependency: $info"; exit 1; }
# The long description's lines are text, not the pieces of a CMake list.
description=$(dpkg-deb -f "$deb" Description)
[ "$(wc -l <<<"$description")" -ge 3 ] || { echo "long description missing: $description"; exit 1; }
if grep -q "^ *;" <<<"$description"; then echo "long description lines start with ';': $description"; exit 1; fi
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for f in usr/bin/ycan usr/include/ycan.h usr/lib/libycan.so.1.0.0 usr/lib/libycan.so.1 usr/lib/libycan.so \
         usr/lib/pkgconfig/ycan.pc usr/lib/cmake/ycan/ycanConfig.cmake usr/lib/udev/rules.d/60-ycan.rules \
         usr/share/man/man1/ycan.1 usr/share/man/man1/ycan-virtual.1 usr/lib/systemd/system/ycan-bridge@.service \
         usr/lib/systemd/system/ycan-bridges.service; do
  grep -qx "./$f" <<<"$contents" || { echo "not in the package: /$f"; exit 1; }
done

root=$work/root
dpkg-deb -x "$deb" "$root"
grep -qF "/usr/lib/udev/rules.d/60-ycan.rules" "$root/usr/share/man/man1/ycan.1" \
  || { echo "the packaged ycan.1 does not name /usr/lib/udev/rules.d/60-ycan.rules"; exit 1; }
grep -qx 'ExecStart=/usr/bin/ycan bridge --wait $YCAN_BRIDGE_ARGS' "$root/usr/lib/systemd/system/ycan-bridge@.service" \
  || { echo "the packaged ycan-bridge@.service does not start /usr/bin/ycan"; exit 1; }
grep -qx 'ExecStart=/usr/bin/ycan bridge --all --create' "$root/usr/lib/systemd/system/ycan-bridges.service" \
  || { echo "the packaged ycan-bridges.service does not start /usr/bin/ycan"; exit 1; }
timing=$("$root/usr/bin/ycan" timing --clock 60 --bitrate 1M)
grep -q "timing word    0x" <<<"$timing" || { echo "the packaged ycan does not run: $timing"; exit 1; }
flags=$(PKG_CONFIG_PATH="$root/usr/lib/pkgconfig" pkg-config --cflags --libs ycan)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror -o "$work/consumer" "$src/tests/install_consumer/consumer.c" $flags \
      -Wl,-rpath,"$root/usr/lib"
"$work/consumer"
echo "package checks passed"
