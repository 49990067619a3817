#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs the suite: one
# table, each figure beside its baseline measured in the same run. Takes a
# minute or two; see docs/performance.md for what each figure means.
#   scripts/bench.sh           the full suite
#   scripts/bench.sh --quick   one short pass (figures not meaningful)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# The build's output is kept out of the table, and shown when it fails.
mkdir -p build-bench
log=build-bench/build.log
if ! { cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DYCAN_BUILD_TESTS=OFF \
         -DYCAN_BUILD_BENCH=ON &&
       cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)"; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "bench.sh: the benchmark build failed (whole output: $log)" >&2
  exit 1
fi
bash bench/run-suite.sh build-bench "$@"
