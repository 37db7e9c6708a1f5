#!/usr/bin/env bash
# Builds the comparison benchmark in build-bench, runs it and writes the
# report docs/benchmarks.md (with its plot next to it).
#   bash benchmarks/run.sh [extra Google Benchmark flags]
# Takes a few minutes; i386 programs run under qemu-i386 where the kernel
# cannot run them itself.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFENNIC_TESTS=OFF >/dev/null
cmake --build "$build" --target fennic_compare_bench

# The kernel refuses i386 programs where it lacks 32-bit support (exit 126):
# then they run under qemu-i386.
runner=()
rc=0
"$build/benchmarks/fennic_compare_bench" --check_only >/dev/null 2>&1 || rc=$?
if [ "$rc" -eq 126 ]; then
  runner=(qemu-i386)
fi
results="$build/compare_bench.json"
"${runner[@]}" "$build/benchmarks/fennic_compare_bench" --check_only
"${runner[@]}" "$build/benchmarks/fennic_compare_bench" \
  --benchmark_min_time=0.2 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$results" --benchmark_out_format=json "$@"
python3 benchmarks/report.py "$results" docs/benchmarks.md benchmarks/notes.md
echo "report written to docs/benchmarks.md"
