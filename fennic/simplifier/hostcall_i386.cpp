// Compile-time calls in an i386 process: a routine that sets up the
// arguments as the generated code would and calls the host routine.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "fennic/simplifier/hostcall.h"
#include "fennic/core/x87guard.h"

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

using TCallRoutine = void (*)(void*);

TCallRoutine CallRoutine() {
  static const ExecutableBlock block = ExecutableBlock::WithCode(CallRoutineCode, sizeof CallRoutineCode);
  return reinterpret_cast<TCallRoutine>(block.Data());
}

}  // namespace

bool PlaceArguments(const TFunction& Fn, const std::vector<TConstArg>& Args, THostCall& Call) {
  return PlaceInlineArguments(Fn, Args, Call);
}

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

  if (!RunWatched(CallRoutine(), &block)) return false;
  Result = ResultValue(Call.Result, (std::uint64_t{block.ResultHigh} << 32) | block.ResultLow, block.ResultX87);
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
