#include "fennic/core/execmem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <utility>

namespace fennic {

ExecutableBlock::ExecutableBlock(std::size_t size) : FSize(size) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  FMapped = (size == 0 ? 1 : (size + page - 1) / page) * page;
  void* p = mmap(nullptr, FMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  FData = static_cast<std::uint8_t*>(p);
}

ExecutableBlock::~ExecutableBlock() { Release(); }

ExecutableBlock::ExecutableBlock(ExecutableBlock&& other) noexcept
    : FData(std::exchange(other.FData, nullptr)),
      FSize(std::exchange(other.FSize, 0)),
      FMapped(std::exchange(other.FMapped, 0)),
      FExecutable(std::exchange(other.FExecutable, false)) {}

ExecutableBlock& ExecutableBlock::operator=(ExecutableBlock&& other) noexcept {
  if (this != &other) {
    Release();
    FData = std::exchange(other.FData, nullptr);
    FSize = std::exchange(other.FSize, 0);
    FMapped = std::exchange(other.FMapped, 0);
    FExecutable = std::exchange(other.FExecutable, false);
  }
  return *this;
}

void ExecutableBlock::Protect() {
  if (FData && !FExecutable) {
    if (mprotect(FData, FMapped, PROT_READ | PROT_EXEC) != 0) throw std::bad_alloc();
    FExecutable = true;
  }
}

void ExecutableBlock::Release() {
  if (FData) munmap(FData, FMapped);
  FData = nullptr;
  FSize = FMapped = 0;
  FExecutable = false;
}

}  // namespace fennic
