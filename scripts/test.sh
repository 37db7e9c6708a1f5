#!/usr/bin/env bash
# Builds Fennic twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test of both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
for variant in plain sanitize; do
  dir=build-test-$variant
  flag=OFF
  [ "$variant" = sanitize ] && flag=ON
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake \
        -DFENNIC_SANITIZE=$flag >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $variant build: tests"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure
done
