#include "fennic/simplifier/hostcall.h"

#include <setjmp.h>
#include <signal.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstring>
#include <mutex>

#include "fennic/core/execmem.h"
#include "fennic/simplifier/x87guard.h"

namespace fennic {

namespace {

// What the call routine reads and writes; offsets are fixed in its code.
struct TCallBlock {
  const void* Target;            // +0
  const std::uint8_t* Frame;     // +4
  std::uint32_t FrameSize;       // +8, a multiple of 4
  std::uint32_t X87Count;        // +12
  const Extended* X87Args;       // +16, 12 bytes apart
  std::uint32_t Registers[3];    // +20 EAX, +24 EDX, +28 ECX
  std::uint32_t Unused;          // +32
  std::uint32_t X87Result;       // +36: pop ST0 into Extended after the call
  std::uint32_t ResultLow;       // +40 EAX after the call
  std::uint32_t ResultHigh;      // +44 EDX after the call
  std::uint8_t ResultX87[12];    // +48
  std::uint32_t SavedEsp;        // +60
};
static_assert(offsetof(TCallBlock, Registers) == 20 && offsetof(TCallBlock, X87Result) == 36 &&
              offsetof(TCallBlock, ResultX87) == 48 && offsetof(TCallBlock, SavedEsp) == 60);

// cdecl void CallRoutine(TCallBlock* Block)
constexpr std::uint8_t CallRoutineCode[] = {
    0x55,                    // push ebp
    0x53,                    // push ebx
    0x56,                    // push esi
    0x57,                    // push edi
    0x8B, 0x6C, 0x24, 0x14,  // mov ebp, [esp+20]      the block
    0x89, 0x65, 0x3C,        // mov [ebp+60], esp
    0x8B, 0x4D, 0x08,        // mov ecx, [ebp+8]       frame size
    0x29, 0xCC,              // sub esp, ecx
    0x83, 0xE4, 0xF0,        // and esp, -16           aligned as a C caller leaves it
    0x8B, 0x75, 0x04,        // mov esi, [ebp+4]
    0x89, 0xE7,              // mov edi, esp
    0xFC,                    // cld
    0xC1, 0xE9, 0x02,        // shr ecx, 2
    0xF3, 0xA5,              // rep movsd              frame, byte 0 at the new top
    0x8B, 0x4D, 0x0C,        // mov ecx, [ebp+12]
    0x8B, 0x75, 0x10,        // mov esi, [ebp+16]
    0x85, 0xC9,              // test ecx, ecx
    0x74, 0x08,              // jz registers
    0xDB, 0x2E,              // fld tbyte [esi]        argument 0 first
    0x83, 0xC6, 0x0C,        // add esi, 12
    0x49,                    // dec ecx
    0x75, 0xF8,              // jnz fld
    0x8B, 0x45, 0x14,        // registers: mov eax, [ebp+20]
    0x8B, 0x55, 0x18,        // mov edx, [ebp+24]
    0x8B, 0x4D, 0x1C,        // mov ecx, [ebp+28]
    0xFF, 0x55, 0x00,        // call [ebp+0]
    0x9B,                    // fwait                  a pending x87 fault arrives here
    0x8B, 0x65, 0x3C,        // mov esp, [ebp+60]      removes a cdecl frame, too
    0x89, 0x45, 0x28,        // mov [ebp+40], eax
    0x89, 0x55, 0x2C,        // mov [ebp+44], edx
    0x83, 0x7D, 0x24, 0x00,  // cmp dword [ebp+36], 0
    0x74, 0x04,              // je done
    0xDB, 0x7D, 0x30,        // fstp tbyte [ebp+48]
    0x9B,                    // fwait
    0x5F,                    // done: pop edi
    0x5E,                    // pop esi
    0x5B,                    // pop ebx
    0x5D,                    // pop ebp
    0xC3,                    // ret
};

using TCallRoutine = void (*)(TCallBlock*);

TCallRoutine CallRoutine() {
  static const ExecutableBlock block = [] {
    ExecutableBlock b(sizeof CallRoutineCode);
    std::memcpy(b.Data(), CallRoutineCode, sizeof CallRoutineCode);
    b.Protect();
    return b;
  }();
  return reinterpret_cast<TCallRoutine>(block.Data());
}

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

// False when a guarded signal ended the call.
bool RunGuarded(TCallRoutine Routine, TCallBlock* Block) {
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

Extended WidenResult(const TCallBlock& Block, TFuncResult Result) {
  const std::uint32_t lo = Block.ResultLow;
  switch (Result) {
    case frInt8: return static_cast<std::int8_t>(lo);
    case frUInt8: return static_cast<std::uint8_t>(lo);
    case frInt16: return static_cast<std::int16_t>(lo);
    case frUInt16: return static_cast<std::uint16_t>(lo);
    case frInt32: return static_cast<std::int32_t>(lo);
    case frUInt32: return lo;
    case frInt64: return static_cast<std::int64_t>((std::uint64_t{Block.ResultHigh} << 32) | lo);
    default: {
      Extended v = 0;
      std::memcpy(&v, Block.ResultX87, 10);
      return v;
    }
  }
}

}  // namespace

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
    ExecutableBlock block(stub.size());
    std::memcpy(block.Data(), stub.data(), stub.size());
    block.Protect();
    it = FStubs.emplace(Code, std::move(block)).first;
  }
  return it->second.Data();
}

THostCallSession* THostCallSession::Current() { return CurrentSession; }

bool CallHostRoutine(const THostCall& Call, Extended& Result) {
  Result = 0;
  if (!Call.Routine || Call.X87Args.size() > 8) return false;
  std::vector<std::uint8_t> frame = Call.Frame;
  frame.resize((frame.size() + 3) & ~std::size_t{3});
  TCallBlock block{};
  block.Target = Call.Routine;
  block.Frame = frame.data();
  block.FrameSize = static_cast<std::uint32_t>(frame.size());
  block.X87Count = static_cast<std::uint32_t>(Call.X87Args.size());
  block.X87Args = Call.X87Args.data();
  for (std::size_t i = 0; i < 3; ++i) block.Registers[i] = Call.Registers[i];
  block.X87Result = IsFloatResult(Call.Result) ? 1 : 0;
  const TCallRoutine routine = CallRoutine();

  TX87Watch x87;
  const bool completed = RunGuarded(routine, &block);
  if (!completed || x87.Faults() != 0 || !x87.StackEmpty()) {
    x87.Reset();
    return false;
  }
  Result = WidenResult(block, Call.Result);
  return true;
}

std::vector<std::uint8_t> InlineCodeStub(const std::vector<std::uint8_t>& Code) {
  static constexpr std::uint8_t Entry[] = {0x8B, 0x1C, 0x24,   // mov ebx, [esp]   the return address
                                           0x83, 0xC4, 0x04};  // add esp, 4
  static constexpr std::uint8_t Exit[] = {0x83, 0xEC, 0x04,    // sub esp, 4
                                          0x89, 0x1C, 0x24,    // mov [esp], ebx
                                          0xC3};               // ret
  std::vector<std::uint8_t> stub((Code.size() + 16) & ~std::size_t{3}, 0xCC);
  std::uint8_t* p = stub.data();
  p = std::copy(std::begin(Entry), std::end(Entry), p);
  p = std::copy(Code.begin(), Code.end(), p);
  std::copy(std::begin(Exit), std::end(Exit), p);
  return stub;
}

}  // namespace fennic
