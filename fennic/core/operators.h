// The comparisons, the logical not and the conditional of the extended
// grammar: functions of reserved codes that no registry holds, so that the
// stages handle them as calls of built-in code (folded alike). Select and
// Conditional both take (condition, then, else): Select is x87 code in line
// that has all three computed; Conditional has no code of its own, the code
// generator computes only the branch the condition picks.
#pragma once

#include <cstdint>

#include "fennic/core/export.h"
#include "fennic/core/types.h"

namespace fennic {

// In the order of the reserved codes.
// SelectLess to SelectNotEqual take (a, b, then, else): Select on a
// comparison of a and b, compared in place.
enum class TLogicOp : std::uint8_t {
  Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual, Not, Select, Conditional,
  SelectLess, SelectLessEqual, SelectGreater, SelectGreaterEqual, SelectEqual, SelectNotEqual
};

inline constexpr std::int32_t LogicFuncBase = 2000001;
inline constexpr std::int32_t LogicFuncCount = 15;

inline constexpr std::int32_t LogicFuncCode(TLogicOp Op) { return LogicFuncBase + static_cast<std::int32_t>(Op); }
inline constexpr bool IsLogicFuncCode(std::int32_t Code) {
  return Code >= LogicFuncBase && Code < LogicFuncBase + LogicFuncCount;
}
inline constexpr bool IsConditionalCode(std::int32_t Code) { return Code == LogicFuncCode(TLogicOp::Conditional); }
inline constexpr bool IsComparisonCode(std::int32_t Code) {
  return Code >= LogicFuncBase && Code < LogicFuncCode(TLogicOp::Not);
}
// The Select that compares in place for a comparison's code.
inline constexpr std::int32_t SelectByComparison(std::int32_t Code) {
  return Code - LogicFuncBase + LogicFuncCode(TLogicOp::SelectLess);
}

// The function of a reserved code; null for any other code.
FENNIC_API const TFunction* LogicFunction(std::int32_t Code);

}  // namespace fennic
