// Calls on constant arguments are computed while compiling; the folded value
// must be the one the compiled call gives at run time.
#include <cstdio>
#include <functional>

#include "fennic/core/x87guard.h"
#include "functions/pack_fixture.h"
#include "support/simplifier_probe.h"
#include "support/x87_state.h"

namespace fennic::testing {
namespace {

struct TFold {
  const char* Name;
  const char* X;  // argument texts
  const char* Y;  // nullptr for one argument
};

const TFold Folds[] = {
    {"sin", "0.7", nullptr},     {"sin", "1e20", nullptr},  {"sin", "-3.25", nullptr},
    {"cos", "0.7", nullptr},     {"cos", "1e300", nullptr}, {"tan", "0.7", nullptr},
    {"tan", "1e19", nullptr},    {"asin", "0.3", nullptr},  {"acos", "0.3", nullptr},
    {"atan", "7", nullptr},      {"atan2", "-1", "-3"},     {"atan2", "2", "0.5"},
    {"sinh", "2.5", nullptr},    {"cosh", "2.5", nullptr},  {"tanh", "0.1", nullptr},
    {"sqrt", "2", nullptr},      {"sqrt", "0.1", nullptr},  {"abs", "-4.5", nullptr},
    {"exp", "0.1", nullptr},     {"ln", "10", nullptr},     {"log10", "3", nullptr},
    {"log2", "0.1", nullptr},    {"pow", "1.1", "2.5"},     {"pow", "2", "-3"},
    {"hypot", "1e-3", "7"},      {"min", "0.1", "0.2"},     {"max", "0.1", "0.2"},
    {"floor", "-0.5", nullptr},  {"ceil", "-0.5", nullptr}, {"trunc", "9.99", nullptr},
    {"round", "-7.5", nullptr},
};

// The value of an argument text as the compiler reads it.
long double Constant(TPackComponent& P, const char* Text) { return P.Value(Text); }

TEST(PackFolding, FoldedCallEqualsRunTimeCall) {
  for (TTrigCode Trig : {tcX87, tcLibrary}) {
    TPackComponent P(Trig);
    TFennic Plain(nullptr);
    Plain.SetExprString("7");
    const std::size_t ConstantRoutine = Plain.CodeSize();
    for (const TFold& F : Folds) {
      const std::string Name = F.Name;
      const std::string Folded = Name + "(" + F.X + (F.Y ? std::string(", ") + F.Y : "") + ")";
      P.X = Constant(P, F.X);
      P.Y = F.Y ? Constant(P, F.Y) : 0;
      const long double AtCompileTime = P.Value(Folded);
      // Folded: the routine only loads the constant.
      EXPECT_EQ(P.Fennic.CodeSize(), ConstantRoutine) << Folded;
      const long double AtRunTime = P.Value(Name + (F.Y ? "(x, y)" : "(x)"));
      EXPECT_TRUE(SameBits(AtCompileTime, AtRunTime))
          << Folded << ": folded " << (double)AtCompileTime << ", run time " << (double)AtRunTime;
    }
  }
}

// Folding reaches through nested calls and arithmetic on constants.
TEST(PackFolding, NestedConstantCallsFoldToOneConstant) {
  TPackComponent P;
  TFennic Plain(nullptr);
  Plain.SetExprString("7");
  const long double V = P.Value("sin(0.7)*sin(0.7) + cos(0.7)*cos(0.7) - sqrt(pow(2, 2))/2");
  EXPECT_LE(fabsl(V), 1e-15L);
  P.Value("ln(exp(2)) + atan2(1, max(1, 2))");
  EXPECT_EQ(P.Fennic.CodeSize(), Plain.CodeSize());
}

// A faulting folded call is reported, not raised: with the invalid operation
// unmasked, sqrt(-1) on constants is eDomain.
TEST(PackFolding, FaultWhileFoldingIsDomainError) {
  TPackComponent P;
  std::uint16_t Saved = 0;
  asm volatile("fnstcw %0" : "=m"(Saved));
  const std::uint16_t Unmasked = Saved & ~1u;  // IM clear
  asm volatile("fnclex\n\tfldcw %0" : : "m"(Unmasked));
  P.Fennic.SetExprString("1 + sqrt(-1)");
  const TError Error = P.Fennic.CompError();
  P.Fennic.SetExprString("1 + ln(-1)");
  const TError LnError = P.Fennic.CompError();
  asm volatile("fnclex\n\tfldcw %0" : : "m"(Saved));
  EXPECT_EQ(Error, eDomain);
  EXPECT_EQ(LnError, eDomain);
}

// The tutorial's sequence without clearing the flags: a compilation under
// the masked default leaves the invalid flag raised, then the host unmasks
// it. Registering the pack and compiling run to their end and hand that
// state back (where a processor traps at the host's next instruction).
TEST(PackFolding, CallsHandAPendingUnmaskedFlagBack) {
  TFennic f(nullptr);
  long double x = 3;
  // Arguments made and results kept outside: the calls do nothing but call.
  const std::string name = "x", text = "sqrt(-1) + x";
  bool registered = false;
  const std::function<void()> calls[] = {[&] { registered = RegisterStandardFunctions(f); },
                                         [&] { f.RegisterVarExt(name, vtExtended, &x); },
                                         [&] { f.SetExprString(text); }};
  for (const auto& call : calls) {
    const TX87State after = CallFromX87State(Unmasked(X87Invalid), X87Invalid, call);
    EXPECT_EQ(after.ControlWord, Unmasked(X87Invalid));
    EXPECT_EQ(after.StatusWord & X87AllExceptions, X87Invalid);
  }
  EXPECT_TRUE(registered);
  EXPECT_EQ(f.CompError(), eDomain);
  EXPECT_EQ(f.Evaluate(), 3);
}

}  // namespace
}  // namespace fennic::testing
