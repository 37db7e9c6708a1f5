// Comparisons, logical operators and conditionals under grExtended, beside
// GCC's code for the same formula (long double, -O2), on inputs whose
// branch is always the same ("steady") or random ("random"). FCMOV against
// a jump: "(x>y ? x : y)*1" picks by FCMOV, "x>y ? x*1 : y*1" by a jump,
// with one multiplication computed either way.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "fennic/fennic.h"
#include "fennic/functions/functions.h"

using namespace fennic;

namespace {

// A power of 2, and more inputs than a branch predictor learns by heart.
constexpr std::size_t InputCount = std::size_t{1} << 20;

// The variables, read from memory by both routines.
double x = 0, y = 0;

struct TFormula {
  const char* Name;
  const char* Text;
  long double (*Native)();
};

#define FENNIC_NATIVE(Body) []() -> long double { return Body; }

const TFormula Formulas[] = {
    {"less", "x<y", FENNIC_NATIVE(x < y)},
    {"max_by_fcmov", "x>y ? x : y", FENNIC_NATIVE(static_cast<long double>(x > y ? x : y))},
    {"clamp", "x < -0.5 ? -0.5 : x > 0.5 ? 0.5 : x",
     FENNIC_NATIVE(x < -0.5 ? -0.5L : x > 0.5 ? 0.5L : static_cast<long double>(x))},
    {"both_positive", "x > 0 && y > 0", FENNIC_NATIVE(x > 0 && y > 0)},
    {"pick_fcmov_then_mul", "(x>y ? x : y)*1.5", FENNIC_NATIVE(static_cast<long double>(x > y ? x : y) * 1.5L)},
    {"pick_jump_mul_inside", "x>y ? x*1.5 : y*1.5", FENNIC_NATIVE(x > y ? x * 1.5L : y * 1.5L)},
    {"guarded_division", "x != 0 ? 1/x : 0", FENNIC_NATIVE(x != 0 ? 1 / static_cast<long double>(x) : 0)},
    {"guarded_log", "x > 0 ? ln(x) : 0", FENNIC_NATIVE(x > 0 ? std::log(static_cast<long double>(x)) : 0)},
};

// x in [-1, 1) at random, or always positive; y stays 0.
std::vector<double> Inputs(bool Random) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> d(-1, 1);
  std::vector<double> v(InputCount);
  for (double& x : v) x = Random ? d(rng) : 0.25 + std::fabs(d(rng)) / 2;
  return v;
}

void RunFennic(benchmark::State& State, const TFormula* F, bool Random) {
  const std::vector<double> in = Inputs(Random);
  TFennic f(nullptr);
  f.SetGrammar(grExtended);
  RegisterStandardFunctions(f);
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("y", vtDouble, &y);
  f.SetExprString(F->Text);
  if (f.CompError() != eNone) {
    State.SkipWithError(f.ErrorMessage().c_str());
    return;
  }
  std::size_t i = 0;
  for (auto _ : State) {
    x = in[i++ & (InputCount - 1)];
    benchmark::DoNotOptimize(f.Evaluate());
  }
}

void RunNative(benchmark::State& State, const TFormula* F, bool Random) {
  const std::vector<double> in = Inputs(Random);
  // Through a pointer the compiler cannot see through, as Fennic's routine is.
  long double (*volatile native)() = F->Native;
  std::size_t i = 0;
  for (auto _ : State) {
    x = in[i++ & (InputCount - 1)];
    benchmark::DoNotOptimize(native());
  }
}

const bool Registered = [] {
  for (const TFormula& f : Formulas)
    for (bool random : {false, true}) {
      const std::string suffix = std::string(f.Name) + (random ? "/random" : "/steady");
      benchmark::RegisterBenchmark(("Fennic/" + suffix).c_str(), RunFennic, &f, random);
      benchmark::RegisterBenchmark(("GCC_LongDouble/" + suffix).c_str(), RunNative, &f, random);
    }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
