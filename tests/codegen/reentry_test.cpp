// A Foldable host routine that uses the component whose compilation calls
// it: the component refuses, the compilation ends with eReentered, and
// nothing of the component is changed by the inner call.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "fennic/codegen/fennic.h"
#include "support/simplifier_probe.h"
#include "support/x87_state.h"

namespace fennic::testing {
namespace {

enum TUse { Nothing, CompileSelf, SetSelfText, EvaluateSelf, CompileOther };

TUse Use = Nothing;
TFennic* Self = nullptr;
TFennic* Other = nullptr;
const std::string NewText = "x*100";
TError SeenError = eNone;
long double SeenValue = 0;
TX87State BeforeEvaluate, AfterEvaluate;

double FENNIC_CDECL Hook(double v) {
  switch (Use) {
    case Nothing:
      break;
    case CompileSelf:
      Self->Compile();
      SeenError = Self->CompError();
      break;
    case SetSelfText:
      Self->SetExprString(NewText);
      SeenError = Self->CompError();
      break;
    case EvaluateSelf:
      BeforeEvaluate = ReadX87State();
      SeenValue = Self->Evaluate();
      AfterEvaluate = ReadX87State();
      SeenError = Self->CompError();
      break;
    case CompileOther:
      Other->SetExprString(NewText);
      SeenValue = Other->Evaluate();
      SeenError = Other->CompError();
      break;
  }
  return v + 1;
}

TEST(Reentry, TheComponentRefusesCallsFromInsideItsOwnCompilation) {
  const struct {
    TUse Use;
    TError Outer, Inner;
    long double Inside;  // what Evaluate gave inside (NaN: a NaN)
  } cases[] = {
      {CompileSelf, eReentered, eReentered, 0},
      {SetSelfText, eReentered, eReentered, 0},
      {EvaluateSelf, eReentered, eReentered, NAN},
      {CompileOther, eNone, eNone, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Use);
    double x = 1;
    TFennic f, g;
    f.RegisterVarExt("x", vtDouble, &x);
    g.RegisterVarExt("x", vtDouble, &x);
    f.RegisterFuncExt("hook", "vf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Hook), true);
    Self = &f;
    Other = &g;
    SeenError = eNone;
    SeenValue = 0;
    Use = c.Use;
    x = 2;
    f.SetExprString("hook(3) + x");
    Use = Nothing;

    EXPECT_EQ(SeenError, c.Inner);
    if (std::isnan(c.Inside)) {
      EXPECT_TRUE(std::isnan(SeenValue));
      EXPECT_EQ(AfterEvaluate.StatusWord, BeforeEvaluate.StatusWord) << "flags or TOP changed";
      EXPECT_EQ(AfterEvaluate.TagWord, BeforeEvaluate.TagWord);
    } else {
      EXPECT_EQ(SeenValue, c.Inside);
    }
    EXPECT_EQ(f.CompError(), c.Outer);
    EXPECT_EQ(f.Diagnostic().Error, c.Outer);
    EXPECT_EQ(f.ExprString(), "hook(3) + x");
    if (c.Outer == eNone) {
      EXPECT_EQ(f.Evaluate(), 6);
    } else {
      EXPECT_EQ(f.CodeSize(), 1u);
      EXPECT_TRUE(std::isnan(f.Evaluate()));
    }
    // The component is whole: the next compilation is an ordinary one.
    f.Compile();
    EXPECT_EQ(f.CompError(), eNone);
    EXPECT_EQ(f.Evaluate(), 6);
  }
}

}  // namespace
}  // namespace fennic::testing
