// Variable and function codes whose bytes equal "(", ")", "+", "-", "*", "/",
// "," or the constant marker simplify exactly like any other code.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/never_called.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

double gValue;

class SpecialCodesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Codes are registry positions: fill up to each wanted code.
    const std::map<int, const char*> vars = {{10, "a"}, {40, "b"},  {41, "c"}, {42, "d"},
                                             {43, "e"}, {44, "g"},  {45, "h"}, {47, "m"},
                                             {299, "n"} /* 2B 01 00 00 */};
    for (int code = 1; code <= 299; ++code) {
      auto it = vars.find(code);
      const std::string name = it != vars.end() ? it->second : "fill" + std::to_string(code);
      ASSERT_EQ(S.RegisterVarExt(name, vtDouble, &gValue), code);
    }
    const std::map<int, const char*> funcs = {{10, "fa"}, {40, "fb"}, {41, "fc"}, {44, "fg"}, {45, "fh"}};
    for (int code = 1; code <= 45; ++code) {
      auto it = funcs.find(code);
      const std::string name = it != funcs.end() ? it->second : "ffill" + std::to_string(code);
      ASSERT_EQ(S.RegisterFuncExt(name, "", ctCdecl, frDouble, 0, NeverCalled, false), code);
    }
  }
  TSimplerProbe S;
};

TEST_F(SpecialCodesTest, SimplifyLikeAnyCode) {
  struct TCase {
    const char* Text;
    const char* Coded;
    std::vector<long double> Table;
  };
  const TCase cases[] = {
      {"2*b+3", "K+K*B", {3, 2}},
      {"b*2*3", "K*B", {6}},
      {"-b*c", "-B*C", {}},
      {"e*(-g)", "-E*G", {}},
      {"b--c", "B+C", {}},
      {"b-(c-1)", "K+B-C", {1}},
      {"b-((c+h)*a+m)", "B-(C+H)*A-M", {}},
      {"b/(c*d)", "B/C/D", {}},
      {"n/(2*h)", "K*N/H", {0.5}},
      {"h*(2*g)+(3+b)-(a-4)", "K+K*H*G+B-A", {7, 2}},
      {"fb*(fc-1)+fa/(2*fg)", "@fb*(K+@fc)+K*@fa/@fg", {-1, 0.5}},
      {"-(fh*fa)", "-@fh*@fa", {}},
      {"(a+fb)*(fg-c)", "(A+@fb)*(@fg-C)", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(S.Simplified(c.Text), c.Coded);
    EXPECT_EQ(S.FCompError, eNone);
    EXPECT_EQ(S.Values(), c.Table);
  }
}

TEST_F(SpecialCodesTest, ErrorsAreFoundBehindThem) {
  for (auto [text, error] : {std::pair{"b*(c", eEdge}, {"b*c)", eOpExpected}, {"fb(1)", eParameter}, {"b-", eValExpected}}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(S.Simplified(text), "");
    EXPECT_EQ(S.FCompError, error);
  }
}

}  // namespace
}  // namespace fennic::testing
