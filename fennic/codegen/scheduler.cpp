// The x87 level model and the scheduling of queued arithmetic.
#include <algorithm>

#include "fennic/codegen/defect.h"
#include "fennic/codegen/levels.h"
#include "fennic/core/encoder.h"

namespace fennic {

std::int32_t TFennic::TotalOps(std::int32_t First) {
  const TLevelInfo& L = Level();
  std::int32_t total = 0;
  for (std::size_t k = First < 0 ? 0 : static_cast<std::size_t>(First); k < L.Ops.size(); ++k)
    total += L.Ops[k].Queued;
  return total;
}

void TFennic::PerformOperation() {
  if (TotalOps(0) == 0) return;
  TLevelInfo& L = Level();
  const auto groups = static_cast<std::int32_t>(L.Ops.size());

  // Serve the groups in rotation.
  L.Cursor = L.Cursor >= groups - 1 ? 0 : L.Cursor + 1;
  while (L.Ops[L.Cursor].Queued == 0) L.Cursor = (L.Cursor + 1) % groups;
  TOpGroup& g = L.Ops[L.Cursor];

  if (ParallelExecution()) {
    // Pull a command that does not depend on its predecessor in front of it,
    // so that independent x87 operations follow each other. Each swap moves
    // an entry one place back; the bound only guards against a corrupt queue.
    auto& q = g.Queue;
    for (std::int32_t swaps = 0; swaps < TOpGroup::Capacity * TOpGroup::Capacity;) {
      std::int32_t i = 1;
      while (i < g.Queued - 1 &&
             !(q[i].Order - q[0].Order == i && q[i + 1].Order - q[i].Order > 1 &&
               q[i + 1].Order - q[i - 1].Order > 1))
        ++i;
      if (i >= g.Queued - 1) break;
      std::swap(q[i], q[i + 1]);
      q[i + 1].Order += 1;
      ++swaps;
    }
  }

  const std::int32_t result = ExecuteCommand(g.Queue[0].Command, 0, g.Queue[0].Order);
  g.Queued -= 1;
  g.OpsLeft -= 1;
  std::copy(g.Queue.begin() + 1, g.Queue.begin() + 1 + g.Queued, g.Queue.begin());

  // The stack below the waiting commands shrank by one.
  for (std::int32_t k = L.Cursor; k < groups; ++k)
    for (std::int32_t e = 0; e < L.Ops[k].Queued; ++e) L.Ops[k].Queue[e].Order -= 1;

  if (g.LeavesLeft != 0 || g.OpsLeft != 0) return;
  for (std::int32_t& mark : L.CallMarks)
    if (mark > L.Cursor) mark -= 1;
  if (g.Store) {
    FlushRes(g.Precision, L.Pushed + g.Dest, result);
    // The stored value left the stack from below the values of the later
    // groups: their waiting commands move down with them.
    for (std::int32_t k = L.Cursor + 1; k < groups; ++k)
      for (std::int32_t e = 0; e < L.Ops[k].Queued; ++e) L.Ops[k].Queue[e].Order -= 1;
    L.Ops.erase(L.Ops.begin() + L.Cursor);
    L.Cursor -= 1;
  }
}

std::int32_t TFennic::ExecuteCommand(std::uint8_t Command, TAddress Address, std::int32_t Order) {
  TLevelInfo& L = Level();
  const std::int32_t op = Command & ocOperation;
  const std::int32_t form = ((Command & ocForm) >> 2) % 3;
  const bool reversed = Command & ocReversed, integer = Command & ocInteger,
             frame = Command & ocFrame, negate = Command & ocNegate;

  if (form != 0) {
    // Memory operand combined with the accumulator in ST0; the operation is
    // the ModRM reg field.
    static constexpr std::uint8_t Operation[4] = {0, 4, 1, 6};  // FADD, FSUB, FMUL, FDIV
    std::uint8_t operation = Operation[op];
    if (op == 0 && negate) operation = 4;    // -(a + m) = (-a) - m
    if (op == 1 && reversed) operation = 5;  // FSUBR
    if (op == 3 && reversed) operation = 7;  // FDIVR
    const std::uint8_t opcode = integer ? (form == 1 ? 0xDE : 0xDA) : (form == 1 ? 0xD8 : 0xDC);
    if (const std::int32_t i = L.SlotWithOrder(Order - 1, 1); i > 0) ProcFXCH(i, 0);
    // The accumulator is in ST0 now; the negation belongs to it.
    if (negate && op != 1) Emit(insFchs);
    TEncoder code;
    code.Op({opcode}, operation, TOperand::AbsoluteLater());
    if (frame)
      EmitFrame(code.Data(), code.Size(), static_cast<std::int32_t>(Address), form == 2 && !integer ? 8 : 4);
    else
      EmitAbs(code, Address);
    L.Slots[0].Key = NoKey;
    return 0;
  }

  // Both operands in registers: combine and pop (DE /n ST(t)).
  static constexpr std::uint8_t Operation[4] = {0, 5, 1, 7};  // FADDP, FSUBP, FMULP, FDIVP
  std::uint8_t operation = Operation[op];
  if (reversed && op == 1) operation = 4;  // FSUBRP
  if (reversed && op == 3) operation = 6;  // FDIVRP
  std::int32_t t;
  if (L.Depth > 0 && L.Slots[0].Order == Order - 1) {
    t = L.SlotWithOrder(Order - 2, 1);
  } else if (L.Depth > 0 && L.Slots[0].Order == Order - 2) {
    // The lower operand is in ST0: the reversed form gives the same result.
    if (op == 1 || op == 3) operation ^= 1;
    t = L.SlotWithOrder(Order - 1, 1);
  } else {
    if (const std::int32_t i = L.SlotWithOrder(Order - 1, 1); i > 0) ProcFXCH(i, 0);
    t = L.SlotWithOrder(Order - 2, 1);
  }
  if (t < 1) Defect("operands of a queued command are not on the x87 stack");
  if (negate) {
    Emit(insFchs);
    if (op == 0) operation = 4;  // -(a + b) = (-b) - a
  }
  Emit(TEncoder().Op({0xDE}, operation, TOperand::Register(static_cast<std::uint8_t>(t))));

  L.Slots[t].Order = Order - 2;
  L.Slots[t].Key = NoKey;
  L.Depth -= 1;
  for (std::int32_t i = 0; i < L.Depth; ++i) {
    L.Slots[i] = std::move(L.Slots[i + 1]);
    if (L.Slots[i].Order >= Order) L.Slots[i].Order -= 1;
  }
  return t - 1;
}

void TFennic::NeedStack(std::int32_t Count) {
  if (Count < 0 || Count > 8) return;
  TLevelInfo& L = Level();
  std::int32_t excess = L.Depth + Count - 8;
  // Performing a queued command frees a register without memory traffic.
  for (std::int32_t n = TotalOps(0); excess > 0 && n > 0; --n) {
    PerformOperation();
    excess = L.Depth + Count - 8;
  }
  if (excess <= 0) return;

  // Spill the deepest values, 80 bits each, into the spill slots. The slots
  // are addressed from the frame base, so the level's Pushed is added.
  const std::int32_t slot = AlignMode() ? 16 : 12;
  for (std::int32_t j = 0; j < excess; ++j) {
    const std::int32_t deepest = L.SlotWithOrder(0);
    if (deepest < 0) Defect("no deepest value to spill");
    ProcFXCH(deepest, 0);
    PopModel();  // every other value moves down one position
    EmitEsp(insFstpTbyteEsp, (FSpilled + j) * slot + L.Pushed);
  }
  FSpilled += excess;
  FSpilledMax = std::max(FSpilledMax, FSpilled);
}

bool TFennic::NeedExecute() {
  TLevelInfo& L = Level();
  // The queue needs one value more than the registers hold: the last spilled one.
  if (TotalOps(0) + 1 != L.Depth || FSpilled <= 0) return false;
  NeedStack(1);
  FSpilled -= 1;
  EmitEsp(insFldTbyteEsp, FSpilled * (AlignMode() ? 16 : 12) + L.Pushed);
  PushModel(NoKey);
  L.Depth += 1;
  return true;
}

void TFennic::OpWasLoaded() {
  TLevelInfo& L = Level();
  L.Depth += 1;
  if (L.Ops.empty()) return;
  TOpGroup& g = L.Ops.back();
  g.LeavesLeft -= 1;
  if (g.Done) return;
  if (!g.Store) {
    // The group's first operand takes its target position.
    ProcFXCH(L.Depth - g.Dest - 1, 0);
    g.Done = true;
  } else if (g.LeavesLeft != 0) {
    g.Done = true;
  } else {
    // A group of this one value: store it at once.
    EmitEsp(FstpEsp[g.Precision], g.Dest + L.Pushed);
    L.Ops.pop_back();
    PopModel();
    if (!L.Ops.empty()) L.Ops.back().Done = true;
  }
}

}  // namespace fennic
