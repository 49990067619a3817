#!/usr/bin/env bash
# Builds libycan and shows what an application gets: the exported functions,
# the SONAME, and the public header's record layouts checked from C99.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DYCAN_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target ycan abi_c99_check

lib=$(readlink -f build/libycan.so)
echo
echo "Built $lib"
readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/SONAME: \1/p'
echo "Exported functions:"
nm -D --defined-only "$lib" | awk '$2 == "T" {print "  " $3}'
echo
build/tests/abi_c99_check
