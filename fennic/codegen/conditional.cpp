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

// FLDZ; FUCOMIP ST0, ST1; FSTP ST0: the condition against 0, popped. Zero
// (ZF) and ordered (no PF) is false; a NaN is true.
constexpr std::uint8_t TestAgainstZero[] = {0xD9, 0xEE, 0xDF, 0xE9, 0xDD, 0xD8};
constexpr std::int32_t JumpBytes = 5;  // JMP rel32

}  // namespace

void TFennic::CompileConditional(TTreeNode* Node) {
  const TArgumentList args = ArgumentsOf(Node);
  TTreeNode* operands[3] = {};
  for (std::size_t k = 0; k < 3; ++k) {
    if (args.size() != 3 || args[k].Kind != TArgKind::Tree || args[k].Index < 0 ||
        static_cast<std::size_t>(args[k].Index) >= FTrees.size() || !FTrees[args[k].Index])
      Defect("a conditional without its three operands");
    operands[k] = FTrees[args[k].Index];
  }

  // The condition alone in ST0, then tested and popped.
  AppendGroup(0, otExtended, false, OpCount(operands[0]), LeafCount(operands[0]));
  CompileLeaf(operands[0]);
  const std::int32_t queued = TotalOps(0);
  for (std::int32_t i = 0; i < queued; ++i) PerformOperation();
  if (Level().Depth != 1 || TotalOps(0) != 0) Defect("a condition did not reduce to one value");
  Level().Ops.clear();
  Level().Cursor = 0;
  AddComm(TestAgainstZero, sizeof TestAgainstZero);
  PopModel();

  // JP over the JE (a NaN takes the first branch); JE past it and its JMP.
  const std::int32_t thenBytes = FWriting ? BranchBytes(FBranchCount) : 0;
  Emit(TEncoder().Bytes({0x7A, 0x06, 0x0F, 0x84}).I32(thenBytes + JumpBytes));
  CompileBranch(operands[1], Node->BranchLevels[0]);
  const std::int32_t elseBytes = FWriting ? BranchBytes(FBranchCount) : 0;
  Emit(TEncoder().Byte(0xE9).I32(elseBytes));
  CompileBranch(operands[2], Node->BranchLevels[1]);
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
