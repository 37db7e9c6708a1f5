#!/usr/bin/env bash
# Builds the comparison benchmark for each target (build-bench-x86_64,
# build-bench-i386), runs it and writes the report docs/benchmarks.md (with
# its plots next to it), both targets side by side.
#   bash benchmarks/run.sh [extra Google Benchmark flags]
# FENNIC_BENCH_TARGETS chooses the targets to run (default "x86_64 i386"); a
# target not run keeps the results of its last run in the report.
# The x86-64 run takes a few minutes; the i386 one about 20 where i386
# programs run under qemu-i386 (the kernel cannot run them itself).
set -euo pipefail
cd "$(dirname "$0")/.."
targets=${FENNIC_BENCH_TARGETS:-x86_64 i386}

for target in $targets; do
  build=build-bench-$target
  flags=()
  case $target in
    x86_64) ;;
    i386) flags=(-DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake) ;;
    *) echo "unknown target $target (x86_64 or i386)" >&2; exit 2 ;;
  esac
  cmake -S . -B "$build" -G Ninja "${flags[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFENNIC_TESTS=OFF >/dev/null
  cmake --build "$build" -j 2 --target fennic_compare_bench

  # Where the figures come from, found by running the program: the kernel
  # refuses an i386 program where it lacks 32-bit support (exit 126), which
  # then runs under qemu-i386.
  program=$build/benchmarks/fennic_compare_bench
  runner=()
  where=native
  rc=0
  "$program" --check_only >/dev/null 2>&1 || rc=$?
  if [ "$rc" -eq 126 ]; then
    runner=(qemu-i386)
    where=qemu-i386
  fi
  echo "== $target benchmark ($where)"
  "${runner[@]}" "$program" --check_only
  "${runner[@]}" "$program" \
    --benchmark_min_time=0.2 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_context=fennic_runner=$where \
    "--benchmark_context=cpu_model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" \
    --benchmark_out="$build/compare_bench.json" --benchmark_out_format=json "$@"
done

results=()
for target in x86_64 i386; do
  [ -f "build-bench-$target/compare_bench.json" ] && results+=("build-bench-$target/compare_bench.json")
done
python3 benchmarks/report.py docs/benchmarks.md benchmarks/notes.md "${results[@]}"
echo "report written to docs/benchmarks.md"
