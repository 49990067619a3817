#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs the suite: one
# table, each figure beside its baseline measured in the same run. Takes a
# minute or two; see docs/performance.md for what each figure means.
#   scripts/bench.sh           the full suite
#   scripts/bench.sh --quick   one short pass (figures not meaningful)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DYCAN_BUILD_TESTS=OFF \
      -DYCAN_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
bash bench/run-suite.sh build-bench "$@"
