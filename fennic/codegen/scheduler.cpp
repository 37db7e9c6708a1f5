// The x87 level model and the scheduling of queued arithmetic.
#include "fennic/codegen/fennic.h"

namespace fennic {

std::int32_t TFennic::TotalOps(std::int32_t First) {
  const TLevelInfo& L = Level();
  std::int32_t total = 0;
  for (std::size_t k = First < 0 ? 0 : static_cast<std::size_t>(First); k < L.Ops.size(); ++k)
    total += L.Ops[k].Queued;
  return total;
}

// Provisional until the scheduler exists: queued commands cannot be emitted.
void TFennic::PerformOperation() {
  if (TotalOps(0) > 0) throw ECodeGenError("queued x87 commands cannot be performed yet");
}

std::int32_t TFennic::ExecuteCommand(std::uint8_t, std::int32_t, std::int32_t) {
  throw ECodeGenError("x87 commands cannot be emitted yet");
}

// Provisional until spilling exists: refuses to overflow the x87 stack.
void TFennic::NeedStack(std::int32_t Count) {
  if (Count < 0 || Count > 8) return;
  if (Level().Depth + Count > 8) throw ECodeGenError("x87 registers cannot be spilled yet");
}

bool TFennic::NeedExecute() { return false; }

// Provisional: counts the loaded register and the group's leaf.
void TFennic::OpWasLoaded() {
  TLevelInfo& L = Level();
  L.Depth += 1;
  if (!L.Ops.empty()) L.Ops.back().LeavesLeft -= 1;
}

}  // namespace fennic
