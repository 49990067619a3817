#!/usr/bin/env bash
# Static analysis of the library, the demos and the tools: clang-tidy with
# the checks in .clang-tidy, then cppcheck. Both must be clean.
#   scripts/static-analysis.sh [BUILD_DIR]   (default build; configured if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/compile_commands.json" ] || cmake -S . -B "$build" -G Ninja >/dev/null
jobs=$(nproc 2>/dev/null || echo 2)
mapfile -t files < <(find api transport drivers support demos tools -name '*.cpp' | sort)

echo "clang-tidy: ${#files[@]} files"
run-clang-tidy -p "$build" -j "$jobs" -quiet "${files[@]}" >"$build/clang-tidy.log" 2>&1 || {
  grep -E "(warning|error):" "$build/clang-tidy.log" | sort -u
  echo "clang-tidy found problems (full output: $build/clang-tidy.log)"
  exit 1
}

echo "cppcheck: ${#files[@]} files"
cppcheck --enable=warning,performance,portability --std=c++20 --language=c++ --inline-suppr \
  --error-exitcode=1 -q -j "$jobs" -I include -I . "${files[@]}"
echo "static analysis clean"
