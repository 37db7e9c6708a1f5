// Fennic against the same formulas compiled ahead of time by GCC (x87 in long
// double and double, SSE2 in double) and against muparser, in one run:
// evaluation time per expression, and the latency of a whole compilation on
// both sides.
//
// Before measuring, every expression of the corpus is compiled by Fennic and
// muparser and the three results are compared; the program refuses to run
// when one of them rejects an expression or the values disagree.
#include <benchmark/benchmark.h>
#include <muParser.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "corpus.h"
#include "fennic/core/target.h"
#include "fennic/fennic.h"
#ifdef FENNIC_BENCH_FUNCTIONS
#include "fennic/functions/functions.h"
#endif

using namespace fennic;
using namespace fennic_bench;

namespace {

// The host's variables: every engine reads them from here.
std::vector<double> gVars(kVarValues, kVarValues + kVarCount);

constexpr bool kHavePack =
#ifdef FENNIC_BENCH_FUNCTIONS
    true;
#else
    false;
#endif

// FENNIC_BENCH_ACCURACY=double measures the pack's double accuracy.
void RegisterPack(TFennic& f) {
#ifdef FENNIC_BENCH_FUNCTIONS
  static const bool Double = [] {
    const char* v = std::getenv("FENNIC_BENCH_ACCURACY");
    return v && std::strcmp(v, "double") == 0;
  }();
  RegisterStandardFunctions(f, Double ? paDouble : paExtended);
#else
  (void)f;
#endif
}

// What a Fennic host does before it compiles: variables, and the function
// pack when the text needs it.
void SetUpFennic(TFennic& f, const TBenchExpr& e) {
  f.SetAutoCompile(false);
  f.SetGrammar(grExtended);  // the corpus's comparisons
  if (e.NeedsPack) RegisterPack(f);
  for (int i = 0; i < e.UseCount; ++i)
    f.RegisterVarExt(kVarNames[e.Uses[i]], vtDouble, &gVars[e.Uses[i]]);
}

double Pow(double a, double b) { return std::pow(a, b); }
double Hypot(double a, double b) { return std::hypot(a, b); }
double Atan2(double a, double b) { return std::atan2(a, b); }

// muparser has most of the pack built in; the rest is defined as the pack's
// counterpart would be.
void SetUpMuparser(mu::Parser& p, const TBenchExpr& e) {
  if (e.NeedsPack) {
    p.DefineConst("pi", M_PI);
    p.DefineConst("e", M_E);
    p.DefineFun("pow", Pow);
    p.DefineFun("hypot", Hypot);
    p.DefineFun("atan2", Atan2);
  }
  for (int i = 0; i < e.UseCount; ++i) p.DefineVar(kVarNames[e.Uses[i]], &gVars[e.Uses[i]]);
}

bool Runnable(const TBenchExpr& e) { return kHavePack || !e.NeedsPack; }

bool Close(long double a, long double b) {
  return std::fabs(a - b) <= 1e-9L * std::fmax(std::fabs(a), std::fabs(b)) + 1e-300L;
}

// All three engines accept every expression and agree on its value.
bool CheckCorpus() {
  bool ok = true;
  for (int i = 0; i < kCorpusSize; ++i) {
    const TBenchExpr& e = kCorpus[i];
    if (!Runnable(e)) continue;
    TFennic f(nullptr);
    SetUpFennic(f, e);
    f.SetExprString(e.Text);
    f.Compile();
    if (f.CompError() != eNone) {
      std::fprintf(stderr, "%s: Fennic refuses the expression (CompError %d): %s\n", e.Name,
                   static_cast<int>(f.CompError()), e.Text);
      ok = false;
      continue;
    }
    const long double fennicValue = f.Evaluate();
    double muValue = 0;
    try {
      mu::Parser p;
      SetUpMuparser(p, e);
      p.SetExpr(e.Text);
      muValue = p.Eval();
    } catch (mu::Parser::exception_type& error) {
      std::fprintf(stderr, "%s: muparser refuses the expression (%s): %s\n", e.Name,
                   error.GetMsg().c_str(), e.Text);
      ok = false;
      continue;
    }
    const long double ld = e.NativeLD(gVars.data());
    const double d = e.NativeD(gVars.data());
    const double sse = e.NativeSSE(gVars.data());
    if (!Close(fennicValue, ld) || !Close(muValue, ld) || !Close(d, ld) || !Close(sse, ld) ||
        !Close(e.Expected, ld)) {
      std::fprintf(stderr,
                   "%s: the engines disagree: Fennic %.17Lg, GCC long double %.17Lg, GCC double "
                   "%.17g, GCC SSE2 double %.17g, muparser %.17g, generator %.17g\n  %s\n",
                   e.Name, fennicValue, ld, d, sse, muValue, e.Expected, e.Text);
      ok = false;
    }
  }
  return ok;
}

void Describe(benchmark::State& state, const TBenchExpr& e) {
  state.counters["operators"] = e.Operators;
  state.counters["calls"] = e.NeedsPack ? 1 : 0;
  state.SetLabel(e.Group);
}

void FennicEval(benchmark::State& state, const TBenchExpr* e) {
  TFennic f(nullptr);
  SetUpFennic(f, *e);
  f.SetExprString(e->Text);
  f.Compile();
  for (auto _ : state) benchmark::DoNotOptimize(f.Evaluate());
  Describe(state, *e);
  state.counters["code_bytes"] = static_cast<double>(f.CodeSize());
}

// The same with the code shaped for the processor it runs on (acAuto).
void FennicEvalAuto(benchmark::State& state, const TBenchExpr* e) {
  TFennic f(nullptr);
  SetUpFennic(f, *e);
  f.SetAutoConfigure(acAuto);
  f.SetExprString(e->Text);
  f.Compile();
  for (auto _ : state) benchmark::DoNotOptimize(f.Evaluate());
  Describe(state, *e);
  state.counters["code_bytes"] = static_cast<double>(f.CodeSize());
}

// The same with each repeated subexpression computed once (ComputeOnce).
void FennicEvalOnce(benchmark::State& state, const TBenchExpr* e) {
  TFennic f(nullptr);
  SetUpFennic(f, *e);
  f.SetComputeOnce(coOn);
  f.SetExprString(e->Text);
  f.Compile();
  for (auto _ : state) benchmark::DoNotOptimize(f.Evaluate());
  Describe(state, *e);
  state.counters["code_bytes"] = static_cast<double>(f.CodeSize());
}

// The compiled routine called straight through a pointer, as the GCC
// functions are (Evaluate, in the header, makes the same single call).
void FennicRoutine(benchmark::State& state, const TBenchExpr* e) {
  TFennic f(nullptr);
  SetUpFennic(f, *e);
  f.SetExprString(e->Text);
  f.Compile();
  auto routine = reinterpret_cast<TRoutine>(reinterpret_cast<std::uintptr_t>(f.CodeBytes()));
  void* component = &f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(routine);
    benchmark::DoNotOptimize(routine(component));
  }
  Describe(state, *e);
}

// The same routine compiled with every operation emitted where it is met
// (BackOperation off) instead of queued for interleaving.
void FennicEvalImmediate(benchmark::State& state, const TBenchExpr* e) {
  TFennic f(nullptr);
  SetUpFennic(f, *e);
  f.SetBackOperation(false);
  f.SetExprString(e->Text);
  f.Compile();
  for (auto _ : state) benchmark::DoNotOptimize(f.Evaluate());
  Describe(state, *e);
  state.counters["code_bytes"] = static_cast<double>(f.CodeSize());
}

void NativeLD(benchmark::State& state, const TBenchExpr* e) {
  auto fn = e->NativeLD;
  const double* vars = gVars.data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn);
    benchmark::DoNotOptimize(fn(vars));
  }
  Describe(state, *e);
}

void NativeD(benchmark::State& state, const TBenchExpr* e) {
  auto fn = e->NativeD;
  const double* vars = gVars.data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn);
    benchmark::DoNotOptimize(fn(vars));
  }
  Describe(state, *e);
}

void NativeSSE(benchmark::State& state, const TBenchExpr* e) {
  auto fn = e->NativeSSE;
  const double* vars = gVars.data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn);
    benchmark::DoNotOptimize(fn(vars));
  }
  Describe(state, *e);
}

void MuparserEval(benchmark::State& state, const TBenchExpr* e) {
  mu::Parser p;
  SetUpMuparser(p, *e);
  p.SetExpr(e->Text);
  p.Eval();
  for (auto _ : state) benchmark::DoNotOptimize(p.Eval());
  Describe(state, *e);
}

// A whole compilation as a host sees it: a new component, its registrations,
// the text, the compilation, the first evaluation (and the component's
// release), as muparser's first evaluation parses its text.
void FennicCompile(benchmark::State& state, const TBenchExpr* e) {
  std::size_t code = 0;
  for (auto _ : state) {
    TFennic f(nullptr);
    SetUpFennic(f, *e);
    f.SetExprString(e->Text);
    f.Compile();
    code = f.CodeSize();
    benchmark::DoNotOptimize(f.Evaluate());
  }
  Describe(state, *e);
  state.counters["code_bytes"] = static_cast<double>(code);
}

// The same for muparser: construction, definitions, the text and the first
// evaluation (which parses it), and the release.
void MuparserCompile(benchmark::State& state, const TBenchExpr* e) {
  for (auto _ : state) {
    mu::Parser p;
    SetUpMuparser(p, *e);
    p.SetExpr(e->Text);
    benchmark::DoNotOptimize(p.Eval());
  }
  Describe(state, *e);
}

// Phases of a Fennic compilation, to see where its time goes: a new text on
// a component that exists already, through its first evaluation ...
void FennicRecompile(benchmark::State& state, const TBenchExpr* e, TComputeOnce Once) {
  TFennic f(nullptr);
  SetUpFennic(f, *e);
  f.SetComputeOnce(Once);
  for (auto _ : state) {
    f.SetExprString(e->Text);
    f.Compile();
    benchmark::DoNotOptimize(f.Evaluate());
  }
  Describe(state, *e);
}

// ... as muparser does it: a new text on a parser with its definitions.
void MuparserRecompile(benchmark::State& state, const TBenchExpr* e) {
  mu::Parser p;
  SetUpMuparser(p, *e);
  for (auto _ : state) {
    p.SetExpr(e->Text);
    benchmark::DoNotOptimize(p.Eval());
  }
  Describe(state, *e);
}

// ... the simplifier alone, and the simplifier with the tree builder (the
// rest of a recompilation is code generation) ...
// The stages are the component's own; a descendant reaches them.
struct TStagedFennic : TFennic {
  TStagedFennic() : TFennic(nullptr) {}
  using TFennic::Build;
  using TFennic::Simplify;
};

void FennicSimplify(benchmark::State& state, const TBenchExpr* e) {
  TStagedFennic f;
  SetUpFennic(f, *e);
  for (auto _ : state) {
    std::string text = e->Text;
    f.Simplify(text);
    benchmark::DoNotOptimize(text.data());
  }
  Describe(state, *e);
}

void FennicBuild(benchmark::State& state, const TBenchExpr* e) {
  TStagedFennic f;
  SetUpFennic(f, *e);
  for (auto _ : state) {
    std::string text = e->Text;
    f.Build(text);
    benchmark::DoNotOptimize(text.data());
  }
  Describe(state, *e);
}

// ... and the component with its registrations alone.
void FennicSetUp(benchmark::State& state, const TBenchExpr* e) {
  for (auto _ : state) {
    TFennic f(nullptr);
    SetUpFennic(f, *e);
    benchmark::DoNotOptimize(&f);
  }
  Describe(state, *e);
}

// The executable memory of one routine: map, protect, release.
void ExecutableMemory(benchmark::State& state) {
  for (auto _ : state) {
    ExecutableBlock block(64);
    block.Data()[0] = 0xC3;
    block.Protect();
    benchmark::DoNotOptimize(block.Data());
  }
}

// What one instruction costs where the benchmark runs: 100 x87 additions,
// 100 register exchanges, 100 integer additions. Under an emulator the x87
// costs far more than integer work, which weighs on every ratio between
// compiled x87 code and an interpreter.
void InstructionX87Add(benchmark::State& state) {
  for (auto _ : state)
    asm volatile("fld1\n\tfldz\n\t.rept 100\n\tfadd %%st(1), %%st\n\t.endr\n\t"
                 "fstp %%st(0)\n\tfstp %%st(0)" ::: "st", "st(1)");
}

void InstructionX87Exchange(benchmark::State& state) {
  for (auto _ : state)
    asm volatile("fld1\n\tfldz\n\t.rept 100\n\tfxch %%st(1)\n\t.endr\n\t"
                 "fstp %%st(0)\n\tfstp %%st(0)" ::: "st", "st(1)");
}

void InstructionIntegerAdd(benchmark::State& state) {
  int a = 1, b = 2;
  for (auto _ : state) {
    asm volatile(".rept 100\n\taddl %1, %0\n\t.endr" : "+r"(a) : "r"(b));
    benchmark::DoNotOptimize(a);
  }
}

void RegisterAll() {
  for (int i = 0; i < kCorpusSize; ++i) {
    const TBenchExpr* e = &kCorpus[i];
    if (!Runnable(*e)) continue;
    const std::string name = e->Name;
    benchmark::RegisterBenchmark(("Fennic_Eval/" + name).c_str(), FennicEval, e);
    benchmark::RegisterBenchmark(("Fennic_EvalAuto/" + name).c_str(), FennicEvalAuto, e);
    benchmark::RegisterBenchmark(("Fennic_EvalOnce/" + name).c_str(), FennicEvalOnce, e);
    benchmark::RegisterBenchmark(("Fennic_Routine/" + name).c_str(), FennicRoutine, e);
    benchmark::RegisterBenchmark(("Fennic_EvalImmediate/" + name).c_str(), FennicEvalImmediate, e);
    benchmark::RegisterBenchmark(("GCC_LongDouble/" + name).c_str(), NativeLD, e);
    benchmark::RegisterBenchmark(("GCC_Double/" + name).c_str(), NativeD, e);
    benchmark::RegisterBenchmark(("GCC_DoubleSSE/" + name).c_str(), NativeSSE, e);
    benchmark::RegisterBenchmark(("Muparser_Eval/" + name).c_str(), MuparserEval, e);
    benchmark::RegisterBenchmark(("Fennic_Compile/" + name).c_str(), FennicCompile, e);
    benchmark::RegisterBenchmark(("Muparser_Compile/" + name).c_str(), MuparserCompile, e);
    benchmark::RegisterBenchmark(("Fennic_Recompile/" + name).c_str(), FennicRecompile, e, coProfile);
    benchmark::RegisterBenchmark(("Fennic_RecompileOnce/" + name).c_str(), FennicRecompile, e, coOn);
    benchmark::RegisterBenchmark(("Muparser_Recompile/" + name).c_str(), MuparserRecompile, e);
    benchmark::RegisterBenchmark(("Fennic_SetUp/" + name).c_str(), FennicSetUp, e);
    benchmark::RegisterBenchmark(("Fennic_Simplify/" + name).c_str(), FennicSimplify, e);
    benchmark::RegisterBenchmark(("Fennic_Build/" + name).c_str(), FennicBuild, e);
  }
  benchmark::RegisterBenchmark("ExecutableMemory", ExecutableMemory);
  benchmark::RegisterBenchmark("Instructions100/X87Add", InstructionX87Add);
  benchmark::RegisterBenchmark("Instructions100/X87Exchange", InstructionX87Exchange);
  benchmark::RegisterBenchmark("Instructions100/IntegerAdd", InstructionIntegerAdd);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bool checkOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check_only") == 0) {
      checkOnly = true;
    } else {
      std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
      return 2;
    }
  }
  if (!kHavePack)
    std::fprintf(stderr, "built without the function pack: expressions with calls are left out\n");
  if (!CheckCorpus()) {
    std::fprintf(stderr, "the corpus is not accepted by every engine: nothing measured\n");
    return 1;
  }
  if (checkOnly) {
    std::printf("all %d expressions accepted, values agree\n", kCorpusSize);
    return 0;
  }
  // The report names the target of each run; the run script adds where it ran.
  benchmark::AddCustomContext("fennic_target", Target64 ? "x86_64" : "i386");
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
