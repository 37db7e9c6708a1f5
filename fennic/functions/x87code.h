// Inline x87 code of the pack's ctBuilt_in functions.
#pragma once

#include <initializer_list>

#include "fennic/core/types.h"

namespace fennic::functions {

using TUnaryRoutine = long double (*)(long double);

// FSIN, FCOS: ST0 -> f(ST0). Out of the instruction's range (C2 set: |x| >=
// 2^63 or an infinity) the value goes to Fallback, a cdecl host routine.
TAByte TrigCode(std::uint8_t Opcode, TUnaryRoutine Fallback);
// FPTAN, whose pushed 1.0 is popped again; the same fallback.
TAByte TangentCode(TUnaryRoutine Fallback);

// ST0 -> Fallback(ST0), the rest of the x87 stack kept: the call of a
// library routine from inline code, by the target's convention
// (x87code_*.cpp).
TAByte LibraryCall(TUnaryRoutine Fallback);

inline void Append(TAByte& Code, std::initializer_list<std::uint8_t> Bytes) { Code.insert(Code.end(), Bytes); }
inline void AppendLittleEndian(TAByte& Code, std::uint64_t Value, int Bytes) {
  for (int i = 0; i < Bytes; ++i) Code.push_back(static_cast<std::uint8_t>(Value >> (8 * i)));
}

}  // namespace fennic::functions
