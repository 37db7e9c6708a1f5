// What the call sequences of both targets share (code generator only).
#pragma once

#include <span>

#include "fennic/codegen/defect.h"
#include "fennic/codegen/levels.h"

namespace fennic {

// Bytes of a parameter's slot in the argument area of inline code (and of
// every i386 call).
inline std::int32_t SlotSize(const TVarDef& Def) {
  if (Def.PushStyle == psReference) return PushWidth;
  return (VarSizes[Def.VarType] + 3) & ~3;
}

// The function code of a call leaf.
std::int32_t FunctionCode(const TTreeNode* Node);

// The value of an integer number leaf of an argument, its sign applied.
std::uint64_t NumberValue(const TTreeNode* Node);

// What one call holds while its arguments are computed.
struct TFennic::TCallPlan {
  const TFunction* Fn = nullptr;  // the registry's record
  TToRegs Regs;
  std::span<const TCallArg> Args;  // the call's arguments, in parameter order
};

}  // namespace fennic
