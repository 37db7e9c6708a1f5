// The simplifier inside a whole compilation: text errors reach CompError,
// and a fault while adding up a sum's constants leaves Compile as an exception.
#include <gtest/gtest.h>

#include "fennic/codegen/fennic.h"
#include "fennic/core/x87guard.h"
#include "support/hostfuncs_recording.h"
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

// Whatever the host unmasks, the library's own x87 operations (conversions,
// comparisons, the width and pool tests) raise nothing it would trap on;
// only the guarded folds judge faults, by the host's control word.
TEST(SimplifierInCompile, NoX87FaultEscapesWhateverTheHostUnmasks) {
  constexpr std::uint16_t AllUnmasked = DefaultControlWord & ~X87AllExceptions;
  struct TCase {
    std::uint16_t ControlWord;
    const char* Text;
    TError Error;
  };
  const TCase cases[] = {
      {Unmasked(X87Denormal), "x*1e-4940", eNone},
      {Unmasked(X87Denormal), "1e-4000*1e-940+x", eNone},
      {Unmasked(X87Denormal), "x-1e-4940*(x+1e-4945)", eNone},
#if !defined(FENNIC_EMULATED)  // qemu raises no denormal-operand flag
      {Unmasked(X87Denormal), "2*1e-4940+x", eDomain},
#endif
      {Unmasked(X87Underflow), "1e-4000*1e-940+x", eDomain},
      {AllUnmasked, "x*0.1-x+1e300*x", eNone},
      {AllUnmasked, "x/3", eDomain},
  };
  TFennic f;
  ASSERT_NE(f.RegisterVarExt("x", vtDouble, &gx), 0);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const std::string text = c.Text;
    std::uint16_t status, control;
    {
      TScopedControlWord cw(c.ControlWord);
      // The state before any other C++ runs: a flag pending under an
      // unmasked exception would trap at the next waiting instruction.
      f.SetExprString(text);
      status = X87StatusWord();
      control = X87ControlWord();
    }
    EXPECT_EQ(control, c.ControlWord);
    EXPECT_EQ(status & ~c.ControlWord & X87AllExceptions, 0) << "a fault was left pending";
    EXPECT_EQ(f.CompError(), c.Error);
    EXPECT_GT(f.CodeSize(), 1u);
  }
}

// A built-in's code is what it computes, folded and at run time alike,
// whatever its address.
TEST(SimplifierInCompile, ABuiltInMeansItsCodeFoldedAndAtRunTime) {
  struct TCase {
    std::vector<std::uint8_t> Code;
    const char* Folded;
    const char* AtRunTime;
    long double Value;
  };
  const TCase cases[] = {
      {{0xD9, 0xE0}, "f(2)*3", "f(x)*3", -6},  // FCHS
      {{0xD8, 0xC8}, "f(3)", "f(x+1)", 9},     // FMUL ST0,ST0
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Folded);
    TFennic f;
    ASSERT_NE(f.RegisterVarExt("x", vtDouble, &gx), 0);
    ASSERT_NE(f.RegisterFuncExt("f", "vf80", ctBuilt_in, frExtended, 0, reinterpret_cast<void*>(&HostReturnDouble),
                                true, c.Code),
              0);
    for (const char* text : {c.Folded, c.AtRunTime}) {
      f.SetExprString(text);
      EXPECT_EQ(f.CompError(), eNone) << text;
      EXPECT_EQ(f.Evaluate(), c.Value) << text;
    }
  }
}

}  // namespace
}  // namespace fennic::testing
