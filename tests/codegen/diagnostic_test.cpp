// Diagnostics: where in the host's text each error state was found, the
// offending token's length, and the message.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fennic/fennic.h"
#include "fennic/core/x87guard.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

constexpr std::size_t None = TDiagnostic::NoPosition;

__attribute__((force_align_arg_pointer)) double Scale(double v, std::int8_t k) { return v * k; }
__attribute__((force_align_arg_pointer)) double Twice(const double* v) { return 2 * *v; }
__attribute__((force_align_arg_pointer)) long double Inverse(long double v) { return 1 / v; }

class DiagnosticTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.RegisterVarExt("x", vtDouble, &x);
    f.RegisterVarExt("s", vtSingle, &s);
    f.RegisterFuncExt("scale", "vf64vi08", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Scale), true);
    f.RegisterFuncExt("twice", "rf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Twice), false);
    f.RegisterFuncExt("ln", "vf80", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&Inverse), false);
    f.RegisterFuncExt("inverse", "vf80", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&Inverse), true);
    f.RegisterFuncExt("hypot", "vf64vf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Scale), false);
  }
  void Check(const std::string& Text, TError Error, std::size_t Position, std::size_t Length,
             const std::string& Message) {
    SCOPED_TRACE(Text);
    f.SetExprString(Text);
    const TDiagnostic d = f.Diagnostic();
    EXPECT_EQ(f.CompError(), Error);
    EXPECT_EQ(d.Error, Error);
    EXPECT_EQ(d.Position, Position);
    EXPECT_EQ(f.ErrorPosition(), Position);
    EXPECT_EQ(d.Length, Length);
    EXPECT_EQ(f.ErrorLength(), Length);
    EXPECT_NE(d.Message.find(Message), std::string::npos) << d.Message;
    EXPECT_EQ(d.Message.find('\n'), std::string::npos);
  }
  TFennic f{nullptr};
  double x = 1;
  float s = 2;
};

TEST_F(DiagnosticTest, EachErrorStateNamesItsPlaceAndTheFix) {
  struct TCase {
    std::string Text;
    TError Error;
    std::size_t Position, Length;
    const char* Message;
  };
  const std::string deep = std::string(2001, '(') + "1" + std::string(2001, ')');
  const TCase cases[] = {
      {"x*2 + 1", eNone, None, 0, ""},
      {"1.2.3+x", eNumFormat, 0, 5, "'1.2.3' is not a number: it has more than one decimal point"},
      {" 1.5e", eNumFormat, 1, 4, "its exponent needs digits"},
      {"2 * -3", eValExpected, 4, 0, "no sign may follow '*' or '/': write 2*(-3)"},
      {"x*", eValExpected, 2, 0, "the text ends where an operand is expected"},
      {"x +   ", eValExpected, 3, 0, "the text ends where an operand is expected"},
      {"  ", eValExpected, 0, 0, "the text is empty"},
      {"hypot(1, )", eValExpected, 9, 0, "argument 2 of hypot is empty"},
      {"1 + ln", eValExpected, 6, 0, "ln takes 1 argument: write ln(x)"},
      {".5*x", eValExpected, 0, 1, "a number starts with a digit: write 0.5"},
      {"x^2", eOpExpected, 1, 1, "there is no power operator: write pow(x, 2)"},
      {"x**2", eValExpected, 2, 1, "'**' is not an operator: write pow(x, 2)"},
      {"0x10 + x", eOpExpected, 1, 3, "there are no hexadecimal numbers: write 16"},
      {"-x * -x", eValExpected, 5, 0, "no sign may follow '*' or '/': write -x*(-x)"},
      {"2x + 1", eOpExpected, 1, 1, "there is no implicit multiplication: write 2*x"},
      {"2,5 * x", eOpExpected, 1, 1, "the decimal separator is '.': write 2.5"},
      {"x   s", eOpExpected, 4, 1, "an operator is missing between 'x' and 's'"},
      {"x(2)", eOpExpected, 1, 1, "'x' is a variable, not a function: write x*(...)"},
      {"1 + (x + 1", eEdge, 4, 1, "this '(' is never closed"},
      {"ln(x", eEdge, 2, 1, "this '(' is never closed"},
      {deep, eEdge, None, 0, "nested too deeply"},
      {"x + lm(2)", eUnknown, 4, 2, "'lm' is not a function; did you mean 'ln'?"},
      {"y", eUnknown, 0, 1, "'y' is neither a variable nor a function"},
      {"scale(x, (1))", eUnknown, 9, 3, "argument 2 of scale takes an 8-bit signed integer"},
      {"scale(x, 300)", eOutOfRange, 9, 3,
       "'300' does not fit argument 2 of scale, an 8-bit signed integer (-128 to 127)"},
      {"scale(x, 1.5)", eType, 9, 3, "argument 2 of scale is an 8-bit signed integer"},
      {"twice(s)", eVarParameter, 6, 1,
       "argument 1 of twice is passed by reference: write the name of a variable of type double"},
      {"1 + scale (x)", eParameter, 4, 5, "scale takes 2 arguments, not 1"},
      // A NUL byte is no blank and no end of the text.
      {std::string("x+1\0+5", 6), eOpExpected, 3, 1, "NUL byte"},
      {std::string("x \0 + 1", 7), eOpExpected, 2, 1, "NUL byte"},
      {std::string("x+\0", 3), eValExpected, 2, 1, "NUL byte"},
      {std::string("\0", 1), eValExpected, 0, 1, "NUL byte"},
      {std::string("scale(x, 1\0)", 12), eOpExpected, 10, 1, "NUL byte"},
      {std::string("twice(x\0)", 9), eOpExpected, 7, 1, "NUL byte"},
  };
  for (const TCase& c : cases) Check(c.Text, c.Error, c.Position, c.Length, c.Message);
}

// "Did you mean": the nearest registered name within 1 edit (names of up to
// 4 bytes) or 2; none for a name longer than the search compares.
TEST_F(DiagnosticTest, TheNearestNameIsSuggested) {
  const std::string longName(60, 'k'), tooLong(65, 'k');
  f.RegisterVarExt("alphabet", vtDouble, &x);
  f.RegisterVarExt(longName + "z", vtDouble, &x);
  f.RegisterVarExt(tooLong + "z", vtDouble, &x);
  const struct {
    std::string Text, Suggestion;  // empty: none
  } cases[] = {
      {"hypto(1, 2)", "hypot"},   // neighbours swapped
      {"alphab", "alphabet"},     // two shorter
      {"alph", ""},               // four shorter
      {"alphabetic", "alphabet"}, // two longer
      {"alphabetics", ""},
      {"lx(1)", "ln"},
      {"xx", "x"},
      {longName + "y", longName + "z"},
      {tooLong + "y", ""},
  };
  for (const auto& c : cases) {
    f.SetExprString(c.Text);
    ASSERT_EQ(f.CompError(), eUnknown) << c.Text;
    const std::string m = f.ErrorMessage();
    if (c.Suggestion.empty()) EXPECT_EQ(m.find("did you mean"), std::string::npos) << m;
    else EXPECT_NE(m.find("did you mean '" + c.Suggestion + "'?"), std::string::npos) << m;
  }
}

// The bounded distance against the whole table, on random words of a small
// alphabet (so that swaps and near misses are frequent).
TEST(EditDistance, AgreesWithTheWholeTableUpToTheLimit) {
  auto whole = [](const std::string& A, const std::string& B) {
    std::vector<std::vector<std::size_t>> d(A.size() + 1, std::vector<std::size_t>(B.size() + 1));
    for (std::size_t i = 0; i <= A.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= B.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= A.size(); ++i)
      for (std::size_t j = 1; j <= B.size(); ++j) {
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (A[i - 1] != B[j - 1])});
        if (i > 1 && j > 1 && A[i - 1] == B[j - 2] && A[i - 2] == B[j - 1])
          d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    return d[A.size()][B.size()];
  };
  std::uint32_t seed = 7;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  auto word = [&next] {
    std::string w(next(9), 'a');
    for (char& c : w) c = static_cast<char>('a' + next(3));
    return w;
  };
  for (int k = 0; k < 20000; ++k) {
    const std::string a = word(), b = word();
    const std::size_t limit = next(4);
    ASSERT_EQ(EditDistance(a, b, limit), std::min(whole(a, b), limit + 1)) << a << " " << b << " " << limit;
  }
}

TEST_F(DiagnosticTest, AFaultWhileFoldingNamesTheOperationOrTheCall) {
  EXPECT_EQ(f.Diagnostic().Error, eValExpected);
  EXPECT_EQ(f.ErrorPosition(), None);
  TScopedControlWord cw(Unmasked(X87ZeroDivide));
  Check("x + 1 / 0", eDomain, 6, 3, "'/0' raised a floating-point fault while folding constants");
  Check("x + inverse(0)", eDomain, 4, 10, "the compile-time call 'inverse(0)' faulted");
}

}  // namespace
}  // namespace fennic::testing
