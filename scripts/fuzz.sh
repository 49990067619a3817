#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a while.
#   scripts/fuzz.sh              every target, 10 minutes each
#   scripts/fuzz.sh 3600         every target, an hour each
#   scripts/fuzz.sh 600 replies  one target
# Inputs found are kept in build-fuzz/fuzz/work/<target>/corpus; a crash is
# saved beside it and stops that target's run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DYCAN_BUILD_FUZZ=ON -DYCAN_BUILD_TESTS=OFF -DYCAN_BUILD_BENCH=OFF -DYCAN_BUILD_VIRTUAL=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(canfd_stream usbcan_stream secured_framing replies settings_text log_config)
status=0
for t in "${targets[@]}"; do
  echo "==== fuzz_$t, ${seconds} s ===="
  fuzz/run-fuzz.sh "build-fuzz/fuzz/fuzz_$t" "fuzz/corpus/$t" "build-fuzz/fuzz/work/$t" "$seconds" 2>&1 |
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb|ERROR|invariant|SUMMARY|Test unit written" || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done
exit $status
