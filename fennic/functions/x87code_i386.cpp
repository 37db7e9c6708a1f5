// The library call of the trigonometric code in an i386 process: the whole
// x87 state is saved with FNSAVE, so the library routine gets an empty
// register stack under the host's control word while the values of the
// enclosing expression wait in the save area, and FRSTOR brings them back
// with the result in place of the argument, joined by the exception flags
// the routine raised. The code keeps EBX, restores ESP and changes only EAX
// and ECX, as a call would.
#include "fennic/functions/x87code.h"

namespace fennic::functions {

TAByte LibraryCall(TUnaryRoutine Fallback) {
  constexpr std::uint8_t SaveArea = 108;  // FNSAVE image in 32-bit protected mode
  constexpr std::uint8_t St0 = 28;        // ST0 follows the 28-byte environment
  TAByte Code;
  Append(Code, {0x83, 0xEC, SaveArea});      // SUB ESP,108
  Append(Code, {0xDD, 0x34, 0x24});          // FNSAVE [ESP]
  Append(Code, {0xD9, 0x2C, 0x24});          // FLDCW [ESP]: the host's control word again
  Append(Code, {0xDB, 0x6C, 0x24, St0});     // FLD TBYTE [ESP+28]
  Append(Code, {0x83, 0xEC, 0x0C});          // SUB ESP,12
  Append(Code, {0xDB, 0x3C, 0x24});          // FSTP TBYTE [ESP]: the argument
  Code.push_back(0xB9);                      // MOV ECX,routine
  AppendLittleEndian(Code, reinterpret_cast<std::uintptr_t>(Fallback), 4);
  Append(Code, {0xFF, 0xD1});                // CALL ECX
  Append(Code, {0x83, 0xC4, 0x0C});          // ADD ESP,12
  // The exception flags the routine raised join those of the saved state.
  Append(Code, {0xDF, 0xE0});                // FNSTSW AX
  Append(Code, {0x83, 0xE0, 0x3F});          // AND EAX,3Fh
  Append(Code, {0x66, 0x09, 0x44, 0x24, 0x04});  // OR [ESP+4],AX: status word of the image
  Append(Code, {0xDB, 0x7C, 0x24, St0});     // FSTP TBYTE [ESP+28]: result over the argument
  Append(Code, {0xDD, 0x24, 0x24});          // FRSTOR [ESP]
  Append(Code, {0x83, 0xC4, SaveArea});      // ADD ESP,108
  return Code;
}

}  // namespace fennic::functions
