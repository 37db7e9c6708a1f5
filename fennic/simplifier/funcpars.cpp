// Arguments of calls: split, checked and coded against the parameters; calls
// of foldable functions on constant arguments computed at compile time.
#include <algorithm>
#include <cstring>

#include "fennic/core/execmem.h"
#include "fennic/core/codedtext.h"
#include "fennic/core/stackguard.h"
#include "fennic/simplifier/hostcall.h"
#include "fennic/simplifier/numbers.h"
#include "fennic/simplifier/simpler.h"
#include "fennic/core/x87guard.h"

namespace fennic {

namespace {

bool IsSign(char c) { return c == '+' || c == '-'; }

// The 10-byte inline integer constant of an integer argument.
std::string InlineInteger(TVarType VarType, std::int64_t Value) {
  std::string s(2, ConstMarker);
  s[1] = static_cast<char>(VarType);
  char bytes[8];
  std::memcpy(bytes, &Value, 8);
  s.append(bytes, 8);
  return s;
}

constexpr std::size_t InlineIntegerLength = 10;

}  // namespace

// One level of nested calls in the stages after the simplifier (the tree
// builder, the code generator's walk) takes NestedCallStack, with room to
// spare. A bracket of the text pays for its own level in the simplifier's
// descent.
bool TSimpler::NestingHasRoom(std::size_t Added) const {
  return StackHasRoom((FAddedNesting + Added) * NestedCallStack);
}

void TSimpler::WrongCount(std::int32_t F) {
  FCompError = eParameter;
  FErrorFunc = F;
  FErrorAtCall = true;  // the caller knows where the call is written
}

std::string TSimpler::ArgumentFailed(std::int32_t F, std::size_t Index) {
  if (FErrorFunc == 0) {  // the innermost call names the argument
    FErrorFunc = F;
    FErrorArg = Index;
  }
  return {};
}

const TAVarDef& TSimpler::ParamsOf(std::int32_t F) const {
  static const TAVarDef None;
  const TFunction* fn = FindFunc(F);
  return fn ? fn->Params : None;
}

bool TSimpler::FoldCall(std::int32_t F, std::string_view Args, Extended& Value) {
  const TFunction* fn = FindFunc(F);
  if (!fn || !fn->Foldable) return false;
  Value = CalculateFunc(*fn, Args);
  return true;
}

std::string TSimpler::FuncPars(std::string_view ArgText, std::int32_t Code, bool& AllConst) {
  AllConst = true;
  if (const TFunction* fn = FindFunc(Code); fn && fn->Variadic != vaNone && Grammar() == grExtended)
    return VariadicPars(ArgText, Code, AllConst);
  const TAVarDef& params = ParamsOf(Code);
  const std::size_t n = params.size();
  if (n == 0) {
    if (!ArgText.empty()) WrongCount(Code);
    return {};
  }
  std::string acc;
  std::size_t i = 0;
  bool isConst = false;
  for (std::size_t comma; (comma = FindComma(ArgText)) != std::string_view::npos; ++i) {
    if (i == n) {
      WrongCount(Code);
      return {};
    }
    acc += AnalysePar(ArgText.substr(0, comma), params[i], isConst);
    acc += ',';
    AllConst = AllConst && isConst;
    if (ErrorRaised()) return ArgumentFailed(Code, i);
    ArgText.remove_prefix(comma + 1);
  }
  if (i != n - 1) {
    WrongCount(Code);
    return {};
  }
  acc += AnalysePar(ArgText, params[i], isConst);
  AllConst = AllConst && isConst;
  if (ErrorRaised()) return ArgumentFailed(Code, i);
  return acc;
}

std::string TSimpler::VariadicPars(std::string_view ArgText, std::int32_t Code, bool& AllConst) {
  const TFunction& fn = *FindFunc(Code);
  std::size_t count = ArgText.empty() ? 0 : 1;
  for (std::string_view rest = ArgText; count <= MaxVariadicArguments; ++count) {
    const std::size_t comma = FindComma(rest);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (count < 2 || count > MaxVariadicArguments) {
    WrongCount(Code);
    return {};
  }
  std::size_t added = 0;  // the levels of calls the nesting adds
  if (fn.Variadic == vaInOrder) added = count - 2;
  else
    while ((std::size_t{2} << added) < count) ++added;
  if (!NestingHasRoom(added)) {
    Fail(eEdge, {}, 0, 0);
    return {};
  }
  const TAddedNesting nesting(FAddedNesting, added);
  // The operands still to be combined, first argument first: each is the
  // coded argument of one call of fn over Leaves arguments. Only the last two
  // are ever combined, so the constants of a pair that folds are the last of
  // the table.
  struct TOperand {
    std::string Coded;
    bool Const;
    std::size_t Leaves;
  };
  std::vector<TOperand> operands;
  const auto combine = [&] {
    TOperand y = std::move(operands.back());
    operands.pop_back();
    TOperand& x = operands.back();
    std::string args = std::move(x.Coded);
    args += ',';
    args += y.Coded;
    Extended value;
    const bool faulted = FCompError == eDomain;
    x.Const = x.Const && y.Const && FoldCall(Code, args, value);
    if (x.Const) {
      if (!faulted && FCompError == eDomain) FaultAtCall(ArgText);
      x.Coded = PushNum(value);
    } else {
      x.Coded = MarkerWithCode(FuncMarker, Code);
      x.Coded += '(';
      x.Coded += args;
      x.Coded += ')';
    }
    x.Leaves += y.Leaves;
  };
  std::string_view rest = ArgText;
  for (std::size_t i = 0; i < count; ++i) {
    // Pairs of equal weight merge before the next argument comes, so that
    // the nesting stays ceil(log2 count) deep; in order, every pair merges.
    while (operands.size() >= 2 &&
           (fn.Variadic == vaInOrder || operands.back().Leaves == operands[operands.size() - 2].Leaves))
      combine();
    const std::size_t comma = FindComma(rest);
    const std::string_view arg = rest.substr(0, comma);
    bool isConst = false;
    std::string coded = AnalysePar(arg, fn.Params[0], isConst);
    if (ErrorRaised()) return ArgumentFailed(Code, i);
    operands.push_back({std::move(coded), isConst, 1});
    if (comma != std::string_view::npos) rest.remove_prefix(comma + 1);
  }
  while (operands.size() > 2) combine();
  AllConst = operands[0].Const && operands[1].Const;
  return operands[0].Coded + ',' + operands[1].Coded;
}

// A fault of an inner call of a variadic call is placed on the whole call,
// its name included; ArgText lies inside its brackets.
void TSimpler::FaultAtCall(std::string_view ArgText) {
  const auto args = reinterpret_cast<std::uintptr_t>(ArgText.data());
  const auto begin = reinterpret_cast<std::uintptr_t>(FText.data());
  if (args <= begin || args + ArgText.size() >= begin + FText.size()) {
    Fail(eDomain, {}, 0, 0);
    return;
  }
  const std::size_t open = args - begin - 1;
  std::size_t name = open;
  while (name > 0 && IsIdentChar(FText[name - 1])) --name;
  Fail(eDomain, FText, name, open + ArgText.size() + 2 - name);
}

std::string TSimpler::AnalysePar(std::string_view Arg, const TVarDef& Def, bool& IsConst) {
  IsConst = false;
  if (Arg.empty()) {
    Fail(eValExpected, Arg, 0, 0);
    return {};
  }
  if (Def.PushStyle == psReference) return ReferenceArgument(Arg, Def);
  if (!IsFloatType(Def.VarType)) return IntegerArgument(Arg, Def, IsConst);
  std::string coded = Grammar() == grExtended ? Expression(Arg) : Simpler2(Arg);
  IsConst = IsTableConstant(coded);
  return coded;
}

// The bare name of a variable of exactly the parameter's type, kept as written.
std::string TSimpler::ReferenceArgument(std::string_view Arg, const TVarDef& Def) {
  std::size_t pos = 0;
  const std::string name = ReadIdent(Arg, pos);
  const std::int32_t code = VarCode(name);
  const TVariable* var = FindVar(code);
  if (pos != Arg.size() || code == 0 || !var || var->VarType != Def.VarType)
    Fail(eVarParameter, Arg, 0, Arg.size());
  return std::string(Arg);
}

// Signs, then one literal, variable or call.
std::string TSimpler::IntegerArgument(std::string_view Arg, const TVarDef& Def, bool& IsConst) {
  int minusCount = 0;
  std::size_t pos = 0;
  for (; pos < Arg.size() && IsSign(Arg[pos]); ++pos)
    if (Arg[pos] == '-') ++minusCount;
  const bool minus = minusCount % 2 != 0;
  const std::string_view rest = Arg.substr(pos);
  if (rest.empty()) {
    Fail(eValExpected, Arg, pos, 0);
    return {};
  }
  if (IsDigit(rest[0])) {
    std::size_t end = 0;
    while (end < rest.size() && IsDigit(rest[end])) ++end;
    if (end != rest.size()) {
      Fail(eType, Arg, 0, Arg.size());
      return {};
    }
    std::string text = minus ? "-" : "";
    text += rest;
    std::int64_t value = 0;
    if (IntOutOfRange(text, Def.VarType) || !TextToInt64(text, value)) {
      Fail(eOutOfRange, Arg, 0, Arg.size());
      return {};
    }
    IsConst = true;
    return InlineInteger(Def.VarType, value);
  }
  std::int32_t function = 0;
  std::string coded;
  {
    std::size_t end = 0;
    const std::string name = ReadIdent(rest, end);
    if (const std::int32_t code = VarCode(name); code > 0) {
      const TVariable* var = FindVar(code);
      if (end != rest.size() || !var || IsFloatType(var->VarType)) Fail(eType, Arg, 0, Arg.size());
      if (minus) coded = "-";
      return coded + MarkerWithCode(VarMarker, code);
    }
    function = FuncCode(name);
    if (function == 0) {
      Fail(eUnknown, rest, 0, end > 0 ? end : rest.size());
      return {};
    }
  }
  return IntegerCall(rest, function, minus, Def, IsConst);
}

// A call of F written at the start of Text (its name, then optionally a
// bracketed argument list), in an integer argument.
std::string TSimpler::IntegerCall(std::string_view Text, std::int32_t F, bool Minus, const TVarDef& Def,
                                  bool& IsConst) {
  std::size_t end = 0;
  while (end < Text.size() && IsIdentChar(Text[end])) ++end;
  const std::size_t nameEnd = end;
  if (const TFunction* g = FindFunc(F); !g || IsFloatResult(g->FuncResult)) Fail(eType, Text, 0, Text.size());
  std::string_view inner;
  if (end < Text.size() && Text[end] == '(') {
    const std::size_t start = end;
    const bool closed = SkipBracketGroup(Text, end);
    if (ErrorRaised()) return {};
    if (!closed) {
      Fail(eEdge, Text, start, 1);
      return {};
    }
    inner = Text.substr(start + 1, end - start - 2);
  } else {
    inner = Text.substr(end, 0);
  }
  if (end != Text.size()) Fail(eType, Text, 0, Text.size());
  // A call already refused is neither analysed further nor computed.
  if (ErrorRaised()) return {};
  bool allArgsConst = false;
  std::string coded = FuncPars(inner, F, allArgsConst);
  if (ErrorRaised()) {
    if (FErrorAtCall) {
      FErrorAtCall = false;
      Fail(eParameter, Text, 0, nameEnd);
    }
    return {};
  }
  Extended result;
  const bool faulted = FCompError == eDomain;
  if (allArgsConst && FoldCall(F, coded, result)) {
    std::int64_t value = 0;
    if (GuardedRound(result, value) != 0) {
      FCompError = eDomain;
      value = 0;
    }
    if (!faulted && FCompError == eDomain) Fail(eDomain, Text, 0, end);
    if (Minus) value = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(value));
    IsConst = true;
    return InlineInteger(Def.VarType, value);
  }
  std::string out = Minus ? "-" : "";
  out += MarkerWithCode(FuncMarker, F);
  if (!coded.empty()) {
    out += '(';
    out += coded;
    out += ')';
  }
  return out;
}

Extended TSimpler::CalculateFunc(const TFunction& Fn, std::string_view Args) {
  std::size_t floatCount = 0;
  for (const TVarDef& p : Fn.Params)
    if (IsFloatType(p.VarType)) ++floatCount;
  std::vector<Extended> floatVals(floatCount);
  for (std::size_t i = floatCount; i-- > 0;) floatVals[i] = FConstSizes.empty() ? 0 : PopNum();

  // The arguments' values in parameter order: floats from the table, the
  // 8 value bytes of each inline integer constant.
  std::vector<TConstArg> values(Fn.Params.size());
  std::size_t floatIdx = 0, textPos = 0;
  bool wellFormed = true;
  for (std::size_t k = 0; k < Fn.Params.size(); ++k) {
    const TVarDef& p = Fn.Params[k];
    if (p.PushStyle == psReference) wellFormed = false;  // never constant
    if (IsFloatType(p.VarType)) {
      values[k].Float = floatVals[floatIdx++];
      textPos += 2;
      continue;
    }
    if (textPos + InlineIntegerLength <= Args.size() && Args[textPos] == ConstMarker &&
        ElementLength(Args, textPos) == InlineIntegerLength)
      std::memcpy(&values[k].Integer, Args.data() + textPos + 2, 8);
    else
      wellFormed = false;
    textPos += InlineIntegerLength + 1;
  }

  THostCall call;
  call.Result = Fn.FuncResult;
  wellFormed = wellFormed && PlaceArguments(Fn, values, call);

  Extended result = 0;
  bool completed = false;
  if (wellFormed) {
    if (!RunsCodeInLine(Fn)) {
      call.Routine = Fn.Address;
      completed = CallHostRoutine(call, result);
    } else if (THostCallSession* session = THostCallSession::Current()) {
      call.Routine = session->InlineStub(Fn.Code);
      completed = CallHostRoutine(call, result);
    } else {
      THostCallSession own;
      call.Routine = own.InlineStub(Fn.Code);
      completed = CallHostRoutine(call, result);
    }
  }
  if (!completed) {
    FCompError = eDomain;
    return 0;
  }
  return result;
}

}  // namespace fennic
