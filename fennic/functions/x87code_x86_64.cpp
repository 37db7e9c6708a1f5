// The library call of the trigonometric code in a 64-bit process: the whole
// x87 state is saved with FNSAVE (the System V routine may use every x87
// register and gets an empty stack under the host's control word), RSP is
// aligned for the call and restored after it, and FRSTOR brings the values
// back with the result in place of the argument, joined by the exception
// flags the routine raised. Like a call, the code keeps RBX, RBP and R12 to
// R15 and may change the other general registers and the vector registers.
#include "fennic/functions/x87code.h"

namespace fennic::functions {

TAByte LibraryCall(TUnaryRoutine Fallback) {
  // [RSP] the argument's 16-byte slot, [RSP+16] the 108-byte FNSAVE image
  // (ST0 at +28 in it), [RSP+128] the RSP to return to.
  TAByte Code;
  Append(Code, {0x49, 0x89, 0xE3});                          // MOV R11,RSP
  Append(Code, {0x48, 0x83, 0xE4, 0xF0});                    // AND RSP,-16
  Append(Code, {0x48, 0x81, 0xEC, 0x90, 0x00, 0x00, 0x00});  // SUB RSP,144
  Append(Code, {0x4C, 0x89, 0x9C, 0x24, 0x80, 0x00, 0x00, 0x00});  // MOV [RSP+128],R11
  Append(Code, {0xDD, 0x74, 0x24, 0x10});                    // FNSAVE [RSP+16]
  Append(Code, {0xD9, 0x6C, 0x24, 0x10});                    // FLDCW [RSP+16]: the host's control word again
  Append(Code, {0xDB, 0x6C, 0x24, 0x2C});                    // FLD TBYTE [RSP+44]
  Append(Code, {0xDB, 0x3C, 0x24});                          // FSTP TBYTE [RSP]: the argument
  Append(Code, {0x48, 0xB8});                                // MOV RAX,routine
  AppendLittleEndian(Code, reinterpret_cast<std::uintptr_t>(Fallback), 8);
  Append(Code, {0xFF, 0xD0});                                // CALL RAX
  // The exception flags the routine raised join those of the saved state.
  Append(Code, {0xDF, 0xE0});                                // FNSTSW AX
  Append(Code, {0x83, 0xE0, 0x3F});                          // AND EAX,3Fh
  Append(Code, {0x66, 0x09, 0x44, 0x24, 0x14});              // OR [RSP+20],AX: status word of the image
  Append(Code, {0xDB, 0x7C, 0x24, 0x2C});                    // FSTP TBYTE [RSP+44]: result over the argument
  Append(Code, {0xDD, 0x64, 0x24, 0x10});                    // FRSTOR [RSP+16]
  Append(Code, {0x48, 0x8B, 0xA4, 0x24, 0x80, 0x00, 0x00, 0x00});  // MOV RSP,[RSP+128]
  return Code;
}

}  // namespace fennic::functions
