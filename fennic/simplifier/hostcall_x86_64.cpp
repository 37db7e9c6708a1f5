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
TRoutineCode CallRoutineCode() {
  const auto at = [](std::int32_t Offset) { return TOperand::At(rBP, Offset); };  // a field of the block
  const auto reg = TOperand::Register;
  const std::uint8_t w = RexWide;
  TRoutineCode C;
  for (std::uint8_t r : {rBP, rBX, r12, r13, r14, r15}) C << TEncoder().OpPlusReg(0x50, r);  // push
  C << TEncoder().Op({0x89}, rDI, reg(rBP), w);            // mov rbp, rdi            the block
  C << TEncoder().Op({0x89}, rSP, at(208), w);             // mov [rbp+208], rsp
  C << TEncoder().Op({0x8B}, rCX, at(16), w);              // mov rcx, [rbp+16]       frame size
  C << TEncoder().Op({0x29}, rCX, reg(rSP), w);            // sub rsp, rcx
  C << TEncoder().ArithImm(aAnd, reg(rSP), -16, w);        // and rsp, -16            aligned as a caller leaves it
  C << TEncoder().Op({0x8B}, rSI, at(8), w);               // mov rsi, [rbp+8]
  C << TEncoder().Op({0x89}, rSP, reg(rDI), w);            // mov rdi, rsp
  C << std::initializer_list<std::uint8_t>{0xFC, 0xF3, 0xA4};  // cld; rep movsb      frame, byte 0 at the new top
  C << TEncoder().Op({0x8B}, rCX, at(24), w);              // mov rcx, [rbp+24]
  C << TEncoder().Op({0x8B}, rSI, at(32), w);              // mov rsi, [rbp+32]
  C << TEncoder().Op({0x85}, rCX, reg(rCX), w);            // test rcx, rcx
  const std::size_t none = C.JumpForward(0x74);            // jz vectors
  const std::size_t load = C.Here();
  C << TEncoder().Op({0xDB}, 5, TOperand::At(rSI, 0));     // fld tbyte [rsi]         argument 0 first
  C << TEncoder().ArithImm(aAdd, reg(rSI), 16, w);         // add rsi, 16
  C << TEncoder().Op({0xFF}, 1, reg(rCX), w);              // dec rcx
  C.JumpBack(0x75, load);                                  // jnz fld
  C.Land(none);
  for (std::uint8_t x = 0; x < 8; ++x)                     // movsd xmm0 to xmm7, [rbp+96...]
    C << TEncoder().Byte(0xF2).Op({0x0F, 0x10}, x, at(96 + 8 * x));
  const std::uint8_t registers[7] = {rAX, rDI, rSI, rDX, rCX, r8, r9};
  for (int k = 0; k < 7; ++k) C << TEncoder().Op({0x8B}, registers[k], at(40 + 8 * k), w);  // mov reg, [rbp+40...]
  C << TEncoder().Op({0xFF}, 2, at(0));                    // call [rbp+0]
  C << std::initializer_list<std::uint8_t>{0x9B};          // fwait                   a pending x87 fault arrives here
  C << TEncoder().Op({0x8B}, rSP, at(208), w);             // mov rsp, [rbp+208]      whatever the routine removed
  C << TEncoder().Op({0x89}, rAX, at(168), w);             // mov [rbp+168], rax
  C << TEncoder().Op({0x89}, rDX, at(176), w);             // mov [rbp+176], rdx
  C << TEncoder().Byte(0xF2).Op({0x0F, 0x11}, 0, at(184));  // movsd [rbp+184], xmm0
  C << TEncoder().ArithImm(aCmp, at(160), 0, w);           // cmp qword [rbp+160], 0
  const std::size_t done = C.JumpForward(0x74);            // je done
  C << TEncoder().Op({0xDB}, 7, at(192));                  // fstp tbyte [rbp+192]
  C << std::initializer_list<std::uint8_t>{0x9B};          // fwait
  C.Land(done);
  for (std::uint8_t r : {r15, r14, r13, r12, rBX, rBP}) C << TEncoder().OpPlusReg(0x58, r);  // pop
  C << std::initializer_list<std::uint8_t>{0xC3};          // ret
  return C;
}

using TCallRoutine = void (*)(void*);

TCallRoutine CallRoutine() {
  static const TRoutineCode code = CallRoutineCode();
  static const ExecutableBlock block = ExecutableBlock::WithCode(code.Bytes.data(), code.Bytes.size());
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
  const TOperand rsp = TOperand::Register(rSP), top = TOperand::Esp(0);
  TRoutineCode C;
  C << TEncoder().Op({0x8B}, rBX, top, RexWide);           // mov rbx, [rsp]   the return address
  C << TEncoder().ArithImm(aAdd, rsp, 8, RexWide);         // add rsp, 8
  C.Bytes.insert(C.Bytes.end(), Code.begin(), Code.end());
  C << TEncoder().ArithImm(aSub, rsp, 8, RexWide);         // sub rsp, 8
  C << TEncoder().Op({0x89}, rBX, top, RexWide);           // mov [rsp], rbx
  C << std::initializer_list<std::uint8_t>{0xC3};          // ret
  return C.Bytes;
}

}  // namespace fennic
