// Call frames of an i386 process: every convention's arguments are counted
// by the rule of inline code (registers for ctRegister and ctBuilt_in, the
// x87 stack for ctBuilt_in only).
#include "fennic/core/callframe.h"

#include "fennic/core/ctrlblck.h"

namespace fennic {

std::int32_t TCtrlBlck::TargetStackNeeds(const TFunction&, std::int32_t Needs) { return Needs; }

std::int32_t TCtrlBlck::StackFrame(const TFunction& Func) const { return InlineStackFrame(Func); }

}  // namespace fennic
