// Inline x87 code of the pack's ctBuilt_in functions.
#pragma once

#include "fennic/core/types.h"

namespace fennic::functions {

using TUnaryRoutine = long double (*)(long double);

// FSIN, FCOS: ST0 -> f(ST0). Out of the instruction's range (C2 set: |x| >=
// 2^63 or an infinity) the value goes to Fallback, a cdecl host routine.
TAByte TrigCode(std::uint8_t Opcode, TUnaryRoutine Fallback);
// FPTAN, whose pushed 1.0 is popped again; the same fallback.
TAByte TangentCode(TUnaryRoutine Fallback);

}  // namespace fennic::functions
