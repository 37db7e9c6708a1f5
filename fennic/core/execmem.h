// Pages that hold generated code. A block is mapped read+write, filled, then
// made read+execute; it is never writable and executable at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fennic {

class ExecutableBlock {
 public:
  ExecutableBlock() = default;
  // Maps at least `size` bytes (one page at least), read+write. Throws std::bad_alloc.
  explicit ExecutableBlock(std::size_t size);
  ~ExecutableBlock();
  ExecutableBlock(ExecutableBlock&& other) noexcept;
  ExecutableBlock& operator=(ExecutableBlock&& other) noexcept;
  ExecutableBlock(const ExecutableBlock&) = delete;
  ExecutableBlock& operator=(const ExecutableBlock&) = delete;

  std::uint8_t* Data() const { return FData; }
  std::size_t Size() const { return FSize; }
  bool Executable() const { return FExecutable; }
  // Read+write becomes read+execute; no write is possible afterwards.
  void Protect();

 private:
  void Release();
  std::uint8_t* FData = nullptr;
  std::size_t FSize = 0;      // bytes asked for
  std::size_t FMapped = 0;    // bytes mapped (whole pages)
  bool FExecutable = false;
};

}  // namespace fennic
