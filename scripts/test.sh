#!/usr/bin/env bash
# Builds Fennic four times, for x86-64 and for i386, each plain and with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test of
# each build; then the fuzz target's smoke run in both targets. Every build
# runs even when an earlier one fails; the script fails when any build, test
# or smoke run did.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

passed=0
failed=0
broken=()
summary=()
for target in x86_64 i386; do
  for variant in plain sanitize; do
    name=$target-$variant
    dir=build-test-$name
    flags=(-DFENNIC_SANITIZE=$([ "$variant" = sanitize ] && echo ON || echo OFF))
    [ "$target" = i386 ] && flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake)
    # The plain builds show that the benchmarks build; nothing runs them.
    [ "$variant" = sanitize ] && flags+=(-DFENNIC_BENCHMARKS=OFF)
    env=()
    # Natively the leak checker works: leaks fail the x86-64 sanitizer build.
    # (Under qemu-i386 its stop-the-world never returns; the i386 programs
    # turn it off themselves there.)
    [ "$name" = x86_64-sanitize ] && env=(ASAN_OPTIONS=detect_leaks=1)
    start=$SECONDS
    echo "== $name build"
    if ! { cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null && cmake --build "$dir" -j "$jobs"; }; then
      broken+=("$name: build failed")
      summary+=("$name: build failed after $((SECONDS - start)) s")
      continue
    fi
    echo "== $name build: tests"
    log=$dir/ctest-output.txt
    env "${env[@]}" ctest --test-dir "$dir" -j "$jobs" --output-on-failure 2>&1 | tee "$log"
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    if [ -z "$line" ]; then
      broken+=("$name: ctest gave no result")
      total=0 bad=0
    elif [ "$bad" -gt 0 ]; then
      broken+=("$name: $bad of $total tests failed")
    fi
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    summary+=("$name: $((total - bad)) of $total tests passed in $((SECONDS - start)) s (build and tests)")
  done
done

# The fuzz smoke run: a fixed number of inputs per target, each target one
# result.
start=$SECONDS
log=$(mktemp)
bash scripts/fuzz.sh 2>&1 | tee "$log"
for target in x86_64 i386; do
  if grep -q "^FAILED fuzz $target" "$log" || ! grep -q "^fuzz $target: .* no finding" "$log"; then
    broken+=("fuzz $target: build failed or a finding")
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done
summary+=("fuzz smoke run: $(grep -c ' no finding$' "$log") of 2 targets without a finding in $((SECONDS - start)) s")
rm -f "$log"

echo "== summary"
printf '%s\n' "${summary[@]}"
[ "${#broken[@]}" -gt 0 ] && printf 'FAILED %s\n' "${broken[@]}"
echo "total: $passed passed, $failed failed"
[ "${#broken[@]}" -eq 0 ]
