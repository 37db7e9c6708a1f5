// Regrouping of operator chains: the shapes the balancers give, and compiled
// balanced trees computing what the chains as written compute.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <utility>

#include "fennic/codegen/fennic.h"
#include "testbuilder.h"

namespace fennic::test {
namespace {

// Variables x1 to x16 (codes 1 to 16), then x, a, b, w.
std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (int k = 1; k <= 16; ++k) names.push_back("x" + std::to_string(k));
  for (const char* n : {"x", "a", "b", "w"}) names.push_back(n);
  return names;
}

class BalanceTest : public ::testing::Test {
 protected:
  TTestBuilder B;
  std::vector<std::string> VarNames = Names();
  std::vector<double> Values = std::vector<double>(VarNames.size());

  void SetUp() override {
    for (std::size_t k = 0; k < VarNames.size(); ++k) B.RegisterVarExt(VarNames[k], vtDouble, &Values[k]);
  }
  // The sum parsed (and regrouped under Mode) from readable coded text,
  // printed with variable names; negations are not yet gathered.
  std::string Chain(std::string_view Src, TOutOfOrder Mode) {
    B.SetOutOfOrder(Mode);
    const std::string coded = B.Coded(Src);
    std::size_t pos = 0;
    TTreeNode* root = B.BigTree(coded, pos);
    EXPECT_EQ(pos, coded.size()) << Src;
    std::string out = Named(PrintTree(root));
    TBuilder::KillTree(root);
    return out;
  }
  std::string Named(const std::string& Printed) const {
    std::string out;
    for (std::size_t i = 0; i < Printed.size();) {
      std::size_t end = i + 1;
      while (end < Printed.size() && std::isdigit(static_cast<unsigned char>(Printed[end]))) ++end;
      if (Printed[i] == 'v' && end > i + 1) {
        out += VarNames[std::stoi(Printed.substr(i + 1, end - i - 1)) - 1];
        i = end;
      } else {
        out += Printed[i++];
      }
    }
    return out;
  }
};

std::string Joined(int Count, const char* Op) {
  std::string out = "x1";
  for (int k = 2; k <= Count; ++k) out += Op + ("x" + std::to_string(k));
  return out;
}

struct TShapeCase {
  std::string Src;
  std::string Want;
  TOutOfOrder Mode = ooSoft;
};

TEST_F(BalanceTest, ChainsRegroupIntoIndependentPairs) {
  const std::string quad = "((x1+x2)+(x3+x4))";
  const TShapeCase cases[] = {
      // Without regrouping every chain stays left-deep.
      {"x1+x2-x3+x4", "(((x1+x2)-x3)+x4)", ooStandart},
      {"x/a/b", "((x/a)/b)", ooStandart},
      {Joined(8, "+"), "(((((((x1+x2)+x3)+x4)+x5)+x6)+x7)+x8)", ooStandart},
      // The lowest operation of a pass stays where it is.
      {"x1+x2-x3", "((x1+x2)-x3)"},
      {"x1", "x1"},
      {"x1-x2", "(x1-x2)"},
      // The operation after a "-" changes sign inside the pair.
      {"x1+x2-x3+x4", "((x1+x2)-(x3-x4))"},
      {"x1-x2-x3-x4", "((x1-x2)-(x3+x4))"},
      {"x1+x2+x3-x4", "((x1+x2)+(x3-x4))"},
      {"x1-x2+x3-x4+x5", "(((x1-x2)+(x3-x4))+x5)"},
      {Joined(8, "+"), "(" + quad + "+((x5+x6)+(x7+x8)))"},
      {Joined(8, "+"), "(" + quad + "+((x5+x6)+(x7+x8)))", ooAgressive},
      // Two passes, then a spine of five nodes over blocks of two and four.
      {Joined(16, "+"),
       "(((" + quad + "+((x5+x6)+(x7+x8)))+((x9+x10)+(x11+x12)))+((x13+x14)+(x15+x16)))"},
      // Products: divisions gathered into one division by a product.
      {"x/a/b", "(x/(a*b))"},
      {"x/a/b/w", "((x/a)/(b*w))"},
      {"x/a/b/w/x1", "(((x/a)/(b*w))/x1)"},
      {"x/a*b", "((x*b)/a)"},
      {"x*a/b", "((x*a)/b)"},
      {"x*a*b*w", "((x*a)*(b*w))"},
      {"x*a/b*w", "((x*a)*(w/b))"},
      {"x/a*b/w*x1", "(((x*x1)/(a*w))*b)"},
      {"x+a/b/w", "(x+(a/(b*w)))"},
      // Signs stay on their operands.
      {"-x1+x2+x3+x4", "((-x1+x2)+(x3+x4))"},
      {"(-x)*a*b*w", "((-x*a)*(b*w))"},
      {"-x*a*b*w+x1", "(-((x*a)*(b*w))+x1)"},
      // A bracketed group first in a chain is part of it; a negated sum is
      // one operand and is never regrouped across its sign.
      {"(x1+x2+x3)+x4", quad},
      {"-(x1+x2+x3)+x4+x5+x6", "((-((x1+x2)+x3)+x4)+(x5+x6))"},
      {"-(" + Joined(8, "+") + ")", "-(" + quad + "+((x5+x6)+(x7+x8)))"},
      {"(-(x1+x2+x3+x4)+x5)+x6+x7+x8", "(((-" + quad + "+x5)+(x6+x7))+x8)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Chain(c.Src, c.Mode), c.Want) << c.Src;
}

TEST_F(BalanceTest, LongChainsBecomeShallowAndKeepEveryNode) {
  // Depth of a tree, walked without recursion.
  auto depth = [](const TTreeNode* root) {
    std::vector<std::pair<const TTreeNode*, int>> pending{{root, 1}};
    int deepest = 0;
    while (!pending.empty()) {
      auto [n, d] = pending.back();
      pending.pop_back();
      deepest = std::max(deepest, d);
      if (n->Left) pending.push_back({n->Left, d + 1});
      if (n->Right) pending.push_back({n->Right, d + 1});
    }
    return deepest;
  };
  const int operands = 100000;
  for (const char* ops : {"+-", "*/", "**/"}) {
    std::string src = "x1";
    for (int k = 1; k < operands; ++k) src += std::string(1, ops[k % std::strlen(ops)]) + "x2";
    B.Run(src);
    ASSERT_FALSE(B.ErrorRaised()) << ops;
    const TTreeNode* root = B.FTrees[0];
    EXPECT_EQ(B.LeafCount(root), operands) << ops;
    EXPECT_EQ(B.OpCount(root), operands - 1) << ops;
    EXPECT_LT(depth(root), 100) << ops;
  }
}

// Compiled under each OutOfOrder setting, every text gives the value it
// gives without regrouping, up to rounding.
class BalancedValueTest : public ::testing::Test {
 protected:
  std::vector<double> Values;
  long double Run(const std::string& Text, TOutOfOrder Mode, std::uint8_t Brackets) {
    TFennic f(nullptr);
    for (std::size_t k = 0; k < Values.size(); ++k)
      f.RegisterVarExt("x" + std::to_string(k + 1), vtDouble, &Values[k]);
    f.SetOutOfOrder(Mode);
    f.SetEliminateBrackets(Brackets);
    f.SetExprString(Text);
    EXPECT_EQ(f.CompError(), eNone) << Text;
    return f.CompError() == eNone ? f.Evaluate() : NAN;
  }
};

TEST_F(BalancedValueTest, RegroupedChainsComputeTheSameValues) {
  for (int k = 0; k < 16; ++k) Values.push_back(0.5 + (k * 7 % 16) / 10.0);
  std::mt19937 rng(11);
  auto var = [&] { return "x" + std::to_string(1 + rng() % 16); };
  // Products of up to six factors inside sums of up to forty terms, with
  // negations and bracketed groups, negated ones included.
  std::function<std::string(int)> sum = [&](int depth) {
    std::string out = rng() % 4 == 0 ? "-" : "";
    const int terms = 1 + rng() % (depth == 2 ? 40 : 8);
    for (int t = 0; t < terms; ++t) {
      if (t) out += "+-"[rng() % 2];
      const int factors = 1 + rng() % 6;
      for (int f = 0; f < factors; ++f) {
        if (f) out += "*/"[rng() % 2];
        if (depth > 0 && rng() % 6 == 0) out += rng() % 2 ? "(-(" + sum(depth - 1) + "))" : "(" + sum(depth - 1) + ")";
        else out += var();
      }
    }
    return out;
  };
  std::vector<std::string> texts = {Joined(16, "+"), Joined(16, "-"), Joined(16, "*"), Joined(16, "/"),
                                    "-(" + Joined(16, "+") + ")+x1-x2+x3", "x1/x2/x3*x4/x5*x6*x7/x8"};
  for (int i = 0; i < 50; ++i) texts.push_back(sum(2));
  for (const auto& text : texts) {
    for (std::uint8_t brackets : {0, 1}) {
      const long double want = Run(text, ooStandart, brackets);
      for (TOutOfOrder mode : {ooSoft, ooAgressive}) {
        const long double got = Run(text, mode, brackets);
        EXPECT_NEAR(got, want, 1e-12L * std::max(1.0L, std::fabs(want)))
            << text << " OutOfOrder " << int(mode) << " EliminateBrackets " << int(brackets);
      }
    }
  }
}

}  // namespace
}  // namespace fennic::test
