#include <functional>

#include "support/never_called.h"
#include "testbuilder.h"

namespace fennic::test {
namespace {

double X = 1, Y = 2, EV = 3;
std::int32_t N = 4;
std::uint32_t U = 5;
std::int64_t Q = 6;
float S = 7;

// In a 64-bit process a call of a host routine needs all eight x87
// registers, whatever StackNeeds it was registered with.
constexpr int AllRegisters = 8;

// Variables: x 1, y 2 (double), n 3 (int32), e 4 (extended), u 5 (uint32),
// q 6 (int64), s 7 (single).
class StackUsageTest : public ::testing::Test {
 protected:
  TTestBuilder B;
  void SetUp() override {
    // Labels are checked on trees shaped as the texts are written.
    B.SetOutOfOrder(ooStandart);
    B.RegisterVarExt("x", vtDouble, &X);
    B.RegisterVarExt("y", vtDouble, &Y);
    B.RegisterVarExt("n", vtInt32, &N);
    B.RegisterVarExt("e", vtExtended, &EV);
    B.RegisterVarExt("u", vtUInt32, &U);
    B.RegisterVarExt("q", vtInt64, &Q);
    B.RegisterVarExt("s", vtSingle, &S);
    Func("fd", "vf64", ctStdcall, frDouble, 0);          // 1
    Func("gd", "vf64", ctStdcall, frDouble, 0);          // 2
    Func("ki", "vf64", ctStdcall, frInt32, 0);           // 3: integer result
    Func("f8", "vf64", ctStdcall, frDouble, 8);          // 4
    Func("b6", "vf64vf64vf64", ctBuilt_in, frDouble, 6); // 5
    Func("b0", "vf64vf64", ctBuilt_in, frDouble, 0);     // 6
    Func("fe", "", ctStdcall, frExtended, 0);            // 7
    Func("fu", "", ctStdcall, frUInt32, 0);              // 8
    Func("gi", "vi32", ctRegister, frDouble, 0);         // 9
  }
  void Func(const char* Name, const char* Params, TCallType Call, TFuncResult Result, int Needs) {
    // Inline code is never run here; it only has to be there.
    B.RegisterFuncExt(Name, Params, Call, Result, Needs, fennic::testing::NeverCalled, false, {0xD9, 0xD0});
  }
  void Build(std::string_view Src) {
    B.Run(Src);
    ASSERT_FALSE(B.ErrorRaised()) << Src;
  }
  // A perfectly balanced sum of 2^Depth x's, written with brackets.
  static std::string Balanced(int Depth) {
    if (Depth == 0) return "x";
    std::string half = Balanced(Depth - 1);
    return "(" + half + "+" + half + ")";
  }
};

TEST_F(StackUsageTest, NeedCountsRegistersOfLeavesWithoutMemoryOperandForm) {
  B.AddExt(0.1L);
  B.AddDouble(0.1);
  const std::pair<const char*, int> cases[] = {
      {"x", 1},  // a whole tree ends in a register
      {"x+y", 1},        {"x+e", 1},     {"e*e", 2},   {"u-q", 2},
      {"n/s", 1},        {"fe+fu", 2},   {"fd(x)*y", 1},
      {"(x+y)*(x+y)", 2}, {"((x+y)*(x+y))-x", 2},
  };
  for (const auto& [src, need] : cases) {
    Build(src);
    EXPECT_EQ(B.FTrees[0]->Need, need) << src;
  }
  B.Run("#*#");  // extended, then double
  EXPECT_EQ(B.Tree0(true), "(e@" + std::to_string(B.FBase16) + "[1/1]*d@" +
                              std::to_string(B.FBase8) + "[0/0])[1/1]");
}

TEST_F(StackUsageTest, PlainSumNeedsOneRegister) {
  Build("x+y");
  EXPECT_EQ(B.Tree0(true), "(v1[0/0]+v2[0/0])[1/1]");
  EXPECT_EQ(B.FTopLevel, 0);
}

TEST_F(StackUsageTest, BalancedTreeOf512LeavesNeedsNineAndFlushesNothing) {
  Build(Balanced(9));
  const TTreeNode* root = B.FTrees[0];
  EXPECT_EQ(B.LeafCount(root), 512);
  EXPECT_EQ(root->Need, 9);
  EXPECT_EQ(root->Usage, 9);
  EXPECT_EQ(B.Tree0(true).find('!'), std::string::npos);
  EXPECT_EQ(B.FTopLevel, 0);
}

TEST_F(StackUsageTest, CallsInPlaceCountTheirResultRegister) {
  Build("fd(x)+gd(y)");
  // In a 64-bit process the second call runs ahead.
  EXPECT_EQ(B.Trees(true), Target64 ? "T0: (f1(t1)[0/8]+f2(t2)[0/0]!)[1/8]\nT1: v1[1/1]\nT2: v2[1/1]\n"
                                    : "T0: (f1(t1)[0/1]+f2(t2)[0/1])[1/2]\nT1: v1[1/1]\nT2: v2[1/1]\n");
}

TEST_F(StackUsageTest, IntegerResultIsFlushedOneLevelUp) {
  Build("x+ki(y)");
  EXPECT_EQ(B.Tree0(true), "(v1[0/0]+f3(t1)[0/0]!)[1/1]");
  EXPECT_EQ(B.FTopLevel, 1);
  // At the root of an argument tree it stays flushed: its result reaches
  // the x87 only through a temporary.
  Build("fd(ki(y))");
  EXPECT_TRUE(B.FTrees[1]->Flushed);
  EXPECT_EQ(B.FTopLevel, 1);
  // Flushed calls inside the arguments of a flushed call go one level higher.
  Build("ki(x+ki(y))");
  EXPECT_EQ(B.FTopLevel, 2);
}

TEST_F(StackUsageTest, TwoFullCallsAddedFlushTheRightOne) {
  Build("f8(x)+f8(y)");
  EXPECT_EQ(B.Tree0(true), "(f4(t1)[0/8]+f4(t2)[0/0]!)[1/8]");
  EXPECT_EQ(B.FTopLevel, 1);
}

TEST_F(StackUsageTest, LevelsOfALaterFlushFollowTheCall) {
  // The right call is flushed after its arguments were analysed on level 0;
  // the integer call inside them then runs on level 2.
  Build("f8(x)+f8(ki(y))");
  EXPECT_TRUE(B.FTrees[0]->Right->Flushed);
  EXPECT_EQ(B.FTopLevel, 2);
  Build("f8(ki(y))+f8(x)");
  EXPECT_EQ(B.FTopLevel, 1);
}

TEST_F(StackUsageTest, NestedFlushesStayLinearInTheNesting) {
  // Every level flushes the call that holds the next one; analysing the
  // arguments again per flush would double the work per level, and the
  // build would not finish within the test's time limit.
  const int depth = 40;
  std::string src = "x";
  for (int i = 0; i < depth; ++i) src = "f8(x)+f8(" + src + ")";
  Build(src);
  EXPECT_EQ(B.FTopLevel, depth);
}

TEST_F(StackUsageTest, ArgumentCostsFollowTheirForm) {
  B.AddSingle(2.0f);
  const std::pair<const char*, int> cases[] = {
      {"fd(x)", 0},     // copied as it is
      {"fd(#)", 0},     // converted while compiling
      {"fd(-x)", 1},    {"fd(s)", 1}, {"fd(x+y)", 1}, {"fd((x+y)*(x+y))", 2},
      {"gi(n)", 0},     {"gi(ki(x+y))", Target64 ? AllRegisters : 1},
  };
  for (const auto& [src, needs] : cases) {
    Build(src);
    EXPECT_EQ(B.ParameterNeeds(B.FTrees[0], 8), needs) << src;
  }
  // A call inside an integer argument runs in place, never flushed.
  Build("gi(ki(x+y))");
  EXPECT_FALSE(B.FParNodes[0]->Flushed);
  EXPECT_EQ(B.FParNodes[0]->Usage, Target64 ? AllRegisters : 1);
  EXPECT_EQ(B.FTopLevel, 0);
}

TEST_F(StackUsageTest, BuiltInTakesOnlyWhatFitsOnTheX87) {
  // StackNeeds 6 leaves room for two x87 arguments; the third is costed alone.
  Build("b6(x+y,x+y,(x+y)*(x+y))");
  EXPECT_EQ(B.ParameterNeeds(B.FTrees[0], 8), 2);
  EXPECT_EQ(B.FTrees[0]->Usage, 8);

  // The second of two arguments that need all eight registers is computed
  // on a level of its own and reloaded.
  const std::string full = Balanced(8);
  Build("b0(" + full + "," + full + ")");
  EXPECT_FALSE(B.FTrees[1]->Flushed);
  EXPECT_TRUE(B.FTrees[2]->Flushed);
  EXPECT_EQ(B.ParameterNeeds(B.FTrees[0], 8), 8);
  EXPECT_EQ(B.FTopLevel, 1);
  // A flushed call inside the isolated argument runs one level above it.
  Build("b0(" + full + "," + full + "+ki(y))");
  EXPECT_TRUE(B.FTrees[2]->Flushed);
  EXPECT_EQ(B.FTopLevel, 2);
}

TEST_F(StackUsageTest, BuiltInFlushesCallsOutOfArgumentsThatDoNotFit) {
  // Both arguments use all eight registers through a call; the one placed
  // second loses its call instead of being isolated.
  Build("b0(f8(x),f8(y)*x)");
  ASSERT_EQ(B.Trees(), "T0: f6(t1,t3)\nT1: f4(t2)\nT2: v1\nT3: (f4(t4)*v1)\nT4: v2\n");
  const TTreeNode* second = B.FTrees[3];
  EXPECT_TRUE(second->Left->Flushed);
  EXPECT_FALSE(second->Flushed);
  EXPECT_FALSE(B.FTrees[1]->Flushed);
  EXPECT_EQ(B.FTopLevel, 1);
}

TEST_F(StackUsageTest, LongChainsAreWalkedWithoutRecursion) {
  const int terms = 100000;
  std::string src = "-x*y";
  for (int i = 1; i < terms; ++i) src += i % 3 ? "+x" : "-fd(y)";
  Build(src);
  const TTreeNode* root = B.FTrees[0];
  EXPECT_EQ(B.LeafCount(root), terms + 1);
  EXPECT_EQ(B.OpCount(root), terms);
  EXPECT_EQ(root->Usage, Target64 ? AllRegisters : 2);
  EXPECT_EQ(B.FTrees.size(), 1u + (terms - 1) / 3);
  for (const TTreeNode* n = root; !TBuilder::IsLeaf(n); n = n->Left) ASSERT_FALSE(n->Left->Minus);
  EXPECT_GT(PrintTree(root).size(), static_cast<std::size_t>(terms));
  B.ReleaseTrees();
  EXPECT_TRUE(B.FTrees.empty());

  // Every term a full call: each step flushes the newest.
  src = "f8(x)";
  for (int i = 1; i < terms / 5; ++i) src += "+f8(x)";
  Build(src);
  EXPECT_EQ(B.FTrees[0]->Usage, 8);
  EXPECT_EQ(B.FTopLevel, 1);
}

}  // namespace
}  // namespace fennic::test
