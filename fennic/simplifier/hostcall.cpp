#include "fennic/simplifier/hostcall.h"

#include <setjmp.h>
#include <signal.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstring>
#include <mutex>

#include "fennic/core/ctrlblck.h"
#include "fennic/core/execmem.h"
#include "fennic/simplifier/x87guard.h"

namespace fennic {

namespace {

// Signal handlers exist only while some thread is inside a guarded call; a
// signal on a thread that is not gets the disposition that was there before.
constexpr int GuardedSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr std::size_t SignalCount = sizeof GuardedSignals / sizeof GuardedSignals[0];

std::mutex HandlerMutex;
int HandlerUsers = 0;
struct sigaction PreviousActions[SignalCount];
thread_local sigjmp_buf* CurrentJump = nullptr;

void OnFault(int Signal, siginfo_t* Info, void* Context) {
  if (sigjmp_buf* jump = CurrentJump) siglongjmp(*jump, Signal);
  for (std::size_t i = 0; i < SignalCount; ++i) {
    if (GuardedSignals[i] != Signal) continue;
    const struct sigaction& previous = PreviousActions[i];
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
      previous.sa_sigaction(Signal, Info, Context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
      previous.sa_handler(Signal);
    } else {
      // The faulting instruction runs again under the old disposition.
      sigaction(Signal, &previous, nullptr);
    }
    return;
  }
}

void InstallHandlers() {
  std::lock_guard<std::mutex> lock(HandlerMutex);
  if (HandlerUsers++ > 0) return;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < SignalCount; ++i) sigaction(GuardedSignals[i], &action, &PreviousActions[i]);
}

void RemoveHandlers() {
  std::lock_guard<std::mutex> lock(HandlerMutex);
  if (--HandlerUsers > 0) return;
  for (std::size_t i = 0; i < SignalCount; ++i) sigaction(GuardedSignals[i], &PreviousActions[i], nullptr);
}

thread_local THostCallSession* CurrentSession = nullptr;

// The handlers for one call, unless the thread's session already holds them.
class TSignalGuard {
 public:
  TSignalGuard() : FOwn(!(CurrentSession && CurrentSession->HoldHandlers())) {
    if (FOwn) InstallHandlers();
  }
  ~TSignalGuard() {
    if (FOwn) RemoveHandlers();
  }
  TSignalGuard(const TSignalGuard&) = delete;
  TSignalGuard& operator=(const TSignalGuard&) = delete;

 private:
  bool FOwn;
};

}  // namespace

bool RunGuarded(void (*Routine)(void*), void* Block) {
  TSignalGuard handlers;
  sigjmp_buf jump;
  sigjmp_buf* volatile outer = CurrentJump;
  if (sigsetjmp(jump, 1) != 0) {
    CurrentJump = outer;
    return false;
  }
  CurrentJump = &jump;
  Routine(Block);
  CurrentJump = outer;
  return true;
}


bool RunWatched(void (*Routine)(void*), void* Block) {
  TX87Watch x87;
  if (!RunGuarded(Routine, Block) || x87.Faults() != 0 || !x87.StackEmpty()) {
    x87.Reset();
    return false;
  }
  return true;
}

THostCallSession::THostCallSession() : FOuter(CurrentSession) { CurrentSession = this; }

THostCallSession::~THostCallSession() {
  CurrentSession = FOuter;
  if (FHolding) RemoveHandlers();
}

bool THostCallSession::HoldHandlers() {
  if (!FHolding) {
    InstallHandlers();
    FHolding = true;
  }
  return true;
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
