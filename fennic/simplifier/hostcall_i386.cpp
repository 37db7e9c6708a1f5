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
TRoutineCode CallRoutineCode() {
  const auto at = [](std::int32_t Offset) { return TOperand::At(rBP, Offset); };  // a field of the block
  const auto reg = TOperand::Register;
  TRoutineCode C;
  for (std::uint8_t r : {rBP, rBX, rSI, rDI}) C << TEncoder().OpPlusReg(0x50, r);  // push
  C << TEncoder().Op({0x8B}, rBP, TOperand::Esp(20));      // mov ebp, [esp+20]      the block
  C << TEncoder().Op({0x89}, rSP, at(60));                 // mov [ebp+60], esp
  C << TEncoder().Op({0x8B}, rCX, at(8));                  // mov ecx, [ebp+8]       frame size
  C << TEncoder().Op({0x29}, rCX, reg(rSP));               // sub esp, ecx
  C << TEncoder().ArithImm(aAnd, reg(rSP), -16);           // and esp, -16           aligned as a C caller leaves it
  C << TEncoder().Op({0x8B}, rSI, at(4));                  // mov esi, [ebp+4]
  C << TEncoder().Op({0x89}, rSP, reg(rDI));               // mov edi, esp
  C << std::initializer_list<std::uint8_t>{0xFC};          // cld
  C << TEncoder().Op({0xC1}, 5, reg(rCX)).I8(2);           // shr ecx, 2
  C << std::initializer_list<std::uint8_t>{0xF3, 0xA5};    // rep movsd              frame, byte 0 at the new top
  C << TEncoder().Op({0x8B}, rCX, at(12));                 // mov ecx, [ebp+12]
  C << TEncoder().Op({0x8B}, rSI, at(16));                 // mov esi, [ebp+16]
  C << TEncoder().Op({0x85}, rCX, reg(rCX));               // test ecx, ecx
  const std::size_t none = C.JumpForward(0x74);            // jz registers
  const std::size_t load = C.Here();
  C << TEncoder().Op({0xDB}, 5, TOperand::At(rSI, 0));     // fld tbyte [esi]        argument 0 first
  C << TEncoder().ArithImm(aAdd, reg(rSI), 12);            // add esi, 12
  C << TEncoder().OpPlusReg(0x48, rCX);                    // dec ecx
  C.JumpBack(0x75, load);                                  // jnz fld
  C.Land(none);
  const std::uint8_t registers[3] = {rAX, rDX, rCX};
  for (int k = 0; k < 3; ++k) C << TEncoder().Op({0x8B}, registers[k], at(20 + 4 * k));  // registers: mov reg, [ebp+20...]
  C << TEncoder().Op({0xFF}, 2, at(0));                    // call [ebp+0]
  C << std::initializer_list<std::uint8_t>{0x9B};          // fwait                  a pending x87 fault arrives here
  C << TEncoder().Op({0x8B}, rSP, at(60));                 // mov esp, [ebp+60]      removes a cdecl frame, too
  C << TEncoder().Op({0x89}, rAX, at(40));                 // mov [ebp+40], eax
  C << TEncoder().Op({0x89}, rDX, at(44));                 // mov [ebp+44], edx
  C << TEncoder().ArithImm(aCmp, at(36), 0);               // cmp dword [ebp+36], 0
  const std::size_t done = C.JumpForward(0x74);            // je done
  C << TEncoder().Op({0xDB}, 7, at(48));                   // fstp tbyte [ebp+48]
  C << std::initializer_list<std::uint8_t>{0x9B};          // fwait
  C.Land(done);
  for (std::uint8_t r : {rDI, rSI, rBX, rBP}) C << TEncoder().OpPlusReg(0x58, r);  // pop
  C << std::initializer_list<std::uint8_t>{0xC3};          // ret
  return C;
}

using TCallRoutine = void (*)(void*);

TCallRoutine CallRoutine() {
  static const TRoutineCode code = CallRoutineCode();
  static const ExecutableBlock block = ExecutableBlock::WithCode(code.Bytes.data(), code.Bytes.size());
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
  const TOperand esp = TOperand::Register(rSP), top = TOperand::Esp(0);
  TRoutineCode C;
  C << TEncoder().Op({0x8B}, rBX, top);                    // mov ebx, [esp]   the return address
  C << TEncoder().ArithImm(aAdd, esp, 4);                  // add esp, 4
  C.Bytes.insert(C.Bytes.end(), Code.begin(), Code.end());
  C << TEncoder().ArithImm(aSub, esp, 4);                  // sub esp, 4
  C << TEncoder().Op({0x89}, rBX, top);                    // mov [esp], ebx
  C << std::initializer_list<std::uint8_t>{0xC3};          // ret
  C.Bytes.resize((Code.size() + 16) & ~std::size_t{3}, 0xCC);
  return C.Bytes;
}

}  // namespace fennic
