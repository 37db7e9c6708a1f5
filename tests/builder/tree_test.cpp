#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "support/never_called.h"
#include "support/simplifier_probe.h"
#include "testbuilder.h"

namespace fennic::test {
namespace {

double X = 1.5, Y = -2.25, Z = 3.125, W = 0.75, E = 0.1;
float S = 2.5f;
std::int32_t N = 7;

// Variables x, y, z, w (codes 1 to 4, double), n (5, int32), s (6, single),
// e (7, extended). Functions f (1: two doubles), g (2: one int32),
// h (3: no parameters), r (4: a double by reference), k (5: a double,
// integer result).
class TreeTest : public ::testing::Test {
 protected:
  TTestBuilder B;
  void SetUp() override {
    B.RegisterVarExt("x", vtDouble, &X);
    B.RegisterVarExt("y", vtDouble, &Y);
    B.RegisterVarExt("z", vtDouble, &Z);
    B.RegisterVarExt("w", vtDouble, &W);
    B.RegisterVarExt("n", vtInt32, &N);
    B.RegisterVarExt("s", vtSingle, &S);
    B.RegisterVarExt("e", vtExtended, &E);
    B.RegisterFuncExt("f", "vf64vf64", ctStdcall, frDouble, 0, fennic::testing::NeverCalled, false);
    B.RegisterFuncExt("g", "vi32", ctRegister, frDouble, 0, fennic::testing::NeverCalled, false);
    B.RegisterFuncExt("h", "", ctCdecl, frDouble, 0, fennic::testing::NeverCalled, false);
    B.RegisterFuncExt("r", "rf64", ctCdecl, frDouble, 0, fennic::testing::NeverCalled, false);
    B.RegisterFuncExt("k", "vf64", ctCdecl, frInt32, 0, fennic::testing::NeverCalled, false);
  }
  std::string Shape(std::string_view Src) {
    B.Run(Src);
    EXPECT_FALSE(B.ErrorRaised()) << Src;
    return B.Tree0();
  }
};

TEST_F(TreeTest, ShapesAndNegationsGatheredAtTheRoot) {
  const std::pair<const char*, const char*> cases[] = {
      {"x", "v1"},
      {"-x", "-v1"},
      {"x-y+z", "((v1-v2)+v3)"},         // equal rank grows to the left
      {"x/y*z", "((v1*v3)/v2)"},         // regrouped: the division last
      {"x+y*z", "(v1+(v2*v3))"},
      {"-x*y+z", "(v3-(v1*v2))"},        // the product is subtracted from z
      {"(-x)-y", "-(v2+v1)"},
      {"-(x-y)", "(v2-v1)"},
      {"(-x)+(-y)", "-(v1+v2)"},
      {"x+(-y)", "(v1-v2)"},
      {"(-x)+y", "(v2-v1)"},
      {"(-x)-(-y)", "(v2-v1)"},
      {"x-(-y)", "(v1+v2)"},
      {"(-x)*y", "-(v1*v2)"},
      {"(-x)/(-y)", "(v1/v2)"},
      {"-(-x)", "v1"},
      {"-(-x-y)", "(v2+v1)"},
      {"x*(y-z)/w", "((v1*(v2-v3))/v4)"},
  };
  for (const auto& [src, want] : cases) EXPECT_EQ(Shape(src), want) << src;
}

TEST_F(TreeTest, CallArgumentsBecomeTreesAndParameterNodes) {
  B.AddSingle(1.0f);
  B.Run("f(x+#,y)");
  EXPECT_EQ(B.Trees(), "T0: f1(t1,t2)\nT1: (v1+s@0)\nT2: v2\n");

  B.ClearConsts();
  const std::pair<const char*, const char*> cases[] = {
      {"g(-n)", "T0: f2(p0)\nP0: -v5\n"},
      {"g(n)*h", "T0: (f2(p0)*f3)\nP0: v5\n"},
      {"r(&x)+x", "T0: (f4(&v1)+v1)\n"},
      {"g($-5)", "T0: f2(p0)\nP0: #-5\n"},
      {"g(-$5)", "T0: f2(p0)\nP0: #-5\n"},  // the sign goes into the value
      {"g(-k(x))", "T0: f2(p0)\nT1: v1\nP0: -f5(t1)\n"},
      // An argument's own arguments come right after it.
      {"f(f(x,y),z)+f(w,x)", "T0: (f1(t1,t4)+f1(t5,t6))\nT1: f1(t2,t3)\nT2: v1\nT3: v2\nT4: v3\n"
                             "T5: v4\nT6: v1\n"},
      // Argument trees get their negations gathered too.
      {"f(-(x-y),-x*y)", "T0: f1(t1,t2)\nT1: (v2-v1)\nT2: -(v1*v2)\n"},
  };
  for (const auto& [src, want] : cases) {
    B.Run(src);
    EXPECT_FALSE(B.ErrorRaised()) << src;
    EXPECT_EQ(B.Trees(), want) << src;
  }
  B.Run("h");
  ASSERT_EQ(B.FTrees.size(), 1u);
  EXPECT_EQ(B.FTrees[0]->Kind, TNodeKind::Call);
  EXPECT_EQ(B.FTrees[0]->ArgCount, 0);
}

TEST_F(TreeTest, ConstantsAreReadInTextOrderAtTheirWidths) {
  B.AddSingle(3.0f);
  B.AddDouble(1e20);
  B.AddExt(0.1L);
  B.AddDouble(1e20);
  B.Run("#+#*x+#-#");
  TSingleBits s;
  TDoubleBits d;
  TExtendedBits e;
  float sv = 3.0f;
  double dv = 1e20;
  long double ev = 0.1L;
  std::memcpy(s.data(), &sv, 4);
  std::memcpy(d.data(), &dv, 8);
  std::memcpy(e.data(), &ev, 10);
  // Widths 4, 8, 10 and 8 start at offsets 0, 4, 12 and 22.
  EXPECT_EQ(B.FConstIndex, 4);
  EXPECT_EQ(B.FConstBytes, 30);
  const std::string so = std::to_string(B.FBase16 + 12);
  const std::string dofs = std::to_string(B.FBase8);
  const std::string eo = std::to_string(B.FBase16);
  // Four terms regroup into two pairs.
  EXPECT_EQ(B.Tree0(), "((s@" + so + "+(d@" + dofs + "*v1))+(e@" + eo + "-d@" + dofs + "))");
  EXPECT_TRUE(B.FConstCopy.empty()) << "the copy lives only during the parse";
  EXPECT_TRUE(B.FSingles.empty() && B.FDoubles.empty() && B.FExtendeds.empty());
}

TEST_F(TreeTest, BytesOfCodesAreNeverReadAsSyntax) {
  // Codes whose bytes are "(", ")", ",", "+", "-", "*", "/" and the markers.
  TTestBuilder b;
  std::int32_t v = 0;
  for (int i = 1; i <= 48; ++i) b.RegisterVarExt("v" + std::to_string(i), vtInt32, &v);
  for (int i = 1; i <= 47; ++i) b.RegisterFuncExt("fn" + std::to_string(i), "vf64vi32", ctCdecl, frDouble, 0, fennic::testing::NeverCalled, false);
  b.RegisterFuncExt("fn48", "vf64vi32", ctCdecl, frDouble, 0, fennic::testing::NeverCalled, false);
  b.Run("v40+v41*v44-fn41(v40,v10)/fn44(v12-v13,v31)+fn40(v43,$11)");
  ASSERT_FALSE(b.ErrorRaised());
  EXPECT_EQ(b.Trees(),
            "T0: ((v40+(v41*v44))-((f41(t1,p0)/f44(t2,p1))-f40(t3,p2)))\n"
            "T1: v40\nT2: (v12-v13)\nT3: v43\nP0: v10\nP1: v31\nP2: #11\n");
}

TEST_F(TreeTest, OnlyRootsCarryMinusAndEveryOperatorHasTwoOperands) {
  // Random texts with negations everywhere; the value the tree computes must
  // equal the value of the text, and no node below a root may be negated.
  const long double values[] = {1.5L, -2.25L, 3.125L, 0.75L};
  std::mt19937 rng(7);
  std::function<std::string(int)> sum = [&](int depth) {
    std::string out;
    if (rng() % 3 == 0) out += '-';
    int terms = 1 + rng() % 3;
    for (int t = 0; t < terms; ++t) {
      if (t) out += "+-"[rng() % 2];
      int factors = 1 + rng() % 3;
      for (int f = 0; f < factors; ++f) {
        if (f) out += "*/"[rng() % 2];
        if (depth > 0 && rng() % 3 == 0) out += "(" + sum(depth - 1) + ")";
        else out += "xyzw"[rng() % 4];
      }
    }
    return out;
  };
  // Reference: recursive descent over the readable text.
  std::function<long double(const std::string&, std::size_t&)> evalSum;
  auto evalOperand = [&](const std::string& s, std::size_t& p) -> long double {
    if (s[p] == '(') {
      ++p;
      long double v = evalSum(s, p);
      ++p;
      return v;
    }
    return values[std::string_view("xyzw").find(s[p++])];
  };
  auto evalProduct = [&](const std::string& s, std::size_t& p) {
    long double v = evalOperand(s, p);
    while (p < s.size() && (s[p] == '*' || s[p] == '/')) {
      char op = s[p++];
      long double r = evalOperand(s, p);
      v = op == '*' ? v * r : v / r;
    }
    return v;
  };
  evalSum = [&](const std::string& s, std::size_t& p) {
    bool neg = s[p] == '-';
    if (neg) ++p;
    long double v = evalProduct(s, p);
    if (neg) v = -v;
    while (p < s.size() && (s[p] == '+' || s[p] == '-')) {
      char op = s[p++];
      long double r = evalProduct(s, p);
      v = op == '+' ? v + r : v - r;
    }
    return v;
  };
  std::function<long double(const TTreeNode*, bool)> evalTree = [&](const TTreeNode* n, bool root) {
    EXPECT_TRUE(root || !n->Minus);
    long double v;
    if (TBuilder::IsLeaf(n)) {
      EXPECT_TRUE(!n->Left && !n->Right);
      v = values[n->Code - 1];
    } else {
      EXPECT_TRUE(n->Left && n->Right);
      long double l = evalTree(n->Left, false), r = evalTree(n->Right, false);
      switch (n->Op) {
        case TOperator::Add: v = l + r; break;
        case TOperator::Sub: v = l - r; break;
        case TOperator::Mul: v = l * r; break;
        default: v = l / r; break;
      }
    }
    return n->Minus ? -v : v;
  };
  for (int i = 0; i < 400; ++i) {
    std::string src = sum(3);
    std::size_t p = 0;
    long double want = evalSum(src, p);
    // As written the tree computes exactly the text's value; regrouped it
    // rounds differently.
    for (TOutOfOrder mode : {ooStandart, ooSoft}) {
      B.SetOutOfOrder(mode);
      B.Run(src);
      ASSERT_FALSE(B.ErrorRaised()) << src;
      long double got = evalTree(B.FTrees[0], true);
      if (mode == ooSoft) {
        if (std::isfinite(want)) {
          EXPECT_NEAR(got, want, 1e-15L * std::max(1.0L, std::fabs(want))) << src << " -> " << B.Tree0();
        }
      } else if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << src;
      } else {
        EXPECT_EQ(got, want) << src << " -> " << B.Tree0();
      }
    }
  }
}

using namespace std::literals;

struct TBrokenCase {
  std::string_view Src;  // readable coded text, or raw when Raw is set
  TError Want;
  bool Raw = false;
};

TEST_F(TreeTest, BrokenTextStopsWithAnErrorAndNoTrees) {
  const TBrokenCase cases[] = {
      {"", eValExpected},
      {"x+", eValExpected},
      {"x*", eValExpected},
      {"+x", eValExpected},
      {")", eValExpected},
      {"x)", eEdge},
      {"(x", eEdge},
      {"(x+y", eEdge},
      {"x(", eOpExpected},
      {"(x,y)", eOpExpected},
      {"x#", eOpExpected},  // two operands in a row
      {"#", eNumFormat},  // no table entry
      {"$5", eType},      // an inline integer outside an integer argument
      {"f", eParameter},
      {"f(x)", eParameter},
      {"f(x,y,z)", eParameter},
      {"h(x)", eParameter},
      {"f(,y)", eValExpected},
      {"f(x,y", eEdge},
      {"f(x,y+)", eValExpected},
      {"g(x)", eType},
      {"g(n+n)", eType},
      {"g(--n)", eType},
      {"g(-)", eValExpected},
      {"g(k(x)+n)", eType},
      {"g(f(x,y))", eType},
      {"r(&x+&y)", eVarParameter},
      {"r(&s)", eVarParameter},
      {"r(&nosuch)", eVarParameter},
      {"\x0c\x01\x00"sv, eValExpected, true},                  // payload cut short
      {"\x0c\x63\x00\x00\x00"sv, eUnknown, true},              // no variable 99
      {"\x1f\x63\x00\x00\x00"sv, eUnknown, true},              // no function 99
      {"\x1f\x01\x00\x00\x00(\x0c\x01\x00\x00\x00"sv, eEdge, true},  // f(x
  };
  for (const TBrokenCase& c : cases) {
    B.FCompError = eNone;
    B.Run("x+f(y,z)*g(n)");  // trees of an earlier compilation must go too
    ASSERT_FALSE(B.ErrorRaised());
    if (c.Raw) B.RunCoded(c.Src);
    else B.Run(c.Src);
    EXPECT_EQ(B.FCompError, c.Want) << c.Src;
    EXPECT_TRUE(B.FTrees.empty()) << c.Src;
    EXPECT_TRUE(B.FParNodes.empty()) << c.Src;
  }
}

TEST_F(TreeTest, NestingUpToTheLimitBuildsAndBeyondIsRefused) {
  const std::int32_t limit = TBuilder::MaxTreeNesting;
  // Brackets, and calls whose argument trees nest, alternately.
  std::string open, close;
  for (std::int32_t i = limit; i-- > 0;) open += i % 2 ? "(-" : "f(";
  for (std::int32_t i = 0; i < limit; ++i) close += i % 2 ? "*y)" : ",z)";
  const std::string deep = open + "x" + close;
  // A stack of 64 MB holds the deepest text in every build.
  fennic::testing::RunWithStack(std::size_t{64} << 20, [&] {
    B.Run(deep);
    ASSERT_FALSE(B.ErrorRaised());
    EXPECT_EQ(B.FTrees.size(), 1u + limit);
    EXPECT_EQ(B.FTopLevel, 0);
    B.FCompError = eNone;
    B.Run("(" + deep + ")");
    EXPECT_EQ(B.FCompError, eEdge);
    EXPECT_TRUE(B.FTrees.empty());
    B.FCompError = eNone;
    B.Run(std::string(limit + 1, '(') + "x" + std::string(limit + 1, ')'));
    EXPECT_EQ(B.FCompError, eEdge);
  });
  // A thread with a small stack gets the same text refused, not a crash.
  B.FCompError = eNone;
  fennic::testing::RunWithStack(std::size_t{1} << 20, [&] { B.Run(deep); });
  EXPECT_EQ(B.FCompError, eEdge);
  EXPECT_TRUE(B.FTrees.empty());
}

TEST_F(TreeTest, MangledTextNeverCrashes) {
  B.AddSingle(2.0f);
  B.AddExt(0.1L);
  const std::string valid = B.Coded("-(x+#)*f(g(-k(y)),e/#)-r(&x)+g($3)");
  B.RunCoded(valid);
  ASSERT_FALSE(B.ErrorRaised());
  const char bytes[] = {'(', ')', ',', '+', '-', '*', '/', 10, 11, 12, 13, 31, 0, 1, 5, 127, -1};
  auto check = [&](const std::string& text) {
    B.FCompError = eNone;
    B.RunCoded(text);
    if (B.ErrorRaised()) {
      EXPECT_TRUE(B.FTrees.empty() && B.FParNodes.empty());
    } else {
      for (const TTreeNode* root : B.FTrees) ASSERT_NE(root, nullptr);
      for (const TTreeNode* par : B.FParNodes) ASSERT_NE(par, nullptr);
    }
  };
  for (std::size_t cut = 0; cut < valid.size(); ++cut) check(valid.substr(0, cut));
  for (std::size_t at = 0; at < valid.size(); ++at)
    for (char c : bytes) {
      std::string text = valid;
      text[at] = c;
      check(text);
      text.insert(at, 1, c);
      check(text);
    }
}

}  // namespace
}  // namespace fennic::test
