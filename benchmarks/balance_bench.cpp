// Evaluate of long operator chains as written (ooStandart) and regrouped
// into independent pairs (ooSoft): 64 additions, and 64 multiplications,
// of double host variables.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "fennic/fennic.h"

namespace {

using namespace fennic;

constexpr int Operations = 64;

// Values near 1, so that a product of 65 of them stays far from the range limits.
std::array<double, Operations + 1> Values = [] {
  std::array<double, Operations + 1> v{};
  for (int k = 0; k <= Operations; ++k) v[k] = 1.0 + (k % 7) / 64.0;
  return v;
}();

void EvaluateChain(benchmark::State& State) {
  const char op = State.range(0) ? '*' : '+';
  const auto mode = static_cast<TOutOfOrder>(State.range(1));
  TFennic f(nullptr);
  std::string text;
  for (int k = 0; k <= Operations; ++k) {
    const std::string name = "x" + std::to_string(k);
    f.RegisterVarExt(name, vtDouble, &Values[k]);
    if (k) text += op;
    text += name;
  }
  f.SetOutOfOrder(mode);
  f.SetExprString(text);
  if (f.CompError() != eNone) {
    State.SkipWithError("the chain did not compile");
    return;
  }
  for (auto _ : State) benchmark::DoNotOptimize(f.Evaluate());
  State.SetLabel(std::string(op == '*' ? "product" : "sum") +
                 (mode == ooStandart ? ", as written" : ", regrouped"));
}

// Arguments: 0 sum / 1 product; OutOfOrder.
BENCHMARK(EvaluateChain)->ArgNames({"product", "ooo"})->Args({0, ooStandart})->Args({0, ooSoft})
    ->Args({1, ooStandart})->Args({1, ooSoft});

}  // namespace

BENCHMARK_MAIN();
