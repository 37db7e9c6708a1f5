#include "fennic/core/x87guard.h"

#include <cstring>

namespace fennic {

namespace {
constexpr std::uint16_t StackFault = 0x40;
constexpr std::uint16_t ErrorSummary = 0x80;
constexpr std::uint16_t Busy = 0x8000;
constexpr std::uint16_t AnyFlag = X87AllExceptions | StackFault | ErrorSummary;

void StoreEnv(TX87Env& Env) { asm volatile("fnstenv %0" : "=m"(Env) : : "memory"); }
void LoadEnv(const TX87Env& Env) { asm volatile("fldenv %0" : : "m"(Env) : "memory"); }
void ClearFlags() { asm volatile("fnclex" : : : "memory"); }

// The thread's x87 unit as the library code sees it between an outermost
// entry and its exit: every exception masked, the host's control word kept
// here. Host code called at compile time runs outside (Inside false), so a
// routine that never returns (longjmp) leaves the thread outside.
struct TX87Thread {
  bool Inside = false;
  std::uint16_t HostControlWord = 0;
  // Host-masked flags raised inside and cleared since, for the host on exit.
  std::uint16_t Kept = 0;
};
thread_local TX87Thread X87Thread;

// Inside an entry: the pending flags are put aside for the host (those it
// masks) and cleared, so that what is raised next can be told apart.
void SetAsideFlags(TX87Thread& Thread) {
  const std::uint16_t flags = X87StatusWord() & X87AllExceptions;
  if (flags == 0) return;
  Thread.Kept |= flags & Thread.HostControlWord;
  ClearFlags();
}

// Back to the host's control word and flags, plus the flags raised since
// (now or in Kept) that the host masks; the stack state stays as it is now
// (the compiler may hold values on the x87 stack across a guard).
void RestoreHostWords(const TX87Env& Host, std::uint16_t Kept = 0) {
  TX87Env now;
  StoreEnv(now);
  std::uint16_t kept = (now.StatusWord | Kept) & Host.ControlWord & X87AllExceptions;
  if (kept & X87Invalid) kept |= now.StatusWord & StackFault;
  std::uint16_t flags = (Host.StatusWord & AnyFlag) | kept;
  if (flags & ErrorSummary) flags |= Busy;
  now.StatusWord = static_cast<std::uint16_t>((now.StatusWord & ~(AnyFlag | Busy)) | flags);
  now.ControlWord = Host.ControlWord;
  LoadEnv(now);
}

bool HasSse() {
#if defined(__x86_64__)
  return true;
#else
  static const bool sse = __builtin_cpu_supports("sse");
  return sse;
#endif
}

std::uint32_t Mxcsr() {
  std::uint32_t m;
  asm volatile("stmxcsr %0" : "=m"(m) : : "memory");
  return m;
}

void SetMxcsr(std::uint32_t Value) { asm volatile("ldmxcsr %0" : : "m"(Value) : "memory"); }
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
  TX87Thread& thread = X87Thread;
  if (thread.Inside) {
    FMode = TMode::InEntry;
    FHost.ControlWord = thread.HostControlWord;
    SetAsideFlags(thread);
    return;
  }
  // With every exception masked and no flag set, nothing can fault and the
  // flags afterwards are exactly those raised inside: no environment to save.
  FHost.ControlWord = X87ControlWord();
  FHost.StatusWord = X87StatusWord();
  const bool plain = (FHost.ControlWord & X87AllExceptions) == X87AllExceptions && (FHost.StatusWord & AnyFlag) == 0;
  FMode = plain ? TMode::Plain : TMode::Saved;
  if (plain) return;
  StoreEnv(FHost);  // also masks every exception
  ClearFlags();
}

TX87Guard::~TX87Guard() {
  if (FMode == TMode::Saved) RestoreHostWords(FHost);
}

std::uint16_t TX87Guard::Raised() const { return X87StatusWord() & X87AllExceptions; }

void TX87Guard::Clear() { ClearFlags(); }

TX87Watch::TX87Watch() : FInEntry(X87Thread.Inside), FHasSse(HasSse()) {
  if (FInEntry) {
    TX87Thread& thread = X87Thread;
    SetAsideFlags(thread);
    FHost.ControlWord = thread.HostControlWord;
    SetX87ControlWord(FHost.ControlWord);
    thread.Inside = false;
  } else {
    StoreEnv(FHost);
    SetX87ControlWord(FHost.ControlWord);  // FNSTENV masked everything
    ClearFlags();
  }
  // Library code compiled for SSE raises its flags in MXCSR; they are read
  // after the call as the x87 flags are.
  if (FHasSse) {
    FMxcsr = Mxcsr();
    SetMxcsr(FMxcsr & ~std::uint32_t{X87AllExceptions});
  }
}

TX87Watch::~TX87Watch() {
  if (FHasSse) SetMxcsr(FMxcsr);
  if (!FInEntry) {
    RestoreHostWords(FHost);
    return;
  }
  TX87Thread& thread = X87Thread;
  SetAsideFlags(thread);
  SetX87ControlWord(FHost.ControlWord | X87AllExceptions);
  thread.Inside = true;
}

std::uint16_t TX87Watch::Faults() const {
  std::uint16_t raised = X87StatusWord();
  if (FHasSse) raised |= static_cast<std::uint16_t>(Mxcsr() & X87AllExceptions);
  return raised & ~X87ControlWord() & X87AllExceptions;
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
  if (FHasSse) SetMxcsr(FMxcsr & ~std::uint32_t{X87AllExceptions});
}

TX87Entry::TX87Entry() : FNested(X87Thread.Inside), FPlain(true), FOuterControlWord(0), FOuterKept(0) {
  if (FNested) return;
  FHost.ControlWord = X87ControlWord();
  FHost.StatusWord = X87StatusWord();
  FPlain = (FHost.ControlWord & X87AllExceptions) == X87AllExceptions && (FHost.StatusWord & AnyFlag) == 0;
  if (!FPlain) {
    StoreEnv(FHost);  // masks every exception, so nothing can trap before the flags are clear
    ClearFlags();
  }
  TX87Thread& thread = X87Thread;
  FOuterControlWord = thread.HostControlWord;
  FOuterKept = thread.Kept;
  thread = TX87Thread{true, FHost.ControlWord, 0};
}

TX87Entry::~TX87Entry() {
  if (FNested) return;
  TX87Thread& thread = X87Thread;
  const std::uint16_t kept = thread.Kept;
  thread = TX87Thread{false, FOuterControlWord, FOuterKept};
  if (!FPlain) {
    RestoreHostWords(FHost, kept);
  } else if (kept & ~X87StatusWord()) {
    // The host masks everything: the flags guards cleared are raised again.
    FHost.StatusWord = 0;
    RestoreHostWords(FHost, kept);
  }
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
