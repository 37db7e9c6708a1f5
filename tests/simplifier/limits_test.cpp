// Texts a user can type but no formula needs: deep nesting, megabytes.
// Each must end with a value or an error code, without crashing.
#include <gtest/gtest.h>

#include <string>

#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

double gx;

class LimitsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(S.RegisterVarExt("x", vtDouble, &gx), 0); }
  std::string Repeat(std::string_view part, std::size_t n) {
    std::string s;
    s.reserve(part.size() * n);
    for (std::size_t i = 0; i < n; ++i) s += part;
    return s;
  }
  TSimplerProbe S;
};

constexpr std::size_t Deepest = TSimpler::MaxNesting;

// Under AddressSanitizer in emulation the address space cannot take the
// allocator's quarantine of multi-megabyte strings; texts that are simplified
// deep down are shortened there (texts that are refused are not).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t Shrink = 32;
#else
constexpr std::size_t Shrink = 1;
#endif

TEST_F(LimitsTest, NestingUpToTheBoundIsSimplified) {
  RunWithStack(DeepTextStack, [this] {
    EXPECT_EQ(S.Simplified(Repeat("(", Deepest) + "x" + Repeat(")", Deepest)), "X");
    EXPECT_EQ(S.Simplified(Repeat("(1+", Deepest) + "x" + Repeat(")", Deepest)), "K+X");
    EXPECT_EQ(S.Values(), (std::vector<long double>{Deepest}));
    // A negated product dissolves level after level; its constant keeps the sign.
    EXPECT_TRUE(S.Simplified(Repeat("(-x*", Deepest) + "2" + Repeat(")", Deepest)) == "K*" + Repeat("X*", Deepest - 1) + "X");
    EXPECT_EQ(S.Values(), (std::vector<long double>{Deepest % 2 ? -2 : 2}));
    S.SetEliminateBrackets(ebStandart);
    EXPECT_TRUE(S.Simplified(Repeat("(", Deepest) + "x" + Repeat(")", Deepest)) ==
                Repeat("(", Deepest) + "X" + Repeat(")", Deepest));
  });
}

// The descent checks the thread's stack at every level: a host thread with
// a small stack gets a deep text refused instead of a crash.
TEST_F(LimitsTest, ALittleStackRefusesDeepTextsInsteadOfOverflowing) {
  for (const std::string& text : {Repeat("(", Deepest) + "x" + Repeat(")", Deepest),
                                   Repeat("(x*", Deepest) + "x" + Repeat(")", Deepest)}) {
    std::string coded = "not run";
    RunWithStack(256 * 1024, [&] { coded = S.Simplified(text); });
    EXPECT_EQ(coded, "");
    EXPECT_EQ(S.FCompError, eEdge);
  }
}

TEST_F(LimitsTest, DeeperNestingGivesEEdge) {
  const std::string texts[] = {
      Repeat("(", Deepest + 1) + "x" + Repeat(")", Deepest + 1),
      Repeat("(", 100000),
      Repeat("(x+", 100000) + "1" + Repeat(")", 100000),
      Repeat("x*(", Deepest + 1) + "x" + Repeat(")", Deepest + 1),
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(S.Simplified(text), "");
    EXPECT_EQ(S.FCompError, eEdge);
  }
  // Closed brackets do not add up: many groups side by side are fine.
  EXPECT_TRUE(S.Simplified(Repeat("(x)+", 100000) + "x") == Repeat("X+", 100000) + "X");
  EXPECT_EQ(S.FCompError, eNone);
  EXPECT_EQ(S.Simplified(Repeat(")", 100000) + "x"), "");
  EXPECT_EQ(S.FCompError, eValExpected);
}

TEST_F(LimitsTest, LongTextsMayNestLessDeeply) {
  const std::size_t n = 1 << 20;
  EXPECT_EQ(S.Simplified(Repeat("(", 70) + Repeat("x+", n / 2) + "x" + Repeat(")", 70)), "");
  EXPECT_EQ(S.FCompError, eEdge);
  const std::string sum = Repeat("x+", n / 2 / Shrink) + "x";
  EXPECT_EQ(S.Simplified(Repeat("(", 60) + sum + Repeat(")", 60)).size(), n / Shrink + 1);
  EXPECT_EQ(S.FCompError, eNone);
  // The costliest text within both bounds (quadratic work would not finish
  // within the test's time limit).
  EXPECT_TRUE(S.Simplified(Repeat("(x+", Deepest) + Repeat("x+", 14000 / Shrink) + "1" + Repeat(")", Deepest)) ==
              "K" + Repeat("+X", Deepest + 14000 / Shrink));
}

TEST_F(LimitsTest, MegabyteTextsComplete) {
  struct TCase {
    std::string Text;
    TError Error;
  };
  const std::size_t n = 1 << 20;
  const TCase cases[] = {
      {Repeat("x+", n / 2) + "x", eNone},
      {Repeat("1+", n / 2) + "1", eNone},
      {Repeat("x*", n / 2) + "x", eNone},
      {Repeat("2*x-", n / 4) + "1", eNone},
      {Repeat("(x+1)*", n / 6) + "x", eNone},
      {Repeat("-", n) + "x", eNone},
      {Repeat(" ", n), eValExpected},
      {"x+" + Repeat(" ", n) + "1", eNone},
      {"0." + Repeat("0", n) + "1", eNone},
      {Repeat("9", n), eNumFormat},
      {Repeat("x", n), eUnknown},
      {Repeat("x+", n / 2), eValExpected},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text.substr(0, 12));
    std::string s = c.Text;
    S.Simplify(s);
    EXPECT_EQ(S.FCompError, c.Error);
    EXPECT_EQ(s.empty(), c.Error != eNone);
  }
}

TEST_F(LimitsTest, SumOfHalfAMillionConstants) {
  EXPECT_EQ(S.Simplified(Repeat("1+", 500000) + "1"), "K");
  EXPECT_EQ(S.Values(), (std::vector<long double>{500001}));
}

}  // namespace
}  // namespace fennic::testing
