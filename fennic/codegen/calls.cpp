// Function calls from generated code: the argument plan of a call, the
// order in which register and x87 arguments are loaded, the call itself and
// the delivery of its result.
#include <algorithm>
#include <memory>
#include <utility>

#include "fennic/builder/treewalk.h"
#include "fennic/codegen/calls.h"
#include "fennic/core/encoder.h"

namespace fennic {

std::uint64_t NumberValue(const TTreeNode* Node) {
  if (Node->Kind != TNodeKind::Number || IsFloatType(Node->Type)) Defect("integer argument without its value");
  const auto value = static_cast<std::uint64_t>(Node->Value);
  return Node->Minus ? ~value + 1 : value;
}

std::int32_t FunctionCode(const TTreeNode* Node) {
  if (Node->Kind != TNodeKind::Call) Defect("call leaf without its function code");
  return Node->Code;
}

void TFennic::CallFunction(TTreeNode* Node) {
  if (Node->Flushed) {
    CompileCall(Node);
    return;
  }
  // The result goes to the group whose leaf the call is, the last one. Its
  // argument groups come and go above it first, and must not change how it
  // takes the result (a stored group of this one value stores it when it is
  // loaded): the scheduler marks the group below a completed one of a single
  // value as having its first operand. It cannot complete before its leaf
  // arrives, so it is the last group again once the call is made.
  const bool enclosing = !Level().Ops.empty();
  const bool done = enclosing && Level().Ops.back().Done;
  CompileCall(Node);
  if (enclosing) {
    if (Level().Ops.empty()) Defect("a call lost the group it belongs to");
    Level().Ops.back().Done = done;
  }
  const TFuncResult result = ResultOf(Node);
  if (!IsFloatResult(result)) LoadIntegerResult(static_cast<TVarType>(result));
}

TFuncResult TFennic::ResultOf(const TTreeNode* Node) const {
  const TFunction* fn = FindFunc(FunctionCode(Node));
  if (!fn) Defect("call of an unregistered function");
  return fn->FuncResult;
}

void TFennic::LoadIntegerResult(TVarType VarType) {
  // An integer result where a floating-point value is expected: it reaches
  // ST0 through a temporary, as a flushed call's result does.
  const std::int32_t temp = ProcessInt(VarType);
  NeedStack(1);
  if (VarType == vtUInt32 || VarType == vtInt64)
    EmitFrame(insFildQwordEsp, temp, 8);
  else
    EmitFrame(insFildDwordEsp, temp, 4);
}

void TFennic::CompileCall(TTreeNode* Node) {
  auto plan = std::make_unique<TCallPlan>();
  plan->Fn = FindFunc(FunctionCode(Node));
  if (!plan->Fn) Defect("call of an unregistered function");
  const TFunction& fn = *plan->Fn;

  if (Node->Flushed) {
    // Computed ahead, on an empty level of its own below the two levels of
    // the prologue and the integer widening.
    if (FLevel + 1 > FAheadTop) Defect("no level left for a call computed ahead");
    ++FLevel;
    if (Level().Depth != 0 || !Level().Ops.empty())
      Defect("a call computed ahead found its level occupied");
    if (IsConditionalCode(Node->Code)) {
      CompileConditional(Node);
      DeliverResult(fn, Node);
      return;
    }
  }
  TLevelInfo& L = Level();
  L.CallMarks.push_back(static_cast<std::int32_t>(L.Ops.size()));

  plan->Args = ArgumentsOf(Node);
  if (plan->Args.size() != fn.Params.size()) Defect("call leaf without its arguments");
  if (CompileHostCall(*plan, Node)) {
    DeliverResult(fn, Node);
    return;
  }

  // The argument area.
  const std::int32_t base = L.Pushed;
  const std::int32_t frame = StackFrame(fn);
  AdjustEsp(true, frame);
  L.Pushed += frame;
  NotePushed();
  std::int32_t written = 0;

  const bool builtIn = fn.CallType == ctBuilt_in;
  const bool inRegisters = builtIn || fn.CallType == ctRegister;
  // ctCdecl and ctStdcall want the first argument lowest, the others highest.
  const bool firstHighest = fn.CallType != ctCdecl && fn.CallType != ctStdcall;
  const std::int32_t x87Room = builtIn ? 8 - fn.StackNeeds : 0;

  TToRegs& regs = plan->Regs;
  for (std::int32_t i = 0; i < 8; ++i) regs.FpuOrder[i] = i;
  TPushed next = pEAX;
  for (std::size_t k = 0; k < fn.Params.size(); ++k) {
    const TVarDef& def = fn.Params[k];
    const TCallArg& arg = plan->Args[k];
    if (arg.Kind == TArgKind::Tree && regs.FpuCount < x87Room) {
      regs.FpuTrees[regs.FpuCount++] = arg.Index;
      continue;
    }
    if (inRegisters && SendToReg(arg, def, regs, next)) continue;
    std::int32_t offset;
    if (firstHighest) {
      written += SlotSize(def);
      offset = -(written + base);
    } else {
      offset = -(base + frame) + written;
      written += SlotSize(def);
    }
    if (written > frame) Defect("arguments outgrow their area");
    ProcessPar(PushPar(arg, def, inRegisters ? next : pMemory, offset), def.VarType, offset);
  }
  if (written != frame) Defect("arguments do not fill their area");
  SortRegs(regs, next);
  FinishCall(*plan, Node, base, written);
}

void TFennic::FinishCall(TCallPlan& Plan, TTreeNode* Node, std::int32_t Base, std::int32_t Written) {
  const TFunction& fn = *Plan.Fn;
  TLevelInfo& L = Level();
  PrepareCall(Plan, Node);
  AddFuncCall(fn);
  // The routine, or the inline code, removes its own stack arguments;
  // under ctCdecl the caller does.
  if (fn.CallType == ctCdecl) AdjustEsp(false, Written);
  L.Pushed -= Written;
  if (L.Pushed != Base) Defect("a call left bytes on the stack");
  DeliverResult(fn, Node);
}

void TFennic::PrepareCall(TCallPlan& Plan, TTreeNode* Node) {
  TLevelInfo& L = Level();
  if (L.WaitPending) {
    Emit(insWait);
    L.WaitPending = false;
  }
  // Every queued command of the arguments is performed before the call.
  for (std::int32_t n = TotalOps(0); n > 0 && TotalOps(L.CallMarks.back()) > 0; --n) PerformOperation();

  // Room for what the function needs besides its x87 arguments, which are
  // already on the stack and must not be spilled.
  std::int32_t needs = FuncStackNeeds(FunctionCode(Node));
  if (Node->Usage > needs) needs = Node->Usage;
  needs -= Plan.Regs.FpuCount;
  NeedStack(needs < 0 ? 0 : needs > 8 ? 8 : needs);
  ArrangeX87Arguments(Plan.Regs);
  ConsumeX87Arguments(Plan.Regs.FpuCount);
  L.CallMarks.pop_back();
}

void TFennic::DeliverResult(const TFunction& fn, TTreeNode* Node) {
  if (!Node->Flushed) return;
  TLevelInfo& L = Level();
  switch (fn.FuncResult) {
    case frSingle: StoreTemp(otSingle, AddVal(vtSingle)); break;
    case frDouble: StoreTemp(otDouble, AddVal(vtDouble)); break;
    case frExtended: StoreTemp(otExtended, AddVal(vtExtended)); break;
    default: ProcessInt(static_cast<TVarType>(fn.FuncResult)); break;
  }
  if (L.Depth != 0 || !L.Ops.empty() || !L.CallMarks.empty()) Defect("a call computed ahead left its level occupied");
  --FLevel;
}

void TFennic::AdjustEsp(bool Reserve, std::int32_t Bytes) {
  if (Bytes <= 0) return;
  Emit(TEncoder().ArithImm(Reserve ? aSub : aAdd, TOperand::Register(rSP), Bytes, Target64 ? RexWide : RexNone));
}

bool TFennic::SendToReg(const TCallArg& Arg, const TVarDef& Def, TToRegs& Regs, TPushed& Next) {
  const bool qualifies = Def.PushStyle == psReference || Def.VarType <= vtUInt32;
  if (!qualifies || (Next != pEAX && Next != pEDX && Next != pECX)) return false;
  TToReg& entry = Regs.Regs[4 - Next];
  entry.Reg = Next;
  entry.Arg = Arg;
  entry.Def = Def;
  entry.Saved = false;
  if (Def.PushStyle == psReference) {
    entry.Usage = 0;
    entry.IsCall = false;
  } else {
    const TTreeNode* node = ParNode(Arg);
    entry.Usage = node->Usage;
    entry.IsCall = node->Kind == TNodeKind::Call;
  }
  Next = static_cast<TPushed>(Next - 1);
  return true;
}

void TFennic::SortRegs(TToRegs& Regs, TPushed Next) {
  const std::int32_t count = 4 - Next;  // register arguments
  if (count < 0 || count > 3) Defect("register plan out of range");
  const std::int32_t open = OrderArguments(Regs, count);
  std::int32_t loaded = 0;
  for (std::int32_t k = 0; k < Regs.FpuCount; ++k) {
    // A register argument whose evaluation needs the x87 registers still
    // free is loaded before the next x87 argument takes one of them.
    while (loaded < count && 8 - Level().Depth <= Regs.Regs[loaded].Usage) LoadRegister(Regs, loaded);
    if (SearchFunc(FTrees[Regs.FpuTrees[k]])) PushAll(Regs, loaded);
    CompileTree(Regs.FpuTrees[k], Regs.FpuOrder[k] + open, otExtended, false);
  }
  while (loaded < count) LoadRegister(Regs, loaded);
  PopSaved(Regs, loaded);
  if (Regs.FpuCount > 0)
    for (std::int32_t n = TotalOps(0); n > 0; --n) PerformOperation();
}

std::int32_t TFennic::OrderArguments(TToRegs& Regs, std::int32_t Count) {
  auto& r = Regs.Regs;
  // Calls first, since each destroys the registers loaded before it; the
  // one that needs more x87 registers before the other.
  for (std::int32_t i = 0; i + 1 < Count; ++i)
    for (std::int32_t j = i + 1; j < Count; ++j)
      if (!r[i].IsCall && r[j].IsCall) std::swap(r[i], r[j]);
  for (std::int32_t i = 0; i < Count && r[i].IsCall; ++i)
    for (std::int32_t j = i + 1; j < Count && r[j].IsCall; ++j)
      if (r[i].Usage < r[j].Usage) std::swap(r[i], r[j]);

  // x87 arguments: trees computed in place before isolated ones, and among
  // those in place the costlier first.
  auto tree = [this, &Regs](std::int32_t k) -> const TTreeNode* {
    const std::int32_t index = Regs.FpuTrees[k];
    if (index < 0 || static_cast<std::size_t>(index) >= FTrees.size() || !FTrees[index])
      Defect("x87 argument names no tree");
    return FTrees[index];
  };
  auto exchange = [&Regs](std::int32_t i, std::int32_t j) {
    std::swap(Regs.FpuTrees[i], Regs.FpuTrees[j]);
    std::swap(Regs.FpuOrder[i], Regs.FpuOrder[j]);
  };
  const std::int32_t fpu = Regs.FpuCount;
  for (std::int32_t k = 0; k < fpu; ++k) tree(k);
  for (std::int32_t i = 0; i + 1 < fpu; ++i)
    for (std::int32_t j = i + 1; j < fpu; ++j)
      if (tree(i)->Flushed && !tree(j)->Flushed) exchange(i, j);
  std::int32_t last = fpu - 1;
  while (last > 0 && tree(last)->Flushed) --last;
  for (std::int32_t i = 0; i < last; ++i)
    for (std::int32_t j = i + 1; j <= last; ++j)
      if (tree(i)->Usage < tree(j)->Usage) exchange(i, j);

  // Groups whose value stays on the x87 stack: the x87 arguments' targets
  // are counted above them.
  std::int32_t open = 0;
  for (const TOpGroup& g : Level().Ops)
    if (!g.Store) ++open;
  return open;
}

void TFennic::LoadRegister(TToRegs& Regs, std::int32_t& Loaded) {
  TToReg& entry = Regs.Regs[Loaded];
  if (entry.IsCall) PushAll(Regs, Loaded);
  PushPar(entry.Arg, entry.Def, entry.Reg, 0);
  ++Loaded;
}

void TFennic::PopSaved(TToRegs& Regs, std::int32_t Loaded) {
  for (std::int32_t i = Loaded - 1; i >= 0; --i) {
    if (!Regs.Regs[i].Saved) continue;
    const TPushed reg = Regs.Regs[i].Reg;
    Emit(reg == pEAX ? insPopEax : reg == pEDX ? insPopEdx : insPopEcx);
    Level().Pushed -= PushWidth;
  }
}

void TFennic::PushAll(TToRegs& Regs, std::int32_t Count) {
  for (std::int32_t i = 0; i < Count && i < 3; ++i) {
    TToReg& entry = Regs.Regs[i];
    if (entry.Saved) continue;
    entry.Saved = true;
    Emit(entry.Reg == pEAX ? insPushEax : entry.Reg == pEDX ? insPushEdx : insPushEcx);
    Level().Pushed += PushWidth;
    NotePushed();
  }
}

bool TFennic::SearchFunc(const TTreeNode* Node) const {
  // Iterative: a chain of operators is as deep as it is long.
  TWalkStack pending(*FWalks);
  // The walk only reads the nodes.
  pending.push_back(const_cast<TTreeNode*>(Node));
  while (!pending.empty()) {
    const TTreeNode* n = pending.Pop();
    if (!n || n->Flushed) continue;
    if (n->Kind == TNodeKind::Call) return true;
    if (!IsLeaf(n)) {
      pending.push_back(n->Right);
      pending.push_back(n->Left);
    }
  }
  return false;
}

void TFennic::ArrangeX87Arguments(const TToRegs& Regs) {
  // After the queued commands have run, the x87 arguments are the values
  // loaded last, in the order they were computed; the function wants the
  // last parameter in ST0 and the first deepest. Exchanges put them there
  // when the computation left them otherwise (no bytes when it did not).
  const std::int32_t n = Regs.FpuCount;
  if (n == 0) return;
  TLevelInfo& L = Level();
  if (L.Depth < n) Defect("x87 arguments missing from the stack");
  std::array<std::int32_t, 8> wanted{};  // Order of the value that belongs in ST(t)
  for (std::int32_t c = 0; c < n; ++c) wanted[n - 1 - Regs.FpuOrder[c]] = L.Depth - n + c;
  auto find = [&L](std::int32_t order) {
    const std::int32_t i = L.SlotWithOrder(order);
    if (i < 0) Defect("x87 argument not found in the register model");
    return i;
  };
  for (std::int32_t t = n - 1; t >= 1; --t) {
    const std::int32_t i = find(wanted[t]);
    if (i == t) continue;
    if (i != 0) ProcFXCH(i, 0);
    ProcFXCH(t, 0);
  }
  const std::int32_t i = find(wanted[0]);
  if (i != 0) ProcFXCH(i, 0);
}

void TFennic::ConsumeX87Arguments(std::int32_t Count) {
  if (Count == 0) return;
  TLevelInfo& L = Level();
  if (L.Depth < Count || static_cast<std::int32_t>(L.Ops.size()) < Count)
    Defect("x87 arguments missing from the model");
  for (std::int32_t i = 0; i + Count < L.Depth; ++i) L.Slots[i] = std::move(L.Slots[i + Count]);
  L.Depth -= Count;
  for (std::int32_t k = 0; k < Count; ++k) {
    const TOpGroup& g = L.Ops.back();
    if (g.Store || g.Queued != 0 || g.OpsLeft != 0 || g.LeavesLeft != 0)
      Defect("an x87 argument is not complete at its call");
    L.Ops.pop_back();
  }
}

namespace {

TTreeNode* NodeAt(const std::vector<TTreeNode*>& Nodes, std::int32_t Index, const char* Missing) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= Nodes.size() || !Nodes[Index]) Defect(Missing);
  return Nodes[Index];
}

}  // namespace

TTreeNode* TFennic::ParNode(const TCallArg& Arg) const {
  if (Arg.Kind != TArgKind::Integer) Defect("integer argument without its node");
  return NodeAt(FParNodes, Arg.Index, "integer argument names no node");
}

TTreeNode* TFennic::TreeOf(const TCallArg& Arg) const {
  if (Arg.Kind != TArgKind::Tree) Defect("floating-point argument without its tree");
  return NodeAt(FTrees, Arg.Index, "floating-point argument names no tree");
}

}  // namespace fennic
