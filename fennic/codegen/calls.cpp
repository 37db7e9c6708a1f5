// Function calls from generated code: the argument plan of a call, the
// order in which register and x87 arguments are loaded, the call itself and
// the delivery of its result.
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "fennic/builder/treewalk.h"
#include "fennic/codegen/calls.h"
#include "fennic/core/encoder.h"
#include "fennic/core/codedtext.h"

namespace fennic {

void TakeArgument(std::string& List, bool Last, std::string& Arg) {
  const std::size_t comma = Last ? std::string::npos : FindComma(List);
  if (comma == std::string::npos) {
    Arg.swap(List);
    List.clear();
    return;
  }
  Arg.assign(List, 0, comma);
  List.erase(0, comma + 1);
}

std::uint64_t NumberValue(const TTreeNode* Node) {
  if (Node->Text.size() < 10) Defect("integer argument without its value");
  std::uint64_t value;
  std::memcpy(&value, Node->Text.data() + 2, 8);
  return Node->Minus ? ~value + 1 : value;
}

std::int32_t FunctionCode(const TTreeNode* Node) {
  if (Node->Text.size() < 5 || Node->Text[0] != FuncMarker)
    Defect("call leaf without its function code");
  return ReadInt32(Node->Text, 1);
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
    if (FLevel + 1 > FTopLevel - 2) Defect("no level left for a call computed ahead");
    ++FLevel;
    if (Level().Depth != 0 || !Level().Ops.empty())
      Defect("a call computed ahead found its level occupied");
  }
  TLevelInfo& L = Level();
  L.CallMarks.push_back(static_cast<std::int32_t>(L.Ops.size()));

  if (Node->Text.size() >= 7) plan->Args.assign(Node->Text, 6, Node->Text.size() - 7);
  else if (!fn.Params.empty()) Defect("call leaf without its arguments");
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
    TakeArgument(plan->Args, k + 1 == fn.Params.size(), plan->Arg);
    const std::string& arg = plan->Arg;
    if (arg.size() == 5 && arg[0] == TreeMarker && regs.FpuCount < x87Room) {
      regs.FpuTrees[regs.FpuCount++] = ReadInt32(arg, 1);
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

bool TFennic::SendToReg(const std::string& Arg, const TVarDef& Def, TToRegs& Regs, TPushed& Next) {
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
    entry.IsCall = node->Text[0] == FuncMarker;
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
  entry.Arg.clear();
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
  TWalkStack<const TTreeNode*> pending;
  pending.push_back(Node);
  while (!pending.empty()) {
    const TTreeNode* n = pending.back();
    pending.pop_back();
    if (!n || n->Flushed || n->Text.empty()) continue;
    if (n->Text[0] == FuncMarker) return true;
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
    for (std::int32_t i = 0; i < L.Depth; ++i)
      if (L.Slots[i].Order == order) return i;
    Defect("x87 argument not found in the register model");
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

TTreeNode* TFennic::ParNode(const std::string& Arg) const {
  if (Arg.size() != 5 || Arg[0] != ParMarker) Defect("integer argument without its node");
  const std::int32_t index = ReadInt32(Arg, 1);
  if (index < 0 || static_cast<std::size_t>(index) >= FParNodes.size() || !FParNodes[index] ||
      FParNodes[index]->Text.empty())
    Defect("integer argument names no node");
  return FParNodes[index];
}

}  // namespace fennic
