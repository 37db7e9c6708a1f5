// Expression text to coded text: shapes, folded constants, table order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/never_called.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

double gx, gy, gz, gw, gv;

class SimplifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [name, addr] : {std::pair{"x", &gx}, {"y", &gy}, {"z", &gz}, {"w", &gw}, {"v", &gv}})
      ASSERT_NE(S.RegisterVarExt(name, vtDouble, addr), 0);
    ASSERT_NE(S.RegisterFuncExt("rnd", "", ctCdecl, frDouble, 0, NeverCalled, false), 0);
  }
  TSimplerProbe S;
};

struct TShapeCase {
  const char* Text;
  TEliminateBrackets Brackets;
  const char* Coded;
  std::vector<long double> Table;
};

const TShapeCase ShapeCases[] = {
    {"2*x+3", ebSoft, "K+K*X", {3, 2}},
    {"1+2*3", ebSoft, "K", {7}},
    {"x*2*3", ebSoft, "K*X", {6}},
    {"x/2", ebSoft, "K*X", {0.5}},
    {"1/x", ebSoft, "K/X", {1}},
    {"2*3*x+4*5", ebSoft, "K+K*X", {20, 6}},
    {"x", ebSoft, "X", {}},
    {"0", ebSoft, "K", {0}},
    {"-x", ebSoft, "-X", {}},
    {"+x", ebSoft, "X", {}},
    {"-x*y", ebSoft, "-X*Y", {}},
    {"x*(-y)", ebSoft, "-X*Y", {}},
    {"x*(-y)", ebStandart, "-X*Y", {}},
    {"x--y", ebSoft, "X+Y", {}},
    {"x+-y", ebSoft, "X-Y", {}},
    {"x---y", ebSoft, "X-Y", {}},
    {"-3", ebSoft, "K", {-3}},
    {"x-3", ebSoft, "K+X", {-3}},
    {"-(x*y)", ebSoft, "-X*Y", {}},
    {"-(2*x)", ebSoft, "-K*X", {2}},
    {"x*(-2*y)", ebSoft, "K*X*Y", {-2}},
    {"x*(2*y)", ebSoft, "K*X*Y", {2}},
    {"2*(3+x)", ebSoft, "K*(K+X)", {2, 3}},
    {"x-(y-1)", ebSoft, "K+X-Y", {1}},
    {"x-(y-1)", ebStandart, "X-(K+Y)", {-1}},
    {"x-((y)+1)", ebSoft, "K+X-Y", {-1}},
    {"x-y-1", ebSoft, "K+X-Y", {-1}},
    {"x-((y+z)*w+v)", ebSoft, "X-(Y+Z)*W-V", {}},
    {"(1+x)+(2+y)", ebSoft, "K+X+Y", {3}},
    {"(1+x)-(2+y)", ebSoft, "K+X-Y", {-1}},
    {"x/(y*z)", ebSoft, "X/Y/Z", {}},
    {"x/(y/z)", ebSoft, "X/Y*Z", {}},
    {"x/(y*z)", ebStandart, "X/(Y*Z)", {}},
    {"x/(2*y)", ebSoft, "K*X/Y", {0.5}},
    {"x/(-(y*z))", ebStandart, "-X/(Y*Z)", {}},
    {"((x))", ebSoft, "X", {}},
    {"((x))", ebStandart, "((X))", {}},
    {"(x+y)*(z-w)", ebSoft, "(X+Y)*(Z-W)", {}},
    {"2*(x+y)*3", ebSoft, "K*(X+Y)", {6}},
    {"x*(y+(z+1))", ebSoft, "X*(K+Y+Z)", {1}},
    {" 2 *  x ", ebSoft, "K*X", {2}},
    {"\t2\n*\r\nx\v", ebSoft, "K*X", {2}},
    {"( x + 1 ) * y", ebSoft, "(K+X)*Y", {1}},
    {"rnd", ebSoft, "@rnd", {}},
    {"rnd()*2", ebSoft, "K*@rnd", {2}},
    {"RND+X", ebSoft, "@rnd+X", {}},
    {"fennicid*x", ebSoft, "FENNICID*X", {}},
    // Numbers in every accepted form.
    {"3", ebSoft, "K", {3}},
    {"3.", ebSoft, "K", {3}},
    {"3.25", ebSoft, "K", {3.25}},
    {"007", ebSoft, "K", {7}},
    {"1e5", ebSoft, "K", {100000}},
    {"1E5", ebSoft, "K", {100000}},
    {"1e+5", ebSoft, "K", {100000}},
    {"1.e5", ebSoft, "K", {100000}},
    {"2.5e-1", ebSoft, "K", {0.25}},
    {"1.5E-3", ebSoft, "K", {1.5E-3L}},
    {"1.5E-3*x", ebSoft, "K*X", {1.5E-3L}},
    {"x-1.5e-3-1e+2", ebSoft, "K+X", {-1.5e-3L - 100}},
};

TEST_F(SimplifyTest, Shapes) {
  for (const TShapeCase& c : ShapeCases) {
    SCOPED_TRACE(c.Text);
    S.SetEliminateBrackets(c.Brackets);
    EXPECT_EQ(S.Simplified(c.Text), c.Coded);
    EXPECT_EQ(S.FCompError, eNone);
    EXPECT_EQ(S.Values(), c.Table);
    EXPECT_EQ(S.FConstBytes, static_cast<std::int32_t>(S.FConstData.size()));
  }
}

TEST_F(SimplifyTest, ExactCodedBytes) {
  std::string s = "2*x+3";
  S.Simplify(s);
  const std::string expected = std::string("\x0A+\x0A*\x0C", 5) + std::string("\x01\x00\x00\x00", 4);
  EXPECT_EQ(s, expected);
  EXPECT_EQ(S.FConstSizes, (std::vector<std::uint8_t>{4, 4}));
  const float three = 3, two = 2;
  std::vector<std::uint8_t> data(8);
  std::memcpy(data.data(), &three, 4);
  std::memcpy(data.data() + 4, &two, 4);
  EXPECT_EQ(S.FConstData, data);
}

struct TErrorCase {
  const char* Text;
  TError Error;
};

const TErrorCase ErrorCases[] = {
    {"", eValExpected},
    {"   \t ", eValExpected},
    {"x-", eValExpected},
    {"x+", eValExpected},
    {"-", eValExpected},
    {"2*", eValExpected},
    {"2*-3", eValExpected},
    {"2/+3", eValExpected},
    {".5", eValExpected},
    {"*3", eValExpected},
    {")", eValExpected},
    {"()", eValExpected},
    {"x*()", eValExpected},
    {"x+$", eValExpected},
    {"1.2.3", eNumFormat},
    {"1e", eNumFormat},
    {"1e+-5", eNumFormat},
    {"1e5.5", eNumFormat},
    {"2e5000", eNumFormat},
    {"2x", eOpExpected},
    {"2(3)", eOpExpected},
    {"x y", eOpExpected},
    {"x  \t y", eOpExpected},
    {"2 3", eOpExpected},
    {"x(1)", eOpExpected},
    {"x)", eOpExpected},
    {"(x)y", eOpExpected},
    {"x^2", eOpExpected},
    {"(x", eEdge},
    {"x*(y+1", eEdge},
    {"x+((y)", eEdge},
    {"rnd(", eEdge},
    {"q", eUnknown},
    {"q(1)", eUnknown},
    {"x*q+1", eUnknown},
    {"rnd(1)", eParameter},
};

TEST_F(SimplifyTest, TextErrors) {
  for (const TErrorCase& c : ErrorCases) {
    SCOPED_TRACE(c.Text);
    std::string s = c.Text;
    S.Simplify(s);
    EXPECT_EQ(S.FCompError, c.Error);
    EXPECT_TRUE(s.empty());
  }
}

TEST_F(SimplifyTest, EachCompilationStartsClean) {
  EXPECT_EQ(S.Simplified("x+"), "");
  EXPECT_EQ(S.FCompError, eValExpected);
  EXPECT_EQ(S.Simplified("1+x*2"), "K+K*X");
  EXPECT_EQ(S.FCompError, eNone);
  EXPECT_EQ(S.Values(), (std::vector<long double>{1, 2}));
}

TEST_F(SimplifyTest, LiteralsAreCorrectlyRounded) {
  // Decimal texts whose nearest 80-bit values are known.
  EXPECT_EQ(S.Simplified("0.1"), "K");
  EXPECT_EQ(S.Values()[0], 0.1L);
  EXPECT_EQ(S.Simplified("3.141592653589793238462643383279"), "K");
  EXPECT_EQ(S.Values()[0], 3.141592653589793238462643383279L);
  // Below the extended range: rounds to a denormal or to 0.
  EXPECT_EQ(S.Simplified("1e-5000"), "K");
  EXPECT_EQ(S.Values()[0], 0.0L);
}

}  // namespace
}  // namespace fennic::testing
