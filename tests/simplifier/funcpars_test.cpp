// Call arguments: split, checked and coded against each parameter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/never_called.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

std::int32_t gInt;
double gDouble;
float gSingle;
std::int64_t gInt64;

class FuncParsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(S.RegisterVarExt("x", vtInt32, &gInt), 0);
    ASSERT_NE(S.RegisterVarExt("d", vtDouble, &gDouble), 0);
    ASSERT_NE(S.RegisterVarExt("s", vtSingle, &gSingle), 0);
    ASSERT_NE(S.RegisterVarExt("big", vtInt64, &gInt64), 0);
    // None of these is foldable: arguments stay coded. No call is ever made.
    const struct {
      const char* Name;
      const char* ParamText;
      TFuncResult Result;
    } funcs[] = {
        {"g", "vf64vi32", frDouble}, {"h", "vi32", frDouble},     {"u8", "vu08", frDouble},
        {"i8", "vi08", frDouble},    {"u16", "vu16", frDouble},   {"i16", "vi16", frDouble},
        {"u32", "vu32", frDouble},   {"i64", "vi64", frDouble},   {"r", "rf64", frDouble},
        {"ri", "ri32vf64", frDouble}, {"np", "", frDouble},       {"fi", "", frInt32},
        {"fi2", "vi32", frInt64},    {"fres", "", frDouble},      {"three", "vf64vf64vf64", frDouble},
    };
    for (const auto& f : funcs) ASSERT_NE(S.RegisterFuncExt(f.Name, f.ParamText, ctCdecl, f.Result, 0, NeverCalled, false), 0) << f.Name;
  }
  TSimplerProbe S;
};

TEST_F(FuncParsTest, CodedArguments) {
  struct TCase {
    const char* Text;
    const char* Coded;
    std::vector<long double> Table;
  };
  const TCase cases[] = {
      {"g(2*3,-5)", "@g(K,#4:-5)", {6}},
      {"g(d+1,x)", "@g(K+D,X)", {1}},
      {"g(x,-x)", "@g(X,-X)", {}},
      {"g((1+d)*2, 7)", "@g(K*(K+D),#4:7)", {2, 1}},
      {"g(1,--5)", "@g(K,#4:5)", {1}},
      {"g(1,+-5)", "@g(K,#4:-5)", {1}},
      {"g(1,-+-+-5)", "@g(K,#4:-5)", {1}},
      {"h(007)", "@h(#4:7)", {}},
      {"h(fennicid)", "@h(FENNICID)", {}},
      {"h(-fi)", "@h(-@fi)", {}},
      {"h(-fi())", "@h(-@fi)", {}},
      {"h(-fi2(3))", "@h(-@fi2(#4:3))", {}},
      {"h(fi2(-x))", "@h(@fi2(-X))", {}},
      {"h(--big)", "@h(BIG)", {}},
      {"u8(255)", "@u8(#1:255)", {}},
      {"u8(0)", "@u8(#1:0)", {}},
      {"i8(-128)", "@i8(#0:-128)", {}},
      {"u16(65535)", "@u16(#3:65535)", {}},
      {"i16(-32768)", "@i16(#2:-32768)", {}},
      {"u32(4294967295)", "@u32(#5:4294967295)", {}},
      {"i64(9223372036854775807)", "@i64(#6:9223372036854775807)", {}},
      {"i64(-9223372036854775808)", "@i64(#6:-9223372036854775808)", {}},
      {"r(d)", "@r(d)", {}},
      {"r(D)", "@r(D)", {}},
      {"ri(fennicid,1)", "@ri(fennicid,K)", {1}},
      {"np", "@np", {}},
      {"np()", "@np", {}},
      {"2*np+g(1,2)*3", "K*@np+K*@g(K,#4:2)", {2, 3, 1}},
      {"three(1,x,3)", "@three(K,X,K)", {1, 3}},
      {"three(g(1,2),(x),-(3))", "@three(@g(K,#4:2),X,K)", {1, -3}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(S.Simplified(c.Text), c.Coded);
    EXPECT_EQ(S.FCompError, eNone);
    EXPECT_EQ(S.Values(), c.Table);
  }
}

TEST_F(FuncParsTest, ArgumentErrors) {
  const std::pair<const char*, TError> cases[] = {
      {"g(1,,2)", eValExpected},
      {"h()", eValExpected},
      {"h", eValExpected},
      {"h(-)", eValExpected},
      {"h(+-+)", eValExpected},
      {"g(,1)", eValExpected},
      {"g(1,)", eValExpected},
      {"g(1)", eParameter},
      {"g", eParameter},
      {"h(1,2)", eParameter},
      {"g(1,2,3)", eParameter},
      {"np(1)", eParameter},
      {"np(())", eParameter},
      {"u8(256)", eOutOfRange},
      {"u8(-1)", eOutOfRange},
      {"i8(128)", eOutOfRange},
      {"i8(-129)", eOutOfRange},
      {"u16(65536)", eOutOfRange},
      {"i16(32768)", eOutOfRange},
      {"u32(-1)", eOutOfRange},
      {"u32(4294967296)", eOutOfRange},
      {"h(2147483648)", eOutOfRange},
      {"i64(9223372036854775808)", eOutOfRange},
      {"i64(99999999999999999999999)", eOutOfRange},
      {"h(2+3)", eType},
      {"h(2.5)", eType},
      {"h(1e3)", eType},
      {"h(x*2)", eType},
      {"h(x y)", eType},
      {"h(d)", eType},
      {"h(s)", eType},
      {"h(fres)", eType},
      {"h(fres())", eType},
      {"h(fi2(1)x)", eType},
      {"h(fi2(1)+1)", eType},
      {"h((1))", eUnknown},
      {"r(d+1)", eVarParameter},
      {"r(2)", eVarParameter},
      {"r(s)", eVarParameter},
      {"r(x)", eVarParameter},
      {"r(q)", eVarParameter},
      {"r(-d)", eVarParameter},
      {"r(d d)", eVarParameter},
      {"h(q)", eUnknown},
      {"h(-q(1))", eUnknown},
      {"g(q,1)", eUnknown},
      {"g(1,fi2(q))", eUnknown},
      {"g(1,h(q))", eType},
      {"g(1,fi2(1,2))", eParameter},
      {"g(1/,2)", eValExpected},
      {"g((1,2)", eEdge},
  };
  for (auto [text, error] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(S.Simplified(text), "");
    EXPECT_EQ(S.FCompError, error);
  }
}

}  // namespace
}  // namespace fennic::testing
