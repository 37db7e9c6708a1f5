// The simplifier: rewrites expression text into coded text, folds constants
// and records them in the constant table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fennic/core/export.h"
#include "fennic/core/ctrlblck.h"
#include "fennic/simplifier/diagnostic.h"

namespace fennic {

// The one fault of a compilation that is not an error code: adding up the
// constants of a sum raised an x87 exception (for instance the overflow of
// 1e4932+1e4932) that the compiling thread's control word leaves unmasked.
// It leaves Compile after the compilation's clean-up; the hardware never
// raises, so no SIGFPE reaches the host. Flags() holds the x87 exception
// flags that counted as the fault (status-word bit positions).
class FENNIC_API EFloatingPointFault : public std::runtime_error {
 public:
  explicit EFloatingPointFault(std::uint16_t Flags);
  std::uint16_t Flags() const { return FFlags; }

 private:
  std::uint16_t FFlags;
};

class FENNIC_API TSimpler : public TCtrlBlck {
 public:
  explicit TSimpler(TComponent* AOwner);
  ~TSimpler() override;
  std::string ClassName() const override { return "TSimpler"; }

  // Bounds of the bracket structure of a text (call brackets included); a
  // text beyond either gives eEdge without being analysed. MaxNesting bounds
  // the machine stack the descent uses; MaxNestedBytes, the bytes inside
  // brackets counted once per enclosing bracket, bounds its time (a 1 MB text
  // may lie 64 brackets deep, a 32 KB one 2000). The deepest text takes about
  // 2 MB of machine stack: some 0.5 KB per bracket, 1 KB per nested call.
  static constexpr std::int32_t MaxNesting = 2000;
  static constexpr std::int64_t MaxNestedBytes = std::int64_t{1} << 26;

  // True for every error state but eNone and eDomain.
  bool ErrorRaised() const { return FCompError != eNone && FCompError != eDomain; }

 protected:
  // Resets the error state and the constant table, then replaces S by its
  // coded text (empty when an error other than eDomain is raised).
  // Throws EFloatingPointFault (see there).
  void Simplify(std::string& S);

  // The error state of the last Simplify (or of a later stage) explained for
  // Original, the text that Simplify was given.
  TDiagnostic Diagnose(std::string_view Original) const;

  // Constant table. Entries are in marker order; ByteOffset and Index of
  // AddLittle and KillLittle describe the same place.
  std::string PushNum(Extended Value);
  Extended PopNum();
  void AddLittle(Extended Value, std::int32_t ByteOffset, std::int32_t Index);
  Extended KillLittle(std::int32_t ByteOffset, std::int32_t Index);
  // Drops every entry from Index on (whose bytes start at ByteOffset).
  void TruncateTable(std::int32_t ByteOffset, std::int32_t Index);
  // A place in the table; the entries between two places.
  struct TTableMark {
    std::int32_t Bytes, Index;
  };
  TTableMark TableMark() const { return {FConstBytes, static_cast<std::int32_t>(FConstSizes.size())}; }
  void DropTable(TTableMark From, TTableMark To);

  // The fault that folding raised (eDomain) is the first one of the text.
  // An operand that may be dropped is folded with the earlier fault set
  // aside, which then comes back unless the operand stays and faulted.
  struct TFaultMark {
    TError Error;
    std::size_t At, Length;
    std::int32_t Func;
    std::size_t Arg;
    bool AtCall;
  };
  TFaultMark SetFaultsAside();
  void RestoreFaults(const TFaultMark& M);
  void TakeFirstFault(const TFaultMark& Earlier);

  // Later stages descend each level of call nesting on the machine stack;
  // the nesting that the rewrite adds beyond the text's brackets is paid
  // for as it is made.
#if defined(__SANITIZE_ADDRESS__)
  static constexpr std::size_t NestedCallStack = 8 * 1024;
#else
  static constexpr std::size_t NestedCallStack = 2 * 1024;
#endif
  bool NestingHasRoom(std::size_t Added) const;
  struct TAddedNesting {
    std::size_t& Levels;
    const std::size_t Saved;
    TAddedNesting(std::size_t& L, std::size_t Added) : Levels(L), Saved(L) { Levels += Added; }
    ~TAddedNesting() { Levels = Saved; }
  };

  // The rewriter. Raw text arrives as views; positions are 0-based.
  // Expression: under grExtended the conditional, the logical operators and
  // the comparisons around the sums, else one sum (Simpler2).
  [[gnu::noinline]] std::string Expression(std::string_view S);
  // c ? a : b at the "?" and ":" outside brackets.
  [[gnu::noinline]] std::string Conditional(std::string_view S, std::size_t Question, std::size_t Colon);
  // A chain of || (Op '|') or && (Op '&').
  [[gnu::noinline]] std::string LogicalChain(std::string_view S, char Op);
  [[gnu::noinline]] std::string Comparisons(std::string_view S);
  // Begin..End of S through Level; an empty operand is eValExpected at Begin.
  std::string Operand(std::string_view S, std::size_t Begin, std::size_t End,
                      std::string (TSimpler::*Level)(std::string_view));
  // R as 1 or 0 (R != 0), for the operator at OpPos of S.
  std::string Truth(const std::string& R, std::string_view S, std::size_t OpPos);
  // The coded conditional C ? A : B for the operator at OpPos of S.
  std::string Choice(const std::string& C, const std::string& A, const std::string& B, std::string_view S,
                     std::size_t OpPos);
  std::string Simpler2(std::string_view S);
  std::string Simpler1(std::string_view S);
  void Simp1Jump(std::string_view S, std::size_t& Pos);
  std::string Term(std::string_view S, std::size_t& Pos);
  Extended FindFirstNum(std::string_view S);
  // Pieces of the above, kept apart so that the recursion's frames stay small.
  [[gnu::noinline]] Extended AppendTerm(std::string& T, const std::string& R, int& Neg);
  [[gnu::noinline]] Extended AppendFactor(std::string& T, const std::string& R, char Op, bool IsBracket);
  // Under grExtended: Term and the "^" that may follow it (right-associative,
  // a sign allowed after it). Powered tells whether a "^" was read.
  std::string Factor(std::string_view S, std::size_t& Pos, bool& Powered);
  // Base ^ Exponent (negated when Negate), both coded, the constants of Base
  // starting at table place (B, N); OpPos..End is the "^" and its exponent.
  [[gnu::noinline]] std::string Power(std::string_view S, std::size_t OpPos, std::size_t End, const std::string& Base,
                                      std::string Exponent, bool Negate, std::int32_t B, std::int32_t N);
  // The coded call of F on Args that an operator stands for, folded when
  // Constant; a fault while folding is placed on OpPos, Length of S.
  std::string OperatorCall(std::int32_t F, const std::string& Args, bool Constant, std::string_view S,
                           std::size_t OpPos, std::size_t Length);
  // The call of a comparison or "!" on the coded operands L (and R), folded
  // when they are constant; OpPos, Length: the operator in S.
  [[gnu::noinline]] std::string Logic(TLogicOp Op, const std::string& L, const std::string& R, std::string_view S,
                                      std::size_t OpPos, std::size_t Length);
  [[gnu::noinline]] std::string InlinePower(const std::string& Base, std::int64_t Exponent, std::int32_t B,
                                            std::int32_t N);
  [[gnu::noinline]] std::string NumberTerm(std::string_view S, std::size_t& Pos);
  [[gnu::noinline]] std::int32_t ReadName(std::string_view S, std::size_t& Pos, std::string& Coded);
  [[gnu::noinline]] std::string CallTerm(std::string_view S, std::size_t& Pos, std::int32_t F);

  // Call arguments and compile-time calls. A foldable function whose
  // arguments are all constant is called here, on the compiling thread and
  // under its x87 control word. A routine that faults (a signal such as
  // SIGSEGV, SIGBUS, SIGILL or SIGFPE, or an x87 exception that the control
  // word leaves unmasked) makes the call 0 and the error eDomain; the
  // compilation goes on. Host routines must not throw C++ exceptions: none
  // can pass through the call.
  std::string FuncPars(std::string_view ArgText, std::int32_t Code, bool& AllConst);
  std::string AnalysePar(std::string_view Arg, const TVarDef& Def, bool& IsConst);
  Extended CalculateFunc(const TFunction& Fn, std::string_view Args);
  // Pieces of the above: the parameters of a function; the value of a call
  // of F on the coded constant arguments Args when F is foldable (false
  // when it is not); the analysis of a by-reference and an integer argument.
  [[gnu::noinline]] const TAVarDef& ParamsOf(std::int32_t F) const;
  [[gnu::noinline]] bool FoldCall(std::int32_t F, std::string_view Args, Extended& Value);
  [[gnu::noinline]] std::string ReferenceArgument(std::string_view Arg, const TVarDef& Def);
  [[gnu::noinline]] std::string IntegerArgument(std::string_view Arg, const TVarDef& Def, bool& IsConst);
  [[gnu::noinline]] std::string IntegerCall(std::string_view Text, std::int32_t F, bool Minus, const TVarDef& Def,
                                            bool& IsConst);
  // FuncPars for a variadic function under grExtended: the coded arguments
  // of the outermost two-argument call, the inner calls nested in them (and
  // folded where both their arguments are constant).
  [[gnu::noinline]] std::string VariadicPars(std::string_view ArgText, std::int32_t F, bool& AllConst);

  // Records Code found at Pos of S, a view into the blank-less text, over
  // Length bytes. A later error replaces an earlier one; eDomain keeps the
  // first fault.
  [[gnu::cold, gnu::noinline]] void Fail(TError Code, std::string_view S, std::size_t Pos, std::size_t Length);
  // eParameter for a call of F; the position is recorded by the caller of
  // FuncPars, which knows where the call is written.
  [[gnu::cold, gnu::noinline]] void WrongCount(std::int32_t F);
  // Names the argument Index of F as the place of the error just raised
  // inside it, unless an inner call was named; returns the empty text.
  [[gnu::cold, gnu::noinline]] std::string ArgumentFailed(std::int32_t F, std::size_t Index);
  // eDomain on the call whose argument list is ArgText.
  [[gnu::cold, gnu::noinline]] void FaultAtCall(std::string_view ArgText);

  std::int32_t FConstIndex = 0;        // tree builder's cursor into the table
  TError FCompError = eNone;           // error state of the current compilation
  std::int32_t FConstBytes = 0;        // table: total bytes (builder: read offset)
  std::vector<std::uint8_t> FConstData;   // table: packed values
  std::vector<std::uint8_t> FConstSizes;  // table: width of each value (4, 8 or 10)

  // Where the error state was found, in the blank-less text of the last
  // Simplify (npos: nowhere known), and the call whose argument list it
  // concerns (FErrorFunc 0: none).
  std::string_view FText;
  std::size_t FErrorAt = std::string_view::npos;
  std::size_t FErrorLength = 0;
  std::int32_t FErrorFunc = 0;
  std::size_t FErrorArg = 0;
  bool FErrorAtCall = false;  // the count of the innermost call's arguments is wrong
  // Levels of nested calls that the variadic calls around the argument in
  // analysis add to the text's own nesting.
  std::size_t FAddedNesting = 0;
};

}  // namespace fennic
