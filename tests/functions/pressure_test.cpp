// The pack's functions inside larger expressions: deep trees that need more
// than the eight x87 registers, library calls that make the compiled code
// spill everything, in-line trigonometry whose library fallback must keep
// the values waiting below it, and integer register arguments around calls.
#include <cmath>
#include <functional>
#include <random>

#include "functions/pack_fixture.h"

namespace fennic::testing {
namespace {

struct TExpr {
  std::string Text;
  long double Value;
};

// Random expressions whose values stay positive and well conditioned, so a
// relative tolerance separates rounding from wrong code.
class TGenerator {
 public:
  TGenerator(unsigned Seed, const std::vector<long double>& Vars) : Rng(Seed), Vars(Vars) {}

  TExpr Make(int Depth) {
    if (Depth == 0 || Pick(8) == 0) return Leaf();
    TExpr A = Make(Depth - 1);
    switch (Pick(16)) {
      case 0: return Two(A, Make(Depth - 1), "+", [](auto a, auto b) { return a + b; });
      case 1: return Two(A, Make(Depth - 1), "*", [](auto a, auto b) { return a * b; });
      case 2: return Two(A, Make(Depth - 1), "/", [](auto a, auto b) { return a / b; });
      case 3: return Call("sqrt(", A, ")", sqrtl(A.Value));
      case 4: return Call("(2 + sin(", A, "))", 2 + sinl(A.Value));
      case 5: return Call("(2 - cos(", A, "))", 2 - cosl(A.Value));
      case 6: return Call("atan(", A, ")", atanl(A.Value));
      case 7: return Call("ln(1 + ", A, ")", logl(1 + A.Value));
      case 8: return Call("(1 + tanh(", A, "))", 1 + tanhl(A.Value));
      case 9: return Call("abs(-", A, ")", A.Value);
      case 10: return Call("pow(", A, ", 0.5)", powl(A.Value, 0.5L));
      case 11: {
        TExpr B = Make(Depth - 1);
        return {"hypot(" + A.Text + ", " + B.Text + ")", hypotl(A.Value, B.Value)};
      }
      case 12: {
        TExpr B = Make(Depth - 1);
        return {"max(" + A.Text + ", " + B.Text + ")", fmaxl(A.Value, B.Value)};
      }
      case 13: {
        TExpr B = Make(Depth - 1);
        return {"(4 + atan2(" + A.Text + ", " + B.Text + "))", 4 + atan2l(A.Value, B.Value)};
      }
      case 14: {
        const long double S = A.Value / (2 + 2 * A.Value);  // in (0, 0.5)
        const std::string T = A.Text + " / (2 + 2 * " + A.Text + ")";
        return Pick(2) ? TExpr{"(1 + asin(" + T + "))", 1 + asinl(S)} : TExpr{"acos(" + T + ")", acosl(S)};
      }
      default: return Call("log2(2 + ", A, ")", log2l(2 + A.Value));
    }
  }

 private:
  int Pick(int N) { return std::uniform_int_distribution<int>(0, N - 1)(Rng); }
  TExpr Leaf() {
    const int I = Pick(static_cast<int>(Vars.size()) + 1);
    if (I == static_cast<int>(Vars.size())) return {"1.25", 1.25L};
    return {"v" + std::to_string(I), Vars[I]};
  }
  static TExpr Call(const char* Open, const TExpr& A, const char* Close, long double V) {
    return {Open + A.Text + Close, V};
  }
  template <class Op>
  static TExpr Two(const TExpr& A, const TExpr& B, const char* Sign, Op F) {
    return {"(" + A.Text + Sign + B.Text + ")", F(A.Value, B.Value)};
  }
  std::mt19937 Rng;
  const std::vector<long double>& Vars;
};

struct TSettings {
  TOutOfOrder OutOfOrder;
  bool Parallel, Align, Back, Smart;
};

TEST(PackPressure, RandomDeepExpressionsMatchTheLibrary) {
  std::vector<long double> Vars;
  for (int i = 0; i < 8; ++i) Vars.push_back(1 + i / 7.0L);
  const TSettings Settings[] = {{ooSoft, true, true, true, true},
                                {ooStandart, false, false, false, false},
                                {ooAgressive, true, false, true, false}};
  int Compared = 0;
  for (TTrigCode Trig : {tcX87, tcLibrary}) {
    TPackComponent P(Trig);
    for (int i = 0; i < 8; ++i) P.Fennic.RegisterVarExt("v" + std::to_string(i), vtExtended, &Vars[i]);
    for (unsigned Seed = 1; Seed <= 60; ++Seed) {
      const TSettings& S = Settings[Seed % 3];
      P.Fennic.SetOutOfOrder(S.OutOfOrder);
      P.Fennic.SetParallelExecution(S.Parallel);
      P.Fennic.SetAlignMode(S.Align);
      P.Fennic.SetBackOperation(S.Back);
      P.Fennic.SetSmartLoad(S.Smart);
      TGenerator G(Seed, Vars);
      const TExpr E = G.Make(6 + static_cast<int>(Seed % 4));
      const long double Got = P.Value(E.Text);
      EXPECT_LE(fabsl(Got - E.Value), 1e-12L * E.Value) << "seed " << Seed << ": " << E.Text;
      ++Compared;
    }
  }
  EXPECT_EQ(Compared, 120);
}

// Seven values wait on the x87 stack while the innermost call runs; the
// in-line trigonometry's library fallback (|x| >= 2^63) must bring them back.
TEST(PackPressure, FallbackKeepsTheValuesBelowIt) {
  TPackComponent P;
  const long double Big[] = {1e20L, -3e25L, 0.5L};
  for (const char* F : {"sin", "cos", "tan"}) {
    for (long double Y : Big) {
      P.X = 1.5L;
      P.Y = Y;
      const std::string Inner = std::string(F) + "(y)";
      const std::string Text =
          "x+(2*(x+(3*(x+(4*(x+(5*(x+(6*(x+(7*(x-" + Inner + "))))))))))))";
      const long double T = std::string(F) == "sin" ? sinl(Y) : std::string(F) == "cos" ? cosl(Y) : tanl(Y);
      const long double x = P.X;
      const long double Want = x + 2 * (x + 3 * (x + 4 * (x + 5 * (x + 6 * (x + 7 * (x - T))))));
      EXPECT_LE(fabsl(P.Value(Text) - Want), 1e-12L * fabsl(Want)) << Text << " y=" << (double)Y;
    }
  }
}

// Integer register arguments around pack calls: the in-line code changes EAX
// and ECX, so arguments loaded into registers must not be held across it.
FENNIC_REGISTER long double Mix(std::int32_t A, std::int32_t C, long double V) {
  return A * 1000 + C + V;
}

TEST(PackPressure, RegisterArgumentsAroundInlineCode) {
  TPackComponent P;
  std::int32_t N = 7, M = -3;
  P.Fennic.RegisterVarExt("n", vtInt32, &N);
  P.Fennic.RegisterVarExt("m", vtInt32, &M);
  ASSERT_NE(P.Fennic.RegisterFuncExt("mix", "vi32vf80vi32", ctRegister, frExtended, 8,
                                     reinterpret_cast<void*>(&Mix), false),
            0);
  for (long double X : {0.5L, 1e20L}) {
    P.X = X;
    const long double Want = Mix(N, M, sinl(X) + tanl(X));
    EXPECT_LE(fabsl(P.Value("mix(n, sin(x) + tan(x), m)") - Want), 1e-9L) << (double)X;
    EXPECT_LE(fabsl(P.Value("mix(n, sin(x) + tan(x), m) - mix(m, cos(x), n)") -
                    (Want - Mix(M, N, cosl(X)))), 1e-9L);
  }
}

}  // namespace
}  // namespace fennic::testing
