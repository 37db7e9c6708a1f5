// Build from expression text: simplification, pool, trees and labels together.
#include <cmath>
#include <cstring>

#include "support/never_called.h"
#include "testbuilder.h"

namespace fennic::test {
namespace {

double X = 1, Y = 2, Z = 3;
std::int32_t N = 4;

class BuildTest : public ::testing::Test {
 protected:
  TTestBuilder B;
  void SetUp() override {
    B.RegisterVarExt("x", vtDouble, &X);  // v1
    B.RegisterVarExt("y", vtDouble, &Y);  // v2
    B.RegisterVarExt("z", vtDouble, &Z);  // v3
    B.RegisterVarExt("n", vtInt32, &N);   // v4
    B.RegisterFuncExt("h", "", ctStdcall, frDouble, 0, fennic::testing::NeverCalled, false);          // f1
    B.RegisterFuncExt("f", "vf64vi32rf64", ctStdcall, frDouble, 0, fennic::testing::NeverCalled, false);  // f2
    B.RegisterFuncExt("k", "vf64", ctStdcall, frInt32, 0, fennic::testing::NeverCalled, false);           // f3
  }
  std::string Build(std::string Text) {
    B.Build(Text);
    EXPECT_FALSE(B.ErrorRaised()) << Text;
    return B.Trees(true);
  }
  // The value of a number leaf, read from the pool at its own width.
  long double PoolValue(const TTreeNode* Leaf) const {
    const std::uint8_t* at = B.PoolBase() + Leaf->Offset;
    switch (Leaf->Type) {
      case vtSingle: {
        float v;
        std::memcpy(&v, at, 4);
        return v;
      }
      case vtDouble: {
        double v;
        std::memcpy(&v, at, 8);
        return v;
      }
      default: {
        long double v = 0;
        std::memcpy(&v, at, 10);
        return v;
      }
    }
  }
};

TEST_F(BuildTest, ExpressionsBecomeLabelledTrees) {
  const std::pair<const char*, const char*> cases[] = {
      {"x-y+z", "T0: ((v1[0/0]-v2[0/0])[1/1]+v3[0/0])[1/1]\n"},
      {"x/y*z", "T0: ((v1[0/0]*v3[0/0])[1/1]/v2[0/0])[1/1]\n"},  // regrouped: division last
      {"-x*y+z", "T0: (v3[0/0]-(v1[0/0]*v2[0/0])[1/1])[1/1]\n"},
      // A host routine needs one register on i386, all eight in a 64-bit
      // process (every x87 register is the callee's there).
      {"x*h-(y+z)*h", Target64 ? "T0: ((v1[0/0]*f1[0/8])[1/8]-((v2[0/0]+v3[0/0])[1/1]*f1[0/0]!)[1/1])[2/8]\n"
                               : "T0: ((v1[0/0]*f1[0/1])[1/1]-((v2[0/0]+v3[0/0])[1/1]*f1[0/1])[1/2])[2/2]\n"},
      {"x", "T0: v1[1/1]\n"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(Build(text), want) << text;
}

TEST_F(BuildTest, CallArgumentsBecomeTreesParameterNodesAndNames) {
  // 2*x-1 folds to -1+2*x; the by-reference y stays a name.
  EXPECT_EQ(Build("x+f(2*x-1,-n,y)*k(-y)"),
            std::string(Target64 ? "T0: (v1[0/0]+(f2(t1,p0,&v2)[0/8]*f3(t2)[0/0]!)[1/8])[1/8]\n"
                                 : "T0: (v1[0/0]+(f2(t1,p0,&v2)[0/1]*f3(t2)[0/0]!)[1/1])[1/1]\n") +
            "T1: (s@" + std::to_string(B.FBase4) + "[0/0]+(s@" + std::to_string(B.FBase4 + 4) +
            "[0/0]*v1[0/0])[1/1])[1/1]\n"
            "T2: -v2[1/1]\nP0: -v4[0/0]\n");
  EXPECT_EQ(PoolValue(B.FTrees[1]->Left), -1);
  EXPECT_EQ(B.FTopLevel, 1);
  // Parameter nodes live for one compilation, like the trees.
  Build("f(x,n,y)");
  EXPECT_EQ(B.FParNodes.size(), 1u);
  B.ReleaseTrees();
  EXPECT_TRUE(B.FTrees.empty() && B.FParNodes.empty());
}

TEST_F(BuildTest, ConstantsComeFromThePoolInTextOrder) {
  ASSERT_EQ(Build("2*x+3"), "T0: (s@" + std::to_string(B.FBase4) + "[0/0]+(s@" +
                                std::to_string(B.FBase4 + 4) + "[0/0]*v1[0/0])[1/1])[1/1]\n");
  const TTreeNode* root = B.FTrees[0];
  EXPECT_EQ(PoolValue(root->Left), 3);  // the sum's constant stands first
  EXPECT_EQ(PoolValue(root->Right->Left), 2);
  // Repeated values share one pool entry; 0.1 needs the extended format.
  Build("0.1*x+0.1*y");
  ASSERT_EQ(B.FTrees.size(), 1u);
  EXPECT_EQ(B.FConstData.size() - B.FPoolPad, 16u);
  EXPECT_EQ(PrintTree(B.FTrees[0]->Left->Left), PrintTree(B.FTrees[0]->Right->Left));
  EXPECT_EQ(B.FTrees[0]->Left->Left->Type, vtExtended);
  EXPECT_EQ(PoolValue(B.FTrees[0]->Left->Left), 0.1L);
}

TEST_F(BuildTest, FoldedNaNsAndInfinitiesBuild) {
  // With the x87 exceptions masked, folding yields a NaN and an infinity.
  Build("0/0");
  ASSERT_EQ(B.FTrees.size(), 1u);
  EXPECT_TRUE(std::isnan(PoolValue(B.FTrees[0])));
  Build("-1/0");
  ASSERT_EQ(B.FTrees.size(), 1u);
  EXPECT_EQ(PoolValue(B.FTrees[0]), -HUGE_VALL);
}

TEST_F(BuildTest, DeepestNestingTheSimplifierTakesBuilds) {
  B.SetEliminateBrackets(ebStandart);
  std::string text;
  for (int i = TSimpler::MaxNesting; i-- > 0;) text += i % 2 ? "y-(" : "z/(";
  text += "x" + std::string(TSimpler::MaxNesting, ')');
  Build(text);
  ASSERT_EQ(B.FTrees.size(), 1u);
  EXPECT_EQ(B.OpCount(B.FTrees[0]), TSimpler::MaxNesting);
  EXPECT_EQ(B.FTrees[0]->Usage, 1);
}

// Under AddressSanitizer in emulation the address space cannot take the
// allocator's quarantine of a megabyte of text and its half a million nodes;
// the chain is shortened there (the walks are iterative either way).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t ChainBytes = std::size_t{1} << 16;
#else
constexpr std::size_t ChainBytes = std::size_t{1} << 20;
#endif

TEST_F(BuildTest, MegabyteChainBuildsAndIsReleased) {
  std::string text = "x";
  while (text.size() < ChainBytes) text += "+y";
  const auto leaves = static_cast<std::int32_t>(text.size() / 2 + 1);
  B.Build(text);
  ASSERT_FALSE(B.ErrorRaised());
  ASSERT_EQ(B.FTrees.size(), 1u);
  EXPECT_EQ(B.LeafCount(B.FTrees[0]), leaves);
  // The walks' storage grew as deep as the chain and was given back.
  EXPECT_LE(B.FWalks->Capacity(), TWalkStorage::KeptEntries);
  B.ReleaseTrees();
  EXPECT_TRUE(B.FTrees.empty());
}

TEST_F(BuildTest, FailedSimplificationBuildsNoTrees) {
  Build("x+y");
  std::string text = "x+";
  B.Build(text);
  EXPECT_EQ(B.FCompError, eValExpected);
  EXPECT_TRUE(B.FTrees.empty() && B.FParNodes.empty());
}

}  // namespace
}  // namespace fennic::test
