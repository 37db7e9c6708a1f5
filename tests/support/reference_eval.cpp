#include "reference_eval.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace fennic::testing {

namespace {

constexpr long double kUnit = 0x1p-64L;  // unit roundoff of the 64-bit significand

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

long double ParseDecimal(const std::string& s, bool& ok) {
  static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  char* end = nullptr;
  long double v = strtold_l(s.c_str(), &end, c);
  ok = !s.empty() && end == s.c_str() + s.size();
  return v;
}

RefValue Exact(long double v) { return {v, 0, true}; }

RefValue Combine(char op, const RefValue& a, const RefValue& b) {
  RefValue r;
  r.Comparable = a.Comparable && b.Comparable;
  const long double va = a.Value, vb = b.Value;
  switch (op) {
    case '+':
    case '-':
      r.Value = op == '+' ? va + vb : va - vb;
      // Reassociated chains round partial sums that this order never forms;
      // their size is bounded by the operands' magnitudes.
      r.Error = a.Error + b.Error + 4 * kUnit * (std::fabs(va) + std::fabs(vb));
      break;
    case '*':
      r.Value = va * vb;
      r.Error = std::fabs(va) * b.Error + std::fabs(vb) * a.Error + a.Error * b.Error +
                4 * kUnit * std::fabs(r.Value);
      break;
    default:
      r.Value = va / vb;
      if (!(std::fabs(vb) > 2 * b.Error)) {
        r.Comparable = false;
        break;
      }
      r.Error = (a.Error + std::fabs(r.Value) * b.Error) / (std::fabs(vb) - b.Error) +
                4 * kUnit * std::fabs(r.Value);
      break;
  }
  if (!std::isfinite(r.Value) || !std::isfinite(r.Error)) r.Comparable = false;
  return r;
}

RefValue Negate(RefValue v) {
  v.Value = -v.Value;
  return v;
}

}  // namespace

template <class T>
T Load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);  // host variables need not be naturally aligned
  return v;
}

long double ReadVariable(TVarType type, const void* p) {
  switch (type) {
    case vtInt8: return Load<std::int8_t>(p);
    case vtUInt8: return Load<std::uint8_t>(p);
    case vtInt16: return Load<std::int16_t>(p);
    case vtUInt16: return Load<std::uint16_t>(p);
    case vtInt32: return Load<std::int32_t>(p);
    case vtUInt32: return Load<std::uint32_t>(p);
    case vtInt64: return static_cast<long double>(Load<std::int64_t>(p));
    case vtSingle: return Load<float>(p);
    case vtDouble: return Load<double>(p);
    case vtExtended: {
      long double v = 0;
      std::memcpy(&v, p, 10);
      return v;
    }
  }
  return 0;
}

// Recursive descent over the text: sum, product, factor; under the extended
// grammar conditional, or, and, equality and relation above the sum.
class RefParser {
 public:
  RefParser(const ReferenceEvaluator& ev, const std::string& text) : E(ev), S(text) {}

  std::optional<RefValue> Run() {
    Strip();
    auto v = Expression();
    if (!v || P != S.size()) return std::nullopt;
    return v;
  }

 private:
  const ReferenceEvaluator& E;
  std::string S;
  std::size_t P = 0;
  int Depth = 0;
  // Above zero inside an untaken branch or a short-circuited operand: parsed,
  // but no function is called and its value is discarded.
  int Skipping = 0;

  std::optional<RefValue> Expression() { return E.FExtended ? Conditional() : Sum(); }

  void Strip() {
    std::string t;
    for (std::size_t i = 0; i < S.size(); ++i) {
      unsigned char c = S[i];
      if (c > 32) t += S[i];
      else if (!t.empty() && i + 1 < S.size() && (IsLetter(t.back()) || IsDigit(t.back())) &&
               (IsLetter(S[i + 1]) || IsDigit(S[i + 1])))
        return void(S = "\x01");  // a blank between two names: not an expression
    }
    S = t;
  }

  bool At(char c) const { return P < S.size() && S[P] == c; }
  bool At2(const char* op) const { return P + 1 < S.size() && S[P] == op[0] && S[P + 1] == op[1]; }

  // True when the operands' rounding could decide how they compare.
  static bool Close(const RefValue& a, const RefValue& b) {
    return !std::isnan(a.Value) && !std::isnan(b.Value) && (a.Error > 0 || b.Error > 0) &&
           !(std::fabs(a.Value - b.Value) > 8 * (a.Error + b.Error));
  }

  // 1 or 0; not comparable when the operands' rounding could decide it.
  static RefValue Truth(bool v, const RefValue& a, const RefValue& b) {
    return {v ? 1.0L : 0.0L, 0, a.Comparable && b.Comparable && !Close(a, b)};
  }

  // Whether a condition or a logical operand holds (any non-zero, NaN
  // included), and whether its value decides that reliably.
  static bool Holds(const RefValue& c) { return c.Value != 0; }
  static bool Decides(const RefValue& c) { return c.Comparable && !Close(c, Exact(0)); }

  // An operand that is parsed and, unless `evaluate`, not evaluated.
  template <class Rule>
  std::optional<RefValue> Lazily(bool evaluate, Rule rule) {
    Skipping += !evaluate;
    auto v = (this->*rule)();
    Skipping -= !evaluate;
    return v;
  }

  // c ? a : b, right-associative; only the chosen branch is evaluated, and
  // only its error enters the result.
  std::optional<RefValue> Conditional() {
    if (++Depth > 20000) return std::nullopt;
    auto c = LogicalOr();
    if (!c || !At('?')) {
      --Depth;
      return c;
    }
    ++P;
    const bool taken = Holds(*c);
    auto a = Lazily(taken, &RefParser::Conditional);
    if (!a || !At(':')) return std::nullopt;
    ++P;
    auto b = Lazily(!taken, &RefParser::Conditional);
    if (!b) return std::nullopt;
    RefValue r = taken ? *a : *b;
    r.Comparable = r.Comparable && Decides(*c);
    Reach = TReach::Of(r.Value);  // one factor to a chain around it
    --Depth;
    return r;
  }

  // "||" and "&&", left-associative, 1 or 0; the right operand is evaluated
  // only when the left one does not decide.
  template <std::optional<RefValue> (RefParser::*Operand)(), char Op>
  std::optional<RefValue> Logical() {
    auto acc = (this->*Operand)();
    while (acc && At2(Op == '|' ? "||" : "&&")) {
      P += 2;
      const bool decided = Holds(*acc) == (Op == '|');
      bool comparable = Decides(*acc);
      auto r = Lazily(!decided, Operand);
      if (!r) return std::nullopt;
      if (!decided) comparable = comparable && Decides(*r);
      const bool v = decided ? Op == '|' : Holds(*r);
      acc = RefValue{v ? 1.0L : 0.0L, 0, comparable};
      Reach = TReach::Of(acc->Value);
    }
    return acc;
  }
  std::optional<RefValue> LogicalAnd() { return Logical<&RefParser::Equality, '&'>(); }
  std::optional<RefValue> LogicalOr() { return Logical<&RefParser::LogicalAnd, '|'>(); }

  std::optional<RefValue> Equality() {
    auto acc = Relational();
    while (acc && (At2("==") || At2("!="))) {
      const bool eq = S[P] == '=';
      P += 2;
      auto r = Relational();
      if (!r) return std::nullopt;
      acc = Truth(eq ? acc->Value == r->Value : acc->Value != r->Value, *acc, *r);
    }
    return acc;
  }

  std::optional<RefValue> Relational() {
    auto acc = Sum();
    while (acc && (At('<') || At('>'))) {
      const char op = S[P++];
      const bool orEqual = At('=');
      if (orEqual) ++P;
      auto r = Sum();
      if (!r) return std::nullopt;
      const long double a = acc->Value, b = r->Value;
      const bool v = op == '<' ? (orEqual ? a <= b : a < b) : (orEqual ? a >= b : a > b);
      acc = Truth(v, *acc, *r);
    }
    return acc;
  }

  // Signs, then a factor with its powers: the operand after "*", "/", "^", "!".
  std::optional<RefValue> SignedFactor() {
    int minus = 0;
    while (E.FExtended && (At('+') || At('-'))) minus += S[P++] == '-';
    auto f = Factor();
    if (!f) return f;
    return minus % 2 ? Negate(*f) : *f;
  }

  std::optional<RefValue> Sum() {
    if (++Depth > 20000) return std::nullopt;
    std::optional<RefValue> acc;
    bool first = true;
    while (first || At('+') || At('-')) {
      int minus = 0;
      while (At('+') || At('-')) minus += S[P++] == '-';
      auto t = Product();
      if (!t) return std::nullopt;
      RefValue term = minus % 2 ? Negate(*t) : *t;
      acc = first ? term : Combine('+', *acc, term);
      if (!first) Reach = TReach::Of(acc->Value);  // a sum is one factor to the chain around it
      first = false;
    }
    --Depth;
    return acc;
  }

  // Regrouped chains (OutOfOrder) form partial products that this order never
  // forms, also across bracketed products that bracket elimination opens.
  // When the exponents of all the factors together could leave the extended
  // range, a regrouped chain may overflow or underflow where this one does
  // not, and its value is not comparable.
  struct TReach {
    long Grow = 0;    // binary exponents by which factors can raise a partial product
    long Shrink = 0;  // and lower it (negative)
    int Factors = 1;
    static TReach Of(long double v) {
      if (v == 0 || !std::isfinite(v)) return {};
      const long e = std::ilogb(v);
      return {std::max(0L, e + 1), std::min(0L, e), 1};
    }
  };
  TReach Reach;  // of the operand or product parsed last

  std::optional<RefValue> Product() {
    auto acc = Factor();
    if (!acc) return acc;
    TReach chain = Reach;
    while (At('*') || At('/')) {
      char op = S[P++];
      auto f = SignedFactor();
      if (!f) return std::nullopt;
      chain.Grow += op == '*' ? Reach.Grow : -Reach.Shrink;
      chain.Shrink += op == '*' ? Reach.Shrink : -Reach.Grow;
      chain.Factors += Reach.Factors;
      acc = Combine(op, *acc, *f);
    }
    if (chain.Factors >= 3 && (chain.Grow > 16000 || chain.Shrink < -16000)) acc->Comparable = false;
    Reach = chain;
    return acc;
  }

  std::optional<RefValue> Factor() {
    if (P >= S.size()) return std::nullopt;
    if (E.FExtended && S[P] == '!') {
      ++P;
      auto a = SignedFactor();
      if (!a) return a;
      const RefValue zero = Exact(0);
      return Truth(a->Value == 0, *a, zero);
    }
    auto base = Primary();
    if (!base || !E.FExtended || !At('^')) return base;
    ++P;
    auto e = SignedFactor();
    // Only whole exponents: what the compiler multiplies out.
    if (!e || e->Error != 0 || e->Value != std::trunc(e->Value) || std::fabs(e->Value) > 16) return std::nullopt;
    const long n = static_cast<long>(e->Value);
    RefValue p = n == 0 ? Exact(1) : *base;
    for (long k = 1; k < (n < 0 ? -n : n); ++k) p = Combine('*', p, *base);
    if (n < 0) p = Combine('/', Exact(1), p);
    Reach = TReach::Of(p.Value);
    return p;
  }

  std::optional<RefValue> Primary() {
    if (P >= S.size()) return std::nullopt;
    char c = S[P];
    if (c == '(') {
      ++P;
      auto v = Expression();
      if (!v || !At(')')) return std::nullopt;
      ++P;
      return v;
    }
    if (IsDigit(c)) {
      std::size_t start = P;
      while (P < S.size() && (IsDigit(S[P]) || S[P] == '.')) ++P;
      if (At('e') || At('E')) {
        ++P;
        while (At('+') || At('-')) ++P;
        while (P < S.size() && (IsDigit(S[P]) || S[P] == '.')) ++P;
      }
      bool ok = false;
      long double v = ParseDecimal(S.substr(start, P - start), ok);
      if (!ok) return std::nullopt;
      Reach = TReach::Of(v);
      return Exact(v);
    }
    if (IsLetter(c)) {
      std::size_t start = P;
      while (P < S.size() && (IsLetter(S[P]) || IsDigit(S[P]))) ++P;
      std::string name = S.substr(start, P - start);
      for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      auto f = E.FFuncs.find(name);
      if (f != E.FFuncs.end()) {
        std::vector<long double> args;
        bool comparable = true;
        if (At('(')) {
          ++P;
          while (true) {
            auto a = Expression();
            if (!a) return std::nullopt;
            args.push_back(a->Value);
            comparable = comparable && a->Comparable && a->Error == 0;
            if (At(',')) { ++P; continue; }
            if (!At(')')) return std::nullopt;
            ++P;
            break;
          }
        }
        const long double r = Skipping ? NAN : f->second(args);
        // A function's sensitivity to rounding in its arguments is unknown.
        RefValue v{r, 4 * kUnit * std::fabs(r), comparable && std::isfinite(r)};
        Reach = TReach::Of(r);
        return v;
      }
      auto v = E.FVars.find(name);
      if (v == E.FVars.end()) return std::nullopt;
      const long double value = ReadVariable(v->second.Type, v->second.Address);
      Reach = TReach::Of(value);
      return Exact(value);
    }
    return std::nullopt;
  }
};

void ReferenceEvaluator::AddVariable(const std::string& name, TVarType type, const void* address) {
  std::string n = name;
  for (char& ch : n) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  FVars[n] = Var{type, address};
}

void ReferenceEvaluator::AddFunction(const std::string& name, Function f) {
  std::string n = name;
  for (char& ch : n) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  FFuncs[n] = std::move(f);
}

std::optional<RefValue> ReferenceEvaluator::Evaluate(const std::string& text) const {
  return RefParser(*this, text).Run();
}

bool ReferenceEvaluator::Agrees(long double actual, const RefValue& expected, std::string* why) {
  const long double e = expected.Value;
  if (std::isnan(e) || std::isnan(actual)) {
    if (std::isnan(e) && std::isnan(actual)) return true;
    if (!expected.Comparable) return true;
    if (why) *why = "NaN on one side only";
    return false;
  }
  if (!expected.Comparable) return true;
  long double tolerance = 16 * expected.Error + 0x1p-16000L;
  if (std::fabs(actual - e) <= tolerance) return true;
  if (why) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "expected %.21Lg, got %.21Lg, tolerance %.3Lg", e, actual, tolerance);
    *why = buf;
  }
  return false;
}

}  // namespace fennic::testing
