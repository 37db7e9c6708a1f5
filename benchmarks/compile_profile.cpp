// A compilation run over and over, for a profiler that counts instructions
// (callgrind) and for a count of the heap allocations each one makes.
//
//   fennic_compile_profile [--recompile] [--iterations=N] NAME...
//
// NAME is an expression of the benchmark corpus, or "typical" / "random" for
// a whole group. Without --recompile each iteration is what Fennic_Compile
// measures: a new component, its registrations, the compilation, the first
// evaluation and the release. With --recompile one component compiles the
// text again and again (Fennic_Recompile). After the runs the program prints,
// per expression, the allocations (operator new) of one iteration.
//
// Under callgrind (--collect-atstart=no) only the counted iterations are
// collected; benchmarks/profile_phases.py runs it and divides the inclusive
// cost of each phase by the iterations.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "corpus.h"
#include "fennic/fennic.h"
#ifdef FENNIC_BENCH_FUNCTIONS
#include "fennic/functions/functions.h"
#endif

namespace {

std::atomic<long> gAllocations{0};

}  // namespace

// Every allocation of the process, the library's included, passes here.
void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace fennic;
using namespace fennic_bench;

namespace {

std::vector<double> gVars(kVarValues, kVarValues + kVarCount);

void SetUp(TFennic& f, const TBenchExpr& e) {
  f.SetAutoCompile(false);
#ifdef FENNIC_BENCH_FUNCTIONS
  if (e.NeedsPack) RegisterStandardFunctions(f);
#endif
  for (int i = 0; i < e.UseCount; ++i) f.RegisterVarExt(kVarNames[e.Uses[i]], vtDouble, &gVars[e.Uses[i]]);
}

// One new component through its first evaluation; false when it refuses the text.
bool CompileNew(const TBenchExpr& e) {
  TFennic f(nullptr);
  SetUp(f, e);
  f.SetExprString(e.Text);
  f.Compile();
  volatile long double value = f.Evaluate();
  (void)value;
  return f.CompError() == eNone;
}

bool Recompile(TFennic& f, const TBenchExpr& e) {
  f.SetExprString(e.Text);
  f.Compile();
  volatile long double value = f.Evaluate();
  (void)value;
  return f.CompError() == eNone;
}

}  // namespace

int main(int argc, char** argv) {
  bool recompile = false;
  long iterations = 100;
  std::vector<const TBenchExpr*> chosen;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--recompile") {
      recompile = true;
      continue;
    }
    if (arg.rfind("--iterations=", 0) == 0) {
      iterations = std::atol(arg.c_str() + 13);
      continue;
    }
    bool found = false;
    for (int k = 0; k < kCorpusSize; ++k)
      if (arg == kCorpus[k].Name || arg == kCorpus[k].Group) {
        chosen.push_back(&kCorpus[k]);
        found = true;
      }
    if (!found) {
      std::fprintf(stderr, "no expression or group %s in the corpus\n", arg.c_str());
      return 2;
    }
  }
  if (chosen.empty() || iterations < 1) {
    std::fprintf(stderr, "usage: %s [--recompile] [--iterations=N] NAME...\n", argv[0]);
    return 2;
  }
#ifndef FENNIC_BENCH_FUNCTIONS
  for (const TBenchExpr* e : chosen)
    if (e->NeedsPack) {
      std::fprintf(stderr, "%s needs the function pack, which this build lacks\n", e->Name);
      return 2;
    }
#endif

  std::printf("%-28s %9s %12s\n", "expression", "operators", "allocations");
  for (const TBenchExpr* e : chosen) {
    // The component of a recompilation exists before the count starts,
    // and has compiled the text once.
    TFennic kept(nullptr);
    SetUp(kept, *e);
    if (!Recompile(kept, *e)) {
      std::fprintf(stderr, "%s: Fennic refuses the expression\n", e->Name);
      return 1;
    }
    const long before = gAllocations.load();
    CALLGRIND_TOGGLE_COLLECT;
    for (long n = 0; n < iterations; ++n)
      if (!(recompile ? Recompile(kept, *e) : CompileNew(*e))) return 1;
    CALLGRIND_TOGGLE_COLLECT;
    const double each = static_cast<double>(gAllocations.load() - before) / static_cast<double>(iterations);
    std::printf("%-28s %9d %12.1f\n", e->Name, e->Operators, each);
  }
  return 0;
}
