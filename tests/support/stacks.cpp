#include "support/stacks.h"

#include <sys/mman.h>
#include <ucontext.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace fennic::testing {

namespace {

constexpr std::uint8_t Pattern = 0xA5;

struct TRun {
  const std::function<void()>* Work;
  ucontext_t Caller, Callee;
};

thread_local TRun* Current = nullptr;

void Trampoline() {
  (*Current->Work)();
  // Returning resumes uc_link, the caller.
}

}  // namespace

// Whole pages, so that every stack's top has the same alignment and the
// high-water marks of two stacks compare.
TTestStack::TTestStack(std::size_t Bytes, TMemory Memory)
    : FBytes((Bytes + 4095) & ~std::size_t{4095}), FMemory(Memory), FBase(nullptr) {
  if (Memory == TMemory::Malloc) {
    FBase = static_cast<std::uint8_t*>(std::malloc(FBytes));
  } else {
    void* p = mmap(nullptr, FBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    FBase = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
  }
  if (!FBase) throw std::bad_alloc();
}

TTestStack::~TTestStack() {
  if (FMemory == TMemory::Malloc) std::free(FBase);
  else munmap(FBase, FBytes);
}

void TTestStack::Run(const std::function<void()>& Work) {
  std::memset(FBase, Pattern, FBytes);
  TRun run{&Work, {}, {}};
  getcontext(&run.Callee);
  run.Callee.uc_stack.ss_sp = FBase;
  run.Callee.uc_stack.ss_size = FBytes;
  run.Callee.uc_link = &run.Caller;
  makecontext(&run.Callee, &Trampoline, 0);
  TRun* outer = Current;
  Current = &run;
  swapcontext(&run.Caller, &run.Callee);
  Current = outer;
}

std::size_t TTestStack::HighWater() const {
  std::size_t untouched = 0;
  while (untouched < FBytes && FBase[untouched] == Pattern) ++untouched;
  return FBytes - untouched;
}

}  // namespace fennic::testing
