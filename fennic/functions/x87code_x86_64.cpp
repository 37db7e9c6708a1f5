// The pack's inline code in a 64-bit process: constants addressed through
// RAX, and the library call by the System V convention with the whole x87
// state saved by FNSAVE (the routine may use every x87 register and gets an
// empty stack under the host's control word); RSP is aligned for the call
// and restored after it, and FRSTOR brings the values back with the result
// in place of the arguments, joined by the exception flags the routine
// raised. Like a call, the code keeps RBX, RBP and R12 to R15 and may change
// the other general registers and the vector registers.
#include "fennic/functions/x87code.h"

namespace fennic::functions {

namespace {
std::int32_t Displacement(const void* Base, const void* Constant) {
  return static_cast<std::int32_t>(static_cast<const char*>(Constant) - static_cast<const char*>(Base));
}
std::uint64_t Address64(const void* P) { return reinterpret_cast<std::uintptr_t>(P); }
using D = TOperand::TDisp;
}  // namespace

TX87Code& TX87Code::Memory(std::uint8_t Opcode, std::uint8_t Reg, const void* Constant) {
  if (FBase) return (*this)(TEncoder().Op({Opcode}, Reg, TOperand::At(rSI, Displacement(FBase, Constant), D::Dword)));
  (*this)(TEncoder().OpPlusReg(0xB8, rAX, RexWide).I64(Address64(Constant)));  // MOV RAX,constant
  return (*this)(TEncoder().Op({Opcode}, Reg, TOperand::At(rAX, 0)));          // [RAX]
}

TX87Code& TX87Code::Base(const void* Pool) {
  FBase = Pool;
  return (*this)(TEncoder().OpPlusReg(0xB8, rSI, RexWide).I64(Address64(Pool)));  // MOV RSI,pool
}

TX87Code& TX87Code::Indexed(std::uint8_t Opcode, std::uint8_t Reg, const void* Table, std::uint8_t Index) {
  // [RSI+index+disp32]; the index register's upper half is clear after a
  // 32-bit operation.
  return (*this)(TEncoder().Op({Opcode}, Reg, TOperand::Indexed(rSI, Index, Displacement(FBase, Table))));
}

TX87Code& TX87Code::Frame(std::uint8_t Bytes) {
  return (*this)(TEncoder().ArithImm(aSub, TOperand::Register(rSP), Bytes, RexWide));
}
TX87Code& TX87Code::Unframe(std::uint8_t Bytes) {
  return (*this)(TEncoder().ArithImm(aAdd, TOperand::Register(rSP), Bytes, RexWide));
}

TAByte LibraryCall(const void* Fallback, int Arity) {
  // [RSP] the arguments in 16-byte slots, first lowest; above them the
  // 108-byte FNSAVE image (ST(i) at 28 + 10 i in it); above that the RSP to
  // return to.
  const auto image = static_cast<std::uint8_t>(16 * Arity);
  const std::int32_t saved = image + 112;
  const auto st = [&](int i) { return static_cast<std::uint8_t>(image + 28 + 10 * i); };
  TX87Code C;
  const TOperand rsp = TOperand::Register(rSP), savedRsp = TOperand::Esp(saved, D::Dword);
  C(TEncoder().Op({0x89}, rSP, TOperand::Register(r11), RexWide));   // MOV R11,RSP
  C(TEncoder().ArithImm(aAnd, rsp, -16, RexWide));                    // AND RSP,-16
  C(TEncoder().Op({0x81}, aSub, rsp, RexWide).I32(saved + 16));       // SUB RSP,frame
  C(TEncoder().Op({0x89}, r11, savedRsp, RexWide));                   // MOV [RSP+saved],R11
  C.Stack(0xDD, 6, image);                           // FNSAVE [RSP+image]
  C.Stack(0xD9, 5, image);                           // FLDCW [RSP+image]: the host's control word again
  for (int k = 0; k < Arity; ++k) {                  // argument k is ST(Arity - 1 - k)
    C.Stack(0xDB, 5, st(Arity - 1 - k));             // FLD TBYTE [RSP+image+ST]
    if (k == 0) C(TEncoder().Op({0xDB}, 7, TOperand::Esp(0)));     // FSTP TBYTE [RSP]
    else C.Stack(0xDB, 7, static_cast<std::uint8_t>(16 * k));      // FSTP TBYTE [RSP+16k]
  }
  C(TEncoder().OpPlusReg(0xB8, rAX, RexWide).I64(Address64(Fallback)));  // MOV RAX,routine
  C(TEncoder().Op({0xFF}, 2, TOperand::Register(rAX)));             // CALL RAX
  C({0xDF, 0xE0});                                   // FNSTSW AX
  C(TEncoder().ArithImm(aAnd, TOperand::Register(rAX), 0x3F));      // AND EAX,3Fh
  C(TEncoder().Byte(0x66).Op({0x09}, rAX, TOperand::Esp(image + 4, D::Byte)));  // OR [RSP+image+4],AX: its status word
  C.Stack(0xDB, 7, st(Arity - 1));                   // FSTP TBYTE over the deepest argument
  C.Stack(0xDD, 4, image);                           // FRSTOR [RSP+image]
  C(TEncoder().Op({0x8B}, rSP, savedRsp, RexWide));                   // MOV RSP,[RSP+saved]
  for (int k = 1; k < Arity; ++k) C({0xDD, 0xD8});   // FSTP ST0: the other arguments
  return C.Done();
}

}  // namespace fennic::functions
