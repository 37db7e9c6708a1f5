// Locale-independent conversion of number literals.
#pragma once

#include <cstdint>
#include <string_view>

#include "fennic/core/types.h"

namespace fennic {

// Converts a decimal literal (digits, ".", an exponent) into the nearest
// 80-bit value under the thread's rounding mode. False unless the whole text
// is one number whose value lies within the extended range (a literal too
// small for it becomes 0 or a denormal). Raises no x87 exception.
bool TextToExtended(std::string_view Text, Extended& Value);

// Converts digits, optionally preceded by "-", into a 64-bit signed integer.
// False for any other text or a value outside the 64-bit range.
bool TextToInt64(std::string_view Text, std::int64_t& Value);

// True when Text (digits, optionally preceded by "-") does not convert to a
// 64-bit signed integer or lies outside the range of the integer type VarType.
bool IntOutOfRange(std::string_view Text, TVarType VarType);

}  // namespace fennic
