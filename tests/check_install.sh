#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds a program outside the
# tree against it twice, with pkg-config and with find_package(ycan); both
# must build and run. Also checks what the install put where.
#   check_install.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 src=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name 'libycan.so.1.0.0' -print -quit)")
[ -n "$libdir" ] || { echo "libycan.so.1.0.0 not installed"; exit 1; }
for f in "$libdir/libycan.so" "$libdir/libycan.so.1" "$prefix/include/ycan.h" \
         "$libdir/pkgconfig/ycan.pc" "$libdir/cmake/ycan/ycanConfig.cmake" \
         "$prefix/lib/udev/rules.d/60-ycan.rules" "$prefix/bin/ycan" "$prefix/share/man/man1/ycan.1" \
         "$prefix/share/man/man1/ycan-virtual.1" "$prefix/lib/systemd/system/ycan-bridge@.service" \
         "$prefix/lib/systemd/system/ycan-bridges.service"; do
  [ -e "$f" ] || { echo "missing after install: $f"; exit 1; }
done
# The man page names the rules file where this install put it.
grep -qF "$prefix/lib/udev/rules.d/60-ycan.rules" "$prefix/share/man/man1/ycan.1" \
  || { echo "ycan.1 does not name $prefix/lib/udev/rules.d/60-ycan.rules"; exit 1; }
# The unit starts the ycan of this install.
grep -qx "ExecStart=$prefix/bin/ycan bridge --wait \$YCAN_BRIDGE_ARGS" "$prefix/lib/systemd/system/ycan-bridge@.service" \
  || { echo "ycan-bridge@.service does not start $prefix/bin/ycan"; exit 1; }
grep -qx "ExecStart=$prefix/bin/ycan bridge --all --create" "$prefix/lib/systemd/system/ycan-bridges.service" \
  || { echo "ycan-bridges.service does not start $prefix/bin/ycan"; exit 1; }
soname=$(objdump -p "$libdir/libycan.so.1.0.0" | awk '/SONAME/ { print $2 }')
[ "$soname" = "libycan.so.1" ] || { echo "SONAME is '$soname'"; exit 1; }

# Read whole, then searched: grep -q leaving a pipe early would fail the
# writer with SIGPIPE under pipefail.
timing=$("$prefix/bin/ycan" timing --clock 80 0x00C0030E)
grep -q "bit rate       1000000 bit/s" <<<"$timing" || { echo "the installed ycan does not run: $timing"; exit 1; }

# pkg-config
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs ycan)
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Werror -o "$work/consumer-pc" "$src/tests/install_consumer/consumer.c" $flags \
      -Wl,-rpath,"$libdir"
"$work/consumer-pc"

# find_package(ycan)
cmake -S "$src/tests/install_consumer" -B "$work/consumer-build" -DCMAKE_C_COMPILER="$cc" \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-build" >/dev/null
"$work/consumer-build/consumer"
echo "install checks passed"
