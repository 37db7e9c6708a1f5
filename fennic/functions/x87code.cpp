// The trigonometric instructions leave an argument they cannot reduce
// (|x| >= 2^63, infinities) unchanged and set C2. Such an argument is handed
// to the C library (LibraryCall, x87code_*.cpp).
#include "fennic/functions/x87code.h"

#include <cstdint>
#include <initializer_list>

namespace fennic::functions {
namespace {

// FNSTSW AX; TEST AH,4: the zero flag is clear when C2 is set.
void TestC2(TAByte& Code) { Append(Code, {0xDF, 0xE0, 0xF6, 0xC4, 0x04}); }

}  // namespace

TAByte TrigCode(std::uint8_t Opcode, TUnaryRoutine Fallback) {
  const TAByte Slow = LibraryCall(Fallback);
  TAByte Code{0xD9, Opcode};
  TestC2(Code);
  Append(Code, {0x74, static_cast<std::uint8_t>(Slow.size())});  // JZ done
  Code.insert(Code.end(), Slow.begin(), Slow.end());
  return Code;
}

TAByte TangentCode(TUnaryRoutine Fallback) {
  const TAByte Slow = LibraryCall(Fallback);
  TAByte Code{0xD9, 0xF2};  // FPTAN
  TestC2(Code);
  Append(Code, {0x75, 0x04});                                     // JNZ slow
  Append(Code, {0xDD, 0xD8});                                     // FSTP ST0: drop the 1.0
  Append(Code, {0xEB, static_cast<std::uint8_t>(Slow.size())});   // JMP done
  Code.insert(Code.end(), Slow.begin(), Slow.end());
  return Code;
}

}  // namespace fennic::functions
