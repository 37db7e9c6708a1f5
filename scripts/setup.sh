#!/usr/bin/env bash
# Installs what building and testing Fennic needs on Debian 12, as root, for
# both targets: x86-64 (the machine's own) and i386 (-m32).
# Idempotent: packages already present are not fetched again.
set -euo pipefail

native=$(dpkg --print-architecture)
packages=(
  cmake ninja-build g++ g++-multilib file pkg-config python3
  # Both targets: tests, benchmarks, the command-line tool's disassembly.
  "libgtest-dev:$native" "libgmock-dev:$native" "libbenchmark-dev:$native" "libcapstone-dev:$native"
  libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386 libcapstone-dev:i386
  # The benchmark peer's development package is not multi-arch: headers and
  # CMake package for the machine's own target; the i386 benchmark links the
  # i386 run-time library directly.
  "libmuparser-dev:$native" libmuparser2v5:i386
  qemu-user   # runs the i386 programs where the kernel has no 32-bit support
  # The fuzz target: clang with libFuzzer and the sanitizer runtimes of both
  # targets (clang -m32 links the i386 C++ library of g++-multilib).
  clang-14 libclang-rt-14-dev
  # The pack's accuracy reference in both targets, and the generator of its
  # kernels' coefficients.
  "libmpfr-dev:$native" libmpfr-dev:i386 python3-mpmath
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  # A mirror caught mid-sync fails one index of the update; the install
  # below still works from the others, and retries with a fresh update.
  if [ -n "${need_update:-}" ] || [ "$(find /var/lib/apt/lists -maxdepth 1 -name '*i386*Packages*' 2>/dev/null | wc -l)" -eq 0 ]; then
    apt-get update -qq || echo "setup: apt-get update reported a failure; installing from the lists it has"
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
    sleep 10
    apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  }
fi
