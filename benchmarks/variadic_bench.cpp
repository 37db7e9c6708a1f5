// Calls of 32 arguments under grExtended: min balanced against the same
// min nested as written, sum in order against a chain of + (regrouped by the
// default OutOfOrder).
#include <benchmark/benchmark.h>

#include <string>

#include "fennic/fennic.h"
#include "fennic/functions/functions.h"

using namespace fennic;

namespace {

constexpr int Count = 32;

std::string Arg(int i) { return "a" + std::to_string(i); }

std::string Listed(const char* Name) {
  std::string Text = std::string(Name) + "(";
  for (int i = 0; i < Count; ++i) Text += (i ? "," : "") + Arg(i);
  return Text + ")";
}

std::string NestedInOrder(const char* Name) {
  std::string Text = Arg(0);
  for (int i = 1; i < Count; ++i) Text = std::string(Name) + "(" + Text + "," + Arg(i) + ")";
  return Text;
}

std::string Chain() {
  std::string Text = Arg(0);
  for (int i = 1; i < Count; ++i) Text += "+" + Arg(i);
  return Text;
}

void Run(benchmark::State& State, std::string Text) {
  long double A[Count];
  TFennic F(nullptr);
  F.SetGrammar(grExtended);
  RegisterStandardFunctions(F);
  for (int i = 0; i < Count; ++i) {
    A[i] = (13 * i + 5) % Count - 16;
    F.RegisterVarExt(Arg(i), vtExtended, &A[i]);
  }
  F.SetExprString(Text);
  if (F.CompError() != eNone) {
    State.SkipWithError("no routine");
    return;
  }
  for (auto _ : State) benchmark::DoNotOptimize(F.Evaluate());
}

const bool Registered = [] {
  benchmark::RegisterBenchmark("min32/balanced", Run, Listed("min"));
  benchmark::RegisterBenchmark("min32/nested_in_order", Run, NestedInOrder("min"));
  benchmark::RegisterBenchmark("sum32/in_order", Run, Listed("sum"));
  benchmark::RegisterBenchmark("sum32/plus_chain", Run, Chain());
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
