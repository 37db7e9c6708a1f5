// The compiler driver: the two passes, level layout, frame prologue and epilogue.
#include <algorithm>
#include <climits>

#include "fennic/codegen/defect.h"
#include "fennic/codegen/levels.h"
#include "fennic/core/x87guard.h"

namespace fennic {

void TFennic::Compile() {
  if (FCompiling) return Reentered();
  // Declared first: the host's x87 state comes back after every clean-up.
  TX87Entry x87;
  // From here until a routine is complete, the component has none: the old
  // routine addresses the constant pool that Build is about to replace.
  FCompiling = true;
  FReentered = false;
  UseNoRoutine();
  struct TCleanUp {
    TFennic& F;
    ~TCleanUp() {
      F.ReleaseTrees();
      F.ParkLevels();
      F.FLevelEnds.clear();
      F.FIntInfo.clear();
      F.FWriting = false;
      F.FOut = nullptr;
      F.FOutAddress = nullptr;
      F.FCompiling = false;
      if (F.FRoutine == &EvaluateWhileCompiling) F.UseNoRoutine();
    }
  } cleanUp{*this};

  try {
    CompileText();
  } catch (...) {
    // No routine is left (the clean-up sees to it), and the code says so
    // to a host that catches the exception. Nothing here allocates.
    FCompError = eAborted;
    throw;
  }
  if (FReentered) {
    UseNoRoutine();
    FCompError = eReentered;
    FDiagnostic.Error = eReentered;
    FDiagnostic.Message = ErrorCodeMessage(eReentered);
  }
}

void TFennic::CompileText() {
  std::string text = FExprString;
  FDiagnostic.Error = eNone;
  FDiagnostic.Position = TDiagnostic::NoPosition;
  FDiagnostic.Length = 0;
  FDiagnostic.Message.clear();
  Build(text);
  if (FReentered) return;
  if (ErrorRaised()) {
    FDiagnostic = Diagnose(FExprString);
    return;
  }
  GenerateCode([this] {
    CompileCommonValues();
    CompileTree(0, 0, otExtended, false);
  });
  if (FCompError != eNone) FDiagnostic = Diagnose(FExprString);
}

void TFennic::RunPass(const std::function<void()>& CompileBody) {
  CompileBody();
  if (FLevel != 0 || FLevelBase != 0) Defect("the expression's code did not end in level 0");
  const std::int32_t n = TotalOps(0);
  for (std::int32_t i = 0; i < n; ++i) PerformOperation();
  // The outermost group has no Store and is never removed by the scheduler.
  FLevels[0].Depth = 0;
  FLevels[0].Ops.clear();
  StackWorks();
  Emit(insRet);
}

void TFennic::GenerateCode(const std::function<void()>& CompileBody) {
  UseNoRoutine();
  struct TPassEnd {
    TFennic& F;
    ~TPassEnd() {
      F.FWriting = false;
      F.FOut = nullptr;
      F.FOutAddress = nullptr;
    }
  } passEnd{*this};

  // Sizing pass. The base fields still hold the pool's section offsets; the
  // trees carry their own pool offsets, so the fields are free. Measuring
  // every frame offset from bases of 0 makes a frame access short ([ESP])
  // in this pass exactly when it is counted in a short-form counter, which
  // the level sizes below correct.
  FWriting = false;
  FBase4 = FBase8 = FBase16 = 0;
  FTopLevel += 2;  // one level for the widening of integer variables, one for the prologue
  ResetLevels(static_cast<std::size_t>(FTopLevel) + 1);
  FLevelBase = 0;
  FLevelCount = FTopLevel + 1;
  FAheadTop = FTopLevel - 2;
  FBranchSizes.clear();
  FBranchCount = 0;
  FLevelEnds.clear();
  FLevel = 0;
  FSpilled = FSpilledMax = 0;
  FTemps4Max = FTemps8Max = FTemps16Max = 0;
  FTemps4 = FTemps8 = FTemps16 = 0;
  FIntInfo.clear();
  FHostCalls = false;
  FPushedPeak = 0;
  RunPass(CompileBody);
  if (FPassStackNeed > MaxStackNeed) {
    FCompError = eEdge;
    FErrorAt = std::string_view::npos;
    FErrorLength = 0;
    return;
  }

  // Frame area bases.
  if (AlignMode()) {
    FBase16 = 16 * FSpilledMax;
    FBase8 = FBase16 + 16 * FTemps16Max;
    FBase4 = FBase8 + 8 * FTemps8Max;
  } else {
    FBase4 = FBase8 = FBase16 = 12 * FSpilledMax;
  }

  // Level sizes: accesses measured at [ESP] get a 32-bit displacement where
  // their area does not start at 0.
  std::int64_t total = 0;
  for (TLevelInfo& L : FLevels) {
    const std::int64_t size = SizeWithBases({L.CodePos, L.Short4, L.Short8, L.Short16});
    if (size > INT32_MAX) Defect("routine too large");
    L.CodePos = static_cast<std::int32_t>(size);
    total += size;
  }
  if (total > INT32_MAX) Defect("routine too large");

  // One buffer of the exact size, with room for the data the routine reads
  // from its own block; its address is final before anything is written.
  const auto codeSize = static_cast<std::size_t>(total);
  ExecutableBlock code(codeSize + BlockDataSize());
  PlaceBlockData(code.Data(), code.Address(), codeSize);

  // Placement, highest level first. Every level starts the writing pass with
  // an empty model, as it did the sizing pass.
  FLevelEnds.assign(FLevels.size(), 0);
  std::int32_t pos = 0;
  for (std::int32_t i = FTopLevel; i >= 0; --i) {
    TLevelInfo& L = FLevels[i];
    const std::int32_t size = L.CodePos;
    ClearLevel(L);
    L.CodePos = pos;
    pos += size;
    FLevelEnds[i] = pos;
  }

  // Writing pass; the maxima of the sizing pass stay and shape the frame.
  FOut = code.Data();
  FOutAddress = code.Address();
  FWriting = true;
  FLevel = 0;
  FBranchCount = 0;
  FSpilled = 0;
  FTemps4 = FTemps8 = FTemps16 = 0;
  FIntInfo.clear();
  FHostCalls = false;
  FPushedPeak = 0;
  RunPass(CompileBody);
  FWriting = false;

  for (std::size_t i = 0; i < FLevels.size(); ++i)
    if (FLevels[i].CodePos != FLevelEnds[i])
      Defect("level " + std::to_string(i) + " measured " +
                          std::to_string(FLevelEnds[i]) + " but wrote up to " +
                          std::to_string(FLevels[i].CodePos));

  code.Protect();
  FCodeBlock = std::move(code);
  FCodeStart = FCodeBlock.Data();
  FRoutine = reinterpret_cast<TRoutine>(reinterpret_cast<std::uintptr_t>(FCodeStart));
  FCodeSize = codeSize;
  FStackNeed = FPassStackNeed;
  FReusedInRoutine.swap(FReused);
  FReused.clear();
}

std::int64_t TFennic::SizeWithBases(const TLevelSize& S) const {
  std::int64_t short4 = S.Short4, short8 = S.Short8, short16 = S.Short16;
  if (!AlignMode()) {
    short4 += short8 + short16;
    short8 = short16 = 0;
  }
  std::int64_t size = S.CodePos;
  if (FBase4 > 0) size += 4 * short4;
  if (FBase8 > 0) size += 4 * short8;
  if (FBase16 > 0) size += 4 * short16;
  return size;
}

void TFennic::ClearLevel(TLevelInfo& L) {
  std::vector<TOpGroup> ops = std::move(L.Ops);
  std::vector<std::int32_t> marks = std::move(L.CallMarks);
  ops.clear();
  marks.clear();
  L = TLevelInfo{};
  L.Ops = std::move(ops);
  L.CallMarks = std::move(marks);
}

void TFennic::ResetLevels(std::size_t Count) {
  if (FLevels.empty()) FLevels.swap(FParkedLevels);
  if (FLevels.size() > Count) FLevels.resize(Count);
  for (TLevelInfo& L : FLevels) ClearLevel(L);
  FLevels.resize(Count);
}

void TFennic::ParkLevels() {
  if (FLevels.size() >= FParkedLevels.size()) FLevels.swap(FParkedLevels);
  FLevels.clear();
}

void TFennic::StackWorks() {
  const std::int32_t S = FSpilledMax, T4 = FTemps4Max, T8 = FTemps8Max, T16 = FTemps16Max;
  const std::int32_t big = S + T16;
  // With AlignMode, an EBP frame aligns ESP so that the 16- and 8-byte
  // slots sit on their natural boundaries.
  const bool ebpFrame = AlignMode() && big + T8 > 0;
  std::int32_t frame = AlignMode() ? 16 * big + 8 * T8 + 4 * std::max(T4 - big, 0) : 12 * S + T4;
  if (!ebpFrame) frame = PlainFrameBytes(frame);
  // The return address; the saved EBP and what aligning ESP may skip (ESP
  // is at least PushWidth-aligned); the frame; the deepest pushes.
  FPassStackNeed = static_cast<std::size_t>(PushWidth) + (ebpFrame ? FrameAlignment(big) : 0) +
                   static_cast<std::size_t>(std::max(frame, 0)) + static_cast<std::size_t>(FPushedPeak);
  if (frame <= 0) return;

  FLevel = FTopLevel;
  if (ebpFrame) {
    Emit(insPushEbp);
    Emit(insMovEbpEsp);
    const std::int32_t align = FrameAlignment(big);
    const std::int32_t rest = frame % align;
    if (rest > 0) {
      EmitI8(insSubEspB, rest);
      EmitI32(insAndEspD, -align);
      EmitI8(insAddEspB, rest);
    } else {
      EmitI32(insAndEspD, -align);
    }
  }
  AdjustEsp(true, frame);

  FLevel = 0;
  if (ebpFrame) {
    Emit(insMovEspEbp);
    Emit(insPopEbp);
  } else {
    AdjustEsp(false, frame);
  }
}

}  // namespace fennic
