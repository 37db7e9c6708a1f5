// Every function of the pack against the C library's long double result
// over a sweep of its domain. The worst error per function is printed, so the
// table of the documentation can be refreshed from a test run.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "functions/pack_fixture.h"

namespace fennic::testing {
namespace {

using Unary = long double (*)(long double);
using Binary = long double (*)(long double, long double);

#if defined(FENNIC_EMULATED)
// The emulator computes FSIN, FCOS and FPTAN in double precision from the
// argument rounded to double: errors grow with the argument's size.
constexpr bool EmulatedTrig = true;
#else
constexpr bool EmulatedTrig = false;
#endif

struct TSweep {
  const char* Name;
  Unary F;
  Binary G;        // for two arguments
  long double Lo, Hi;      // x range
  long double YLo, YHi;    // y range (two arguments)
  long double Bound;       // worst error allowed, ulps
};

// Sweep points: an even grid, each point moved by a pseudo-random fraction of
// the step so that the arguments use all 64 bits.
long double Point(long double Lo, long double Hi, int I, int N, unsigned& Seed) {
  Seed = Seed * 1664525u + 1013904223u;
  const long double Jitter = (Seed >> 8) / 16777216.0L;
  return Lo + (Hi - Lo) * ((I + Jitter) / N);
}

long double Worst(TPackComponent& P, const TSweep& S, int N, long double* WorstX) {
  const bool Two = S.G != nullptr;
  if (!P.Compile(std::string(S.Name) + (Two ? "(x, y)" : "(x)"))) return INFINITY;
  long double Max = 0;
  unsigned Seed = 12345;
  const int Ny = Two ? 40 : 1;
  for (int j = 0; j < Ny; ++j) {
    P.Y = Two ? Point(S.YLo, S.YHi, j, Ny, Seed) : 0;
    for (int i = 0; i < N / Ny; ++i) {
      P.X = Point(S.Lo, S.Hi, i, N / Ny, Seed);
      const long double Want = Two ? S.G(P.X, P.Y) : S.F(P.X);
      const long double Err = Ulps(P.Fennic.Evaluate(), Want);
      if (Err > Max) {
        Max = Err;
        if (WorstX) *WorstX = P.X;
      }
    }
  }
  return Max;
}

long double Fmin(long double a, long double b) { return fminl(a, b); }
long double Fmax(long double a, long double b) { return fmaxl(a, b); }

// The trigonometric functions reduce their argument by pi/2 in four parts
// before FSIN, FCOS or FPTAN, so the bound holds over their whole fast range;
// the emulator computes those instructions in double precision.
constexpr long double Trig(long double Bound) { return EmulatedTrig ? 4096 : Bound; }

const TSweep Sweeps[] = {
    {"sin", sinl, nullptr, -0.785L, 0.785L, 0, 0, Trig(1)},
    {"sin", sinl, nullptr, -3.2L, 3.2L, 0, 0, Trig(2)},
    {"sin", sinl, nullptr, -1e6L, 1e6L, 0, 0, Trig(2)},
    {"sin", sinl, nullptr, -2e9L, 2e9L, 0, 0, Trig(2)},
    {"cos", cosl, nullptr, -0.785L, 0.785L, 0, 0, Trig(2)},
    {"cos", cosl, nullptr, -3.2L, 3.2L, 0, 0, Trig(3)},
    {"cos", cosl, nullptr, -1e6L, 1e6L, 0, 0, Trig(3)},
    {"cos", cosl, nullptr, -2e9L, 2e9L, 0, 0, Trig(3)},
    {"tan", tanl, nullptr, -0.785L, 0.785L, 0, 0, Trig(2)},
    {"tan", tanl, nullptr, -1.5L, 1.5L, 0, 0, Trig(5)},
    {"tan", tanl, nullptr, -1e6L, 1e6L, 0, 0, Trig(5)},
    {"asin", asinl, nullptr, -1, 1, 0, 0, 2},
    {"acos", acosl, nullptr, -1, 1, 0, 0, 2},
    {"atan", atanl, nullptr, -20, 20, 0, 0, 2},
    {"atan", atanl, nullptr, -1e30L, 1e30L, 0, 0, 2},
    {"atan2", nullptr, atan2l, -10, 10, -10, 10, 2},
    {"sinh", sinhl, nullptr, -0.5L, 0.5L, 0, 0, 5},
    {"sinh", sinhl, nullptr, -40, 40, 0, 0, 5},
    {"sinh", sinhl, nullptr, -11000, 11000, 0, 0, 5},
    {"cosh", coshl, nullptr, -40, 40, 0, 0, 3},
    {"cosh", coshl, nullptr, -11000, 11000, 0, 0, 3},
    {"tanh", tanhl, nullptr, -0.35L, 0.35L, 0, 0, 5},
    {"tanh", tanhl, nullptr, -30, 30, 0, 0, 5},
    {"sqrt", sqrtl, nullptr, 0, 1e6L, 0, 0, 0},
    {"sqrt", sqrtl, nullptr, 0, 1e-300L, 0, 0, 0},
    {"abs", fabsl, nullptr, -1e10L, 1e10L, 0, 0, 0},
    {"exp", expl, nullptr, -1, 1, 0, 0, 3},
    {"exp", expl, nullptr, -11350, 11350, 0, 0, 3},
    {"exp", expl, nullptr, -12000, 12000, 0, 0, 3},
    {"ln", logl, nullptr, 0, 10, 0, 0, 2},
    {"ln", logl, nullptr, 0.5L, 2, 0, 0, 2},
    {"ln", logl, nullptr, 0, 1e4000L, 0, 0, 2},
    {"log10", log10l, nullptr, 0, 10, 0, 0, 2},
    {"log10", log10l, nullptr, 0, 1e4000L, 0, 0, 2},
    {"log2", log2l, nullptr, 0, 10, 0, 0, 2},
    {"log2", log2l, nullptr, 0, 1e4000L, 0, 0, 2},
    {"pow", nullptr, powl, 0, 10, -30, 30, 5},
    {"pow", nullptr, powl, 0.5L, 2, -400, 400, 5},
    {"pow", nullptr, powl, -10, 10, -30, 30, 5},
    {"hypot", nullptr, hypotl, -1e3L, 1e3L, -1e3L, 1e3L, 1},
    {"min", nullptr, Fmin, -10, 10, -10, 10, 0},
    {"max", nullptr, Fmax, -10, 10, -10, 10, 0},
    {"floor", floorl, nullptr, -100, 100, 0, 0, 0},
    {"ceil", ceill, nullptr, -100, 100, 0, 0, 0},
    {"trunc", truncl, nullptr, -100, 100, 0, 0, 0},
    {"round", roundl, nullptr, -100, 100, 0, 0, 0},
};

TEST(PackAccuracy, WorstErrorPerFunctionWithinBound) {
  TPackComponent P;
  for (const TSweep& S : Sweeps) {
    long double At = 0;
    const long double Err = Worst(P, S, 4000, &At);
    std::printf("[ ulps ] %-6s [%Lg, %Lg]: worst %.3Lg ulp at x = %.21Lg\n", S.Name, S.Lo, S.Hi,
                Err, At);
    EXPECT_LE(Err, S.Bound) << S.Name << " on [" << (double)S.Lo << ", " << (double)S.Hi << "]";
  }
}

// With tcLibrary the trigonometric functions are the library's own.
TEST(PackAccuracy, LibraryTrigonometryIsExact) {
  TPackComponent P(tcLibrary);
  for (const TSweep& S : Sweeps) {
    if (std::strcmp(S.Name, "sin") && std::strcmp(S.Name, "cos") && std::strcmp(S.Name, "tan"))
      continue;
    EXPECT_EQ(Worst(P, S, 2000, nullptr), 0) << S.Name;
  }
}

}  // namespace
}  // namespace fennic::testing
