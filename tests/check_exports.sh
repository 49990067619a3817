#!/usr/bin/env bash
# Usage: check_exports.sh LIBRARY EXPECTED_NAMES
# Fails unless LIBRARY defines exactly the expected dynamic symbols and
# carries the SONAME libycan.so.1.
set -euo pipefail
lib=$1
expected=$2

actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort)
if ! diff -u <(sort "$expected") <(echo "$actual"); then
  echo "FAIL: exported symbols differ from $expected" >&2
  exit 1
fi
text=$(nm -D --defined-only "$lib" | awk '$2 == "T"' | wc -l)
if [ "$text" -ne "$(wc -l < "$expected")" ]; then
  echo "FAIL: $text exported functions" >&2
  exit 1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "libycan.so.1" ]; then
  echo "FAIL: SONAME is '$soname'" >&2
  exit 1
fi
echo "exports OK: $(echo "$actual" | wc -l) symbols, SONAME $soname"
