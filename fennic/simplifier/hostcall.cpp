#include "fennic/simplifier/hostcall.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstring>
#include <mutex>

#include "fennic/core/ctrlblck.h"
#include "fennic/core/execmem.h"
#include "fennic/core/x87guard.h"

namespace fennic {

namespace {

// Signal handlers exist only while some thread holds them: during a
// compile-time call, or between the calls of one simplification. A signal
// that arrives outside a guarded call gets the disposition that was there
// before.
constexpr int GuardedSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr std::size_t SignalCount = sizeof GuardedSignals / sizeof GuardedSignals[0];

std::mutex HandlerMutex;
int HandlerThreads = 0;  // threads that hold the handlers
struct sigaction PreviousActions[SignalCount];

// What holds the handlers on this thread, innermost last: a session
// between its calls, or a guarded call. Each lives in a stack frame, marked
// by the address of a word in it that holds Token while it is alive. A
// routine that leaves by longjmp abandons the holders below the frame it
// jumps to; a holder whose mark lies at a lower address than the current
// stack pointer (in a frame that is gone), or whose word was overwritten, is
// such a one.
struct THolder {
  const volatile std::uintptr_t* Mark;
  std::uintptr_t Token;
  sigjmp_buf* Jump;  // a guarded call's; null for a session
};
constexpr int MaxHolders = 32;
thread_local THolder Holders[MaxHolders];
thread_local int HolderCount = 0;
thread_local std::uintptr_t HolderSerial = 0;

std::uintptr_t StackPointerNow() { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); }

bool Alive(const THolder& Holder, std::uintptr_t StackPointer) {
  const auto mark = reinterpret_cast<std::uintptr_t>(Holder.Mark);
  return StackPointer < mark && *Holder.Mark == Holder.Token;
}

std::uintptr_t InterruptedStackPointer(const void* Context) {
  const auto* uc = static_cast<const ucontext_t*>(Context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#else
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
#endif
}

// The handlers run on a stack of their own, so that a routine that
// overflows its stack still ends as a fault; one per thread, mapped at its
// first use with a guard page below, the host's own alternate stack back
// whenever the thread holds nothing.
class TAltStack {
 public:
  ~TAltStack() {
    if (!FBase) return;
    if (FInstalled) sigaltstack(&FHostStack, nullptr);
    munmap(FBase, Size + Page);
  }
  void Install() {
    if (FInstalled) return;
    if (!FBase) {
      void* base = mmap(nullptr, Size + Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (base == MAP_FAILED) return;  // the handlers then run on the faulting stack
      mprotect(base, Page, PROT_NONE);
      FBase = base;
    }
    stack_t mine{};
    mine.ss_sp = static_cast<char*>(FBase) + Page;
    mine.ss_size = Size;
    FInstalled = sigaltstack(&mine, &FHostStack) == 0;
  }
  void Remove() {
    if (!FInstalled) return;
    FHostStack.ss_flags &= SS_DISABLE;
    sigaltstack(&FHostStack, nullptr);
    FInstalled = false;
  }

 private:
  static constexpr std::size_t Page = 4096;
  // Room for a host's own handler too, which a signal outside a call reaches
  // through the library's.
  static constexpr std::size_t Size = 128 * 1024;
  void* FBase = nullptr;
  bool FInstalled = false;
  stack_t FHostStack{};
};
thread_local TAltStack AltStack;

void OnFault(int Signal, siginfo_t* Info, void* Context) {
  const std::uintptr_t sp = InterruptedStackPointer(Context);
  for (int i = HolderCount; i-- > 0;)
    if (Holders[i].Jump && Alive(Holders[i], sp)) siglongjmp(*Holders[i].Jump, Signal);
  for (std::size_t i = 0; i < SignalCount; ++i) {
    if (GuardedSignals[i] != Signal) continue;
    const struct sigaction& previous = PreviousActions[i];
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
      previous.sa_sigaction(Signal, Info, Context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
      previous.sa_handler(Signal);
    } else {
      // A faulting instruction runs again under the old disposition; a
      // signal that was sent is sent again, delivered once this returns.
      sigaction(Signal, &previous, nullptr);
      if (Info->si_code <= 0 && previous.sa_handler == SIG_DFL) raise(Signal);
    }
    return;
  }
}

void InstallHandlers() {
  std::lock_guard<std::mutex> lock(HandlerMutex);
  if (HandlerThreads++ > 0) return;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < SignalCount; ++i) sigaction(GuardedSignals[i], &action, &PreviousActions[i]);
}

// A handler the host installed meanwhile stays.
void RemoveHandlers() {
  std::lock_guard<std::mutex> lock(HandlerMutex);
  if (--HandlerThreads > 0) return;
  // One exchange per signal; a handler found in place of the library's goes back.
  for (std::size_t i = 0; i < SignalCount; ++i) {
    struct sigaction now {};
    sigaction(GuardedSignals[i], &PreviousActions[i], &now);
    if (!(now.sa_flags & SA_SIGINFO) || now.sa_sigaction != OnFault) sigaction(GuardedSignals[i], &now, nullptr);
  }
}

// Drops the holders abandoned by a longjmp (see THolder) and gives back
// what they held.
void DropAbandoned(std::uintptr_t StackPointer) {
  const int before = HolderCount;

  while (HolderCount > 0 && !Alive(Holders[HolderCount - 1], StackPointer)) --HolderCount;
  if (before > 0 && HolderCount == 0) {
    AltStack.Remove();
    RemoveHandlers();
  }
}

// Pushes a holder marked by Mark; false when the holders nest too deep.
bool Hold(volatile std::uintptr_t& Mark, sigjmp_buf* Jump) {
  DropAbandoned(StackPointerNow());
  if (HolderCount == MaxHolders) return false;
  if (HolderCount == 0) {
    InstallHandlers();
    AltStack.Install();
  }
  const std::uintptr_t token = reinterpret_cast<std::uintptr_t>(&Mark) ^ ++HolderSerial ^ 0x5A17C0DEu;
  Mark = token;
  Holders[HolderCount++] = THolder{&Mark, token, Jump};
  return true;
}

// Pops the holder marked by Mark and every one pushed after it.
void Release(volatile std::uintptr_t& Mark) {
  int i = HolderCount;
  while (i > 0 && Holders[i - 1].Mark != &Mark) --i;
  if (i == 0) return;  // dropped already
  HolderCount = i - 1;
  Mark = 0;
  if (HolderCount == 0) {
    AltStack.Remove();
    RemoveHandlers();
  }
}

thread_local THostCallSession* CurrentSession = nullptr;

}  // namespace

bool RunGuarded(void (*Routine)(void*), void* Block) {
  // A session holds the handlers from its first call to its end.
  if (CurrentSession) CurrentSession->HoldHandlers();
  sigjmp_buf jump;
  volatile std::uintptr_t mark = 0;
  if (!Hold(mark, &jump)) return false;
  // Host code runs outside the session: a session made by a compilation
  // inside the call is an outermost one, and a routine that never returns
  // leaves none behind.
  THostCallSession* volatile session = CurrentSession;
  CurrentSession = nullptr;
  volatile bool completed = true;
  if (sigsetjmp(jump, 1) == 0) Routine(Block);
  else completed = false;
  CurrentSession = session;
  Release(mark);
  return completed;
}

bool RunWatched(void (*Routine)(void*), void* Block) {
  TX87Watch x87;
  if (!RunGuarded(Routine, Block) || x87.Faults() != 0 || !x87.StackEmpty()) {
    x87.Reset();
    return false;
  }
  return true;
}

THostCallSession::THostCallSession() : FOuter(CurrentSession) {
  DropAbandoned(StackPointerNow());
  CurrentSession = this;
}

THostCallSession::~THostCallSession() {
  CurrentSession = FOuter;
  if (FHolding) Release(FMark);
}

bool THostCallSession::HoldHandlers() {
  if (!FHolding) FHolding = Hold(FMark, nullptr);
  return FHolding;
}

const void* THostCallSession::InlineStub(const std::vector<std::uint8_t>& Code) {
  auto it = FStubs.find(Code);
  if (it == FStubs.end()) {
    const std::vector<std::uint8_t> stub = InlineCodeStub(Code);
    it = FStubs.emplace(Code, ExecutableBlock::WithCode(stub.data(), stub.size())).first;
  }
  return it->second.Data();
}

THostCallSession* THostCallSession::Current() { return CurrentSession; }

Extended ResultValue(TFuncResult Result, std::uint64_t Integer, const std::uint8_t* X87) {
  switch (Result) {
    case frInt8: return static_cast<std::int8_t>(Integer);
    case frUInt8: return static_cast<std::uint8_t>(Integer);
    case frInt16: return static_cast<std::int16_t>(Integer);
    case frUInt16: return static_cast<std::uint16_t>(Integer);
    case frInt32: return static_cast<std::int32_t>(Integer);
    case frUInt32: return static_cast<std::uint32_t>(Integer);
    case frInt64: return static_cast<std::int64_t>(Integer);
    default: {
      Extended v = 0;
      std::memcpy(&v, X87, 10);
      return v;
    }
  }
}

bool PlaceInlineArguments(const TFunction& Fn, const std::vector<TConstArg>& Args, THostCall& Call) {
  Call.SystemV = false;
  Call.Frame.assign(static_cast<std::size_t>(TCtrlBlck::InlineStackFrame(Fn)), 0);
  const bool upward = Fn.CallType == ctCdecl || Fn.CallType == ctStdcall;
  const bool registers = Fn.CallType == ctRegister || Fn.CallType == ctBuilt_in;
  const std::size_t x87Room =
      Fn.CallType == ctBuilt_in ? static_cast<std::size_t>(std::clamp(8 - Fn.StackNeeds, 0, 8)) : 0;
  std::size_t framePos = upward ? 0 : Call.Frame.size(), regCount = 0;
  // Reserves a slot of Size bytes; null when the frame has no room for it.
  auto slot = [&](std::size_t Size) -> std::uint8_t* {
    if (!upward) {
      if (framePos < Size) return nullptr;
      framePos -= Size;
      return Call.Frame.data() + framePos;
    }
    if (framePos + Size > Call.Frame.size()) return nullptr;
    framePos += Size;
    return Call.Frame.data() + framePos - Size;
  };

  for (std::size_t k = 0; k < Fn.Params.size() && k < Args.size(); ++k) {
    const TVarDef& p = Fn.Params[k];
    if (p.PushStyle == psReference) return false;
    if (IsFloatType(p.VarType)) {
      if (Call.X87Args.size() < x87Room) {
        Call.X87Args.push_back(Args[k].Float);
      } else if (std::uint8_t* s = slot(static_cast<std::size_t>(VarSizes[p.VarType]))) {
        std::uint8_t bytes[12];
        NarrowToSlot(Args[k].Float, p.VarType, bytes);
        std::memcpy(s, bytes, static_cast<std::size_t>(VarSizes[p.VarType]));
      } else {
        return false;
      }
      continue;
    }
    const std::int64_t value = Args[k].Integer;
    if (p.VarType <= vtUInt32 && registers && regCount < 3) {
      Call.Registers[regCount++] = static_cast<std::uint32_t>(value);
    } else if (std::uint8_t* s = slot(p.VarType == vtInt64 ? 8 : 4)) {
      std::memcpy(s, &value, p.VarType == vtInt64 ? 8 : 4);
    } else {
      return false;
    }
  }
  return Args.size() == Fn.Params.size();
}

}  // namespace fennic
