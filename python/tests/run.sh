#!/usr/bin/env bash
# Installs the python-can interface into a fresh virtual environment of
# Debian's python3 (which sees Debian's python3-can and python3-pytest) the
# way the README says, then runs its tests under ycan-virtual against the
# libycan of the given build directory.
#   python/tests/run.sh BUILD_DIR [PYTEST ARGS...]
# YCAN_LIBRARY, YCAN_VIRTUAL and YCAN_TOOL may name the library, ycan-virtual
# and the ycan tool when they are not where a plain build puts them;
# YCAN_VIRTUAL_OPTIONS adds options of ycan-virtual (--usbip: the adapters
# on this machine's kernel).
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")

venv="$build/python-venv"
rm -rf "$venv" "$build/python-src"
/usr/bin/python3 -m venv --without-pip --system-site-packages "$venv"
# pip writes its build files next to the sources: build from a copy, so the
# source tree stays clean.
cp -r "$source_dir" "$build/python-src"
"$venv/bin/python" -m pip install --quiet --no-index --no-deps "$build/python-src"

# The installed package, not the source tree, must be what the tests import.
cd "$build"
"$venv/bin/python" -c 'import can_ycan, sys; sys.exit(0 if "python-venv" in can_ycan.__file__ else 1)'

export PYTHONDONTWRITEBYTECODE=1
export YCAN_LIBRARY="${YCAN_LIBRARY:-$build/libycan.so.1}"
export YCAN_TOOL="${YCAN_TOOL:-$build/tools/ycan}"
# shellcheck disable=SC2086 # the options are words
exec "${YCAN_VIRTUAL:-$build/tools/ycan-virtual}" ${YCAN_VIRTUAL_OPTIONS:-} --canfd 43 --classic 1 --recorder 61 --control -- \
  "$venv/bin/python" -m pytest -p no:cacheprovider --color=no -q "$here" "$@"
