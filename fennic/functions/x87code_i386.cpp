// The pack's inline code in an i386 process: constants addressed absolutely,
// and the library call with the whole x87 state saved by FNSAVE, so that the
// routine gets an empty register stack under the host's control word while
// the values of the enclosing expression wait in the save area; FRSTOR
// brings them back with the result in place of the arguments, joined by the
// exception flags the routine raised. The call keeps EBX, restores ESP and
// changes EAX, ECX and EDX, as a call would.
#include "fennic/functions/x87code.h"

namespace fennic::functions {

TX87Code& TX87Code::Memory(std::uint8_t Opcode, std::uint8_t Reg, const void* Constant) {
  (*this)({Opcode, static_cast<std::uint8_t>(Reg << 3 | 0x05)});
  return Value(reinterpret_cast<std::uintptr_t>(Constant), 4);
}

TX87Code& TX87Code::Base(const void* Pool) {
  FBase = Pool;
  return *this;
}

TX87Code& TX87Code::Indexed(std::uint8_t Opcode, std::uint8_t Reg, const void* Table, std::uint8_t Index) {
  (*this)({Opcode, static_cast<std::uint8_t>(0x80 | Reg << 3 | Index)});  // [index+disp32]
  return Value(reinterpret_cast<std::uintptr_t>(Table), 4);
}

TX87Code& TX87Code::Frame(std::uint8_t Bytes) { return (*this)({0x83, 0xEC, Bytes}); }
TX87Code& TX87Code::Unframe(std::uint8_t Bytes) { return (*this)({0x83, 0xC4, Bytes}); }

TAByte LibraryCall(const void* Fallback, int Arity) {
  // [ESP] the arguments (12 bytes each, first lowest), above them the
  // 108-byte FNSAVE image: ST(i) at 28 + 10 i in it.
  const auto args = static_cast<std::uint8_t>(12 * Arity);
  const auto image = args;
  const auto st = [&](int i) { return static_cast<std::uint8_t>(image + 28 + 10 * i); };
  TX87Code C;
  C({0x83, 0xEC, 108});                    // SUB ESP,108
  C({0xDD, 0x34, 0x24});                   // FNSAVE [ESP]
  C({0xD9, 0x2C, 0x24});                   // FLDCW [ESP]: the host's control word again
  C({0x83, 0xEC, args});                   // SUB ESP,args
  for (int k = 0; k < Arity; ++k) {        // argument k is ST(Arity - 1 - k)
    C({0xDB, 0x6C, 0x24, st(Arity - 1 - k)});          // FLD TBYTE [ESP+image+ST]
    if (k == 0) C({0xDB, 0x3C, 0x24});                 // FSTP TBYTE [ESP]
    else C({0xDB, 0x7C, 0x24, static_cast<std::uint8_t>(12 * k)});  // FSTP TBYTE [ESP+12k]
  }
  C({0xB9}).Value(reinterpret_cast<std::uintptr_t>(Fallback), 4);  // MOV ECX,routine
  C({0xFF, 0xD1});                         // CALL ECX
  C({0x83, 0xC4, args});                   // ADD ESP,args
  C({0xDF, 0xE0});                         // FNSTSW AX
  C({0x83, 0xE0, 0x3F});                   // AND EAX,3Fh
  C({0x66, 0x09, 0x44, 0x24, 0x04});       // OR [ESP+4],AX: status word of the image
  C({0xDB, 0x7C, 0x24, static_cast<std::uint8_t>(28 + 10 * (Arity - 1))});  // FSTP TBYTE over the deepest argument
  C({0xDD, 0x24, 0x24});                   // FRSTOR [ESP]
  C({0x83, 0xC4, 108});                    // ADD ESP,108
  for (int k = 1; k < Arity; ++k) C({0xDD, 0xD8});  // FSTP ST0: the other arguments
  return C.Done();
}

}  // namespace fennic::functions
