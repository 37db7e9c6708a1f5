// Compile of a text that is one unknown name: the error path, where the
// diagnostic looks for the nearest registered name ("did you mean").
// Peak memory is the process's, so run one case per process to read it.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "fennic/fennic.h"

namespace {

using namespace fennic;

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void CompileOrFail(benchmark::State& State, TFennic& F, const std::string& Text) {
  for (auto _ : State) {
    F.SetExprString(Text);
    if (F.CompError() != eUnknown) {
      State.SkipWithError("the name was not unknown");
      return;
    }
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * Text.size()));
  State.counters["peak_MB"] = PeakMegabytes();
  State.counters["us_per_byte"] = benchmark::Counter(
      static_cast<double>(Text.size()) * 1e-6, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}

// Arguments: registered names (n0, n1, ...), bytes of the unknown name.
void UnknownName(benchmark::State& State) {
  static double cell = 1;
  TFennic f(nullptr);
  for (std::int64_t k = 0; k < State.range(0); ++k) f.RegisterVarExt("n" + std::to_string(k), vtDouble, &cell);
  CompileOrFail(State, f, std::string(static_cast<std::size_t>(State.range(1)), 'q'));
}
BENCHMARK(UnknownName)->ArgNames({"names", "bytes"})->Args({10000, 10000})->Args({1000, 100000})
    ->Args({100, 1000000})->Args({10000, 1000000})->Unit(benchmark::kMillisecond);

// One registered name of the given length and a typo of it (one byte changed).
void LongTypo(benchmark::State& State) {
  static double cell = 1;
  TFennic f(nullptr);
  std::string name(static_cast<std::size_t>(State.range(0)), 'a');
  f.RegisterVarExt(name, vtDouble, &cell);
  name[name.size() / 2] = 'b';
  CompileOrFail(State, f, name);
}
BENCHMARK(LongTypo)->ArgNames({"bytes"})->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
