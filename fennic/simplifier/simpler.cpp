// The simplification driver: a recursive descent over expression text in two
// levels (sums, terms) and factors, producing coded text with folded
// constants.
#include "fennic/simplifier/simpler.h"

#include "fennic/core/stackguard.h"
#include "fennic/core/codedtext.h"
#include "fennic/simplifier/hostcall.h"
#include "fennic/simplifier/numbers.h"
#include "fennic/core/x87guard.h"

namespace fennic {

EFloatingPointFault::EFloatingPointFault(std::uint16_t Flags)
    : std::runtime_error("x87 exception while adding up the constants of a sum"), FFlags(Flags) {}

TSimpler::TSimpler(TComponent* AOwner) : TCtrlBlck(AOwner) {}

TSimpler::~TSimpler() {
  FConstData.clear();
  FConstSizes.clear();
}

namespace {

bool IsSign(char c) { return c == '+' || c == '-'; }

// The largest integer exponent written out as multiplications; beyond it
// "^" calls pow.
constexpr std::int64_t MaxInlineExponent = 16;
// The coded bytes an in-line power may take; a longer one calls pow.
constexpr std::size_t MaxInlinePowerBytes = 4096;

// Operators after which the extended grammar reads a sign as part of the
// operand.
bool TakesSignedOperand(char c) { return c == '*' || c == '/' || c == '^' || c == '!'; }

bool IsEquality(TLogicOp Op) { return Op == TLogicOp::Equal || Op == TLogicOp::NotEqual; }

// Non-zero, NaN included, is true.
bool IsTrue(Extended V) { return V != 0 || V != V; }

// The function code of a coded text that is one call and nothing else; 0
// for any other text.
std::int32_t WholeCallCode(std::string_view R) {
  if (R.size() < 7 || R[0] != FuncMarker || R[5] != '(') return 0;
  std::size_t end = 5;
  return SkipBracketGroup(R, end) && end == R.size() ? ReadInt32(R, 1) : 0;
}

// A variable or a table constant, with or without its sign.
bool IsLeafText(std::string_view R) {
  if (!R.empty() && (R[0] == '+' || R[0] == '-')) R.remove_prefix(1);
  return !R.empty() && (R[0] == VarMarker || R[0] == ConstMarker) && ElementLength(R, 0) == R.size();
}

// A value of 1 or 0: a comparison or a logical not.
bool IsLogicValued(std::string_view R) {
  const std::int32_t code = WholeCallCode(R);
  return IsComparisonCode(code) || code == LogicFuncCode(TLogicOp::Not);
}

// A load or a comparison of loads: computed without a fault (nothing but
// loads, a sign and FUCOMI, which is quiet on a quiet NaN).
bool IsQuietOperand(std::string_view R) {
  if (IsLeafText(R)) return true;
  if (!IsComparisonCode(WholeCallCode(R))) return false;
  const std::string_view args = R.substr(6, R.size() - 7);
  const std::size_t comma = FindComma(args);
  return comma != std::string_view::npos && IsLeafText(args.substr(0, comma)) &&
         IsLeafText(args.substr(comma + 1));
}

// The operands of a coded call that is the whole of R.
std::vector<std::string_view> CallOperands(std::string_view R) {
  std::vector<std::string_view> operands;
  std::string_view args = R.substr(6, R.size() - 7);
  for (std::size_t comma; (comma = FindComma(args)) != std::string_view::npos; args.remove_prefix(comma + 1))
    operands.push_back(args.substr(0, comma));
  operands.push_back(args);
  return operands;
}

bool IsSelectCode(std::int32_t Code) {
  return Code == LogicFuncCode(TLogicOp::Select) ||
         (Code >= LogicFuncCode(TLogicOp::SelectLess) && Code <= LogicFuncCode(TLogicOp::SelectNotEqual));
}

// A branch cheap and quiet enough to be computed whether or not it is
// taken, so that the conditional may pick by FCMOV rather than by a jump:
// a quiet operand, or a choice by FCMOV between quiet operands.
bool IsCheapBranch(std::string_view R) {
  if (IsQuietOperand(R)) return true;
  if (!IsSelectCode(WholeCallCode(R))) return false;
  for (std::string_view operand : CallOperands(R))
    if (!IsQuietOperand(operand)) return false;
  return true;
}

// A comparison operator outside brackets.
struct TComparisonCut {
  std::size_t Pos, Length;
  TLogicOp Op;
};

std::vector<TComparisonCut> ComparisonCuts(std::string_view S) {
  std::vector<TComparisonCut> cuts;
  long depth = 0;
  for (std::size_t i = 0; i < S.size(); ++i) {
    const char c = S[i];
    const bool eq = i + 1 < S.size() && S[i + 1] == '=';
    if (c == '(' || c == ')') {
      depth += c == '(' ? 1 : -1;
      continue;
    }
    if (depth != 0) continue;
    if (c == '<') cuts.push_back({i, eq ? 2u : 1u, eq ? TLogicOp::LessEqual : TLogicOp::Less});
    else if (c == '>') cuts.push_back({i, eq ? 2u : 1u, eq ? TLogicOp::GreaterEqual : TLogicOp::Greater});
    else if ((c == '=' || c == '!') && eq) cuts.push_back({i, 2, c == '=' ? TLogicOp::Equal : TLogicOp::NotEqual});
    else continue;
    i += cuts.back().Length - 1;
  }
  return cuts;
}

// The work the descent would do on S. Each bracket level (a call's brackets
// included) costs a few frames of machine stack and a few passes over the
// bracket's contents, so both the deepest nesting and the bytes that lie
// inside brackets, counted once per enclosing bracket, are bounded.
bool NestingWithinBounds(std::string_view S) {
  std::uint64_t depth = 0, nestedBytes = 0;
  for (char c : S) {
    if (c == '(') {
      if (++depth > static_cast<std::uint64_t>(TSimpler::MaxNesting)) return false;
    } else if (c == ')' && depth > 0) {
      --depth;
    }
    nestedBytes += depth;
  }
  return nestedBytes <= static_cast<std::uint64_t>(TSimpler::MaxNestedBytes);
}

// A blank that stays (between two identifier characters) leads to
// eOpExpected or eType later.
std::string WithoutBlanks(std::string_view S) {
  std::string text;
  text.reserve(S.size());
  StripBlanks(S, [&text](char c, std::size_t) { text += c; });
  return text;
}

// The start of the name that ends at End of S.
std::size_t NameStart(std::string_view S, std::size_t End) {
  while (End > 0 && IsIdentChar(S[End - 1])) --End;
  return End;
}

// Bytes of the name or literal at Pos of S; 1 for anything else.
std::size_t TokenLength(std::string_view S, std::size_t Pos) {
  std::size_t end = Pos;
  while (end < S.size() && (IsIdentChar(S[end]) || S[end] == '.')) ++end;
  return end > Pos ? end - Pos : 1;
}

// Adds up the constants of a sum. Not an error code when it faults: the
// fault leaves the compilation as EFloatingPointFault.
Extended SumStep(TX87Op Op, Extended Sum, Extended V) {
  Extended result;
  if (std::uint16_t faults = GuardedOp(Op, Sum, V, result)) throw EFloatingPointFault(faults);
  return result;
}

}  // namespace

void TSimpler::Fail(TError Code, std::string_view S, std::size_t Pos, std::size_t Length) {
  FCompError = Code;
  const auto at = reinterpret_cast<std::uintptr_t>(S.data()) + Pos;
  const auto begin = reinterpret_cast<std::uintptr_t>(FText.data());
  if (S.data() != nullptr && at >= begin && at <= begin + FText.size()) {
    FErrorAt = at - begin;
    FErrorLength = Length;
  } else {
    FErrorAt = std::string_view::npos;
    FErrorLength = 0;
  }
}

void TSimpler::Simplify(std::string& S) {
  // Comparisons and conversions of the folding trap on nothing the host
  // unmasked; the guarded folds judge faults by the host's control word.
  TX87Entry x87;
  THostCallSession calls;  // compile-time calls of this text
  FCompError = eNone;
  FErrorAt = std::string_view::npos;
  FErrorLength = 0;
  FErrorFunc = 0;
  FErrorArg = 0;
  FErrorAtCall = false;
  FConstBytes = 0;
  FConstData.clear();
  FConstSizes.clear();
  std::string text = WithoutBlanks(S);
  S.clear();
  if (!NestingWithinBounds(text)) {
    FCompError = eEdge;
    return;
  }
  // Every view the descent reads lies in text; positions are taken from it.
  struct TTextScope {
    std::string_view& Text;
    ~TTextScope() { Text = {}; }
  } scope{FText = text};
  if (const std::size_t nul = text.find('\0'); nul != std::string::npos) {
    // Where an operand ends an operator is due, elsewhere an operand.
    const char before = nul > 0 ? text[nul - 1] : 0;
    Fail(IsIdentChar(before) || before == '.' || before == ')' ? eOpExpected : eValExpected, text, nul, 1);
    return;
  }
  TStackEntry stack;  // where the descent's stack budget is measured from
  std::string coded = Expression(text);
  if (!ErrorRaised()) S = std::move(coded);
}

// The descent takes the loosest operator outside brackets: the first "?"
// (with the ":" that matches it), else || or &&, else the comparisons.
// This frame is on the descent's path through every bracket, and stays
// small.
std::string TSimpler::Expression(std::string_view S) {
  if (Grammar() != grExtended) return Simpler2(S);
  std::size_t question = std::string_view::npos, colon = std::string_view::npos;
  bool orCut = false, andCut = false;
  long depth = 0, open = 0;
  for (std::size_t i = 0; i < S.size() && colon == std::string_view::npos; ++i) {
    const char c = S[i];
    if (c == '(' || c == ')') depth += c == '(' ? 1 : -1;
    else if (depth != 0) continue;
    else if (c == '?' && open++ == 0) question = i;
    else if (c == ':' && open > 0 && --open == 0) colon = i;
    else if ((c == '|' || c == '&') && i + 1 < S.size() && S[i + 1] == c) (c == '|' ? orCut : andCut) = true;
  }
  if (question != std::string_view::npos) return Conditional(S, question, colon);
  if (orCut) return LogicalChain(S, '|');
  if (andCut) return LogicalChain(S, '&');
  return Comparisons(S);
}

// c ? a : b, right-associative: a and b may hold conditionals of their own.
std::string TSimpler::Conditional(std::string_view S, std::size_t question, std::size_t colon) {
  if (colon == std::string_view::npos) {
    Fail(eOpExpected, S, question, 1);
    return {};
  }
  // The operands of a conditional lie one call deeper.
  if (!StackHasRoom() || !NestingHasRoom(1)) {
    Fail(eEdge, {}, 0, 0);
    return {};
  }
  const TAddedNesting nesting(FAddedNesting, 1);
  const TTableMark start = TableMark();
  std::string c = Operand(S, 0, question, &TSimpler::Expression);
  if (ErrorRaised()) return {};
  const TTableMark afterC = TableMark();
  const TFaultMark beforeA = SetFaultsAside();
  std::string a = Operand(S, question + 1, colon, &TSimpler::Expression);
  if (ErrorRaised()) return {};
  const TTableMark afterA = TableMark();
  const TFaultMark ofA = SetFaultsAside();
  std::string b = Operand(S, colon + 1, S.size(), &TSimpler::Expression);
  if (ErrorRaised()) return {};
  if (!IsTableConstant(c) || afterC.Index != start.Index + 1) {
    TakeFirstFault(ofA);
    TakeFirstFault(beforeA);
    return Choice(c, a, b, S, question);
  }
  // A constant condition keeps the branch it picks, with its constants;
  // what folding the other one raised does not count.
  const std::int32_t w = afterC.Bytes - start.Bytes;
  const Extended v = KillLittle(start.Bytes, start.Index);
  if (IsTrue(v)) {
    TruncateTable(afterA.Bytes - w, afterA.Index - 1);
    RestoreFaults(ofA);
    TakeFirstFault(beforeA);
    return a;
  }
  DropTable({afterC.Bytes - w, afterC.Index - 1}, {afterA.Bytes - w, afterA.Index - 1});
  TakeFirstFault(beforeA);
  return b;
}

// Left-associative. a || b is a ? 1 : (b != 0) and a && b is a ? (b != 0)
// : 0, each constant in its place of the table. A constant left operand
// decides at once; the right one stays only when it is needed.
std::string TSimpler::LogicalChain(std::string_view S, char Op) {
  // The operands hold no looser operator: Expression takes them on.
  const auto next = &TSimpler::Expression;
  std::vector<std::size_t> cuts;
  long depth = 0;
  for (std::size_t i = 0; i + 1 < S.size(); ++i) {
    if (S[i] == '(' || S[i] == ')') depth += S[i] == '(' ? 1 : -1;
    else if (depth == 0 && S[i] == Op && S[i + 1] == Op) cuts.push_back(i++);
  }
  // Each link nests the chain before it one call deeper, and the test of
  // its right operand one more.
  if (!StackHasRoom() || !NestingHasRoom(cuts.size() + 1)) {
    Fail(eEdge, {}, 0, 0);
    return {};
  }
  const TAddedNesting nesting(FAddedNesting, cuts.size() + 1);
  std::string all = Operand(S, 0, cuts[0], next);
  for (std::size_t k = 0; k < cuts.size() && !ErrorRaised(); ++k) {
    const TTableMark afterLeft = TableMark();
    const TFaultMark earlier = SetFaultsAside();
    const std::size_t end = k + 1 < cuts.size() ? cuts[k + 1] : S.size();
    std::string R = Operand(S, cuts[k] + 2, end, next);
    if (ErrorRaised()) return {};
    if (!IsTableConstant(all)) {
      TakeFirstFault(earlier);
      std::string truth = Truth(R, S, cuts[k]);
      if (Op == '|') {
        AddLittle(1, afterLeft.Bytes, afterLeft.Index);
        all = Choice(all, std::string(1, ConstMarker), truth, S, cuts[k]);
      } else {
        std::string zero = PushNum(0);
        all = Choice(all, truth, zero, S, cuts[k]);
      }
      continue;
    }
    const std::int32_t w = FConstSizes[static_cast<std::size_t>(afterLeft.Index - 1)];
    const Extended v = KillLittle(afterLeft.Bytes - w, afterLeft.Index - 1);
    if (IsTrue(v) == (Op == '|')) {
      // true || b and false && b: b is never needed.
      TruncateTable(afterLeft.Bytes - w, afterLeft.Index - 1);
      RestoreFaults(earlier);
      all = PushNum(Op == '|' ? 1 : 0);
    } else {
      TakeFirstFault(earlier);
      all = Truth(R, S, cuts[k]);
    }
  }
  return ErrorRaised() ? std::string() : all;
}

std::string TSimpler::Operand(std::string_view S, std::size_t Begin, std::size_t End,
                              std::string (TSimpler::*Level)(std::string_view)) {
  if (End == Begin) {
    // The token that stands where the operand is due.
    Fail(eValExpected, S, Begin, Begin < S.size() ? 1 : 0);
    return {};
  }
  return (this->*Level)(S.substr(Begin, End - Begin));
}

std::string TSimpler::Truth(const std::string& R, std::string_view S, std::size_t OpPos) {
  if (IsLogicValued(R)) return R;
  return Logic(TLogicOp::NotEqual, R, PushNum(0), S, OpPos, 2);
}

std::string TSimpler::Choice(const std::string& C, const std::string& A, const std::string& B, std::string_view S,
                             std::size_t OpPos) {
  const std::size_t length = S[OpPos] == '?' ? 1 : 2;
  if (!IsCheapBranch(A) || !IsCheapBranch(B))
    return OperatorCall(LogicFuncCode(TLogicOp::Conditional), C + ',' + A + ',' + B, false, S, OpPos, length);
  // A comparison is compared in place: its operands go to the Select.
  const std::int32_t code = WholeCallCode(C);
  if (!IsComparisonCode(code))
    return OperatorCall(LogicFuncCode(TLogicOp::Select), C + ',' + A + ',' + B, false, S, OpPos, length);
  std::string args(std::string_view(C).substr(6, C.size() - 7));
  return OperatorCall(SelectByComparison(code), args + ',' + A + ',' + B, false, S, OpPos, length);
}

TSimpler::TFaultMark TSimpler::SetFaultsAside() {
  TFaultMark m{FCompError, FErrorAt, FErrorLength, FErrorFunc, FErrorArg, FErrorAtCall};
  if (FCompError == eDomain) FCompError = eNone;
  return m;
}

void TSimpler::RestoreFaults(const TFaultMark& M) {
  FCompError = M.Error;
  FErrorAt = M.At;
  FErrorLength = M.Length;
  FErrorFunc = M.Func;
  FErrorArg = M.Arg;
  FErrorAtCall = M.AtCall;
}

void TSimpler::TakeFirstFault(const TFaultMark& Earlier) {
  if (Earlier.Error == eDomain) RestoreFaults(Earlier);
}

void TSimpler::DropTable(TTableMark From, TTableMark To) {
  FConstData.erase(FConstData.begin() + From.Bytes, FConstData.begin() + To.Bytes);
  FConstSizes.erase(FConstSizes.begin() + From.Index, FConstSizes.begin() + To.Index);
  FConstBytes -= To.Bytes - From.Bytes;
}

// Left-associative; a group of < <= > >= binds tighter than == and !=.
std::string TSimpler::Comparisons(std::string_view S) {
  const std::vector<TComparisonCut> cuts = ComparisonCuts(S);
  if (cuts.empty()) return Simpler2(S);
  std::string all, group;
  std::size_t start = 0;
  const TComparisonCut* equality = nullptr;  // the == or != before the group
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t end = k < cuts.size() ? cuts[k].Pos : S.size();
    if (end == start) {
      Fail(eValExpected, S, start, 0);
      return {};
    }
    std::string R = Simpler2(S.substr(start, end - start));
    if (ErrorRaised()) return {};
    if (k == 0 || IsEquality(cuts[k - 1].Op)) group = std::move(R);
    else group = Logic(cuts[k - 1].Op, group, R, S, cuts[k - 1].Pos, cuts[k - 1].Length);
    if (k == cuts.size() || IsEquality(cuts[k].Op)) {
      // The group ends: it is the right operand of the == or != before it.
      if (!equality) all = std::move(group);
      else all = Logic(equality->Op, all, group, S, equality->Pos, equality->Length);
      if (k < cuts.size()) equality = &cuts[k];
    }
    if (ErrorRaised()) return {};
    if (k < cuts.size()) start = cuts[k].Pos + cuts[k].Length;
  }
  return all;
}

std::string TSimpler::Logic(TLogicOp Op, const std::string& L, const std::string& R, std::string_view S,
                            std::size_t OpPos, std::size_t Length) {
  const std::int32_t F = LogicFuncCode(Op);
  std::string args = L;
  if (Op != TLogicOp::Not) {
    args += ',';
    args += R;
  }
  return OperatorCall(F, args, IsTableConstant(L) && (Op == TLogicOp::Not || IsTableConstant(R)), S, OpPos,
                      Length);
}

std::string TSimpler::OperatorCall(std::int32_t F, const std::string& Args, bool Constant, std::string_view S,
                                   std::size_t OpPos, std::size_t Length) {
  Extended value;
  const bool faulted = FCompError == eDomain;
  if (Constant && FoldCall(F, Args, value)) {
    if (!faulted && FCompError == eDomain) Fail(eDomain, S, OpPos, Length);
    return PushNum(value);
  }
  std::string coded = MarkerWithCode(FuncMarker, F);
  coded += '(';
  coded += Args;
  coded += ')';
  return coded;
}

// One sum. NaN compares unequal to everything here, so a NaN constant is
// kept and propagates like any other value.
std::string TSimpler::Simpler2(std::string_view S) {
  std::string T;
  Extended Sum = 0;
  const std::int32_t B = FConstBytes;
  const auto N = static_cast<std::int32_t>(FConstSizes.size());
  if (S.empty()) {
    Fail(eValExpected, S, 0, 0);
    return {};
  }
  // Each sum inside brackets or arguments is a level of the descent.
  if (!StackHasRoom()) {
    Fail(eEdge, {}, 0, 0);
    return {};
  }
  std::size_t pos = 0;
  while (pos < S.size()) {
    int neg = 0;
    for (; pos < S.size() && IsSign(S[pos]); ++pos)
      if (S[pos] == '-') ++neg;
    const std::size_t start = pos;
    Simp1Jump(S, pos);
    std::string R = Simpler1(S.substr(start, pos - start));
    if (ErrorRaised()) return {};
    const Extended V = AppendTerm(T, R, neg);
    if (neg % 2 != 0) {
      if (Sum == 0) Sum = -V;
      else if (V != 0) Sum = SumStep(TX87Op::Sub, Sum, V);
    } else {
      if (Sum == 0) Sum = V;
      else if (V != 0) Sum = SumStep(TX87Op::Add, Sum, V);
    }
  }
  if (Sum == 0 && !T.empty()) {
    if (T[0] == '+') T.erase(0, 1);
  } else {
    AddLittle(Sum, B, N);
    T.insert(0, 1, ConstMarker);
  }
  return T;
}

// Appends the coded term R, read after `Neg` minus signs, to the sum T and
// returns its constant: all of R when it folded completely, or the leading
// constant of a bracket that dissolves into the sum. Neg counts a "-" that
// leads R.
Extended TSimpler::AppendTerm(std::string& T, const std::string& R, int& Neg) {
  if (IsTableConstant(R)) return PopNum();
  Extended V = 0;
  std::string_view r = R;
  if (!r.empty() && r[0] == '-') {
    ++Neg;
    r.remove_prefix(1);
  }
  if (EliminateBrackets() != ebStandart && !r.empty() && r[0] == '(' && WholeBracket(r)) {
    std::size_t k = 1;
    if (r.size() > 2 && r[1] == ConstMarker && ElementLength(r, 1) == 1 && IsSign(r[2])) {
      V = FindFirstNum(r.substr(1, r.size() - 2));
      k = 2;
    }
    AppendFlipSigns(T, r.substr(k, r.size() - 1 - k), Neg % 2 != 0);
  } else {
    T += Neg % 2 != 0 ? '-' : '+';
    T += r;
  }
  return V;
}

void TSimpler::Simp1Jump(std::string_view S, std::size_t& Pos) {
  long depth = 0;
  std::size_t open = 0;  // the outermost bracket not yet closed
  const bool signedOperands = Grammar() == grExtended;
  while (Pos < S.size()) {
    const char c = S[Pos];
    if (signedOperands && IsSign(c) && Pos > 0 && TakesSignedOperand(S[Pos - 1])) {
      // The operand's signs belong to the term.
      while (Pos < S.size() && IsSign(S[Pos])) ++Pos;
      continue;
    }
    if (depth <= 0 && IsSign(c)) break;
    if ((IsDigit(c) || c == '.') && (Pos == 0 || !IsIdentChar(S[Pos - 1]))) {
      // A literal is taken whole: the sign of its exponent ends no term.
      ScanNumber(S, Pos);
      continue;
    }
    if (c == '(' && depth++ == 0) open = Pos;
    else if (c == ')') --depth;
    ++Pos;
  }
  if (depth > 0) Fail(eEdge, S, open, 1);
}

// One term. A factor that faults while folding makes the whole term the
// constant 0 (eDomain, like a faulting compile-time call); the rest of the
// term is still read, so that its text errors are reported.
std::string TSimpler::Simpler1(std::string_view S) {
  std::string T;
  Extended Prod = 1;
  const std::int32_t B = FConstBytes;
  const auto N = static_cast<std::int32_t>(FConstSizes.size());
  bool faulted = false;
  std::size_t pos = 0;
  for (bool first = true; first || pos < S.size(); first = false) {
    char op = '*';
    const std::size_t opPos = pos;
    if (!first) {
      op = S[pos];
      if (op != '*' && op != '/') {
        // A blank that stayed separates two names: the second is the cause.
        const std::size_t at = op == ' ' ? pos + 1 : pos;
        Fail(eOpExpected, S, at, TokenLength(S, at));
        return {};
      }
      ++pos;
    }
    const bool isMul = op == '*';
    bool negate = false;
    if (!first && Grammar() == grExtended)
      for (; pos < S.size() && IsSign(S[pos]); ++pos) negate ^= S[pos] == '-';
    const bool isBracket = pos < S.size() && S[pos] == '(';
    bool powered = false;
    // The standard grammar's descent keeps its frames: no Factor between.
    std::string R = Grammar() == grExtended ? Factor(S, pos, powered) : Term(S, pos);
    if (ErrorRaised()) return {};
    Extended V = AppendFactor(T, R, op, isBracket && !powered);
    // A sign after the operator folds into the term's constant.
    if (negate) V = -V;
    if (faulted) continue;
    std::uint16_t faults = 0;
    if (isMul) {
      if (Prod == 1) Prod = V;
      else if (Prod == -1) Prod = -V;
      else if (V != 1) faults = GuardedOp(TX87Op::Mul, Prod, V, Prod);
    } else if (V != 1) {
      faults = GuardedOp(TX87Op::Div, Prod, V, Prod);
    }
    if (faults) {
      if (FCompError != eDomain) Fail(eDomain, S, opPos, pos - opPos);
      faulted = true;
    }
  }
  if (faulted) {
    TruncateTable(B, N);
    return PushNum(0);
  }
  if (Prod == 1 && !T.empty() && T[0] == '*') {
    T.erase(0, 1);
  } else if (Prod == -1 && !T.empty() && T[0] == '*') {
    T[0] = '-';
  } else {
    AddLittle(Prod, B, N);
    T.insert(0, 1, ConstMarker);
  }
  return T;
}

// Appends the coded factor R, read after the operator Op, to the term T and
// returns its constant: all of R when it folded completely, or the sign and
// leading constant of a bracket that dissolves into the term (a bracket
// around one negated product always does).
Extended TSimpler::AppendFactor(std::string& T, const std::string& R, char Op, bool IsBracket) {
  if (IsTableConstant(R)) return PopNum();
  const bool isMul = Op == '*';
  const bool minus = !R.empty() && R[0] == '-';
  const std::string_view body = std::string_view(R).substr(minus ? 1 : 0);
  const bool unwrap = EliminateBrackets() != ebStandart;
  if (!IsBracket) {
    T += Op;
    T += R;
    return 1;
  }
  if (!(unwrap && HasNoTopLevelSign(R)) && !(minus && HasNoTopLevelSign(body))) {
    T += Op;
    T += '(';
    T += R;
    T += ')';
    return 1;
  }
  Extended V = minus ? -1 : 1;
  if (!body.empty() && body[0] == ConstMarker && ElementLength(body, 0) == 1) {
    V = FindFirstNum(R);
    const std::string_view rest = body.substr(1);
    if (isMul) T += rest;
    else AppendFlipMulDiv(T, rest);
  } else {
    T += Op;
    if (isMul) T += body;
    else AppendFlipMulDiv(T, body);
  }
  return V;
}

std::string TSimpler::Term(std::string_view S, std::size_t& Pos) {
  if (Pos >= S.size()) {
    Fail(eValExpected, S, Pos, 0);
    return {};
  }
  const char c = S[Pos];
  if (c == '(') {
    const std::size_t start = Pos;
    const bool closed = SkipBracketGroup(S, Pos);
    if (ErrorRaised()) return {};
    if (!closed) {
      Fail(eEdge, S, start, 1);
      return {};
    }
    const std::string_view inner = S.substr(start + 1, Pos - start - 2);
    std::string R = Grammar() == grExtended ? Expression(inner) : Simpler2(inner);
    if (ErrorRaised()) return {};
    return R;
  }
  if (IsDigit(c)) return NumberTerm(S, Pos);
  if (IsIdentStart(c)) {
    std::string coded;
    const std::int32_t F = ReadName(S, Pos, coded);
    if (F == 0) return coded;
    return CallTerm(S, Pos, F);
  }
  Fail(eValExpected, S, Pos, 1);
  return {};
}

std::string TSimpler::Factor(std::string_view S, std::size_t& Pos, bool& Powered) {
  if (Grammar() == grExtended && Pos < S.size() && S[Pos] == '!') {
    // A unary operator: the signs and the factor after it are its operand.
    if (!StackHasRoom()) {
      Fail(eEdge, {}, 0, 0);
      return {};
    }
    const std::size_t opPos = Pos++;
    bool negate = false;
    for (; Pos < S.size() && IsSign(S[Pos]); ++Pos) negate ^= S[Pos] == '-';
    std::string R = Factor(S, Pos, Powered);
    if (ErrorRaised()) return {};
    Powered = true;  // no bracket of its own to dissolve
    if (negate) R = IsTableConstant(R) ? PushNum(-PopNum()) : "-(" + R + ")";
    return Logic(TLogicOp::Not, R, {}, S, opPos, 1);
  }
  const std::int32_t B = FConstBytes;
  const auto N = static_cast<std::int32_t>(FConstSizes.size());
  std::string R = Term(S, Pos);
  Powered = false;
  if (Grammar() != grExtended || ErrorRaised() || Pos >= S.size() || S[Pos] != '^') return R;
  Powered = true;
  // Each "^" of a chain is a level of the descent.
  if (!StackHasRoom()) {
    Fail(eEdge, {}, 0, 0);
    return {};
  }
  const std::size_t opPos = Pos++;
  bool negate = false;
  for (; Pos < S.size() && IsSign(S[Pos]); ++Pos) negate ^= S[Pos] == '-';
  bool inner = false;
  std::string E = Factor(S, Pos, inner);
  if (ErrorRaised()) return {};
  return Power(S, opPos, Pos, R, std::move(E), negate, B, N);
}

std::string TSimpler::Power(std::string_view S, std::size_t OpPos, std::size_t End, const std::string& Base,
                            std::string Exponent, bool Negate, std::int32_t B, std::int32_t N) {
  const bool constBase = IsTableConstant(Base);
  if (IsTableConstant(Exponent)) {
    Extended e = PopNum();
    if (Negate) e = -e;
    Negate = false;
    // The range first: converting a value beyond int64 is undefined.
    if (e >= -MaxInlineExponent && e <= MaxInlineExponent &&
        e == static_cast<Extended>(static_cast<std::int64_t>(e))) {
      const auto n = static_cast<std::int64_t>(e);
      if (!constBase) {
        std::string coded = InlinePower(Base, n, B, N);
        if (!coded.empty()) return coded;
      } else {
        // Folded as the in-line code computes it: left to right, then one
        // division for a negative exponent.
        const Extended b = PopNum();
        Extended p = 1;
        std::uint16_t faults = 0;
        if (n != 0) {
          p = b;
          for (std::int64_t k = 1; k < (n < 0 ? -n : n) && !faults; ++k) faults = GuardedOp(TX87Op::Mul, p, b, p);
          if (n < 0 && !faults) faults = GuardedOp(TX87Op::Div, 1, p, p);
        }
        if (faults) {
          if (FCompError != eDomain) Fail(eDomain, S, OpPos, End - OpPos);
          p = 0;
        }
        return PushNum(p);
      }
    }
    Exponent = PushNum(e);
  }
  const std::int32_t F = FuncCode("pow");
  if (F == 0) {
    Fail(eUnknown, S, OpPos, 1);
    return {};
  }
  const TAVarDef& params = ParamsOf(F);
  if (params.size() != 2 || !IsFloatType(params[0].VarType) || !IsFloatType(params[1].VarType) ||
      params[0].PushStyle == psReference || params[1].PushStyle == psReference) {
    Fail(eParameter, S, OpPos, 1);
    return {};
  }
  std::string args = Base;
  args += ',';
  if (Negate) args += "-(" + Exponent + ")";
  else args += Exponent;
  return OperatorCall(F, args, constBase && IsTableConstant(Exponent), S, OpPos, End - OpPos);
}

// Base^Exponent as ((Base*Base)*Base)..., divided into 1 for a negative
// exponent; the constants of Base (from table place B, N on, the last
// entries) are repeated with each copy. Empty when it would grow too long.
std::string TSimpler::InlinePower(const std::string& Base, std::int64_t Exponent, std::int32_t B, std::int32_t N) {
  const std::int64_t n = Exponent < 0 ? -Exponent : Exponent;
  if (static_cast<std::size_t>(n) * (Base.size() + 3) > MaxInlinePowerBytes) return {};
  if (n == 0) {
    TruncateTable(B, N);
    return PushNum(1);
  }
  const std::vector<std::uint8_t> bytes(FConstData.begin() + B, FConstData.end());
  const std::vector<std::uint8_t> sizes(FConstSizes.begin() + N, FConstSizes.end());
  const std::string copy = ElementLength(Base, 0) == Base.size() ? Base : "(" + Base + ")";
  std::string coded;
  if (Exponent < 0) {
    // The 1 comes before the copies' constants in the table.
    TruncateTable(B, N);
    coded = "(" + PushNum(1) + "/";
    FConstData.insert(FConstData.end(), bytes.begin(), bytes.end());
    FConstSizes.insert(FConstSizes.end(), sizes.begin(), sizes.end());
    FConstBytes += static_cast<std::int32_t>(bytes.size());
  }
  coded += std::string(static_cast<std::size_t>(n), '(');
  coded += copy;
  coded += ')';
  for (std::int64_t k = 1; k < n; ++k) {
    coded += '*';
    coded += copy;
    coded += ')';
    FConstData.insert(FConstData.end(), bytes.begin(), bytes.end());
    FConstSizes.insert(FConstSizes.end(), sizes.begin(), sizes.end());
    FConstBytes += static_cast<std::int32_t>(bytes.size());
  }
  if (Exponent < 0) coded += ')';
  return coded;
}

std::string TSimpler::NumberTerm(std::string_view S, std::size_t& Pos) {
  const std::size_t start = Pos;
  std::string txt = ScanNumber(S, Pos);
  Extended value;
  if (!TextToExtended(txt, value)) {
    Fail(eNumFormat, S, start, Pos - start);
    return txt;
  }
  return PushNum(value);
}

// Reads the name at Pos. A variable (or an error) gives 0 and its coded text
// in Coded; a call (a function name, or any name followed by "(") gives the
// function's code, Pos resting on the "(" if there is one.
std::int32_t TSimpler::ReadName(std::string_view S, std::size_t& Pos, std::string& Coded) {
  const std::size_t start = Pos;
  const std::string name = ReadIdent(S, Pos);
  const std::int32_t F = FuncCode(name);
  const bool bracket = Pos < S.size() && S[Pos] == '(';
  if (F != 0) return F;
  if (bracket) {
    if (VarCode(name) != 0) Fail(eOpExpected, S, Pos, 1);
    else Fail(eUnknown, S, start, Pos - start);
    return 0;
  }
  if (const std::int32_t code = VarCode(name)) Coded = MarkerWithCode(VarMarker, code);
  else Fail(eUnknown, S, start, Pos - start);
  return 0;
}

std::string TSimpler::CallTerm(std::string_view S, std::size_t& Pos, std::int32_t F) {
  const std::size_t nameEnd = Pos;
  const bool bracket = Pos < S.size() && S[Pos] == '(';
  bool allConst = false;
  std::string args;
  if (bracket) {
    const std::size_t start = Pos;
    const bool closed = SkipBracketGroup(S, Pos);
    if (ErrorRaised()) return {};
    if (!closed) {
      Fail(eEdge, S, start, 1);
      return {};
    }
    args = FuncPars(S.substr(start + 1, Pos - start - 2), F, allConst);
  } else {
    args = FuncPars(S.substr(Pos, 0), F, allConst);
  }
  if (ErrorRaised()) {
    if (FErrorAtCall) {
      FErrorAtCall = false;
      const std::size_t name = NameStart(S, nameEnd);
      Fail(eParameter, S, name, nameEnd - name);
    }
    return {};
  }
  Extended value;
  const bool faulted = FCompError == eDomain;
  if (allConst && FoldCall(F, args, value)) {
    if (!faulted && FCompError == eDomain) {
      const std::size_t name = NameStart(S, nameEnd);
      Fail(eDomain, S, name, Pos - name);
    }
    return PushNum(value);
  }
  std::string coded = MarkerWithCode(FuncMarker, F);
  if (bracket && !args.empty()) {
    coded += '(';
    coded += args;
    coded += ')';
  }
  return coded;
}

// S was just produced, so its table constants are the last entries, in order.
Extended TSimpler::FindFirstNum(std::string_view S) {
  const bool minus = !S.empty() && S[0] == '-';
  std::int32_t later = 0;
  for (std::size_t i = minus ? 2 : 1; i < S.size(); i += ElementLength(S, i))
    if (S[i] == ConstMarker && ElementLength(S, i) == 1) ++later;
  auto index = static_cast<std::int32_t>(FConstSizes.size()) - 1 - later;
  if (index < 0) return 0;  // unreachable while the table follows the text
  std::int32_t offset = FConstBytes;
  for (auto i = static_cast<std::int32_t>(FConstSizes.size()) - 1; i >= index; --i) offset -= FConstSizes[static_cast<std::size_t>(i)];
  const Extended value = KillLittle(offset, index);
  return minus ? -value : value;
}

}  // namespace fennic
