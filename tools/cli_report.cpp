// Positions are found by a scan of the text that mirrors the grammar the
// compiler accepts (operands, the four operators, brackets, calls, commas)
// closely enough to point at the first place where it breaks. It only
// decorates the message: the code comes from the component.
#include "cli_report.h"

#include <cctype>
#include <vector>

namespace fennic::cli {
namespace {

struct TErrorText {
  const char* Name;
  const char* Explanation;
};

const TErrorText Texts[] = {
    {"eNone", "no error"},
    {"eDomain", "a computation on constants raised a floating-point fault while compiling"},
    {"eNumFormat", "a number is malformed"},
    {"eValExpected", "an operand is missing (empty text or argument, or nothing after an operator)"},
    {"eOpExpected", "an operator is missing between two operands"},
    {"eEdge", "an opening bracket is not closed"},
    {"eUnknown", "a name is neither a variable nor a function"},
    {"eOutOfRange", "an integer argument does not fit its parameter's type"},
    {"eType", "an argument does not suit an integer parameter"},
    {"eVarParameter", "a by-reference argument is not a variable of the parameter's type"},
    {"eParameter", "a call has the wrong number of arguments"},
};

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

enum TKind { kNumber, kName, kOpen, kClose, kComma, kSign, kOperator, kOther, kEnd };

struct TToken {
  TKind Kind;
  std::size_t Pos, Len;
  bool WellFormed = true;  // numbers: digits, one point, a complete exponent
};

// A number is a maximal run of digits, points and exponent parts; whether it
// is well formed is decided separately, so "1.2.3" is one bad number.
TToken ScanNumber(const std::string& T, std::size_t Pos) {
  std::size_t i = Pos;
  int Points = 0, Digits = 0;
  while (i < T.size() && (IsDigit(T[i]) || T[i] == '.')) {
    Points += T[i] == '.';
    Digits += T[i] != '.';
    ++i;
  }
  bool Good = Points <= 1 && Digits > 0;
  if (i < T.size() && (T[i] == 'e' || T[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < T.size() && (T[j] == '+' || T[j] == '-')) ++j;
    std::size_t Exp = 0;
    while (j < T.size() && IsDigit(T[j])) ++j, ++Exp;
    Good = Good && Exp > 0;
    i = j;
    while (i < T.size() && (IsIdentChar(T[i]) || T[i] == '.')) Good = false, ++i;
  } else {
    while (i < T.size() && (IsIdentChar(T[i]) || T[i] == '.')) Good = false, ++i;
  }
  return {kNumber, Pos, i - Pos, Good};
}

std::vector<TToken> Tokens(const std::string& T) {
  std::vector<TToken> List;
  std::size_t i = 0;
  while (i < T.size()) {
    const char c = T[i];
    if (IsBlank(c)) {
      ++i;
    } else if (IsDigit(c) || c == '.') {
      List.push_back(ScanNumber(T, i));
      i += List.back().Len;
    } else if (IsIdentStart(c)) {
      std::size_t j = i;
      while (j < T.size() && IsIdentChar(T[j])) ++j;
      List.push_back({kName, i, j - i});
      i = j;
    } else {
      const TKind K = c == '(' ? kOpen : c == ')' ? kClose : c == ',' ? kComma
                    : c == '+' || c == '-' ? kSign : c == '*' || c == '/' ? kOperator : kOther;
      List.push_back({K, i, 1});
      ++i;
    }
  }
  List.push_back({kEnd, T.size(), 0});
  return List;
}

struct TFrame {
  std::size_t Open;      // position of "("
  std::int32_t Func;     // function code of a call, 0 for a bracket
  std::size_t NamePos;
  int Args;
};

// Walks the grammar; the first position that breaks it, with the code the
// break most likely produced.
struct TBreak {
  TError Error;
  std::size_t Pos;
};

std::optional<TBreak> FirstBreak(const std::string& Text, const TCtrlBlck& Names) {
  const std::vector<TToken> List = Tokens(Text);
  std::vector<TFrame> Open;
  // Closes the innermost bracket at Pos; a call checks its argument count.
  auto Close = [&](std::size_t Pos) -> std::optional<TBreak> {
    if (Open.empty()) return TBreak{eOpExpected, Pos};
    const TFrame F = Open.back();
    Open.pop_back();
    TFunction Fn;
    if (F.Func && Names.GetFunc(Fn, F.Func) && static_cast<int>(Fn.Params.size()) != F.Args)
      return TBreak{eParameter, F.NamePos};
    return std::nullopt;
  };
  bool Operand = true;  // an operand is expected
  for (std::size_t k = 0; k < List.size(); ++k) {
    const TToken& t = List[k];
    const std::string Word = Text.substr(t.Pos, t.Len);
    if (Operand) {
      switch (t.Kind) {
        case kSign:
          break;
        case kNumber:
          if (!t.WellFormed) return TBreak{eNumFormat, t.Pos};
          Operand = false;
          break;
        case kName: {
          const std::int32_t Func = Names.FuncCode(Word);
          if (List[k + 1].Kind == kOpen) {
            if (!Func && Names.VarCode(Word)) return TBreak{eOpExpected, List[k + 1].Pos};
            if (!Func) return TBreak{eUnknown, t.Pos};
            Open.push_back({List[k + 1].Pos, Func, t.Pos, 1});
            ++k;  // the first argument follows
            break;
          }
          if (!Func && !Names.VarCode(Word)) return TBreak{eUnknown, t.Pos};
          Operand = false;
          break;
        }
        case kOpen:
          Open.push_back({t.Pos, 0, t.Pos, 1});
          break;
        case kClose:
          // "f()": a call without arguments, an empty argument if f has parameters.
          if (!Open.empty() && Open.back().Func && List[k - 1].Kind == kOpen) {
            TFunction Fn;
            if (Names.GetFunc(Fn, Open.back().Func) && !Fn.Params.empty())
              return TBreak{eValExpected, t.Pos};
            Open.back().Args = 0;
            if (auto B = Close(t.Pos)) return B;
            Operand = false;
            break;
          }
          return TBreak{eValExpected, t.Pos};
        default:
          return TBreak{eValExpected, t.Pos};
      }
      continue;
    }
    switch (t.Kind) {
      case kSign:
      case kOperator:
        Operand = true;
        break;
      case kClose:
        if (auto B = Close(t.Pos)) return B;
        break;
      case kComma:
        if (Open.empty() || !Open.back().Func) return TBreak{eOpExpected, t.Pos};
        ++Open.back().Args;
        Operand = true;
        break;
      case kEnd:
        if (!Open.empty()) return TBreak{eEdge, Open.front().Open};
        return std::nullopt;
      default:
        return TBreak{eOpExpected, t.Pos};
    }
  }
  return std::nullopt;
}

}  // namespace

const char* ErrorName(TError Error) {
  return Error <= eParameter ? Texts[Error].Name : "e?";
}

const char* ErrorExplanation(TError Error) {
  return Error <= eParameter ? Texts[Error].Explanation : "unknown error code";
}

std::optional<std::size_t> ErrorPosition(const std::string& Text, TError Error, const TCtrlBlck& Names) {
  if (Error == eEdge) {
    // The outermost bracket left open.
    std::vector<std::size_t> Open;
    for (std::size_t i = 0; i < Text.size(); ++i) {
      if (Text[i] == '(') Open.push_back(i);
      else if (Text[i] == ')' && !Open.empty()) Open.pop_back();
    }
    if (!Open.empty()) return Open.front();
    return std::nullopt;
  }
  const auto Break = FirstBreak(Text, Names);
  // Only a break of the kind reported is trusted to be the cause.
  if (Break && Break->Error == Error) return Break->Pos;
  if (Error == eValExpected && Text.find_first_not_of(" \t\r\n") == std::string::npos) return 0;
  return std::nullopt;
}

}  // namespace fennic::cli
