#include "fennic/simplifier/x87guard.h"

#include <cstring>

namespace fennic {

namespace {
constexpr std::uint16_t StackFault = 0x40;
constexpr std::uint16_t ErrorSummary = 0x80;
constexpr std::uint16_t Busy = 0x8000;

void StoreEnv(TX87Env& Env) { asm volatile("fnstenv %0" : "=m"(Env) : : "memory"); }
void LoadEnv(const TX87Env& Env) { asm volatile("fldenv %0" : : "m"(Env) : "memory"); }

// Back to the host's control word and flags, plus the flags raised since
// that the host masks; the stack state stays as it is now (the compiler may
// hold values on the x87 stack across a guard).
void RestoreHostWords(const TX87Env& Host) {
  TX87Env now;
  StoreEnv(now);
  std::uint16_t kept = now.StatusWord & Host.ControlWord & X87AllExceptions;
  if (kept & X87Invalid) kept |= now.StatusWord & StackFault;
  std::uint16_t flags = (Host.StatusWord & (X87AllExceptions | StackFault | ErrorSummary)) | kept;
  if (flags & ErrorSummary) flags |= Busy;
  now.StatusWord =
      static_cast<std::uint16_t>((now.StatusWord & ~(X87AllExceptions | StackFault | ErrorSummary | Busy)) | flags);
  now.ControlWord = Host.ControlWord;
  LoadEnv(now);
}
}  // namespace

std::uint16_t X87ControlWord() {
  std::uint16_t cw;
  asm volatile("fnstcw %0" : "=m"(cw) : : "memory");
  return cw;
}

void SetX87ControlWord(std::uint16_t ControlWord) {
  asm volatile("fldcw %0" : : "m"(ControlWord) : "memory");
}

std::uint16_t X87StatusWord() {
  std::uint16_t sw;
  asm volatile("fnstsw %0" : "=m"(sw) : : "memory");
  return sw;
}

TX87Guard::TX87Guard() {
  // With every exception masked and no flag set, nothing can fault and the
  // flags afterwards are exactly those raised inside: no environment to save.
  FHost.ControlWord = X87ControlWord();
  FHost.StatusWord = X87StatusWord();
  FPlain = (FHost.ControlWord & X87AllExceptions) == X87AllExceptions &&
           (FHost.StatusWord & (X87AllExceptions | StackFault | ErrorSummary)) == 0;
  if (FPlain) return;
  StoreEnv(FHost);  // also masks every exception
  asm volatile("fnclex" : : : "memory");
  SetX87ControlWord(FHost.ControlWord | X87AllExceptions);
}

TX87Guard::~TX87Guard() {
  if (FPlain) return;
  RestoreHostWords(FHost);
}

std::uint16_t TX87Guard::Raised() const { return X87StatusWord() & X87AllExceptions; }

void TX87Guard::Clear() { asm volatile("fnclex" : : : "memory"); }

TX87Watch::TX87Watch() {
  StoreEnv(FHost);
  SetX87ControlWord(FHost.ControlWord);  // FNSTENV masked everything
  asm volatile("fnclex" : : : "memory");
}

TX87Watch::~TX87Watch() { RestoreHostWords(FHost); }

std::uint16_t TX87Watch::Faults() const {
  return X87StatusWord() & ~X87ControlWord() & X87AllExceptions;
}

bool TX87Watch::StackEmpty() const {
  TX87Env now;
  StoreEnv(now);  // masks every exception as a side effect
  SetX87ControlWord(now.ControlWord);
  return now.TagWord == 0xFFFF;
}

void TX87Watch::Reset() {
  asm volatile("fninit" : : : "memory");
  SetX87ControlWord(FHost.ControlWord);
}

TX87Entry::TX87Entry() {
  FHost.StatusWord = X87StatusWord();
  FPlain = (FHost.StatusWord & (X87AllExceptions | StackFault | ErrorSummary)) == 0;
  if (FPlain) return;
  StoreEnv(FHost);  // masks every exception, so nothing can trap before the flags are clear
  asm volatile("fnclex" : : : "memory");
  SetX87ControlWord(FHost.ControlWord);
}

TX87Entry::~TX87Entry() {
  if (FPlain) return;
  RestoreHostWords(FHost);
}

std::uint16_t GuardedRound(Extended Value, std::int64_t& Result) {
  volatile Extended v = Value;
  volatile std::int64_t r = 0;
  TX87Guard guard;
  asm volatile("fldt %1\n\tfistpll %0" : "=m"(r) : "m"(v) : "memory");
  std::uint16_t faults = guard.Faults();
  Result = r;
  return faults;
}

std::uint16_t GuardedOp(TX87Op Op, Extended A, Extended B, Extended& Result) {
  // Volatile operands pin the arithmetic between the guard's entry and the
  // reading of the flags.
  volatile Extended a = A, b = B, r = 0;
  TX87Guard guard;
  switch (Op) {
    case TX87Op::Add: r = a + b; break;
    case TX87Op::Sub: r = a - b; break;
    case TX87Op::Mul: r = a * b; break;
    case TX87Op::Div: r = a / b; break;
  }
  std::uint16_t faults = guard.Faults();
  Result = r;
  return faults;
}

float StoreSingle(Extended Value) {
  volatile float s = static_cast<float>(Value);
  return s;
}

double StoreDouble(Extended Value) {
  volatile double d = static_cast<double>(Value);
  return d;
}

void NarrowToSlot(Extended Value, TVarType VarType, std::uint8_t* Out) {
  std::memset(Out, 0, 12);
  if (VarType == vtExtended) {
    std::memcpy(Out, &Value, 10);
    return;
  }
  const bool negative = Value < 0;
  TX87Guard guard;
  if (VarType == vtSingle) {
    float f = StoreSingle(Value);
    if (guard.Raised() & X87Overflow) f = negative ? -__builtin_inff() : __builtin_inff();
    else if (guard.Raised() & X87Underflow) f = negative ? -0.0f : 0.0f;
    std::memcpy(Out, &f, 4);
  } else {
    double d = StoreDouble(Value);
    if (guard.Raised() & X87Overflow) d = negative ? -__builtin_inf() : __builtin_inf();
    else if (guard.Raised() & X87Underflow) d = negative ? -0.0 : 0.0;
    std::memcpy(Out, &d, 8);
  }
  guard.Clear();
}

}  // namespace fennic
