#!/usr/bin/env bash
# Installs what building and testing Fennic needs on Debian 12, as root.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-multilib file pkg-config
  libgtest-dev:i386 libgmock-dev:i386
  libbenchmark-dev:i386 libmuparser-dev:i386   # benchmarks, against a common expression library
  libcapstone-dev:i386                         # the command-line tool's disassembly
  qemu-user   # runs the i386 programs where the kernel has no 32-bit support
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
  if [ -n "${need_update:-}" ] || [ "$(find /var/lib/apt/lists -maxdepth 1 -name '*i386*Packages*' 2>/dev/null | wc -l)" -eq 0 ]; then
    apt-get update -qq
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  }
fi
