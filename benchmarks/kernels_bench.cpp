// The pack's functions one by one: Fennic's routine f(x) (or f(x, y)) with
// the pack at either accuracy, against GCC -O2 calling the C library's
// double and long double function, and muparser. Each iteration takes the
// next of 256 arguments spread over the function's common domain, so that
// no engine sees one argument only.
#include <benchmark/benchmark.h>
#include <muParser.h>

#include <cmath>
#include <string>
#include <vector>

#include "fennic/fennic.h"
#include "fennic/functions/functions.h"

using namespace fennic;

namespace {

struct TFunction {
  const char* Name;
  double (*Double)(double, double);
  long double (*Extended)(long double, long double);
  double Lo, Hi;  // x; y spreads over [0.5, 3] for two arguments
  bool Two;
};

#define FENNIC_ONE(name, f)                                                          \
  __attribute__((noinline)) double name##D(double x, double) { return f(x); }         \
  __attribute__((noinline)) long double name##L(long double x, long double) { return f##l(x); }
#define FENNIC_TWO(name, f)                                                          \
  __attribute__((noinline)) double name##D(double x, double y) { return f(x, y); }    \
  __attribute__((noinline)) long double name##L(long double x, long double y) { return f##l(x, y); }
FENNIC_ONE(Sin, sin)
FENNIC_ONE(Cos, cos)
FENNIC_ONE(Tan, tan)
FENNIC_ONE(Exp, exp)
FENNIC_ONE(Log, log)
FENNIC_ONE(Log2, log2)
FENNIC_ONE(Log10, log10)
FENNIC_ONE(Sinh, sinh)
FENNIC_ONE(Cosh, cosh)
FENNIC_ONE(Tanh, tanh)
FENNIC_ONE(Atan, atan)
FENNIC_ONE(Asin, asin)
FENNIC_ONE(Acos, acos)
FENNIC_ONE(Sqrt, sqrt)
FENNIC_ONE(Floor, floor)
FENNIC_TWO(Pow, pow)
FENNIC_TWO(Fmin, fmin)
FENNIC_TWO(Hypot, hypot)
FENNIC_TWO(Atan2, atan2)
#undef FENNIC_ONE
#undef FENNIC_TWO

const TFunction Functions[] = {
    {"sin", SinD, SinL, -10, 10, false},      {"cos", CosD, CosL, -10, 10, false},
    {"tan", TanD, TanL, -1.5, 1.5, false},    {"exp", ExpD, ExpL, -20, 20, false},
    {"ln", LogD, LogL, 0.01, 100, false},     {"log2", Log2D, Log2L, 0.01, 100, false},
    {"log10", Log10D, Log10L, 0.01, 100, false}, {"pow", PowD, PowL, 0.1, 10, true},
    {"sinh", SinhD, SinhL, -5, 5, false},     {"cosh", CoshD, CoshL, -5, 5, false},
    {"tanh", TanhD, TanhL, -5, 5, false},     {"atan", AtanD, AtanL, -10, 10, false},
    {"atan2", Atan2D, Atan2L, -10, 10, true}, {"asin", AsinD, AsinL, -1, 1, false},
    {"acos", AcosD, AcosL, -1, 1, false},
    {"sqrt", SqrtD, SqrtL, 0, 100, false},    {"floor", FloorD, FloorL, -100, 100, false},
    {"min", FminD, FminL, -10, 10, true},     {"hypot", HypotD, HypotL, -10, 10, true},
};

constexpr int kArgs = 256;

struct TArgs {
  std::vector<double> X, Y;
  explicit TArgs(const TFunction& F) {
    for (int i = 0; i < kArgs; ++i) {
      // A fixed scramble of the grid, the same for every engine.
      const int k = (i * 97) % kArgs;
      X.push_back(F.Lo + (F.Hi - F.Lo) * (k + 0.5) / kArgs);
      Y.push_back(0.5 + 2.5 * ((i * 31) % kArgs + 0.5) / kArgs);
    }
  }
};

std::string Text(const TFunction& F) { return std::string(F.Name) + (F.Two ? "(x, y)" : "(x)"); }

void FennicPack(benchmark::State& State, const TFunction* F, TPackAccuracy Accuracy) {
  TArgs A(*F);
  double x = 0, y = 0;
  TFennic f(nullptr);
  f.SetAutoCompile(false);
  RegisterStandardFunctions(f, Accuracy);
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("y", vtDouble, &y);
  f.SetExprString(Text(*F).c_str());
  f.Compile();
  int i = 0;
  for (auto _ : State) {
    x = A.X[i];
    y = A.Y[i];
    i = (i + 1) & (kArgs - 1);
    benchmark::DoNotOptimize(f.Evaluate());
  }
}

void GccDouble(benchmark::State& State, const TFunction* F) {
  TArgs A(*F);
  int i = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(F->Double(A.X[i], A.Y[i]));
    i = (i + 1) & (kArgs - 1);
  }
}

void GccLongDouble(benchmark::State& State, const TFunction* F) {
  TArgs A(*F);
  int i = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(F->Extended(A.X[i], A.Y[i]));
    i = (i + 1) & (kArgs - 1);
  }
}

double MuPow(double a, double b) { return std::pow(a, b); }
double MuAtan2(double a, double b) { return std::atan2(a, b); }
double MuLog2(double a) { return std::log2(a); }
double MuFloor(double a) { return std::floor(a); }
double MuHypot(double a, double b) { return std::hypot(a, b); }

void Muparser(benchmark::State& State, const TFunction* F) {
  TArgs A(*F);
  double x = 0, y = 0;
  mu::Parser p;
  p.DefineFun("pow", MuPow);
  p.DefineFun("atan2", MuAtan2);
  p.DefineFun("log2", MuLog2);
  p.DefineFun("floor", MuFloor);
  p.DefineFun("hypot", MuHypot);
  p.DefineVar("x", &x);
  p.DefineVar("y", &y);
  p.SetExpr(Text(*F));
  int i = 0;
  for (auto _ : State) {
    x = A.X[i];
    y = A.Y[i];
    i = (i + 1) & (kArgs - 1);
    benchmark::DoNotOptimize(p.Eval());
  }
}

const bool Registered = [] {
  for (const TFunction& F : Functions) {
    const std::string n = F.Name;
    benchmark::RegisterBenchmark(("fennic_extended/" + n).c_str(), FennicPack, &F, paExtended);
    benchmark::RegisterBenchmark(("fennic_double/" + n).c_str(), FennicPack, &F, paDouble);
    benchmark::RegisterBenchmark(("gcc_double/" + n).c_str(), GccDouble, &F);
    benchmark::RegisterBenchmark(("gcc_long_double/" + n).c_str(), GccLongDouble, &F);
    benchmark::RegisterBenchmark(("muparser/" + n).c_str(), Muparser, &F);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
