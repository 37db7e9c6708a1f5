// Calling host code at compile time: the arguments arranged exactly as the
// routine's convention wants them, every fault caught.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "fennic/core/encoder.h"
#include "fennic/core/execmem.h"
#include "fennic/core/types.h"

namespace fennic {

struct THostCall {
  const void* Routine = nullptr;
  // Image of the stack arguments, byte 0 at the stack top.
  std::vector<std::uint8_t> Frame;
  // Loaded first to last before the call: the last ends in ST0.
  std::vector<Extended> X87Args;
  std::array<std::uint32_t, 3> Registers{};  // EAX, EDX, ECX (ctRegister on i386, inline code)
  // x86-64: the routine follows the System V convention (every C++
  // routine; inline code does not): arguments in RDI, RSI, RDX, RCX, R8, R9
  // and the low 64 bits of XMM0 to XMM7, results in RAX, XMM0 (single,
  // double) or ST0.
  bool SystemV = Target64;
  std::array<std::uint64_t, 6> IntArgs{};
  std::array<std::uint64_t, 8> VectorArgs{};
  TFuncResult Result = frExtended;
};

// The value of one constant argument: a float, or an integer of the
// parameter's type (64-bit two's complement).
struct TConstArg {
  Extended Float = 0;
  std::int64_t Integer = 0;
};

// Puts the arguments where the routine's convention wants them; false when
// they do not fit the frame (a call the simplifier never makes). The
// target's rule (hostcall_*.cpp): i386 places every convention by the rule
// of inline code, x86-64 places inline code so and every other convention
// by the System V rules.
bool PlaceArguments(const TFunction& Fn, const std::vector<TConstArg>& Args, THostCall& Call);
// The rule of inline code (and of every i386 convention): integers of up to
// 32 bits in EAX, EDX, ECX for ctRegister and ctBuilt_in, floats on the x87
// stack for ctBuilt_in while StackNeeds leaves room, the rest in the frame,
// the first argument lowest for ctCdecl and ctStdcall and highest otherwise.
bool PlaceInlineArguments(const TFunction& Fn, const std::vector<TConstArg>& Args, THostCall& Call);

// Makes the call: general registers saved, the frame copied onto the stack,
// the x87 arguments loaded, the argument registers set, the result read by
// its type (integers widened), the stack pointer restored whatever the
// routine removed. False when the routine faulted: a signal (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, caught only during the call, on the calling thread, the
// handler on a stack of its own so that a stack overflow is caught too), an
// exception flag (x87 or SSE) left unmasked by the x87 control word in force
// after the call, or an x87 stack not left as the result type says. Afterwards the x87
// stack is empty and the thread's control word is the one before the call.
bool CallHostRoutine(const THostCall& Call, Extended& Result);

// Runs Routine(Block) with the fault handlers in place; false when a
// guarded signal ended it.
bool RunGuarded(void (*Routine)(void*), void* Block);
// RunGuarded, and false too when the call left an unmasked x87 flag raised
// or the x87 stack not empty; afterwards the x87 stack is empty and the
// control word the one before the call.
bool RunWatched(void (*Routine)(void*), void* Block);

// A result as an extended value: an integer (the low bits of Integer) by
// its type, a floating-point one from the 10 bytes at X87.
Extended ResultValue(TFuncResult Result, std::uint64_t Integer, const std::uint8_t* X87);

// A batch of compile-time calls on this thread (one simplification): the
// fault handlers are installed at its first call and stay until it ends, and
// the executable stub of each inline code is made once. Between the calls a
// guarded signal goes on to the disposition that was there before. Sessions
// nest; the innermost one serves. Host code called at compile time runs
// outside every session: a compilation it starts has its own, outermost
// one. A session or call abandoned by a routine that leaves by longjmp is
// given up the next time handlers are held or a session begins (and a fault
// in between goes on to the host's handler).
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
  volatile std::uintptr_t FMark = 0;  // marks this session's frame while it holds the handlers
  std::map<std::vector<std::uint8_t>, ExecutableBlock> FStubs;
};

// The code of a call routine or stub, assembled once (hostcall_*.cpp).
struct TRoutineCode {
  std::vector<std::uint8_t> Bytes;

  TRoutineCode& operator<<(const TEncoder& Code) {
    Bytes.insert(Bytes.end(), Code.Data(), Code.Data() + Code.Size());
    return *this;
  }
  TRoutineCode& operator<<(std::initializer_list<std::uint8_t> Fixed) {
    Bytes.insert(Bytes.end(), Fixed);
    return *this;
  }
  std::size_t Here() const { return Bytes.size(); }
  // A short jump (74 JZ, 75 JNZ, ...) forward, to the place Land marks, or
  // back to Target.
  std::size_t JumpForward(std::uint8_t Opcode) {
    *this << std::initializer_list<std::uint8_t>{Opcode, 0};
    return Here();
  }
  void Land(std::size_t Jump) { Bytes[Jump - 1] = static_cast<std::uint8_t>(Here() - Jump); }
  void JumpBack(std::uint8_t Opcode, std::size_t Target) {
    *this << std::initializer_list<std::uint8_t>{Opcode, static_cast<std::uint8_t>(Target - (Here() + 2))};
  }
};

// The bytes around ctBuilt_in code that make it callable: the return address
// is kept in EBX (RBX) while the code runs with its stack arguments on top.
std::vector<std::uint8_t> InlineCodeStub(const std::vector<std::uint8_t>& Code);

}  // namespace fennic
