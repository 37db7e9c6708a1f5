// Compile-time x87 arithmetic that follows the calling thread's control word
// without letting the hardware raise: operations run with every exception
// masked, and an exception flag they set that the host's control word leaves
// unmasked counts as a fault.
#pragma once

#include <cstdint>

#include "fennic/core/export.h"
#include "fennic/core/types.h"

namespace fennic {

// x87 exception flags (status word) and mask bits (control word) share bit positions.
inline constexpr std::uint16_t X87Invalid = 0x01;
inline constexpr std::uint16_t X87Denormal = 0x02;
inline constexpr std::uint16_t X87ZeroDivide = 0x04;
inline constexpr std::uint16_t X87Overflow = 0x08;
inline constexpr std::uint16_t X87Underflow = 0x10;
inline constexpr std::uint16_t X87Precision = 0x20;
inline constexpr std::uint16_t X87AllExceptions = 0x3F;

std::uint16_t X87ControlWord();
void SetX87ControlWord(std::uint16_t ControlWord);
std::uint16_t X87StatusWord();

// The x87 environment image written by FNSTENV in 32-bit protected mode.
struct TX87Env {
  std::uint16_t ControlWord, Unused1;
  std::uint16_t StatusWord, Unused2;
  std::uint16_t TagWord, Unused3;
  std::uint32_t InstructionPointer;
  std::uint32_t CodeSelectorAndOpcode;
  std::uint32_t OperandPointer;
  std::uint32_t OperandSelector;
};
static_assert(sizeof(TX87Env) == 28);

// Scope in which x87 operations cannot raise. On entry: the flags are
// cleared and every exception masked (rounding and precision stay the
// host's). On exit: the host's control word is back, and its flags are what
// they were plus the flags raised inside that the host masks; a fault is
// reported through Faults() instead of kept as a pending flag. Inside a
// library entry (TX87Entry) everything is masked already and faults are
// judged by the control word the host had on entry.
class TX87Guard {
 public:
  TX87Guard();
  ~TX87Guard();
  TX87Guard(const TX87Guard&) = delete;
  TX87Guard& operator=(const TX87Guard&) = delete;

  std::uint16_t HostControlWord() const { return FHost.ControlWord; }
  // Flags raised since entry (or since the last Clear).
  std::uint16_t Raised() const;
  // Raised flags the host's control word leaves unmasked.
  std::uint16_t Faults() const { return Raised() & ~FHost.ControlWord & X87AllExceptions; }
  // Forgets the flags raised so far (they are neither faults nor kept).
  void Clear();

 private:
  enum class TMode : std::uint8_t { Plain, Saved, InEntry };
  TX87Env FHost;
  TMode FMode;
};

// Scope around a call of host code, which runs under the host's own control
// word (inside a library entry: the one the host had on entry). On entry the
// flags are cleared, the SSE flags too; Faults() then tells the flags raised
// since, in the x87 unit or in MXCSR, that the x87 control word in force
// leaves unmasked (on hardware these arrive as SIGFPE at the next waiting
// instruction). Reset() empties the x87 stack and clears the flags after a
// fault. On exit the control word before the call is back, the x87 flags
// are those before plus the masked flags raised inside, and MXCSR is
// exactly what it was.
class TX87Watch {
 public:
  TX87Watch();
  ~TX87Watch();
  TX87Watch(const TX87Watch&) = delete;
  TX87Watch& operator=(const TX87Watch&) = delete;

  std::uint16_t Faults() const;
  bool StackEmpty() const;
  void Reset();

 private:
  TX87Env FHost;
  bool FInEntry;
  bool FHasSse;
  std::uint32_t FMxcsr = 0;
};

// Scope of a library entry point (Compile, registration, streaming). Inside
// it every x87 exception is masked, so that no operation of the library's
// own code (a comparison, a conversion, the sanitizer's allocator) can trap
// whatever the host unmasked, denormal operands included; guards and
// compile-time calls inside judge faults by the control word the host had
// on entry, and compile-time calls run under it. A flag the host left
// pending is put aside on entry. On exit, exceptions included, the host's
// control word and flags are back, plus the flags raised inside that the
// host masks: a trap they cause comes at the host's next waiting
// instruction, as it would without the call. A scope nested in another one
// on the same thread changes nothing; a library entry from host code that
// runs inside a compile-time call is a new outermost one.
// Exported for the function pack, a library of its own.
class FENNIC_API TX87Entry {
 public:
  TX87Entry();
  ~TX87Entry();
  TX87Entry(const TX87Entry&) = delete;
  TX87Entry& operator=(const TX87Entry&) = delete;

 private:
  TX87Env FHost;
  bool FNested;
  bool FPlain;  // the host masks everything and has no flag pending
  // The thread's state of a library entry suspended by the compile-time call
  // that this entry runs inside of.
  std::uint16_t FOuterControlWord, FOuterKept;
};

// The guarded operations of constant folding. Each returns the flags it
// raised that count as faults under the host's control word (0: no fault).
enum class TX87Op : std::uint8_t { Add, Sub, Mul, Div };
std::uint16_t GuardedOp(TX87Op Op, Extended A, Extended B, Extended& Result);

// Rounds to a 64-bit integer under the host's rounding mode (FISTP); returns
// the faults, as GuardedOp. A NaN or a value beyond the range gives the
// integer indefinite (the lowest value) when invalid operations are masked.
std::uint16_t GuardedRound(Extended Value, std::int64_t& Result);

// Narrowing through memory, so the value is really rounded to the target
// format; under a guard only.
float StoreSingle(Extended Value);
double StoreDouble(Extended Value);

// The bytes of Value in a stack slot of a floating-point parameter, 12 bytes
// written: single and double narrowed (overflow gives the infinity of the
// value's sign, a value lost to underflow a zero of its sign, nothing
// raises), extended as its 10 bytes; the rest of the slot is zero. Compile-
// time calls and generated code pass constants so, identically.
void NarrowToSlot(Extended Value, TVarType VarType, std::uint8_t* Out);

}  // namespace fennic
