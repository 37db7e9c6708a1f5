// Memory that holds generated code. No mapping is ever writable and
// executable at once.
//
// Blocks come from a pool of chunks, each one memory object mapped twice: a
// read+write view through which code is written and a read+execute view from
// which it runs, so a compilation needs no system call. A chunk hands out
// each address once and is unmapped when its last block goes (the address
// is not reused while code may still be cached for it). Where the pool cannot
// be had, a block is its own mapping, made read+execute by Protect.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fennic/core/export.h"

namespace fennic {

class FENNIC_API ExecutableBlock {
 public:
  ExecutableBlock() = default;
  // Reserves at least `size` bytes (one at least), writable through Data()
  // until Protect. Throws std::bad_alloc.
  explicit ExecutableBlock(std::size_t size);
  ~ExecutableBlock();
  ExecutableBlock(ExecutableBlock&& other) noexcept;
  ExecutableBlock& operator=(ExecutableBlock&& other) noexcept;
  ExecutableBlock(const ExecutableBlock&) = delete;
  ExecutableBlock& operator=(const ExecutableBlock&) = delete;

  // Before Protect: where the code is written. After: where it runs (not writable).
  std::uint8_t* Data() const { return FExecutable ? FCode : FWrite; }
  // Where the code will run, known from the start: relative jumps and calls
  // are measured from here.
  const std::uint8_t* Address() const { return FCode; }
  std::size_t Size() const { return FSize; }
  bool Executable() const { return FExecutable; }
  // The code becomes runnable at Address(); Data() no longer writes.
  void Protect();
  // A runnable block holding a copy of Size bytes of Code.
  static ExecutableBlock WithCode(const std::uint8_t* Code, std::size_t Size);

  struct TChunk;

 private:
  void Release();
  TChunk* FChunk = nullptr;    // pooled block: its chunk; else a mapping of its own
  std::uint8_t* FWrite = nullptr;
  std::uint8_t* FCode = nullptr;
  std::size_t FSize = 0;       // bytes asked for
  std::size_t FMapped = 0;     // own mapping: bytes mapped (whole pages)
  bool FExecutable = false;
};

}  // namespace fennic
