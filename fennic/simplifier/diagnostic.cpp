// Messages for the error states. Built only after a compilation failed (or
// folded a fault): the blank-less text is made again from the host's text,
// together with the offset of each of its bytes there, so that a successful
// compilation keeps no table.
#include "fennic/simplifier/diagnostic.h"

#include <algorithm>
#include <vector>

#include "fennic/core/codedtext.h"
#include "fennic/simplifier/simpler.h"

namespace fennic {

namespace {

constexpr std::size_t None = TDiagnostic::NoPosition;

// An unknown name longer than this gets no "did you mean": the search stays
// a few microseconds a registered name however long the text.
constexpr std::size_t MaxSuggestedName = 64;

const char* const CodeMessages[] = {
    "no error",
    "a computation on constants faulted while compiling; it counts as 0",
    "a number is malformed",
    "an operand is expected",
    "an operator is expected",
    "brackets or calls are nested too deeply",
    "a name is neither a variable nor a function",
    "an integer argument does not fit its parameter's type",
    "an argument does not suit an integer parameter",
    "a by-reference argument is not a variable of the parameter's type",
    "a call has the wrong number of arguments",
    "the component was used from inside one of its own compile-time calls",
    "an exception left the compilation; there is no routine",
};
static_assert(std::size(CodeMessages) == ErrorCount, "a message for every error code");

const char* const TypeNames[] = {
    "8-bit signed integer (-128 to 127)",
    "8-bit unsigned integer (0 to 255)",
    "16-bit signed integer (-32768 to 32767)",
    "16-bit unsigned integer (0 to 65535)",
    "32-bit signed integer (-2147483648 to 2147483647)",
    "32-bit unsigned integer (0 to 4294967295)",
    "64-bit signed integer",
    "single",
    "double",
    "extended",
};

std::string Quoted(std::string_view S) { return "'" + std::string(S) + "'"; }

bool IsNameOrNumber(char c) { return IsIdentChar(c) || c == '.'; }

// The name or literal that ends at End of T, or empty.
std::string_view OperandBefore(std::string_view T, std::size_t End) {
  std::size_t b = End;
  while (b > 0 && IsNameOrNumber(T[b - 1])) --b;
  return T.substr(b, End - b);
}

// The name or literal that starts at Pos of T, or empty.
std::string_view OperandAt(std::string_view T, std::size_t Pos) {
  std::size_t e = Pos;
  while (e < T.size() && IsNameOrNumber(T[e])) ++e;
  return T.substr(Pos, e - Pos);
}

// As OperandBefore, with the sign written right before it: the hint for
// "-x*-x" keeps the first factor's sign.
std::string_view SignedOperandBefore(std::string_view T, std::size_t End) {
  const std::string_view operand = OperandBefore(T, End);
  const std::size_t b = End - operand.size();
  if (operand.empty() || b == 0 || (T[b - 1] != '-' && T[b - 1] != '+')) return operand;
  return T.substr(b - 1, operand.size() + 1);
}

bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::size_t HexDigits(std::string_view S) {
  std::size_t n = 0;
  while (n < S.size() && IsHexDigit(S[n])) ++n;
  return n;
}

// The decimal value of the hexadecimal digits Digits, or "the decimal value"
// when it takes more than 64 bits.
std::string HexValue(std::string_view Digits) {
  std::size_t b = 0;
  while (b + 1 < Digits.size() && Digits[b] == '0') ++b;
  if (Digits.size() - b > 16) return "the decimal value";
  std::uint64_t v = 0;
  for (char c : Digits.substr(b))
    v = v * 16 + static_cast<std::uint64_t>(IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
  return std::to_string(v);
}

// The hint for a power written the way another language writes it.
std::string PowerHint(const std::string& What, std::string_view Base, std::string_view Exponent, TGrammar Grammar) {
  const std::string b = Base.empty() ? "x" : std::string(Base), e = Exponent.empty() ? "y" : std::string(Exponent);
  return What + ": write " + (Grammar == grExtended ? b + "^" + e : "pow(" + b + ", " + e + ")");
}

// A comparison operator starts at Pos of T, or ends right before it.
bool ComparisonAt(std::string_view T, std::size_t Pos) {
  const char c = Pos < T.size() ? T[Pos] : 0, next = Pos + 1 < T.size() ? T[Pos + 1] : 0;
  const char before = Pos > 0 ? T[Pos - 1] : 0;
  return c == '<' || c == '>' || ((c == '=' || c == '!') && next == '=') || before == '<' || before == '>' ||
         (before == '=' && Pos > 1 && (T[Pos - 2] == '=' || T[Pos - 2] == '!' || T[Pos - 2] == '<' || T[Pos - 2] == '>'));
}

// A && or || starts at Pos of T, or ends right before it.
bool LogicalAt(std::string_view T, std::size_t Pos) {
  auto pairAt = [T](std::size_t At) {
    return At + 1 < T.size() && (T[At] == '&' || T[At] == '|') && T[At + 1] == T[At];
  };
  return pairAt(Pos) || (Pos >= 2 && pairAt(Pos - 2));
}

std::string Lower(std::string_view S) {
  std::string s(S);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

std::size_t EditDistance(std::string_view A, std::string_view B, std::size_t Limit) {
  const std::size_t n = A.size(), m = B.size(), over = Limit + 1;
  if ((n > m ? n - m : m - n) > Limit) return over;
  // Rows i - 2, i - 1 and i of the table, each over the band j = i - Limit ..
  // i + Limit; a cell outside its row's band stays above the limit.
  std::vector<std::size_t> rows(3 * (m + 1), over);
  std::size_t *before = rows.data(), *last = before + (m + 1), *row = last + (m + 1);
  for (std::size_t j = 0; j <= std::min(m, Limit); ++j) last[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t lo = i > Limit ? i - Limit : 0, hi = std::min(m, i + Limit);
    if (lo > 0) row[lo - 1] = over;  // left of the band: a stale cell of row i - 3
    std::size_t least = over;
    for (std::size_t j = lo; j <= hi; ++j) {
      std::size_t d = j == 0 ? i : std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (A[i - 1] != B[j - 1])});
      if (i > 1 && j > 1 && A[i - 1] == B[j - 2] && A[i - 2] == B[j - 1]) d = std::min(d, before[j - 2] + 1);
      row[j] = std::min(d, over);
      least = std::min(least, row[j]);
    }
    // Every later cell costs at least the least of this row.
    if (least > Limit) return over;
    std::swap(before, last);
    std::swap(last, row);
  }
  return last[m];
}

namespace {

std::string Arguments(std::size_t Count) {
  return Count == 0 ? "no arguments" : Count == 1 ? "1 argument" : std::to_string(Count) + " arguments";
}

// The arguments written in the call whose name starts at Pos of T.
std::size_t ArgumentsWritten(std::string_view T, std::size_t Pos) {
  std::size_t i = Pos;
  while (i < T.size() && IsIdentChar(T[i])) ++i;
  if (i >= T.size() || T[i] != '(') return 0;
  std::size_t depth = 0, count = 1;
  for (std::size_t j = i; j < T.size(); ++j) {
    if (T[j] == '(') ++depth;
    else if (T[j] == ')' && --depth == 0) return j == i + 1 ? 0 : count;
    else if (T[j] == ',' && depth == 1) ++count;
  }
  return count;
}

std::string NumberMessage(std::string_view Tok) {
  const std::size_t e = Tok.find_first_of("eE");
  const std::string_view mantissa = Tok.substr(0, e);
  std::string m = Quoted(Tok) + " is not a number: ";
  if (std::count(mantissa.begin(), mantissa.end(), '.') > 1) return m + "it has more than one decimal point";
  if (e != std::string_view::npos) {
    std::string_view exponent = Tok.substr(e + 1);
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) exponent.remove_prefix(1);
    if (exponent.empty() || !std::all_of(exponent.begin(), exponent.end(), IsDigit))
      return m + "its exponent needs digits (and one sign at most)";
  }
  return m + "it is beyond the range of an extended value";
}

}  // namespace

std::string ErrorCodeMessage(TError Error) {
  return Error < ErrorCount ? CodeMessages[Error] : "unknown error state";
}

TDiagnostic TSimpler::Diagnose(std::string_view Original) const {
  TDiagnostic d;
  d.Error = FCompError;
  if (FCompError == eNone) return d;
  d.Message = ErrorCodeMessage(FCompError);

  std::string T;
  std::vector<std::size_t> from;  // offset in Original of each byte of T
  T.reserve(Original.size());
  from.reserve(Original.size());
  StripBlanks(Original, [&](char c, std::size_t i) {
    T += c;
    from.push_back(i);
  });
  const std::size_t k = FErrorAt;
  if (k == None || k > T.size() || k + FErrorLength > T.size()) return d;
  std::size_t n = FErrorLength;
  // A character outside the grammar is shown whole, all its UTF-8 bytes.
  if (n == 1 && static_cast<unsigned char>(T[k]) >= 0xC0)
    while (k + n < T.size() && (static_cast<unsigned char>(T[k + n]) & 0xC0) == 0x80) ++n;
  auto source = [&](std::size_t At) -> std::size_t {
    if (At < T.size()) return from[At];
    return T.empty() ? 0 : from.back() + 1;
  };
  d.Position = source(k);
  d.Length = n == 0 ? 0 : from[k + n - 1] + 1 - d.Position;

  const std::string_view tok = std::string_view(T).substr(k, n);
  const char c = k < T.size() ? T[k] : 0;
  const char before = k > 0 ? T[k - 1] : 0;
  TFunction fn;
  const bool named = FErrorFunc != 0 && GetFunc(fn, FErrorFunc);
  const std::string argument =
      named ? "argument " + std::to_string(FErrorArg + 1) + " of " + fn.Name : std::string("the argument");
  const bool typed = named && FErrorArg < fn.Params.size() && fn.Params[FErrorArg].VarType <= vtExtended;
  const std::string type = typed ? TypeNames[fn.Params[FErrorArg].VarType] : "";
  const std::string parameter =
      typed ? (type[0] == '8' || type[0] == 'e' ? "an " : "a ") + type : "an integer";
  std::string& m = d.Message;
  const std::string pow = "there is no power operator: write pow(x, y)";

  if (k < T.size() && T[k] == '\0' && (FCompError == eValExpected || FCompError == eOpExpected)) {
    m = "the text holds a NUL byte here, which no formula may contain";
    return d;
  }
  switch (FCompError) {
    case eDomain:
      if (c == '*' || c == '/')
        m = Quoted(tok) + " raised a floating-point fault while folding constants; its term counts as 0";
      else if (c == '^')
        m = Quoted(tok) + " raised a floating-point fault while folding constants; it counts as 0";
      else if (ArgumentsWritten(T, k) > 2)  // folded pair by pair
        m = "the compile-time call " + Quoted(tok) + " faulted on a pair of its arguments; the pair counts as 0";
      else
        m = "the compile-time call " + Quoted(tok) + " faulted; it counts as 0";
      break;
    case eNumFormat:
      m = NumberMessage(tok);
      break;
    case eValExpected: {
      // A call written without its arguments: the name before the place.
      const std::string_view name = OperandBefore(T, before == '(' && c == ')' ? k - 1 : k);
      TFunction f;
      if (T.empty()) {
        m = "the text is empty";
      } else if (!name.empty() && IsIdentStart(name[0]) && GetFunc(f, FuncCode(std::string(name)))) {
        m = f.Name + " takes " + Arguments(f.Params.size()) + ": write " + f.Name + "(" +
            (f.Params.size() > 1 ? "x, y" : "x") + ")";
      } else if (Grammar() == grExtended && ComparisonAt(T, k)) {
        m = "a comparison needs two operands";
      } else if (Grammar() == grExtended && LogicalAt(T, k)) {
        m = "a logical operator needs two operands";
      } else if (named && (before == '(' || before == ',') && (c == ')' || c == ',')) {
        m = argument + " is empty";
      } else if ((c == '+' || c == '-') && (before == '*' || before == '/')) {
        const std::string_view left = SignedOperandBefore(T, k - 1), right = OperandAt(T, k + 1);
        m = "no sign may follow '*' or '/': write " +
            (left.empty() || right.empty() ? std::string("2*(-3)")
                                           : std::string(left) + before + "(" + c + std::string(right) + ")");
      } else if (c == '.' && k + 1 < T.size() && IsDigit(T[k + 1])) {
        m = "a number starts with a digit: write 0" + std::string(OperandAt(T, k));
      } else if (c == '*' && before == '*') {
        m = PowerHint("'**' is not an operator", OperandBefore(T, k - 1), OperandAt(T, k + 1), Grammar());
      } else if (c == '^' && Grammar() == grStandart) {
        m = pow;
      } else if (k == T.size()) {
        m = "the text ends where an operand is expected";
      } else if (c == ')' && before == '(') {
        m = "the brackets are empty";
      } else if (c == ')' || c == ',' || c == '*' || c == '/' || c == ':' || c == '?') {
        m = "an operand is missing before " + Quoted(tok);
      } else {
        m = Quoted(tok) + " cannot start an operand";
      }
      break;
    }
    case eOpExpected: {
      // A blank that stayed separates two operands.
      const std::size_t left = before == ' ' ? k - 1 : k;
      const char last = left > 0 ? T[left - 1] : 0;
      const std::string_view prev = OperandBefore(T, left);
      const std::string_view next = OperandAt(T, k + (c == '^' || c == ','));
      if (Grammar() == grExtended && (c == '&' || c == '|')) {
        m = Quoted(tok) + " is not an operator: write " + std::string(2, c);
      } else if (Grammar() == grExtended && c == '?') {
        m = "'?' without its ':'";
      } else if (Grammar() == grExtended && c == ':') {
        m = "':' without its '?'";
      } else if (Grammar() == grExtended && c == '=') {
        m = "'=' is not an operator: write == to compare";
      } else if (c == '^') {
        m = prev.empty() || next.empty()
                ? pow
                : "there is no power operator: write pow(" + std::string(prev) + ", " + std::string(next) + ")";
      } else if ((c == 'x' || c == 'X') && prev == "0" && next.size() > 1 &&
                 HexDigits(next.substr(1)) == next.size() - 1) {
        m = "there are no hexadecimal numbers: write " + HexValue(next.substr(1));
      } else if (c == ',' && !prev.empty() && IsDigit(last) && !next.empty() && IsDigit(next[0])) {
        const std::size_t digits = std::find_if_not(next.begin(), next.end(), IsDigit) - next.begin();
        m = "the decimal separator is '.': write " + std::string(prev) + "." + std::string(next.substr(0, digits));
      } else if (c == ',') {
        m = "a comma only separates the arguments of a call";
      } else if (c == ')') {
        m = "this ')' has no matching '('";
      } else if (c == '(' && !prev.empty() && IsIdentStart(prev[0])) {
        m = Quoted(prev) + " is a variable, not a function: write " + std::string(prev) + "*(...)";
      } else if ((IsNameOrNumber(c) || c == '(') &&
                 (last == ')' || (!prev.empty() && !IsIdentStart(prev[0])))) {
        m = "there is no implicit multiplication: write " +
            (last == ')' ? std::string("(...)") : std::string(prev)) + "*" +
            (c == '(' ? std::string("(...)") : std::string(tok));
      } else if (!prev.empty() && IsIdentChar(c)) {
        m = "an operator is missing between " + Quoted(prev) + " and " + Quoted(tok);
      } else {
        m = "an operator is expected before " + Quoted(tok);
      }
      break;
    }
    case eEdge:
      m = "this '(' is never closed";
      break;
    case eUnknown:
      if (c == '^') {
        m = "'^' with this exponent calls the function pow, and none is registered";
      } else if (n == 0 || !IsIdentStart(tok[0])) {
        m = argument + " takes " + parameter + ": write a whole number, an integer variable or a call";
        break;
      } else {
        const bool call = k + n < T.size() && T[k + n] == '(';
        m = Quoted(tok) + (call ? " is not a function" : " is neither a variable nor a function");
        // The nearest registered name, when few edits away.
        if (n > MaxSuggestedName) break;
        const std::string name = Lower(tok);
        const std::size_t limit = name.size() <= 4 ? 1 : 2;
        std::string best;
        std::size_t bestDistance = limit + 1;
        auto consider = [&](const std::string& Candidate) {
          if (Candidate.empty()) return;
          const std::size_t e = EditDistance(name, Candidate, limit);
          if (e < bestDistance && e < name.size()) {
            best = Candidate;
            bestDistance = e;
          }
        };
        for (const TFunction& f : Functions()) consider(f.Name);
        if (!call)
          for (const TVariable& v : Variables()) consider(v.Name);
        if (!best.empty()) m += "; did you mean " + Quoted(best) + "?";
      }
      break;
    case eOutOfRange:
      m = Quoted(tok) + " does not fit " + argument + ", " + parameter;
      break;
    case eType:
      m = argument + " is " + parameter +
          ": write a whole number, an integer variable or a call with an integer result";
      break;
    case eVarParameter:
      m = argument + " is passed by reference: write the name of a variable" + (typed ? " of type " + type : "");
      break;
    case eParameter:
      if (c == '^')
        m = "'^' calls the function pow, which must take two floating-point values";
      else if (named)
        m = fn.Name + " takes " +
            (fn.Variadic != vaNone && Grammar() == grExtended
                 ? "2 to " + std::to_string(MaxVariadicArguments) + " arguments"
                 : Arguments(fn.Params.size())) +
            ", not " + std::to_string(ArgumentsWritten(T, k));
      break;
    default:
      break;
  }
  return d;
}

}  // namespace fennic
