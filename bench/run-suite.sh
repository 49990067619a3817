#!/usr/bin/env bash
# Runs every benchmark of a build and prints one table, each figure beside
# its baseline measured in the same run.
#   bench/run-suite.sh BUILD_DIR [--quick]
# --quick: one short pass of everything (the CI check that the suite runs);
# its figures are not meaningful.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: run-suite.sh BUILD_DIR [--quick]}" && pwd)
quick=0
[ "${2:-}" = "--quick" ] && quick=1

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
args=()
if [ $quick -eq 1 ]; then
  export YCAN_BENCH_QUICK=1
  args+=(--benchmark_min_time=0.01)
fi

run() {  # run NAME [on-bench]
  local name=$1 launcher=()
  [ "${2:-}" = "on-bench" ] && launcher=("$build/run-on-bench.sh")
  echo "running $name ..." >&2
  if ! "${launcher[@]}" "$build/bench/ycan_bench_$name" "${args[@]}" \
       --benchmark_out="$out/$name.json" --benchmark_out_format=json >"$out/$name.log" 2>&1; then
    cat "$out/$name.log" >&2
    echo "bench: ycan_bench_$name failed" >&2
    exit 1
  fi
}

run receive
run transmit
run end_to_end on-bench
run idle on-bench
run close on-bench

# Whole processes: ycan-virtual offering 50,000 8-byte FD frames/s to an
# application that only receives (tools/frame_sink).
frames=150000
[ $quick -eq 1 ] && frames=5000
echo "running whole process ..." >&2
if ! "$build/tools/ycan-virtual" --canfd 43 --inject $frames --rate 50000 --fd 100 --quiet \
     -- "$build/tools/frame_sink" 43 $frames >"$out/whole_process.txt" 2>&1; then
  cat "$out/whole_process.txt" >&2
  echo "bench: the whole-process run failed" >&2
  exit 1
fi
# ycan dump's latency for classic frames on a CAN FD adapter, and a python
# loop's send rate through python-can (package from the source tree; Debian's
# python3, which has python3-can, unless YCAN_PYTHON names another).
dump_frames=1000
py_frames=20000
[ $quick -eq 1 ] && dump_frames=100 && py_frames=500
echo "running dump latency ..." >&2
if ! python3 "$here/dump_latency.py" "$build/tools/ycan-virtual" "$build/tools/ycan" $dump_frames 1000 \
     >"$out/dump_latency.txt" 2>&1; then
  cat "$out/dump_latency.txt" >&2
  echo "bench: the dump latency run failed" >&2
  exit 1
fi
echo "running python send rate ..." >&2
if ! YCAN_LIBRARY="$build/libycan.so.1" PYTHONPATH="$here/../python" \
     "$build/tools/ycan-virtual" --canfd 43 --control --duration 120000 -- \
     "${YCAN_PYTHON:-/usr/bin/python3}" "$here/python_send_rate.py" $py_frames >"$out/python_send.txt" 2>&1; then
  cat "$out/python_send.txt" >&2
  echo "bench: the python send run failed" >&2
  exit 1
fi
# ycan bridge against the direct way, inside a kernel with CAN support
# (user-mode Linux, as the bridge's tests run it).
bridge_frames=20000
[ $quick -eq 1 ] && bridge_frames=2000
echo "running bridge in user-mode Linux ..." >&2
if ! bash "$here/../tests/uml/run-in-uml.sh" --timeout 900 /usr/bin/python3 "$here/bridge_bench.py" "$build" \
     $bridge_frames >"$out/bridge.txt" 2>&1; then
  cat "$out/bridge.txt" >&2
  echo "bench: the bridge run failed" >&2
  exit 1
fi
python3 "$here/report.py" "$out"
