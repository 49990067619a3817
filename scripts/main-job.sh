#!/usr/bin/env bash
# The main job: builds the CAN FD echo demo and ycan-virtual, then runs the
# demo against a virtual type-43 adapter that sends it 20 frames (classic and
# CAN FD) and checks that every one comes back unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DYCAN_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target canfd_echo_demo ycan-virtual

exec build/tools/ycan-virtual --canfd 43 --inject 20 --rate 50 --expect-echo \
    -- build/demos/canfd_echo_demo
