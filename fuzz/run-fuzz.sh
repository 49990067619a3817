#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from its seed corpus.
#   run-fuzz.sh TARGET SEEDS WORK SECONDS
# New inputs go to WORK/corpus, a crashing input to WORK/ (crash-*, leak-*,
# timeout-*): add it to SEEDS and write a regression test for it.
set -euo pipefail
target=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus" "$seeds"
exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" "$seeds"
