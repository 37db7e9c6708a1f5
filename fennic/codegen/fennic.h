// The component the host creates: compiles expression text into native x87
// code and runs it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "fennic/core/export.h"
#include "fennic/builder/builder.h"
#include "fennic/core/execmem.h"

namespace fennic {

// Thrown out of Compile (after its clean-up) when the code generator finds
// itself inconsistent: a level whose two passes produced different byte
// counts, an x87 model that over- or underflows, a queue that overflows.
// It signals a defect of the library, never a fault of the expression; the
// component then holds the one-byte routine.
class TEncoder;

class FENNIC_API ECodeGenError : public std::logic_error {
 public:
  explicit ECodeGenError(const std::string& what) : std::logic_error("code generator: " + what) {}
};

// An operand's address: absolute (a variable, a pool constant) or a frame
// offset; as wide as a pointer of the target.
using TAddress = std::intptr_t;

// The command byte that describes one x87 arithmetic step.
inline constexpr std::uint8_t ocAdd = 0x00, ocSub = 0x01, ocMul = 0x02, ocDiv = 0x03;
inline constexpr std::uint8_t ocOperation = 0x03;  // mask of the operation bits
inline constexpr std::uint8_t ocMem4 = 0x04;       // memory operand: 32-bit real or 16-bit integer
inline constexpr std::uint8_t ocMem8 = 0x08;       // memory operand: 64-bit real or 32-bit integer
inline constexpr std::uint8_t ocForm = 0x0C;       // mask of the operand form bits
inline constexpr std::uint8_t ocReversed = 0x10;   // operands in reversed order
inline constexpr std::uint8_t ocInteger = 0x20;    // the memory operand is an integer
inline constexpr std::uint8_t ocFrame = 0x40;      // the memory operand is a frame temporary
inline constexpr std::uint8_t ocNegate = 0x80;     // negate the result

// The code generator's state, defined with the code generator
// (codegen/levels.h): slot keys, level records and argument plans.
class TSlotKey;
struct TLevelInfo;
struct TOpGroup;
struct TToRegs;
struct TIntInfo;
struct TLevelSize;
enum TInstr : std::uint8_t;

// A value the routine computes once and loads where it recurs
// (ComputeOnce): the expression it computes, as the trees hold it, and
// where in the routine it is stored and loaded (offsets into CodeBytes).
struct TReusedValue {
  std::string Text;
  std::int32_t Uses = 0;
  std::size_t StoredAt = 0;
  std::vector<std::size_t> LoadedAt;
};

class FENNIC_API TFennic : public TBuilder {
 public:
  explicit TFennic(TComponent* AOwner = nullptr);
  ~TFennic() override;
  std::string ClassName() const override { return "TFennic"; }

  // Stores the text; compiles it at once when AutoCompile is on. Called
  // from inside one of the component's own compile-time calls, it keeps the
  // text and the compilation in progress ends with eReentered.
  void SetExprString(const std::string& Value);
  const std::string& ExprString() const { return FExprString; }

  // Runs the whole pipeline on the text; reports through CompError. Throws
  // only what escapes a stage (an exhausted heap, a fault while adding the
  // constants of a sum, ECodeGenError); CompError then reads eAborted and
  // the component holds no routine. Called from inside one of the
  // component's own compile-time calls, it does nothing and the compilation
  // in progress ends with eReentered.
  // Limits of a text: brackets (call brackets included) nested deeper than
  // TSimpler::MaxNesting (2000), or more than TSimpler::MaxNestedBytes bytes
  // inside brackets counted once per enclosing bracket, give eEdge at once,
  // as does nesting that the stack in use cannot take: a thread's stack is
  // known, of a coroutine's or fiber's the compilation takes at most
  // ForeignStackBudget (128 KiB) below the call (fennic/core/stackguard.h).
  // Within them the time grows linearly with the length: on a current
  // x86-64 processor a flat megabyte compiles in about two seconds, and no
  // text takes more than some 30 microseconds a byte (the deepest nesting
  // costs the most).
  virtual void Compile();

  // Runs the routine. The routine is the host's formula and runs under the
  // host's x87 state as it is: a flag left raised whose exception the
  // control word unmasks traps at its first x87 instruction. The call goes
  // straight from the host's code into the routine. Without a routine (a new
  // component, CompError neither eNone nor eDomain, or during a compilation)
  // it returns a quiet NaN, raises no flag and leaves the x87 stack as it
  // was; called from inside one of the component's own compile-time calls,
  // it also makes that compilation end with eReentered.
  Extended Evaluate() { return FRoutine(this); }

  TError CompError() const { return FCompError; }
  // CompError explained for people, about the text last compiled: where it
  // was found (a byte offset in ExprString as it was then, or
  // TDiagnostic::NoPosition), the offending token's length and a one-line
  // English message. After eDomain it names the first faulting call or
  // operation.
  TDiagnostic Diagnostic() const;
  std::size_t ErrorPosition() const {
    return FDiagnostic.Error == FCompError ? FDiagnostic.Position : TDiagnostic::NoPosition;
  }
  std::size_t ErrorLength() const { return FDiagnostic.Error == FCompError ? FDiagnostic.Length : 0; }
  std::string ErrorMessage() const { return Diagnostic().Message; }
  bool AutoCompile() const { return FAutoCompile; }
  void SetAutoCompile(std::uint8_t Value) {
    if (Value <= 1) FAutoCompile = Value;
  }

  // The routine as it stands, read-only (for tests, disassembly and tools);
  // without a routine, the single byte C3.
  const std::uint8_t* CodeBytes() const { return FCodeStart; }
  std::size_t CodeSize() const { return FCodeSize; }
  // The values of the routine computed once, in the order they are computed
  // last to first; empty without ComputeOnce or without a repeat.
  const std::vector<TReusedValue>& ReusedValues() const { return FReusedInRoutine; }

  // The most machine stack that Evaluate's routine takes, in bytes below the
  // stack pointer of the host's call: its return address, its frame with
  // the alignment's slack, and at its deepest point the argument areas,
  // saved registers and return addresses of the nested calls of host
  // routines. What a host routine or inline code uses itself is not
  // counted: a thread that evaluates needs StackNeed() plus the deepest use
  // of the host's own routines. Without a compiled routine it is the
  // return address alone. Calls nested in arguments add up: 1,999 nested
  // calls of a routine of two extended arguments take 47,984 bytes in i386
  // code and 63,992 in x86-64 code. A text whose routine would need more
  // than MaxStackNeed gives eEdge.
  std::size_t StackNeed() const { return FStackNeed; }
  static constexpr std::size_t MaxStackNeed = 256 * 1024;

 protected:
  void DeclareProperties(TPropertyList& list) const override;

  // Output that a descendant may intercept or change.
  virtual void FldVar(const TVariable& Variable, bool Negate);
  virtual void FldVal(TVarType VarType, std::int32_t Value, bool Negate, bool InFrame);
  virtual void ProcFXCH(std::int32_t I, std::int32_t J);
  virtual void FldSt(std::int32_t I);
  virtual void FlushRes(TOpType OpType, std::int32_t Offset, std::int32_t I);
  virtual void AddCommAndI8(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t Value);
  virtual void AddCommAndI32(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t Value);
  virtual void AddComm(const std::uint8_t* Bytes, std::int32_t Count);
  virtual std::int32_t ExecuteCommand(std::uint8_t Command, TAddress Address, std::int32_t Order);

  // Emission primitives.
  void AddCommAndI8AndI32(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t First,
                          std::int32_t Second);
  void AddCommAndI32AndI32(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t First,
                           std::int32_t Second);
  void AddCommAndVar(const std::uint8_t* Bytes, std::int32_t Count, const TVariable& Variable,
                     std::int32_t Displacement);
  void AddFuncCall(const TFunction& Func);
  std::int32_t AddVal(TVarType VarType);
  std::int32_t GetVal(TVarType VarType);
  std::int32_t ProcessInt(TVarType VarType);
  std::int32_t ProcessIntVar(const TVariable& Variable);
  void AddOp(std::uint8_t Command);

  // Templates through AddComm and its variants.
  void Emit(TInstr Instr);
  void EmitI8(TInstr Instr, std::int32_t Value);
  void EmitI32(TInstr Instr, std::int32_t Value);
  void EmitI8I32(TInstr Instr, std::int32_t First, std::int32_t Second);
  void EmitI32I32(TInstr Instr, std::int32_t First, std::int32_t Second);
  void EmitVar(TInstr Instr, const TVariable& Variable, std::int32_t Displacement = 0);
  // An instruction that addresses Address absolutely: Bytes end with its
  // ModRM byte in the [disp32] form (mod 00, r/m 101). i386 appends the
  // address; x86-64 reaches a pool constant RIP-relative and anything else
  // through R11 (codegen/target_*.cpp).
  void EmitAbs(const std::uint8_t* Bytes, std::int32_t Count, TAddress Address);
  void EmitAbs(TInstr Instr, TAddress Address);
  // Bytes assembled by the encoder; an absolute operand's form with its
  // address still to come (TOperand::AbsoluteLater).
  void Emit(const TEncoder& Code);
  void EmitAbs(const TEncoder& Form, TAddress Address);
  // A frame temporary access, Bytes (or the template) being its [ESP] or
  // [disp32] form: [ESP] at offset 0, counted in the short-form counter of
  // its area (4, 8 or 16), else [ESP+id].
  void EmitFrame(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t Offset, std::int32_t Area);
  void EmitFrame(TInstr Instr, std::int32_t Offset, std::int32_t Area);
  // An access whose displacement does not depend on the frame bases, the
  // template being its [ESP] form: [ESP] at 0, [ESP+ib] below 128, [ESP+id]
  // otherwise.
  void EmitEsp(TInstr Instr, std::int32_t Displacement);
  // FSTP of ST0 into a frame temporary (0 or id form, short-form counted).
  void StoreTemp(TOpType OpType, std::int32_t Offset);

  // Level model and scheduling.
  std::int32_t TotalOps(std::int32_t First);
  void PerformOperation();
  void NeedStack(std::int32_t Count);
  bool NeedExecute();
  void OpWasLoaded();
  // The current level's record; an index outside the levels is a defect.
  TLevelInfo& Level();
  [[noreturn, gnu::cold, gnu::noinline]] void NoLevel() const;
  // Enters a value just pushed onto the x87 stack into Slots[0] (Order = Depth);
  // the caller then counts it with OpWasLoaded.
  void PushModel(TSlotKey Key);
  // Removes ST0 from the model; the values above it move down one position.
  void PopModel();

  // Tree compilation.
  // Compiles tree TreeIndex of FTrees as a new operation group of the current
  // level: its value ends at position Dest of the level's x87 stack, or, with
  // Store, is stored as Precision into the frame slot Dest when complete.
  void CompileTree(std::int32_t TreeIndex, std::int32_t Dest, TOpType Precision, bool Store);
  // Compiles Node and everything below it into the current level.
  void CompileLeaf(TTreeNode* Node);
  // The common values, each on its level into its temporary, before the
  // expression that loads them.
  void CompileCommonValues();
  // Compiles Root on the current (empty) level and stores its value into
  // the extended temporary Temp (without the level's Pushed); returns where
  // the store is in the code.
  std::size_t ComputeAhead(TTreeNode* Root, std::int32_t Temp);
  // Loads a common value: a copy of the register that holds it, or its temporary.
  void LoadCommon(std::int32_t Index);
  // A conditional on its (empty) level: the condition, a jump past the
  // branch it does not pick, and each branch on a stack of levels of its
  // own placed in line; the value ends in ST0, outside the model.
  void CompileConditional(TTreeNode* Node);
  // One branch with its levels, its value left in ST0; its code in bytes
  // (writing pass: as the sizing pass measured it).
  void CompileBranch(TTreeNode* Root, std::int32_t TopLevel);
  std::int32_t BranchBytes(std::size_t Index) const;
  // Emits a call leaf (arguments, call, result): the result is left in ST0,
  // or, for a flushed leaf, in a frame temporary of its result type.
  void CallFunction(TTreeNode* Node);

  // Function calls. Offsets of argument slots are relative to the base of
  // the current level; the level's Pushed is added when they are addressed.
  // Assigns the argument to the register Next when it qualifies; true if so.
  bool SendToReg(const TCallArg& Arg, const TVarDef& Def, TToRegs& Regs, TPushed& Next);
  // Computes one argument into the register Where, or into its slot at
  // Offset; returns where the value is now.
  TPushed PushPar(const TCallArg& Arg, const TVarDef& Def, TPushed Where, std::int32_t Offset);
  // Stores a value that PushPar left in EAX or EDX:EAX into its slot.
  void ProcessPar(TPushed Kind, TVarType VarType, std::int32_t Offset);
  // Orders and emits the register and x87-stack arguments.
  void SortRegs(TToRegs& Regs, TPushed Next);
  // Pushes the registers of the first Count entries not yet saved.
  void PushAll(TToRegs& Regs, std::int32_t Count);
  // True when evaluating the subtree calls a function in its own level.
  bool SearchFunc(const TTreeNode* Node) const;
  // The current level's last operation group; none is a defect.
  TOpGroup& LastGroup();
  void AppendGroup(std::int32_t Dest, TOpType Precision, bool Store, std::int32_t OpsLeft,
                   std::int32_t LeavesLeft);

  // Driver.
  // Steps 4 to 11 of a compilation: sizing pass, frame bases, one buffer of
  // the exact size, writing pass, check, then the routine replaces FCode.
  // CompileBody emits the expression's code in level 0 (both passes run it).
  void GenerateCode(const std::function<void()>& CompileBody);
  void StackWorks();

  // What differs between the targets (codegen/target_i386.cpp and
  // codegen/target_x86_64.cpp).
  // The call of a host routine at Address (i386: E8 rel32; x86-64: through R11).
  void EmitCallTo(const void* Address);
  // A variable's address into Where (pEAX, pEDX, pECX) or, for pMemory,
  // into the argument slot at Offset; returns where it is.
  TPushed LoadAddress(const void* Address, TPushed Where, std::int32_t Offset);
  // The alignment that an EBP frame gives ESP, and the bytes that a frame
  // without EBP reserves for Frame bytes of slots.
  std::int32_t FrameAlignment(std::int32_t BigSlots) const;
  std::int32_t PlainFrameBytes(std::int32_t Frame) const;
  // Data that the routine reads from its own block, after its code (x86-64:
  // the constant pool, reached RIP-relative).
  std::size_t BlockDataSize() const;
  void PlaceBlockData(std::uint8_t* Write, const std::uint8_t* Address, std::size_t CodeSize);

  std::string FExprString;
  TDiagnostic FDiagnostic;  // of the last compilation that ended with an error state
  std::int32_t FTemps4Max = 0, FTemps8Max = 0, FTemps16Max = 0;
  std::int32_t FTemps4 = 0, FTemps8 = 0, FTemps16 = 0;
  std::int32_t FSpilled = 0;
  std::int32_t FSpilledMax = 0;
  bool FWriting = false;
  // The levels: the expression's, 0 to FTopLevel, then those of the
  // branches being compiled. FLevel counts from FLevelBase, the level 0 of
  // the stack in use, which has FLevelCount levels; calls computed ahead
  // may use its levels up to FAheadTop. A deque: the levels of a branch
  // come and go while references to the others are held.
  std::deque<TLevelInfo> FLevels;
  std::int32_t FLevelBase = 0, FLevelCount = 0, FAheadTop = 0;
  // Each branch's levels as the sizing pass measured them, in the order
  // both passes compile the branches; FBranchCount: those of this pass.
  std::vector<std::vector<TLevelSize>> FBranchSizes;
  std::size_t FBranchCount = 0;
  // A level's bytes once the frame bases are known.
  std::int64_t SizeWithBases(const TLevelSize& S) const;
  std::vector<TIntInfo> FIntInfo;
  // Common values of this pass: their temporaries (without any level's
  // Pushed) and what the routine does with them.
  std::vector<std::int32_t> FCommonTemps;
  std::vector<TReusedValue> FReused;
  std::vector<TReusedValue> FReusedInRoutine;

 private:
  void RunPass(const std::function<void()>& CompileBody);
  // Level records come back empty but keep their buffers; between
  // compilations they wait in FParkedLevels, so FLevels is empty then.
  static void ClearLevel(TLevelInfo& L);
  void ResetLevels(std::size_t Count);
  void ParkLevels();
  // No routine: CodeBytes is the single RET, Evaluate gives a quiet NaN.
  void UseNoRoutine();
  // The compilation itself; Compile adds what holds on every way out of it.
  void CompileText();
  // Compile, SetExprString or Evaluate inside the component's own compilation.
  void Reentered();
  static Extended FENNIC_ROUTINE_ABI EvaluateWhileCompiling(void* Self);
  std::int32_t FindKey(TSlotKey Key);
  // Pieces of CompileLeaf.
  bool FirstIsRight(const TTreeNode* Node) const;
  void LoadLeaf(TTreeNode* Node);
  bool FoldSecond(TTreeNode* Second, std::uint8_t& Command, TAddress& Operand);
  void MemoryCommandDone();
  void CheckDisplacement(std::int32_t Displacement) const;
  // Pieces of the call sequences. Calls nest as deep as the text does, and
  // the functions on that recursion keep small frames: what a call holds
  // lives on the heap (TCallPlan), and what does not recurse is done by the
  // helpers kept out of line.
  struct TCallPlan;
  void CompileCall(TTreeNode* Node);
  [[gnu::noinline]] void FinishCall(TCallPlan& Plan, TTreeNode* Node, std::int32_t Base, std::int32_t Written);
  // Steps every call shares once its arguments are placed: the queued
  // commands of the arguments performed, room made on the x87 stack, the x87
  // arguments arranged and handed over.
  void PrepareCall(TCallPlan& Plan, TTreeNode* Node);
  // A call computed ahead stores its result and leaves its level.
  void DeliverResult(const TFunction& Func, TTreeNode* Node);
  // A call of a routine by the target's own convention (x86-64: System V,
  // for every convention but ctBuilt_in), from the arguments to the result
  // in ST0 or EAX (EDX:EAX); false where the sequence of inline code serves
  // every convention (i386).
  bool CompileHostCall(TCallPlan& Plan, TTreeNode* Node);
  // Pieces of a System V call (x86-64): an argument register loaded from its
  // staged slot at [RSP+Staged], or straight from the argument when Staged
  // is -1; the result moved to where inline code leaves it.
  void LoadIntArgument(std::uint8_t Reg, const TCallArg& Arg, const TVarDef& Def, std::int32_t Staged);
  void LoadVectorArgument(std::uint8_t Reg, const TCallArg& Arg, const TVarDef& Def, std::int32_t Staged);
  void TakeHostResult(TFuncResult Result);
  // MOVSX / MOVZX of register Reg to 32 bits by a parameter narrower than 32 bits.
  void WidenToParameter(std::uint8_t Reg, TVarType Param);
  // An integer argument that is a variable of exactly Type, not negated.
  bool IsVariableOfType(const TTreeNode* Par, TVarType Type) const;
  void LoadRegister(TToRegs& Regs, std::int32_t& Loaded);
  TPushed PushInteger(TTreeNode* Node, const TVarDef& Def, TPushed Where, std::int32_t Offset);
  TPushed PushFloat(std::int32_t TreeIndex, TVarType VarType, std::int32_t Offset);
  [[gnu::noinline]] TFuncResult ResultOf(const TTreeNode* Node) const;
  [[gnu::noinline]] void LoadIntegerResult(TVarType VarType);
  [[gnu::noinline]] std::int32_t OrderArguments(TToRegs& Regs, std::int32_t Count);
  [[gnu::noinline]] void PopSaved(TToRegs& Regs, std::int32_t Loaded);
  [[gnu::noinline]] TPushed PushAddress(const TCallArg& Arg, TPushed Where, std::int32_t Offset);
  [[gnu::noinline]] TPushed PushNumber(const TTreeNode* Node, const TVarDef& Def, TPushed Where, std::int32_t Offset);
  [[gnu::noinline]] TPushed LoadVariable(const TTreeNode* Node, const TVarDef& Def, TPushed Where);
  [[gnu::noinline]] void Negate(TPushed Where);
  [[gnu::noinline]] TPushed AdaptResult(TFuncResult Result, TVarType VarType, TPushed Reg);
  [[gnu::noinline]] bool CopyVariable(const TTreeNode* Root, TVarType VarType, std::int32_t Offset);
  [[gnu::noinline]] TPushed WriteConstant(const TTreeNode* Root, TVarType VarType, std::int32_t Offset);
  void ArrangeX87Arguments(const TToRegs& Regs);
  void ConsumeX87Arguments(std::int32_t Count);
  // The node of an integer argument, the tree of a floating-point one.
  TTreeNode* ParNode(const TCallArg& Arg) const;
  TTreeNode* TreeOf(const TCallArg& Arg) const;
  void StoreRegAt(TPushed Reg, std::int32_t Displacement);
  void StoreImmAt(std::int32_t Displacement, std::int32_t Value);
  void AdjustEsp(bool Reserve, std::int32_t Bytes);

  bool FAutoCompile = true;
  // A compilation runs; a call of the component from inside it was refused.
  bool FCompiling = false;
  bool FReentered = false;
  // The routine: FCodeBlock when compiled, else the shared one-byte RET
  // (FRoutine then stands in for a routine, see UseNoRoutine).
  ExecutableBlock FCodeBlock;
  const std::uint8_t* FCodeStart = nullptr;
  TRoutine FRoutine = nullptr;  // what Evaluate calls: FCodeStart as a routine, or the stand-in
  std::size_t FCodeSize = 0;
  // Writing pass: where the new routine is written, where it will run, and
  // the end of each level's code in it.
  std::uint8_t* FOut = nullptr;
  const std::uint8_t* FOutAddress = nullptr;
  std::vector<std::int32_t> FLevelEnds;
  std::deque<TLevelInfo> FParkedLevels;
  // This pass calls a routine by the System V convention, whose stack must
  // be 16-byte aligned at the call (x86-64).
  bool FHostCalls = false;
  // Machine stack: the installed routine's need (StackNeed), and of this
  // pass the need and the deepest bytes any level's code pushed below the
  // frame.
  std::size_t FStackNeed = 0;
  std::size_t FPassStackNeed = 0;
  std::int32_t FPushedPeak = 0;
  // Records the current level's pushes, and Below bytes more (a CALL's
  // return address), as the deepest point when they are.
  void NotePushed(std::int32_t Below = 0);
  // Where the routine reads the constant pool and the double pairs
  // (x86-64: in its own block).
  std::array<const std::uint8_t*, 2> FBlockData{};
};

// Registers TFennic on the design-time palette page "VELTA".
FENNIC_API void Register();

}  // namespace fennic
