// The comparisons and the logical not of the extended grammar: x87 code in
// line, as functions of reserved codes that no registry holds, so that the
// stages handle them as calls of built-in code (folded alike).
#pragma once

#include <cstdint>

#include "fennic/core/export.h"
#include "fennic/core/types.h"

namespace fennic {

// In the order of the reserved codes.
enum class TLogicOp : std::uint8_t { Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual, Not };

inline constexpr std::int32_t LogicFuncBase = 2000001;
inline constexpr std::int32_t LogicFuncCount = 7;

inline constexpr std::int32_t LogicFuncCode(TLogicOp Op) { return LogicFuncBase + static_cast<std::int32_t>(Op); }
inline constexpr bool IsLogicFuncCode(std::int32_t Code) {
  return Code >= LogicFuncBase && Code < LogicFuncBase + LogicFuncCount;
}

// The function of a reserved code; null for any other code.
FENNIC_API const TFunction* LogicFunction(std::int32_t Code);

}  // namespace fennic
