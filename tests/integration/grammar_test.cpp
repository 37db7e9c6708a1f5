// The extended grammar: "^", signs after operators, comparisons, "!", the
// logical operators and the conditional, their values under the regrouping
// settings, the host calls they make, and their diagnostics.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "fennic/core/x87guard.h"
#include "support/simplifier_probe.h"
#include "support/x87_state.h"
#include "integration/settings_matrix.h"

namespace fennic::testing {
namespace {

int powCalls = 0;
FENNIC_CDECL long double HostPow(long double x, long double y) {
  ++powCalls;
  return std::pow(x, y);
}
FENNIC_CDECL long double HostTwice(long double x) { return 2 * x; }
int countCalls = 0;
FENNIC_CDECL long double HostCount(long double x) {
  ++countCalls;
  return x;
}

// A text, its value, and how many times a counted host function runs.
struct TValueCase {
  const char* Text;
  long double Value;
  int Calls;
};

struct GrammarTest : ::testing::Test {
  void SetUp() override {
    f.SetGrammar(grExtended);
    f.RegisterVarExt("x", vtDouble, &x);
    f.RegisterVarExt("y", vtInt32, &y);
    f.RegisterVarExt("h", vtSingle, &h);
    f.RegisterVarExt("n", vtDouble, &n);
  }
  void RegisterPow(bool Foldable) {
    f.RegisterFuncExt("pow", "vf80vf80", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&HostPow), Foldable);
  }
  // Each case under every bracket and operand-order setting.
  template <std::size_t N>
  void ExpectUnderRegrouping(const TValueCase (&Cases)[N], int& Calls) {
    for (std::uint8_t brackets : {0, 1, 2})
      for (std::uint8_t order : {0, 1, 2})
        for (const TValueCase& c : Cases) {
          TSettings s;
          s.Brackets = brackets;
          s.OutOfOrder = order;
          s.ApplyTo(f);
          SCOPED_TRACE(std::string(c.Text) + " " + s.Describe());
          f.SetExprString(c.Text);
          ASSERT_EQ(f.CompError(), eNone) << f.ErrorMessage();
          Calls = 0;
          EXPECT_EQ(f.Evaluate(), c.Value);
          EXPECT_EQ(Calls, c.Calls);
        }
  }
  TFennic f{nullptr};
  double x = 2;
  std::int32_t y = 3;
  float h = 0.5f;
  double n = std::nan("");
};

TEST_F(GrammarTest, PowersAndSignsAfterOperators) {
  RegisterPow(true);
  const long double root2 = std::pow(2.0L, 0.5L);
  const TValueCase cases[] = {  // Calls: of pow, at run time
      {"x^2", 4, 0},
      {"-x^2", -4, 0},           // ^ binds tighter than a sign
      {"2^-1", 0.5, 0},          // a sign after ^
      {"x^-y", 0.125, 1},
      {"x^y^2", 512, 1},         // right-associative: x^(y^2)
      {"2^3^2", 512, 0},
      {"(x^y)^2", 64, 2},        // the base is computed for each factor
      {"1+x^2", 5, 0},
      {"y*x^2", 12, 0},
      {"x^2/y^2", 4.0L / 9, 0},
      {"x^2*-y", -12, 0},
      {"x^0", 1, 0},
      {"x^1", 2, 0},
      {"x^16", 65536, 0},
      {"x^17", 131072, 1},       // beyond the in-line exponents
      {"x^-16", 1.0L / 65536, 0},
      {"(x+2)^-2*y", 0.1875, 0},
      {"(-x)^3", -8, 0},
      {"(-2)^3", -8, 0},
      {"-x^-1", -0.5, 0},
      {"x^--2", 4, 0},
      {"x^h", root2, 1},
      {"2^0.5", root2, 0},       // folded by the foldable pow
      {"x^(1+1)", 4, 0},
      {"twice(x)^2", 16, 0},
      {"2*-3", -6, 0},
      {"y/-h", -6, 0},
      {"-x*-y", 6, 0},
      {"x*+y", 6, 0},
      {"2*--x", 4, 0},
      {"y/-(x-1)", -3, 0},
      // Comparisons give 1 or 0; NaN is unequal to everything, itself too.
      {"x<y", 1, 0},
      {"y<x", 0, 0},
      {"x<x", 0, 0},
      {"x<=x", 1, 0},
      {"y<=x", 0, 0},
      {"y>x", 1, 0},
      {"x>x", 0, 0},
      {"x>=x", 1, 0},
      {"x>=y", 0, 0},
      {"x==2", 1, 0},
      {"x==y", 0, 0},
      {"x!=y", 1, 0},
      {"x!=2", 0, 0},
      {"n<x", 0, 0},
      {"n>=x", 0, 0},
      {"x<=n", 0, 0},
      {"n==n", 0, 0},
      {"n!=n", 1, 0},
      {"0/0==0/0", 0, 0},        // folded: the same rules
      {"1<2", 1, 0},
      {"2<=1", 0, 0},
      {"!x", 0, 0},
      {"!(x-2)", 1, 0},
      {"!n", 0, 0},              // NaN counts as true
      {"!!x", 1, 0},
      {"!0", 1, 0},
      // Precedence: each level against its neighbours.
      {"x+1<y", 0, 0},           // (x+1) < y
      {"x<y+1", 1, 0},
      {"x*2>=y", 1, 0},
      {"x^2>y", 1, 0},
      {"-x<-y", 0, 0},           // a sign after a comparison
      {"x<-1", 0, 0},
      {"x<y<0.5", 0, 0},         // left-associative: (x<y) < 0.5
      {"x<y==1", 1, 0},          // < binds tighter than ==
      {"1==x<y", 1, 0},
      {"1==1==1", 1, 0},
      {"x!=y==0", 0, 0},
      {"!x*y", 0, 0},            // (!x)*y
      {"!x^2", 0, 0},            // !(x^2)
      {"!-x+1", 1, 0},           // (!(-x)) + 1
      {"-!0", -1, 0},
      {"x*!0", 2, 0},
      {"(x<y)*5+(y<x)*7", 5, 0},
      {"twice(x<y)", 2, 0},
  };
  f.RegisterFuncExt("twice", "vf80", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&HostTwice), false);
  ExpectUnderRegrouping(cases, powCalls);
}

// count(v) is v, counted at each run: an operand that is not needed is not
// computed.
TEST_F(GrammarTest, LogicAndConditionalComputeWhatTheyNeed) {
  const TValueCase cases[] = {  // Calls: of count, at run time
      {"x<y ? count(x) : count(y)", 2, 1},
      {"x>y ? count(x) : count(y)", 3, 1},
      {"x>y ? 1 : 2", 2, 0},                      // in line: FCMOV
      {"x<=2 ? 5 : 6", 5, 0},                     // each comparison compared in place
      {"x>2 ? 5 : 6", 6, 0},
      {"x>=2 ? x : n", 2, 0},
      {"x==y ? 5 : 6", 6, 0},
      {"x!=2 ? 5 : 6", 6, 0},
      {"n<x ? 5 : 6", 6, 0},                      // a NaN compares unequal
      {"n>=x ? 5 : 6", 6, 0},
      {"n==n ? 5 : 6", 6, 0},
      {"n!=n ? 5 : 6", 5, 0},
      {"x < 0 ? 0 : x > 1 ? 1 : x", 1, 0},
      {"h < 0 ? 0 : h > 1 ? 1 : h", 0.5, 0},
      {"x-2 ? x : -x", -2, 0},
      {"n ? 1 : 2", 1, 0},                        // NaN counts as true
      {"n ? count(x) : count(y)", 2, 1},
      {"x-2 ? count(x) : count(y)", 3, 1},
      {"0 ? count(x) : 5", 5, 0},                 // folded: the branch is dropped
      {"1 ? count(x) : ln(-1)", 2, 1},
      {"x ? y ? 1 : 2 : 3", 1, 0},                // a conditional inside the first branch
      {"0 ? 1 : 0 ? 2 : 3", 3, 0},                // right-associative
      {"x>y ? 1 : y>x ? count(2) : 3", 2, 1},
      {"x>y ? (count(x) > 0 ? count(y) : 1) : count(h)", 0.5, 1},
      {"x<y ? (count(x) > 0 ? count(y) : 1) : count(h)", 3, 2},
      {"count(x) > 1 ? count(y) : 0", 3, 2},      // the condition always runs
      {"x ? count(x) + count(y) : 0", 5, 2},
      {"x + (x>y ? 10 : count(20))", 22, 1},
      {"-(x<y ? count(x) : y)", -2, 1},
      {"(x<y ? count(x) : y)^2", 4, 2},          // the base is computed for each factor
      {"twice(x<y ? count(x) : y)", 4, 1},
      {"x && y", 1, 0},
      {"x && 0", 0, 0},
      {"x-2 && count(x)", 0, 0},
      {"x && count(x-2)", 0, 1},
      {"x || count(x)", 1, 0},
      {"x-2 || count(y)", 1, 1},
      {"x-2 || count(x-2)", 0, 1},
      {"n && 1", 1, 0},
      {"x-2 || n", 1, 0},
      {"0 && count(x)", 0, 0},
      {"1 || count(x)", 1, 0},
      {"count(x) && count(y) && count(x-2) && count(h)", 0, 3},
      {"x-2 || x-2 || count(h)", 1, 1},
      {"!x && count(x)", 0, 0},
      {"!(x && 0)", 1, 0},
      {"x<y && y<x", 0, 0},
      {"1 || 0 ? 5 : 6", 5, 0},                   // || binds tighter than ?:
      {"x>y || x<y ? 7 : 8", 7, 0},
      {"0 && 1 || 1", 1, 0},                      // && binds tighter than ||
      {"1 || 1 && 0", 1, 0},
      {"(1 || 1) && 0", 0, 0},
      {"x == 2 && y == 3", 1, 0},                 // == binds tighter than &&
      {"x < y == 1 && 1", 1, 0},
      {"x - 2 || y - 3 == 0", 1, 0},
      {"1 && 0 ? 1 : 2", 2, 0},
      {"x ? 1 : 2 + 3", 1, 0},                    // the branch takes the whole sum
      {"x-2 ? 1 : 2 + 3", 5, 0},
  };
  f.RegisterFuncExt("count", "vf80", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&HostCount), false);
  f.RegisterFuncExt("twice", "vf80", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&HostTwice), false);
  f.RegisterFuncExt("ln", "vf80", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&HostTwice), false);
  ExpectUnderRegrouping(cases, countCalls);
}

// A division the condition rules out is not made: no flag of a division by
// 0, as there is for the same division computed by arithmetic.
TEST_F(GrammarTest, AnOperandNotTakenRaisesNoFlag) {
  constexpr std::uint16_t Masked = 0x037F;
  const struct {
    const char* Text;
    bool Divides;
    long double Value;  // where it does not divide
  } cases[] = {
      {"x-2 != 0 ? 1/(x-2) : 0", false, 0},
      {"x-2 == 0 ? 0 : 1/(x-2)", false, 0},
      {"x-2 && 1/(x-2) > 0", false, 0},
      {"x-2 == 0 || 1/(x-2) > 0", false, 1},
      {"(x-2 != 0)*(1/(x-2))", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    f.SetExprString(c.Text);
    ASSERT_EQ(f.CompError(), eNone) << f.ErrorMessage();
    long double value = 1;
    const TX87State state = CallFromX87State(Masked, 0, [&] { value = f.Evaluate(); });
    EXPECT_EQ((state.StatusWord & (X87ZeroDivide | X87Invalid)) != 0, c.Divides);
    if (!c.Divides) {
      EXPECT_EQ(value, c.Value);
    }
  }
}

TEST_F(GrammarTest, ErrorsOfPowersNameTheirPlace) {
  const struct {
    const char* Text;
    TError Error;
    std::size_t Position, Length;
    const char* Message;
  } cases[] = {
      {"x^2 + x^-3", eNone, TDiagnostic::NoPosition, 0, ""},  // in line: no pow needed
      {"1 + x^h", eUnknown, 5, 1, "'^' with this exponent calls the function pow, and none is registered"},
      {"x^", eValExpected, 2, 0, "the text ends where an operand is expected"},
      {"x^^2", eValExpected, 2, 1, "'^' cannot start an operand"},
      {"2**3", eValExpected, 2, 1, "'**' is not an operator: write 2^3"},
      {"2*-", eValExpected, 3, 0, "the text ends where an operand is expected"},
      {"x <", eValExpected, 3, 0, "a comparison needs two operands"},
      {"1 + (== x)", eValExpected, 5, 0, "a comparison needs two operands"},
      {"x = 1", eOpExpected, 2, 1, "'=' is not an operator: write == to compare"},
      {"x & y", eOpExpected, 2, 1, "'&' is not an operator: write &&"},
      {"x | y", eOpExpected, 2, 1, "'|' is not an operator: write ||"},
      {"&& x", eValExpected, 0, 1, "a logical operator needs two operands"},
      {"x || ", eValExpected, 4, 0, "a logical operator needs two operands"},
      {"x > 0 ? x", eOpExpected, 6, 1, "'?' without its ':'"},
      {"x : 1", eOpExpected, 2, 1, "':' without its '?'"},
      {"x ? 1 : 2 : 3", eOpExpected, 10, 1, "':' without its '?'"},
      {"x ? : 1", eValExpected, 4, 1, "an operand is missing before ':'"},
      {"(x ? 1) : 2", eOpExpected, 3, 1, "'?' without its ':'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    f.SetExprString(c.Text);
    const TDiagnostic d = f.Diagnostic();
    EXPECT_EQ(d.Error, c.Error);
    EXPECT_EQ(d.Position, c.Position);
    EXPECT_EQ(d.Length, c.Length);
    EXPECT_NE(d.Message.find(c.Message), std::string::npos) << d.Message;
  }
  {
    // A fault while folding makes the power 0.
    TScopedControlWord cw(Unmasked(X87ZeroDivide));
    f.SetExprString("x + 0^-1");
    const TDiagnostic d = f.Diagnostic();
    EXPECT_EQ(d.Error, eDomain);
    EXPECT_EQ(d.Position, 5u);
    EXPECT_EQ(d.Length, 3u);
    EXPECT_NE(d.Message.find("'^-1' raised a floating-point fault while folding constants"), std::string::npos)
        << d.Message;
  }
  EXPECT_EQ(f.Evaluate(), 2);
  {
    // A fault in an operand that a constant drops does not count.
    TScopedControlWord cw(Unmasked(X87ZeroDivide));
    const struct {
      const char* Text;
      TError Error;
      std::size_t Position;
    } faults[] = {
        {"1 ? 2 : 0^-1", eNone, TDiagnostic::NoPosition},
        {"0 ? 0^-1 : 2", eNone, TDiagnostic::NoPosition},
        {"0 && 0^-1", eNone, TDiagnostic::NoPosition},
        {"1 || 0^-1 || 0^-1", eNone, TDiagnostic::NoPosition},
        {"x ? 0^-1 : 2", eDomain, 5},
        {"0 ? 0^-1 : x + 0^-1", eDomain, 16},
        {"x && 0^-1", eDomain, 6},
    };
    for (const auto& c : faults) {
      SCOPED_TRACE(c.Text);
      f.SetExprString(c.Text);
      EXPECT_EQ(f.CompError(), c.Error) << f.ErrorMessage();
      EXPECT_EQ(f.ErrorPosition(), c.Position);
    }
  }
  // A pow that does not take two floating-point values cannot serve "^".
  f.RegisterFuncExt("pow", "vf80vi32", ctCdecl, frExtended, 8, reinterpret_cast<void*>(&HostPow), false);
  f.SetExprString("x^h");
  EXPECT_EQ(f.CompError(), eParameter);
  EXPECT_NE(f.ErrorMessage().find("must take two floating-point values"), std::string::npos);
  // The standard grammar keeps refusing both.
  f.SetGrammar(grStandart);
  f.SetExprString("x^2");
  EXPECT_EQ(f.CompError(), eOpExpected);
  f.SetExprString("2*-3");
  EXPECT_EQ(f.CompError(), eValExpected);
}

}  // namespace
}  // namespace fennic::testing
