#!/usr/bin/env bash
# Builds libycan and runs every test: the g++ build, the clang build, the
# suite again under AddressSanitizer+UBSan and under ThreadSanitizer, and a
# bounded run of every fuzz target (scripts/fuzz.sh runs them longer); clang-tidy
# and cppcheck must find nothing (scripts/static-analysis.sh).
#   scripts/test.sh           everything
#   scripts/test.sh --quick   the g++ build and its tests only
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
export CTEST_OUTPUT_ON_FAILURE=1

passed=0
run() {  # run NAME [cmake options...]
  local name=$1; shift
  echo "==== $name ===="
  cmake -S . -B "build-ci/$name" -G Ninja -DYCAN_WERROR=ON "$@" >/dev/null
  cmake --build "build-ci/$name" -j "$jobs"
  local log="build-ci/$name/ctest.log"
  (cd "build-ci/$name" && ctest -j "$jobs" --timeout 300) 2>&1 | tee "$log"
  local n
  n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  passed=$((passed + ${n:-0}))
}

# The g++ build is optimised as users and packagers build it (Release, -O3):
# warnings that only the optimiser finds stop it here, not in their builds.
# It alone runs the scenarios on the real Linux USB stack (tests/kernel/).
run gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DCMAKE_BUILD_TYPE=Release -DYCAN_KERNEL_TESTS=ON
echo "==== hostile adapters and soak (g++ build) ===="
grep -hE '^\[(hostile|soak)' build-ci/gcc/Testing/Temporary/LastTest.log || true
if [ "${1:-}" != "--quick" ]; then
  echo "==== static analysis ===="
  bash scripts/static-analysis.sh build-ci/gcc
  run clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
  run asan -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DYCAN_BUILD_BENCH=OFF \
      "-DYCAN_SANITIZE=address,undefined"
  run tsan -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DYCAN_BUILD_BENCH=OFF \
      -DYCAN_SANITIZE=thread
  run fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DYCAN_BUILD_FUZZ=ON \
      -DYCAN_BUILD_TESTS=OFF -DYCAN_BUILD_BENCH=OFF -DYCAN_BUILD_VIRTUAL=OFF
  echo "==== fuzz executions ===="
  awk '/ Testing: fuzz\./ { name = $NF } /stat::number_of_executed_units/ { print name ": " $2 }' \
      build-ci/fuzz/Testing/Temporary/LastTest.log
fi
echo "==== all builds passed ===="
echo "$passed passed, 0 failed"
