#!/usr/bin/env bash
# Runs each test of a GoogleTest program that FILTER selects in a process of
# its own (the library's state is process-wide), one after the other; exits
# non-zero when any failed, or when FILTER selected none.
#   tests/kernel/each-test.sh PROGRAM FILTER
set -uo pipefail
program=$1
filter=$2
tests=$("$program" --gtest_list_tests --gtest_filter="$filter" | awk '
  /^[^ ]/ { suite = $1; next }
  /^  / { print suite $1 }')
[ -n "$tests" ] || { echo "each-test: no test matches $filter" >&2; exit 1; }
failed=()
for t in $tests; do
  "$program" --gtest_filter="$t" --gtest_brief=1 || failed+=("$t")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "each-test: FAILED: ${failed[*]}"
  exit 1
fi
echo "each-test: $(echo "$tests" | wc -l) passed"
