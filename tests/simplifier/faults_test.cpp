// Constant folding under the thread's x87 control word: masked exceptions
// give infinities and NaNs, unmasked ones give eDomain (products) or
// EFloatingPointFault (sums); the control word and the x87 state survive.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fennic/core/x87guard.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

double gx, gy;

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(S.RegisterVarExt("x", vtDouble, &gx), 0);
    ASSERT_NE(S.RegisterVarExt("y", vtDouble, &gy), 0);
  }
  TSimplerProbe S;
};

TEST_F(FaultsTest, MaskedExceptionsFoldToInfinitiesAndNaNs) {
  struct TCase {
    const char* Text;
    const char* Coded;
    long double Value;
  };
  const TCase cases[] = {
      {"1/0", "K", INFINITY},   {"-1/0", "K", -INFINITY},      {"1e4932*10", "K", INFINITY},
      {"0/0", "K", NAN},        {"0/0+1", "K", NAN},           {"1+0/0", "K", NAN},
      {"x*(0/0)", "K*X", NAN},  {"(0/0)*x-2", "K+K*X", NAN},  {"1/0-1/0", "K", NAN},
  };
  TScopedControlWord cw(DefaultControlWord);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(S.Simplified(c.Text), c.Coded);
    EXPECT_EQ(S.FCompError, eNone);
    ASSERT_FALSE(S.Values().empty());
    const long double v = S.Values().back();
    if (std::isnan(c.Value)) EXPECT_TRUE(std::isnan(v)) << v;
    else EXPECT_EQ(v, c.Value);
  }
}

TEST_F(FaultsTest, UnmaskedFaultInAProductMakesTheTermZero) {
  struct TCase {
    std::uint16_t ControlWord;
    const char* Text;
    const char* Coded;
    std::vector<long double> Table;
    TError Error;
  };
  const TCase cases[] = {
      {Unmasked(X87ZeroDivide), "1/0", "K", {0}, eDomain},
      {Unmasked(X87ZeroDivide), "x/0", "K", {0}, eDomain},
      {Unmasked(X87ZeroDivide), "x+1/0*y", "X", {}, eDomain},
      {Unmasked(X87ZeroDivide), "2*x+3/0*(y+1)", "K*X", {2}, eDomain},
      {Unmasked(X87ZeroDivide), "x*(1/0+y)", "X*Y", {}, eDomain},
      {Unmasked(X87ZeroDivide), "1/0-1", "K", {-1}, eDomain},
      {Unmasked(X87ZeroDivide), "1/0*)", "", {}, eValExpected},
      {Unmasked(X87ZeroDivide), "1/0*q", "", {}, eUnknown},
      {Unmasked(X87ZeroDivide), "1/0*(x", "", {}, eEdge},
      {Unmasked(X87ZeroDivide), "1/2", "K", {0.5}, eNone},
      {Unmasked(X87Overflow), "1e4932*10", "K", {0}, eDomain},
      {Unmasked(X87Overflow), "1e4932*0.5", "K", {5e4931L}, eNone},
      {Unmasked(X87Invalid), "0/0", "K", {0}, eDomain},
      {Unmasked(X87Invalid), "1/0", "K", {INFINITY}, eNone},
      {Unmasked(X87Precision), "1/3", "K", {0}, eDomain},
      {Unmasked(X87Precision), "1/4", "K", {0.25}, eNone},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TScopedControlWord cw(c.ControlWord);
    EXPECT_EQ(S.Simplified(c.Text), c.Coded);
    EXPECT_EQ(S.FCompError, c.Error);
    if (c.Error == eNone || c.Error == eDomain) {
      EXPECT_EQ(S.Values(), c.Table);
    }
    EXPECT_EQ(X87ControlWord(), c.ControlWord);
    EXPECT_EQ(X87StatusWord() & ~c.ControlWord & X87AllExceptions, 0) << "a fault was left pending";
  }
}

TEST_F(FaultsTest, UnmaskedFaultInASumLeavesAsAnException) {
  for (const char* text : {"1e4932+1e4932", "x+1e4932+1e4932", "1e4932-(-1e4932)", "-1e4932-1e4932*1"}) {
    SCOPED_TRACE(text);
    TScopedControlWord cw(Unmasked(X87Overflow));
    std::string s = text;
    try {
      S.Simplify(s);
      ADD_FAILURE() << "no exception";
    } catch (const EFloatingPointFault& e) {
      EXPECT_NE(e.Flags() & X87Overflow, 0);
    }
    EXPECT_EQ(X87ControlWord(), Unmasked(X87Overflow));
    EXPECT_EQ(X87StatusWord() & X87Overflow, 0) << "the fault was left pending";
    // The next compilation starts clean.
    EXPECT_EQ(S.Simplified("1+x"), "K+X");
    EXPECT_EQ(S.Values(), (std::vector<long double>{1}));
  }
  TScopedControlWord masked(DefaultControlWord);
  EXPECT_EQ(S.Simplified("1e4932+1e4932"), "K");
  EXPECT_EQ(S.Values(), (std::vector<long double>{INFINITY}));
}

TEST_F(FaultsTest, FoldingFollowsPrecisionControl) {
  {
    TScopedControlWord cw(0x027F);  // 53-bit significand
    EXPECT_EQ(S.Simplified("1/3"), "K");
    EXPECT_EQ(S.Widths(), std::vector<int>{8});
  }
  EXPECT_EQ(S.Simplified("1/3"), "K");
  EXPECT_EQ(S.Widths(), std::vector<int>{10});
}

TEST_F(FaultsTest, HostFlagsSurvive) {
  TScopedControlWord cw(DefaultControlWord);
  volatile long double zero = 0;
  volatile long double r = 1 / zero;  // the host's own masked division by zero
  (void)r;
  ASSERT_NE(X87StatusWord() & X87ZeroDivide, 0);
  EXPECT_EQ(S.Simplified("x*2"), "K*X");
  EXPECT_NE(X87StatusWord() & X87ZeroDivide, 0);
  // Masked exceptions raised while folding are the host's to see.
  asm volatile("fnclex");
  EXPECT_EQ(S.Simplified("1/3"), "K");
  EXPECT_NE(X87StatusWord() & X87Precision, 0);
}

}  // namespace
}  // namespace fennic::testing
