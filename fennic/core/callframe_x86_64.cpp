// Call frames of a 64-bit process.
#include "fennic/core/callframe.h"

#include "fennic/core/ctrlblck.h"

namespace fennic {

namespace {

bool TravelsInRegister(const TVarDef& Def) {
  return Def.PushStyle == psReference || Def.VarType <= vtUInt32;
}

}  // namespace

std::vector<std::int32_t> DeclarationOrder(const TFunction& Func) {
  const auto n = static_cast<std::int32_t>(Func.Params.size());
  std::vector<std::int32_t> order;
  order.reserve(Func.Params.size());
  switch (Func.CallType) {
    case ctPascal:
      for (std::int32_t i = n - 1; i >= 0; --i) order.push_back(i);
      break;
    case ctRegister: {
      std::vector<std::int32_t> rest;
      for (std::int32_t i = 0; i < n; ++i)
        (order.size() < 3 && TravelsInRegister(Func.Params[i]) ? order : rest).push_back(i);
      order.insert(order.end(), rest.rbegin(), rest.rend());
      break;
    }
    default:
      for (std::int32_t i = 0; i < n; ++i) order.push_back(i);
      break;
  }
  return order;
}

std::uint64_t WidenedArgument(TVarType Param, std::int64_t Value) {
  switch (Param) {
    case vtInt8: return static_cast<std::uint32_t>(static_cast<std::int8_t>(Value));
    case vtUInt8: return static_cast<std::uint8_t>(Value);
    case vtInt16: return static_cast<std::uint32_t>(static_cast<std::int16_t>(Value));
    case vtUInt16: return static_cast<std::uint16_t>(Value);
    case vtInt64: return static_cast<std::uint64_t>(Value);
    default: return static_cast<std::uint32_t>(Value);
  }
}

TSystemVFrame SystemVFrame(const TFunction& Func) {
  TSystemVFrame frame;
  frame.Places.resize(Func.Params.size());
  std::int32_t ints = 0, vectors = 0, stack = 0;
  for (const std::int32_t i : DeclarationOrder(Func)) {
    const TVarDef& p = Func.Params[i];
    TArgPlace& place = frame.Places[i];
    if (p.PushStyle == psReference || !IsFloatType(p.VarType)) {
      if (ints < 6) {
        place = {TArgHome::IntRegister, ints++};
        continue;
      }
    } else if (p.VarType != vtExtended && vectors < 8) {
      place = {TArgHome::VectorRegister, vectors++};
      continue;
    }
    const bool extended = p.PushStyle == psValue && p.VarType == vtExtended;
    if (extended) stack = (stack + 15) & ~15;
    place = {TArgHome::Stack, stack};
    stack += extended ? 16 : 8;
  }
  frame.StackBytes = stack;
  return frame;
}

// A routine in C++ may use every x87 register, and the System V convention
// leaves none of them to the caller; inline code declares what it uses.
std::int32_t TCtrlBlck::TargetStackNeeds(const TFunction& Func, std::int32_t Needs) {
  return Func.CallType == ctBuilt_in ? Needs : 8;
}

std::int32_t TCtrlBlck::StackFrame(const TFunction& Func) const {
  if (Func.CallType != ctBuilt_in) return SystemVFrame(Func).StackBytes;
  return InlineStackFrame(Func);
}

}  // namespace fennic
