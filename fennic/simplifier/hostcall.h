// Calling host code at compile time: the arguments arranged exactly as the
// routine's convention wants them, every fault caught.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "fennic/core/execmem.h"
#include "fennic/core/types.h"

namespace fennic {

struct THostCall {
  const void* Routine = nullptr;
  // Image of the stack arguments, byte 0 at the stack top (its length a multiple of 4).
  std::vector<std::uint8_t> Frame;
  // Loaded first to last before the call: the last ends in ST0.
  std::vector<Extended> X87Args;
  std::array<std::uint32_t, 3> Registers{};  // EAX, EDX, ECX
  TFuncResult Result = frExtended;
};

// Makes the call: general registers saved, the frame copied onto the stack,
// the x87 arguments loaded, EAX, EDX and ECX set, the result read by its
// type (integers widened), the stack pointer restored whatever the routine
// removed. False when the routine faulted: a signal (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, caught only during the call, on the calling thread), an x87
// exception flag left unmasked by the control word in force after the call,
// or an x87 stack not left as the result type says. Afterwards the x87 stack
// is empty and the thread's control word is the one before the call.
bool CallHostRoutine(const THostCall& Call, Extended& Result);

// A batch of compile-time calls on this thread (one simplification): the
// fault handlers are installed at its first call and stay until it ends, and
// the executable stub of each inline code is made once. Between the calls a
// guarded signal goes on to the disposition that was there before. Sessions
// nest; the innermost one serves.
class THostCallSession {
 public:
  THostCallSession();
  ~THostCallSession();
  THostCallSession(const THostCallSession&) = delete;
  THostCallSession& operator=(const THostCallSession&) = delete;

  static THostCallSession* Current();
  // Installs the handlers unless this session holds them already.
  bool HoldHandlers();
  // The callable stub around inline code (see InlineCodeStub).
  const void* InlineStub(const std::vector<std::uint8_t>& Code);

 private:
  THostCallSession* FOuter;
  bool FHolding = false;
  std::map<std::vector<std::uint8_t>, ExecutableBlock> FStubs;
};

// The bytes around ctBuilt_in code that make it callable: the return address
// is kept in EBX while the code runs with its stack arguments on top.
std::vector<std::uint8_t> InlineCodeStub(const std::vector<std::uint8_t>& Code);

}  // namespace fennic
