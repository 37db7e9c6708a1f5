// The conditional that computes only the branch its condition picks. Each
// branch is compiled on a stack of levels of its own, whose code is placed
// in line between the jumps: the calls a branch computes ahead run only
// when the branch does.
#include "fennic/builder/treewalk.h"
#include "fennic/codegen/defect.h"
#include "fennic/codegen/levels.h"
#include "fennic/core/encoder.h"

namespace fennic {

namespace {

constexpr std::int32_t JumpBytes = 5;  // JMP rel32
constexpr std::uint8_t FucomipPop[] = {0xDF, 0xE9, 0xDD, 0xD8};  // FUCOMIP ST0, ST1; FSTP ST0

// The jumps to the second branch when the condition is false, after
// FUCOMIP has compared ST0 with ST1: an optional JP (to the second branch,
// or over the last jump: a NaN that makes the condition true), then a Jcc.
struct TFalseJump {
  bool Parity = false;
  bool ParityIsFalse = false;
  std::uint8_t Jcc = 0;  // the second opcode byte of Jcc rel32
  // The operand that must be in ST0: 0 the first, 1 the second.
  std::int32_t Top = 0;
};

// By comparison, in the order of the reserved codes; the last row tests a
// value against 0 (in ST1 beside a 0 in ST0).
constexpr TFalseJump FalseJumps[] = {
    {false, false, 0x86, 1},  // a < b: b above a, else JBE (unordered too)
    {false, false, 0x82, 1},  // a <= b: b not below a, else JB
    {false, false, 0x86, 0},  // a > b: a above b
    {false, false, 0x82, 0},  // a >= b
    {true, true, 0x85, 0},    // a == b: JP or JNE
    {true, false, 0x84, 0},   // a != b: JE unless unordered
    {true, false, 0x84, 0},   // c, as c != 0
};
constexpr std::size_t TruthTest = 6;

}  // namespace

void TFennic::CompileConditional(TTreeNode* Node) {
  const TArgumentList args = ArgumentsOf(Node);
  auto treeOf = [this](const TCallArg& Arg) -> TTreeNode* {
    if (Arg.Kind != TArgKind::Tree || Arg.Index < 0 || static_cast<std::size_t>(Arg.Index) >= FTrees.size())
      return nullptr;
    return FTrees[Arg.Index];
  };
  if (args.size() != 3 || !treeOf(args[0]) || !treeOf(args[1]) || !treeOf(args[2]))
    Defect("a conditional without its three operands");
  TTreeNode* condition = treeOf(args[0]);

  // A comparison compares its own operands for the jump; any other
  // condition is compared with 0.
  const TArgumentList compared =
      condition->Kind == TNodeKind::Call && !condition->Flushed && IsLogicFuncCode(condition->Code) &&
              condition->Code < LogicFuncCode(TLogicOp::Not)
          ? ArgumentsOf(condition)
          : TArgumentList();
  const bool fused = compared.size() == 2 && treeOf(compared[0]) && treeOf(compared[1]);
  const TFalseJump& jump =
      FalseJumps[fused ? static_cast<std::size_t>(condition->Code - LogicFuncBase) : TruthTest];

  const std::size_t groupsBefore = Level().Ops.size();
  const std::int32_t cursor = Level().Cursor, depthBefore = Level().Depth;
  if (fused) {
    CompileTree(compared[0].Index, depthBefore, otExtended, false);
    CompileTree(compared[1].Index, depthBefore + 1, otExtended, false);
  } else {
    CompileTree(args[0].Index, depthBefore, otExtended, false);
  }
  while (TotalOps(static_cast<std::int32_t>(groupsBefore)) > 0) PerformOperation();
  const std::int32_t operands = fused ? 2 : 1;
  if (Level().Depth != depthBefore + operands) Defect("a condition did not reduce to its operands");
  Level().Ops.resize(groupsBefore);
  Level().Cursor = cursor;
  if (!fused) {
    static constexpr std::uint8_t Fldz[] = {0xD9, 0xEE};
    NeedStack(1);
    AddComm(Fldz, sizeof Fldz);
    PushModel(NoKey);
    Level().Depth += 1;
  }
  // The operand the test wants on top (a 0 is on top already).
  if (fused && Level().Slots[0].Order != depthBefore + jump.Top) ProcFXCH(1, 0);
  AddComm(FucomipPop, sizeof FucomipPop);
  PopModel();
  PopModel();

  const std::int32_t thenBytes = FWriting ? BranchBytes(FBranchCount) : 0;
  TEncoder test;
  if (jump.Parity && jump.ParityIsFalse) test.Bytes({0x0F, 0x8A}).I32(thenBytes + JumpBytes + 6);
  else if (jump.Parity) test.Bytes({0x7A, 0x06});
  test.Bytes({0x0F, jump.Jcc}).I32(thenBytes + JumpBytes);
  Emit(test);
  CompileBranch(treeOf(args[1]), Node->BranchLevels[0]);
  const std::int32_t elseBytes = FWriting ? BranchBytes(FBranchCount) : 0;
  Emit(TEncoder().Byte(0xE9).I32(elseBytes));
  CompileBranch(treeOf(args[2]), Node->BranchLevels[1]);
  // Either branch may have used R11.
  Level().ScratchBase = 0;
}

void TFennic::CompileBranch(TTreeNode* Root, std::int32_t TopLevel) {
  if (TopLevel < 0 || TopLevel >= 8192) Defect("a branch with no levels of its own");
  const std::size_t index = FBranchCount++;
  const auto enclosing = static_cast<std::size_t>(FLevelBase + FLevel);
  const std::size_t base = FLevels.size();
  const std::int32_t count = TopLevel + 1;
  const auto levels = static_cast<std::size_t>(count);
  FLevels.resize(base + levels);
  // The branch runs inside its level's code, under that level's pushes.
  for (std::size_t i = 0; i < levels; ++i) FLevels[base + i].Pushed = FLevels[enclosing].Pushed;
  if (!FWriting) {
    if (FBranchSizes.size() <= index) FBranchSizes.resize(index + 1);
  } else {
    if (index >= FBranchSizes.size() || FBranchSizes[index].size() != levels)
      Defect("a branch that the sizing pass did not measure");
    if (FLevelEnds.size() < base + levels) FLevelEnds.resize(base + levels);
    // Highest level first, as the expression's levels are placed.
    std::int64_t pos = FLevels[enclosing].CodePos;
    for (std::size_t i = levels; i-- > 0;) {
      FLevels[base + i].CodePos = static_cast<std::int32_t>(pos);
      pos += SizeWithBases(FBranchSizes[index][i]);
      FLevelEnds[base + i] = static_cast<std::int32_t>(pos);
    }
  }

  const std::int32_t savedBase = FLevelBase, savedLevel = FLevel, savedCount = FLevelCount, savedTop = FAheadTop;
  FLevelBase = static_cast<std::int32_t>(base);
  FLevel = 0;
  FLevelCount = count;
  FAheadTop = TopLevel;
  AppendGroup(0, otExtended, false, OpCount(Root), LeafCount(Root));
  CompileLeaf(Root);
  const std::int32_t queued = TotalOps(0);
  for (std::int32_t i = 0; i < queued; ++i) PerformOperation();
  if (Level().Depth != 1 || TotalOps(0) != 0) Defect("a branch did not reduce to one value");
  Level().Ops.clear();
  PopModel();
  for (std::size_t i = 0; i < levels; ++i) {
    const TLevelInfo& B = FLevels[base + i];
    if (B.Depth != 0 || !B.Ops.empty() || !B.CallMarks.empty()) Defect("a branch left a level occupied");
  }
  FLevelBase = savedBase;
  FLevel = savedLevel;
  FLevelCount = savedCount;
  FAheadTop = savedTop;

  TLevelInfo& E = FLevels[enclosing];
  if (!FWriting) {
    std::vector<TLevelSize>& sizes = FBranchSizes[index];
    sizes.resize(levels);
    for (std::size_t i = 0; i < levels; ++i) {
      const TLevelInfo& B = FLevels[base + i];
      sizes[i] = {B.CodePos, B.Short4, B.Short8, B.Short16};
      E.CodePos += B.CodePos;
      E.Short4 += B.Short4;
      E.Short8 += B.Short8;
      E.Short16 += B.Short16;
    }
  } else {
    for (std::size_t i = 0; i < levels; ++i)
      if (FLevels[base + i].CodePos != FLevelEnds[base + i]) Defect("a branch level outgrew its measured size");
    E.CodePos = FLevelEnds[base];  // the end of its level 0, which comes last
  }
  FLevels.resize(base);
}

std::int32_t TFennic::BranchBytes(std::size_t Index) const {
  if (Index >= FBranchSizes.size()) Defect("a branch that the sizing pass did not measure");
  std::int64_t bytes = 0;
  for (const TLevelSize& s : FBranchSizes[Index]) bytes += SizeWithBases(s);
  if (bytes > INT32_MAX) Defect("routine too large");
  return static_cast<std::int32_t>(bytes);
}

}  // namespace fennic
