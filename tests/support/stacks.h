// Machine stacks of a given size for work that must fit in them: a
// coroutine stack (ucontext) of malloc'd or mmap'd memory, filled with a
// pattern so that the deepest byte the work touched can be read afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace fennic::testing {

class TTestStack {
 public:
  enum class TMemory { Malloc, Mmap };
  TTestStack(std::size_t Bytes, TMemory Memory);
  ~TTestStack();
  TTestStack(const TTestStack&) = delete;
  TTestStack& operator=(const TTestStack&) = delete;

  // Runs Work on this stack as a coroutine of the calling thread, and
  // returns when it is done. Refills the pattern first.
  void Run(const std::function<void()>& Work);
  // Bytes below the stack's top that the last Run touched.
  std::size_t HighWater() const;
  std::size_t Size() const { return FBytes; }

 private:
  std::size_t FBytes;
  TMemory FMemory;
  std::uint8_t* FBase;
};

}  // namespace fennic::testing
