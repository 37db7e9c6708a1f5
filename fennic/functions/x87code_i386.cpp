// The pack's inline code in an i386 process: constants addressed absolutely,
// and the library call with the whole x87 state saved by FNSAVE, so that the
// routine gets an empty register stack under the host's control word while
// the values of the enclosing expression wait in the save area; FRSTOR
// brings them back with the result in place of the arguments, joined by the
// exception flags the routine raised. The call keeps EBX, restores ESP and
// changes EAX, ECX and EDX, as a call would.
#include "fennic/functions/x87code.h"

namespace fennic::functions {

namespace {
std::int32_t Address32(const void* P) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(P)));
}
const TOperand Esp0 = TOperand::Esp(0);
}  // namespace

TX87Code& TX87Code::Memory(std::uint8_t Opcode, std::uint8_t Reg, const void* Constant) {
  return (*this)(TEncoder().Op({Opcode}, Reg, TOperand::Absolute(Address32(Constant))));
}

TX87Code& TX87Code::Base(const void* Pool) {
  FBase = Pool;
  return *this;
}

TX87Code& TX87Code::Indexed(std::uint8_t Opcode, std::uint8_t Reg, const void* Table, std::uint8_t Index) {
  return (*this)(TEncoder().Op({Opcode}, Reg, TOperand::At(Index, Address32(Table), TOperand::TDisp::Dword)));
}

TX87Code& TX87Code::Frame(std::uint8_t Bytes) {
  return (*this)(TEncoder().ArithImm(aSub, TOperand::Register(rSP), Bytes));
}
TX87Code& TX87Code::Unframe(std::uint8_t Bytes) {
  return (*this)(TEncoder().ArithImm(aAdd, TOperand::Register(rSP), Bytes));
}

TAByte LibraryCall(const void* Fallback, int Arity) {
  // [ESP] the arguments (12 bytes each, first lowest), above them the
  // 108-byte FNSAVE image: ST(i) at 28 + 10 i in it.
  const auto args = static_cast<std::uint8_t>(12 * Arity);
  const auto image = args;
  const auto st = [&](int i) { return static_cast<std::uint8_t>(image + 28 + 10 * i); };
  TX87Code C;
  C.Frame(108);                            // SUB ESP,108
  C(TEncoder().Op({0xDD}, 6, Esp0));       // FNSAVE [ESP]
  C(TEncoder().Op({0xD9}, 5, Esp0));       // FLDCW [ESP]: the host's control word again
  C.Frame(args);                           // SUB ESP,args
  for (int k = 0; k < Arity; ++k) {        // argument k is ST(Arity - 1 - k)
    C.Stack(0xDB, 5, st(Arity - 1 - k));   // FLD TBYTE [ESP+image+ST]
    if (k == 0) C(TEncoder().Op({0xDB}, 7, Esp0));                 // FSTP TBYTE [ESP]
    else C.Stack(0xDB, 7, static_cast<std::uint8_t>(12 * k));      // FSTP TBYTE [ESP+12k]
  }
  C(TEncoder().OpPlusReg(0xB8, rCX).I32(Address32(Fallback)));    // MOV ECX,routine
  C(TEncoder().Op({0xFF}, 2, TOperand::Register(rCX)));           // CALL ECX
  C.Unframe(args);                         // ADD ESP,args
  C({0xDF, 0xE0});                         // FNSTSW AX
  C(TEncoder().ArithImm(aAnd, TOperand::Register(rAX), 0x3F));   // AND EAX,3Fh
  C(TEncoder().Byte(0x66).Op({0x09}, rAX, TOperand::Esp(4)));     // OR [ESP+4],AX: status word of the image
  C.Stack(0xDB, 7, static_cast<std::uint8_t>(28 + 10 * (Arity - 1)));  // FSTP TBYTE over the deepest argument
  C(TEncoder().Op({0xDD}, 4, Esp0));       // FRSTOR [ESP]
  C.Unframe(108);                          // ADD ESP,108
  for (int k = 1; k < Arity; ++k) C({0xDD, 0xD8});  // FSTP ST0: the other arguments
  return C.Done();
}

}  // namespace fennic::functions
