// Compile-time calls in a 64-bit process: a routine that sets up the
// arguments as the generated code would (System V, or the contract of
// inline code) and calls the host routine.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "fennic/core/callframe.h"
#include "fennic/simplifier/hostcall.h"
#include "fennic/core/x87guard.h"

namespace fennic {

namespace {

// What the call routine reads and writes; offsets are fixed in its code.
struct TCallBlock {
  const void* Target;             // +0
  const std::uint8_t* Frame;      // +8
  std::uint64_t FrameSize;        // +16
  std::uint64_t X87Count;         // +24
  const Extended* X87Args;        // +32, 16 bytes apart
  std::uint64_t Registers[7];     // +40 RAX, RDI, RSI, RDX, RCX, R8, R9
  std::uint64_t Vectors[8];       // +96 XMM0 to XMM7
  std::uint64_t X87Result;        // +160: pop ST0 into ResultX87 after the call
  std::uint64_t ResultRax;        // +168
  std::uint64_t ResultRdx;        // +176
  std::uint64_t ResultXmm0;       // +184
  std::uint8_t ResultX87[16];     // +192
  std::uint64_t SavedRsp;         // +208
};
static_assert(offsetof(TCallBlock, Registers) == 40 && offsetof(TCallBlock, Vectors) == 96 &&
              offsetof(TCallBlock, X87Result) == 160 && offsetof(TCallBlock, ResultX87) == 192 &&
              offsetof(TCallBlock, SavedRsp) == 208);

// void CallRoutine(TCallBlock* Block), System V
constexpr std::uint8_t CallRoutineCode[] = {
    0x55,                                      // push rbp
    0x53,                                      // push rbx
    0x41, 0x54, 0x41, 0x55,                    // push r12; push r13
    0x41, 0x56, 0x41, 0x57,                    // push r14; push r15
    0x48, 0x89, 0xFD,                          // mov rbp, rdi            the block
    0x48, 0x89, 0xA5, 0xD0, 0x00, 0x00, 0x00,  // mov [rbp+208], rsp
    0x48, 0x8B, 0x4D, 0x10,                    // mov rcx, [rbp+16]       frame size
    0x48, 0x29, 0xCC,                          // sub rsp, rcx
    0x48, 0x83, 0xE4, 0xF0,                    // and rsp, -16            aligned as a caller leaves it
    0x48, 0x8B, 0x75, 0x08,                    // mov rsi, [rbp+8]
    0x48, 0x89, 0xE7,                          // mov rdi, rsp
    0xFC,                                      // cld
    0xF3, 0xA4,                                // rep movsb               frame, byte 0 at the new top
    0x48, 0x8B, 0x4D, 0x18,                    // mov rcx, [rbp+24]
    0x48, 0x8B, 0x75, 0x20,                    // mov rsi, [rbp+32]
    0x48, 0x85, 0xC9,                          // test rcx, rcx
    0x74, 0x0B,                                // jz vectors
    0xDB, 0x2E,                                // fld tbyte [rsi]         argument 0 first
    0x48, 0x83, 0xC6, 0x10,                    // add rsi, 16
    0x48, 0xFF, 0xC9,                          // dec rcx
    0x75, 0xF5,                                // jnz fld
    0xF2, 0x0F, 0x10, 0x45, 0x60,              // vectors: movsd xmm0, [rbp+96]
    0xF2, 0x0F, 0x10, 0x4D, 0x68,              // movsd xmm1, [rbp+104]
    0xF2, 0x0F, 0x10, 0x55, 0x70,              // movsd xmm2, [rbp+112]
    0xF2, 0x0F, 0x10, 0x5D, 0x78,              // movsd xmm3, [rbp+120]
    0xF2, 0x0F, 0x10, 0xA5, 0x80, 0, 0, 0,     // movsd xmm4, [rbp+128]
    0xF2, 0x0F, 0x10, 0xAD, 0x88, 0, 0, 0,     // movsd xmm5, [rbp+136]
    0xF2, 0x0F, 0x10, 0xB5, 0x90, 0, 0, 0,     // movsd xmm6, [rbp+144]
    0xF2, 0x0F, 0x10, 0xBD, 0x98, 0, 0, 0,     // movsd xmm7, [rbp+152]
    0x48, 0x8B, 0x45, 0x28,                    // mov rax, [rbp+40]
    0x48, 0x8B, 0x7D, 0x30,                    // mov rdi, [rbp+48]
    0x48, 0x8B, 0x75, 0x38,                    // mov rsi, [rbp+56]
    0x48, 0x8B, 0x55, 0x40,                    // mov rdx, [rbp+64]
    0x48, 0x8B, 0x4D, 0x48,                    // mov rcx, [rbp+72]
    0x4C, 0x8B, 0x45, 0x50,                    // mov r8, [rbp+80]
    0x4C, 0x8B, 0x4D, 0x58,                    // mov r9, [rbp+88]
    0xFF, 0x55, 0x00,                          // call [rbp+0]
    0x9B,                                      // fwait                   a pending x87 fault arrives here
    0x48, 0x8B, 0xA5, 0xD0, 0x00, 0x00, 0x00,  // mov rsp, [rbp+208]      whatever the routine removed
    0x48, 0x89, 0x85, 0xA8, 0x00, 0x00, 0x00,  // mov [rbp+168], rax
    0x48, 0x89, 0x95, 0xB0, 0x00, 0x00, 0x00,  // mov [rbp+176], rdx
    0xF2, 0x0F, 0x11, 0x85, 0xB8, 0, 0, 0,     // movsd [rbp+184], xmm0
    0x48, 0x83, 0xBD, 0xA0, 0, 0, 0, 0x00,     // cmp qword [rbp+160], 0
    0x74, 0x07,                                // je done
    0xDB, 0xBD, 0xC0, 0x00, 0x00, 0x00,        // fstp tbyte [rbp+192]
    0x9B,                                      // fwait
    0x41, 0x5F, 0x41, 0x5E,                    // done: pop r15; pop r14
    0x41, 0x5D, 0x41, 0x5C,                    // pop r13; pop r12
    0x5B,                                      // pop rbx
    0x5D,                                      // pop rbp
    0xC3,                                      // ret
};

using TCallRoutine = void (*)(void*);

TCallRoutine CallRoutine() {
  static const ExecutableBlock block = ExecutableBlock::WithCode(CallRoutineCode, sizeof CallRoutineCode);
  return reinterpret_cast<TCallRoutine>(block.Data());
}

// The System V arrangement of the generated code: an integer of up to 32
// bits widened to 32 by its type (and zero-extended, as a 32-bit register
// write leaves it), a 64-bit one whole, a single or double as its bits, an
// extended value's 10 bytes in a 16-byte slot.
bool PlaceSystemV(const TFunction& Fn, const std::vector<TConstArg>& Args, THostCall& Call) {
  const TSystemVFrame frame = SystemVFrame(Fn);
  Call.SystemV = true;
  Call.Frame.assign(static_cast<std::size_t>(frame.StackBytes), 0);
  if (Args.size() != Fn.Params.size()) return false;
  for (std::size_t k = 0; k < Fn.Params.size(); ++k) {
    const TVarDef& p = Fn.Params[k];
    if (p.PushStyle == psReference) return false;
    std::uint8_t bytes[16] = {};
    std::size_t size = 8;
    if (IsFloatType(p.VarType)) {
      NarrowToSlot(Args[k].Float, p.VarType, bytes);
      if (p.VarType == vtExtended) size = 16;
    } else {
      const std::uint64_t value = WidenedArgument(p.VarType, Args[k].Integer);
      std::memcpy(bytes, &value, 8);
    }
    const TArgPlace& place = frame.Places[k];
    switch (place.Home) {
      case TArgHome::IntRegister: std::memcpy(&Call.IntArgs[place.Index], bytes, 8); break;
      case TArgHome::VectorRegister: std::memcpy(&Call.VectorArgs[place.Index], bytes, 8); break;
      case TArgHome::Stack:
        if (place.Index < 0 || place.Index + size > Call.Frame.size()) return false;
        std::memcpy(Call.Frame.data() + place.Index, bytes, size);
        break;
    }
  }
  return true;
}

}  // namespace

bool PlaceArguments(const TFunction& Fn, const std::vector<TConstArg>& Args, THostCall& Call) {
  if (Fn.CallType == ctBuilt_in) return PlaceInlineArguments(Fn, Args, Call);
  return PlaceSystemV(Fn, Args, Call);
}

bool CallHostRoutine(const THostCall& Call, Extended& Result) {
  Result = 0;
  if (!Call.Routine || Call.X87Args.size() > 8) return false;
  TCallBlock block{};
  block.Target = Call.Routine;
  block.Frame = Call.Frame.data();
  block.FrameSize = Call.Frame.size();
  block.X87Count = Call.X87Args.size();
  block.X87Args = Call.X87Args.data();
  if (Call.SystemV) {
    std::copy(Call.IntArgs.begin(), Call.IntArgs.end(), block.Registers + 1);
    std::copy(Call.VectorArgs.begin(), Call.VectorArgs.end(), block.Vectors);
  } else {
    // Inline code: EAX, EDX, ECX.
    block.Registers[0] = Call.Registers[0];
    block.Registers[3] = Call.Registers[1];
    block.Registers[4] = Call.Registers[2];
  }
  const bool vectorResult = Call.SystemV && (Call.Result == frSingle || Call.Result == frDouble);
  block.X87Result = IsFloatResult(Call.Result) && !vectorResult ? 1 : 0;

  if (!RunWatched(CallRoutine(), &block)) return false;
  if (vectorResult) {
    if (Call.Result == frSingle) {
      float f;
      std::memcpy(&f, &block.ResultXmm0, 4);
      Result = f;
    } else {
      double d;
      std::memcpy(&d, &block.ResultXmm0, 8);
      Result = d;
    }
    return true;
  }
  // A 64-bit integer: RAX in System V, EDX:EAX from inline code.
  const std::uint64_t integer =
      Call.SystemV ? block.ResultRax : (block.ResultRdx << 32 | (block.ResultRax & 0xFFFFFFFFu));
  Result = ResultValue(Call.Result, integer, block.ResultX87);
  return true;
}

std::vector<std::uint8_t> InlineCodeStub(const std::vector<std::uint8_t>& Code) {
  static constexpr std::uint8_t Entry[] = {0x48, 0x8B, 0x1C, 0x24,   // mov rbx, [rsp]   the return address
                                           0x48, 0x83, 0xC4, 0x08};  // add rsp, 8
  static constexpr std::uint8_t Exit[] = {0x48, 0x83, 0xEC, 0x08,    // sub rsp, 8
                                          0x48, 0x89, 0x1C, 0x24,    // mov [rsp], rbx
                                          0xC3};                     // ret
  std::vector<std::uint8_t> stub(sizeof Entry + Code.size() + sizeof Exit);
  std::uint8_t* p = stub.data();
  p = std::copy(std::begin(Entry), std::end(Entry), p);
  p = std::copy(Code.begin(), Code.end(), p);
  std::copy(std::begin(Exit), std::end(Exit), p);
  return stub;
}

}  // namespace fennic
