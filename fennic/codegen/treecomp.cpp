// Compilation of expression trees: operand order, memory operands, queued
// register arithmetic, negation, and argument trees computed on a level of
// their own.
#include "fennic/builder/treewalk.h"
#include "fennic/codegen/defect.h"
#include "fennic/codegen/levels.h"

namespace fennic {

namespace {

std::uint8_t OperationBits(TOperator Operator) {
  switch (Operator) {
    case TOperator::Add: return ocAdd;
    case TOperator::Sub: return ocSub;
    case TOperator::Mul: return ocMul;
    case TOperator::Div: return ocDiv;
  }
  Defect("tree node of unknown kind");
}

// Frame offsets of temporaries are taken without the Pushed of the level
// that allocated them and seen from each level with its own Pushed; the -1
// marker of the sizing pass (an offset known not to be 0) stays a marker.
std::int32_t SeenWith(std::int32_t Offset, std::int32_t Pushed) {
  return Offset == -1 ? -1 : Offset + Pushed;
}

}  // namespace

TOpGroup& TFennic::LastGroup() {
  TLevelInfo& L = Level();
  if (L.Ops.empty()) Defect("no operation group in level " + std::to_string(FLevel));
  return L.Ops.back();
}

void TFennic::AppendGroup(std::int32_t Dest, TOpType Precision, bool Store, std::int32_t OpsLeft,
                        std::int32_t LeavesLeft) {
  TOpGroup g;
  g.Dest = Dest;
  g.Precision = Precision;
  g.Store = Store;
  g.Done = false;
  g.OpsLeft = OpsLeft;
  g.LeavesLeft = LeavesLeft;
  Level().Ops.push_back(g);
}

void TFennic::CompileTree(std::int32_t TreeIndex, std::int32_t Dest, TOpType Precision, bool Store) {
  if (TreeIndex < 0 || static_cast<std::size_t>(TreeIndex) >= FTrees.size() || !FTrees[TreeIndex])
    Defect("no tree " + std::to_string(TreeIndex) + " to compile");
  TTreeNode* root = FTrees[TreeIndex];
  if (!root->Flushed || root->Kind == TNodeKind::Call) {
    AppendGroup(Dest, Precision, Store, OpCount(root), LeafCount(root));
    CompileLeaf(root);
    return;
  }

  // An isolated tree: computed ahead on an empty level of its own, stored
  // into an extended temporary, and reloaded here. The two levels may have
  // pushed different byte counts, so the temporary is addressed from each
  // with that level's own Pushed.
  const std::int32_t outerPushed = Level().Pushed;
  ++FLevel;
  const std::int32_t allocated = AddVal(vtExtended);
  const std::int32_t temp = allocated == -1 ? -1 : allocated - Level().Pushed;
  ComputeAhead(root, temp);
  --FLevel;

  AppendGroup(Dest, Precision, Store, 0, 1);
  FldVal(vtExtended, SeenWith(temp, outerPushed), false, true);
}

std::size_t TFennic::ComputeAhead(TTreeNode* Root, std::int32_t Temp) {
  TLevelInfo& raised = Level();
  if (raised.Depth != 0) Defect("a value computed ahead found its level occupied");
  const std::size_t groupsBefore = raised.Ops.size();
  // On its own level the value only has to end up alone in ST0.
  AppendGroup(0, otExtended, false, OpCount(Root), LeafCount(Root));
  CompileLeaf(Root);
  const std::int32_t queued = TotalOps(0);
  for (std::int32_t i = 0; i < queued; ++i) PerformOperation();
  if (raised.Depth != 1 || TotalOps(0) != 0)
    Defect("a value computed ahead did not reduce to one value");
  const auto storedAt = static_cast<std::size_t>(raised.CodePos);
  StoreTemp(otExtended, SeenWith(Temp, raised.Pushed));
  PopModel();
  // Every group the tree opened is complete; the level is empty again.
  raised.Ops.resize(groupsBefore);
  raised.Cursor = 0;
  return storedAt;
}

void TFennic::CompileCommonValues() {
  FCommonTemps.clear();
  FReused.assign(FCommons.size(), TReusedValue{});
  if (FCommons.empty()) return;
  // Every temporary first: they stay for the whole routine, below those
  // that come and go.
  for (std::size_t c = 0; c < FCommons.size(); ++c) {
    const std::int32_t allocated = AddVal(vtExtended);
    FCommonTemps.push_back(allocated == -1 ? -1 : allocated - Level().Pushed);
    if (FWriting) FReused[c].Text = ValueText(FCommons[c]);
    FReused[c].Uses = FCommonUses[c];
  }
  const std::int32_t outer = FLevel;
  for (std::size_t c = 0; c < FCommons.size(); ++c) {
    FLevel = FCommonLevels[c];
    FReused[c].StoredAt = ComputeAhead(FCommons[c], FCommonTemps[c]);
  }
  FLevel = outer;
}

void TFennic::LoadCommon(std::int32_t Index) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= FCommonTemps.size()) Defect("load of an unknown common value");
  NeedStack(1);
  const TSlotKey key = TSlotKey::Common(Index);
  const std::int32_t reg = FindKey(key);
  FReused[Index].LoadedAt.push_back(static_cast<std::size_t>(Level().CodePos));
  if (reg >= 0)
    FldSt(reg);
  else
    EmitFrame(insFldTbyteEsp, SeenWith(FCommonTemps[Index], Level().Pushed), 16);
  PushModel(key);
  OpWasLoaded();
}

void TFennic::CompileLeaf(TTreeNode* Node) {
  // The walk keeps its own stack: a chain of operators is as deep as it is
  // long, and a long text must not exhaust the machine stack. The calls
  // that the walk compiles nest walks of their own on the same storage;
  // every reference to an entry is taken anew after anything that may nest.
  using TFrame = TWalkEntry;
  TWalkStack pending(*FWalks);
  auto enter = [&](TTreeNode* n) {
    if (!n) Defect("operator without an operand");
    if (IsLeaf(n)) {
      LoadLeaf(n);
      return;
    }
    std::uint8_t command = OperationBits(n->Op);
    if (!n->Left || !n->Right) Defect("operator without an operand");
    TTreeNode* first = n->Left;
    TTreeNode* second = n->Right;
    if (FirstIsRight(n)) {
      first = n->Right;
      second = n->Left;
      command |= ocReversed;
    }
    if (n->Minus) {
      // -(a - b) = b - a: the reversed form, since the negation of a
      // subtraction has no instruction form of its own.
      if ((command & ocOperation) == ocSub)
        command ^= ocReversed;
      else
        command |= ocNegate;
    }
    pending.push_back(TFrame{n, second, command, false});
    pending.push_back(TFrame{first, nullptr, 0, false});
  };

  pending.push_back(TFrame{Node, nullptr, 0, false});
  while (!pending.empty()) {
    TFrame& top = pending.back();
    if (!top.Second) {
      // Not yet entered: a leaf is loaded at once, an operator expands.
      TTreeNode* n = top.Node;
      pending.pop_back();
      enter(n);
      continue;
    }
    if (!top.Done) {
      // The first operand is compiled; the second becomes a memory operand
      // or is compiled in turn.
      top.Done = true;
      TTreeNode* second = top.Second;
      std::uint8_t command = top.Command;
      TAddress operand = 0;
      if (FoldSecond(second, command, operand)) {
        pending.pop_back();
        ExecuteCommand(command, operand, Level().Depth);
        MemoryCommandDone();
        continue;
      }
      pending.push_back(TFrame{second, nullptr, 0, false});
      continue;
    }
    // Both operands are on the x87 stack.
    const std::uint8_t command = top.Command;
    pending.pop_back();
    AddOp(command);
    if (!BackOperation()) PerformOperation();
  }
}

bool TFennic::FirstIsRight(const TTreeNode* Node) const {
  const TTreeNode* left = Node->Left;
  const TTreeNode* right = Node->Right;
  if (right->Usage < left->Usage) return false;
  if (right->Usage > left->Usage) return true;
  if (left->Kind == TNodeKind::Variable) {
    // Narrow and unsigned integers have no x87 load of their own; the
    // other operand goes first.
    const TVariable* found = FindVar(left->Code);
    if (!found) Defect("tree names an unknown variable");
    const TVariable& var = *found;
    return var.VarType == vtInt8 || var.VarType == vtUInt8 || var.VarType == vtUInt16 ||
           var.VarType == vtUInt32;
  }
  return left->Flushed;
}

void TFennic::LoadLeaf(TTreeNode* Node) {
  switch (Node->Kind) {
    case TNodeKind::Number:
      if (!IsFloatType(Node->Type)) Defect("number leaf of an integer type");
      FldVal(Node->Type, Node->Offset, Node->Minus, false);
      return;
    case TNodeKind::Variable: {
      const TVariable* var = FindVar(Node->Code);
      if (!var) Defect("tree names an unknown variable");
      FldVar(*var, Node->Minus);
      return;
    }
    case TNodeKind::Call: {
      if (!Node->Flushed) {
        // The result arrives in ST0.
        CallFunction(Node);
        PushModel(NoKey);
        if (Node->Minus) Emit(insFchs);
        OpWasLoaded();
        return;
      }
      if (IsConditionalCode(Node->Code) && Level().Depth == 0 && Level().CallMarks.empty()) {
        // Nothing waits on the x87 stack here, and no call is being
        // prepared: the branches run in place, as on a level of their own,
        // and the value stays in ST0.
        const bool done = !Level().Ops.empty() && Level().Ops.back().Done;
        CompileConditional(Node);
        if (!Level().Ops.empty()) Level().Ops.back().Done = done;
        PushModel(NoKey);
        if (Node->Minus) Emit(insFchs);
        OpWasLoaded();
        return;
      }
      // The call ran ahead and left its result in a temporary.
      CallFunction(Node);
      const TFunction* fn = FindFunc(Node->Code);
      if (!fn) Defect("tree names an unknown function");
      const auto type = static_cast<TVarType>(fn->FuncResult);
      FldVal(type, GetVal(type == vtUInt32 ? vtDouble : type), Node->Minus, true);
      return;
    }
    case TNodeKind::Common:
      LoadCommon(Node->Code);
      return;
    case TNodeKind::Operator:
      break;
  }
  Defect("tree node of unknown kind");
}

bool TFennic::FoldSecond(TTreeNode* Second, std::uint8_t& Command, TAddress& Operand) {
  // Only when every register is taken and no queued command could free one.
  if (Level().Depth != 8 || TotalOps(0) != 0) return false;
  std::uint8_t form = 0;
  switch (Second->Kind) {
    case TNodeKind::Number:
      if (Second->Type == vtSingle) form = ocMem4;
      else if (Second->Type == vtDouble) form = ocMem8;
      else return false;
      Operand = static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(PoolBase())) + Second->Offset;
      break;
    case TNodeKind::Variable: {
      const TVariable* found = FindVar(Second->Code);
      if (!found) Defect("tree names an unknown variable");
      const TVariable& var = *found;
      const auto address = static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(var.Address));
      switch (var.VarType) {
        case vtInt8:
        case vtUInt8:
        case vtUInt16:
          form = ocMem8 | ocInteger | ocFrame;
          Operand = ProcessIntVar(var);
          break;
        case vtInt16: form = ocMem4 | ocInteger; Operand = address; break;
        case vtInt32: form = ocMem8 | ocInteger; Operand = address; break;
        case vtSingle: form = ocMem4; Operand = address; break;
        case vtDouble: form = ocMem8; Operand = address; break;
        default: return false;
      }
      break;
    }
    case TNodeKind::Call: {
      if (!Second->Flushed) return false;
      const TFunction* fn = FindFunc(Second->Code);
      if (!fn) Defect("tree names an unknown function");
      switch (fn->FuncResult) {
        case frSingle:
          CallFunction(Second);
          form = ocMem4 | ocFrame;
          Operand = GetVal(vtSingle);
          break;
        case frDouble:
          CallFunction(Second);
          form = ocMem8 | ocFrame;
          Operand = GetVal(vtDouble);
          break;
        case frInt8:
        case frUInt8:
        case frInt16:
        case frUInt16:
        case frInt32:
          // Widened into a 4-byte temporary.
          CallFunction(Second);
          form = ocMem8 | ocInteger | ocFrame;
          Operand = GetVal(vtSingle);
          break;
        default:
          return false;
      }
      break;
    }
    case TNodeKind::Common:  // no arithmetic form reads an extended operand
    case TNodeKind::Operator:
      return false;
  }
  Command |= form;
  // The operand counts as loaded.
  LastGroup().LeavesLeft -= 1;
  return true;
}

void TFennic::MemoryCommandDone() {
  // A memory-form command is performed at once, never queued: count it
  // here, and complete its group when it was the last.
  TLevelInfo& L = Level();
  TOpGroup& g = LastGroup();
  g.OpsLeft -= 1;
  if (g.OpsLeft != 0 || g.LeavesLeft != 0 || !g.Store) return;
  const auto index = static_cast<std::int32_t>(L.Ops.size()) - 1;
  for (std::int32_t& mark : L.CallMarks)
    if (mark > index) mark -= 1;
  // The result is in ST0, on top of every other group's values.
  FlushRes(g.Precision, L.Pushed + g.Dest, 0);
  L.Ops.pop_back();
  if (L.Cursor >= index) L.Cursor = index - 1;
}

}  // namespace fennic
