// The simplifier inside a whole compilation: text errors reach CompError,
// and a fault while adding up a sum's constants leaves Compile as an exception.
#include <gtest/gtest.h>

#include "fennic/codegen/fennic.h"
#include "fennic/simplifier/x87guard.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

double gx = 2;

TEST(SimplifierInCompile, TextErrorsReachCompError) {
  TFennic f;
  ASSERT_NE(f.RegisterVarExt("x", vtDouble, &gx), 0);
  const std::pair<const char*, TError> cases[] = {
      {"x+", eValExpected}, {"1.2.3", eNumFormat}, {"2x", eOpExpected}, {"(x", eEdge},
      {"q", eUnknown},      {"", eValExpected},     {"2*x+3", eNone},
  };
  for (auto [text, error] : cases) {
    SCOPED_TRACE(text);
    f.SetExprString(text);
    EXPECT_EQ(f.CompError(), error);
  }
  f.SetExprString(std::string(100000, '('));
  EXPECT_EQ(f.CompError(), eEdge);
}

TEST(SimplifierInCompile, DomainFaultLetsTheCompilationFinish) {
  TFennic f;
  ASSERT_NE(f.RegisterVarExt("x", vtDouble, &gx), 0);
  TScopedControlWord cw(Unmasked(X87ZeroDivide));
  f.SetExprString("x+1/0");
  EXPECT_EQ(f.CompError(), eDomain);
  ASSERT_GT(f.CodeSize(), 1u);
  EXPECT_EQ(f.Evaluate(), 2);  // the faulting term counts 0
}

TEST(SimplifierInCompile, SumFaultLeavesCompileAsAnException) {
  TFennic f;
  f.SetAutoCompile(0);
  f.SetExprString("1e4932+1e4932");
  {
    TScopedControlWord cw(Unmasked(X87Overflow));
    EXPECT_THROW(f.Compile(), EFloatingPointFault);
    EXPECT_EQ(X87ControlWord(), Unmasked(X87Overflow));
  }
  EXPECT_EQ(f.CodeSize(), 1u);
  // The same text compiles when overflow is masked.
  f.Compile();
  EXPECT_EQ(f.CompError(), eNone);
}

}  // namespace
}  // namespace fennic::testing
