#!/usr/bin/env bash
# Builds the fuzz target (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) for x86-64 and i386 and runs it from the seed
# corpus: a fixed number of inputs by default (the smoke run of the tests),
# or for a given time: scripts/fuzz.sh [SECONDS] [x86_64|i386 ...].
# Fails on any finding; its reproducer is written as fuzz-<target>-crash-*
# (or -timeout-*, -oom-*) in the build directory.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-0}
shift || true
targets=("${@:-x86_64}")
[ $# -eq 0 ] && targets=(x86_64 i386)
failed=0
for target in "${targets[@]}"; do
  dir=build-fuzz-$target
  flags=(-DFENNIC_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14)
  [ "$target" = i386 ] && flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake)
  echo "== fuzz $target build"
  if ! { cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null && cmake --build "$dir" -j 2; }; then
    echo "FAILED fuzz $target: build"
    failed=1
    continue
  fi
  runner=()
  # The emulator that the configuration chose for i386 programs, if any.
  qemu=$(sed -n 's/^QEMU_I386:FILEPATH=//p' "$dir/CMakeCache.txt")
  [ -n "$qemu" ] && runner=("$qemu")
  # The emulator runs the i386 target some 40 times slower: fewer inputs.
  if [ "$seconds" -gt 0 ]; then
    budget=(-max_total_time="$seconds")
  elif [ "${#runner[@]}" -gt 0 ]; then
    budget=(-runs=4000 -max_total_time=240)
  else
    budget=(-runs=100000 -max_total_time=240)
  fi
  work=$(mktemp -d)
  # The seeds by name: an i386 libFuzzer under the emulator lists no
  # directory (its 32-bit readdir fails on 64-bit inode numbers).
  find "$dir/tests/fuzz/corpus" -type f | paste -sd, >"$work.seeds"
  echo "== fuzz $target run: ${budget[*]}"
  start=$SECONDS
  if "${runner[@]}" "$dir/tests/fuzz/fennic_fuzz" "${budget[@]}" -seed=1 -timeout=60 -rss_limit_mb=0 \
      -max_len=4096 -dict=tests/fuzz/fennic.dict -artifact_prefix="$dir/fuzz-$target-" -print_final_stats=1 \
      -seed_inputs=@"$work.seeds" "$work" >"$dir/fuzz-output.txt" 2>&1; then
    echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$dir/fuzz-output.txt") ($((SECONDS - start)) s), no finding"
  else
    grep -E -A20 'FINDING|ERROR|==[0-9]+==' "$dir/fuzz-output.txt" | head -60
    echo "FAILED fuzz $target: a finding, see $dir/fuzz-output.txt and $dir/fuzz-$target-*"
    failed=1
  fi
  rm -rf "$work" "$work.seeds"
done
exit $failed
