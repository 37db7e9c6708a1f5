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
std::uint32_t Displacement(const void* Base, const void* Constant) {
  return static_cast<std::uint32_t>(static_cast<const char*>(Constant) - static_cast<const char*>(Base));
}
}  // namespace

TX87Code& TX87Code::Memory(std::uint8_t Opcode, std::uint8_t Reg, const void* Constant) {
  if (FBase) {
    (*this)({Opcode, static_cast<std::uint8_t>(0x86 | Reg << 3)});  // [RSI+disp32]
    return Value(Displacement(FBase, Constant), 4);
  }
  (*this)({0x48, 0xB8}).Value(reinterpret_cast<std::uintptr_t>(Constant), 8);  // MOV RAX,constant
  return (*this)({Opcode, static_cast<std::uint8_t>(Reg << 3)});               // [RAX]
}

TX87Code& TX87Code::Base(const void* Pool) {
  FBase = Pool;
  return (*this)({0x48, 0xBE}).Value(reinterpret_cast<std::uintptr_t>(Pool), 8);  // MOV RSI,pool
}

TX87Code& TX87Code::Indexed(std::uint8_t Opcode, std::uint8_t Reg, const void* Table, std::uint8_t Index) {
  // [RSI+index+disp32]; the index register's upper half is clear after a
  // 32-bit operation.
  (*this)({Opcode, static_cast<std::uint8_t>(0x84 | Reg << 3), static_cast<std::uint8_t>(Index << 3 | 6)});
  return Value(Displacement(FBase, Table), 4);
}

TX87Code& TX87Code::Frame(std::uint8_t Bytes) { return (*this)({0x48, 0x83, 0xEC, Bytes}); }
TX87Code& TX87Code::Unframe(std::uint8_t Bytes) { return (*this)({0x48, 0x83, 0xC4, Bytes}); }

TAByte LibraryCall(const void* Fallback, int Arity) {
  // [RSP] the arguments in 16-byte slots, first lowest; above them the
  // 108-byte FNSAVE image (ST(i) at 28 + 10 i in it); above that the RSP to
  // return to.
  const auto image = static_cast<std::uint8_t>(16 * Arity);
  const auto saved = static_cast<std::uint32_t>(image + 112);
  const auto st = [&](int i) { return static_cast<std::uint8_t>(image + 28 + 10 * i); };
  TX87Code C;
  C({0x49, 0x89, 0xE3});                             // MOV R11,RSP
  C({0x48, 0x83, 0xE4, 0xF0});                       // AND RSP,-16
  C({0x48, 0x81, 0xEC}).Value(saved + 16, 4);        // SUB RSP,frame
  C({0x4C, 0x89, 0x9C, 0x24}).Value(saved, 4);       // MOV [RSP+saved],R11
  C({0xDD, 0x74, 0x24, image});                      // FNSAVE [RSP+image]
  C({0xD9, 0x6C, 0x24, image});                      // FLDCW [RSP+image]: the host's control word again
  for (int k = 0; k < Arity; ++k) {                  // argument k is ST(Arity - 1 - k)
    C({0xDB, 0x6C, 0x24, st(Arity - 1 - k)});        // FLD TBYTE [RSP+image+ST]
    if (k == 0) C({0xDB, 0x3C, 0x24});               // FSTP TBYTE [RSP]
    else C({0xDB, 0x7C, 0x24, static_cast<std::uint8_t>(16 * k)});  // FSTP TBYTE [RSP+16k]
  }
  C({0x48, 0xB8}).Value(reinterpret_cast<std::uintptr_t>(Fallback), 8);  // MOV RAX,routine
  C({0xFF, 0xD0});                                   // CALL RAX
  C({0xDF, 0xE0});                                   // FNSTSW AX
  C({0x83, 0xE0, 0x3F});                             // AND EAX,3Fh
  C({0x66, 0x09, 0x44, 0x24, static_cast<std::uint8_t>(image + 4)});  // OR [RSP+image+4],AX: its status word
  C({0xDB, 0x7C, 0x24, st(Arity - 1)});              // FSTP TBYTE over the deepest argument
  C({0xDD, 0x64, 0x24, image});                      // FRSTOR [RSP+image]
  C({0x48, 0x8B, 0xA4, 0x24}).Value(saved, 4);       // MOV RSP,[RSP+saved]
  for (int k = 1; k < Arity; ++k) C({0xDD, 0xD8});   // FSTP ST0: the other arguments
  return C.Done();
}

}  // namespace fennic::functions
