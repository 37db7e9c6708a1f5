// The machine stack: compilation on the stacks hosts run it on (coroutine
// stacks, small threads), and what a routine takes of the stack it runs on.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fennic/codegen/fennic.h"
#include "fennic/core/stackguard.h"
#include "support/simplifier_probe.h"
#include "support/stacks.h"

namespace fennic::testing {
namespace {

// Host routines that take next to no stack of their own.
__attribute__((force_align_arg_pointer)) double Half(double v) { return v / 2; }
__attribute__((force_align_arg_pointer)) double Sum(double a, double b) { return a + b; }
#if defined(__i386__)
__attribute__((regparm(3)))
#endif
std::int32_t Add3(std::int32_t a, std::int32_t b, std::int32_t c) {
  return a + b + c;
}
// Of many double parameters, the first.
__attribute__((force_align_arg_pointer)) double First(double v) { return v; }

double gx = 0.5;

std::string Nested(const std::string& Open, const std::string& Inner, const std::string& Close, int Levels) {
  std::string s;
  for (int i = 0; i < Levels; ++i) s += Open;
  s += Inner;
  for (int i = 0; i < Levels; ++i) s += Close;
  return s;
}

void Register(TFennic& f) {
  f.SetAutoCompile(false);
  ASSERT_NE(f.RegisterVarExt("x", vtDouble, &gx), 0);
  ASSERT_NE(f.RegisterFuncExt("half", "vf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Half), false), 0);
  ASSERT_NE(f.RegisterFuncExt("sum", "vf64vf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Sum), false), 0);
  ASSERT_NE(f.RegisterFuncExt("add", "vi32vi32vi32", ctRegister, frInt32, 8, reinterpret_cast<void*>(&Add3), false), 0);
}

// The function w of WideCount double parameters, and a call of it opened
// up to its last argument.
constexpr int WideCount = 120;
void RegisterWide(TFennic& f) {
  std::string params;
  for (int i = 0; i < WideCount; ++i) params += "vf64";
  ASSERT_NE(f.RegisterFuncExt("w", params, ctCdecl, frDouble, 8, reinterpret_cast<void*>(&First), false), 0);
}
std::string WideOpen() {
  std::string open = "w(";
  for (int i = 1; i < WideCount; ++i) open += "x,";
  return open;
}

long double EvaluateOn(TTestStack& Stack, TFennic& f) {
  long double value = 0;
  Stack.Run([&] { value = f.Evaluate(); });
  return value;
}

void CompileText(TFennic& f, const std::string& Text) {
  f.SetExprString(Text);
  f.Compile();
}

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t SmallThread = 256 * 1024;
constexpr std::size_t HostUse = 1024;
#else
constexpr std::size_t SmallThread = 64 * 1024;
constexpr std::size_t HostUse = 256;
#endif
// A coroutine stack that holds the budget below the call of Compile.
constexpr std::size_t CoroutineStack = std::max<std::size_t>(256 * 1024, ForeignStackBudget + 128 * 1024);

// Texts that any of the stacks below takes, and texts that none does: the
// guard refuses them with eEdge before the stack runs out.
struct TGuardCase {
  std::string Text;
  TError Error;
  TGrammar Grammar = grStandart;
};

const std::vector<TGuardCase>& GuardCases() {
  static const std::vector<TGuardCase> cases = {
      {"(x+1)*2", eNone},
      {Nested("half(", "x", ")", 20), eNone},
      {Nested("(x*", "x+1", ")", 40), eNone},
      {Nested("sum(x,", "x", ")", 10), eNone},
      {Nested("x>0 ? half(", "x", ") : x", 4), eNone, grExtended},
      {Nested("x>1 ? half(x) : ", "x", "", 8), eNone, grExtended},
      // No bracket: the conditionals nest as deep as the chain is long.
      {Nested("x>1 ? half(x) : ", "x", "", 4000), eEdge, grExtended},
      {Nested("half(x) && ", "x", "", 4000), eEdge, grExtended},
      {Nested("half(", "x", ")", 300), eEdge},
      {Nested("(x*", "x+1", ")", 1000), eEdge},
  };
  return cases;
}

// Compiles and runs every guard case where it is called; records the
// outcome of each.
struct TGuardRun {
  std::vector<TError> Errors;
  std::vector<long double> Values;
  void operator()() {
    for (const TGuardCase& c : GuardCases()) {
      TFennic f;
      Register(f);
      f.SetGrammar(c.Grammar);
      CompileText(f, c.Text);
      Errors.push_back(f.CompError());
      Values.push_back(f.CompError() == eNone ? f.Evaluate() : 0);
    }
  }
};

TEST(StackGuard, EveryStackCompilesWhatFitsAndRefusesWhatDoesNot) {
  // The values of the texts that compile, from the main thread's stack.
  std::vector<long double> want;
  for (const TGuardCase& c : GuardCases()) {
    TFennic f;
    Register(f);
    f.SetGrammar(c.Grammar);
    CompileText(f, c.Text);
    const bool compiles = c.Error == eNone;
    ASSERT_TRUE(!compiles || f.CompError() == eNone) << c.Text;
    want.push_back(compiles ? f.Evaluate() : 0);
  }

  TTestStack early(CoroutineStack, TTestStack::TMemory::Mmap);  // mapped before its thread starts
  struct TStack {
    const char* Name;
    std::function<void(TGuardRun&)> Run;
    TTestStack* Coroutine;
  };
  TTestStack heap(CoroutineStack, TTestStack::TMemory::Malloc);
  TTestStack mapped(CoroutineStack, TTestStack::TMemory::Mmap);
  const TStack stacks[] = {
      {"malloc'd coroutine stack", [&](TGuardRun& r) { heap.Run(std::ref(r)); }, &heap},
      {"mmap'd coroutine stack", [&](TGuardRun& r) { mapped.Run(std::ref(r)); }, &mapped},
      {"coroutine stack older than its thread",
       [&](TGuardRun& r) { RunWithStack(1 << 20, [&] { early.Run(std::ref(r)); }); }, &early},
      {"small thread stack", [](TGuardRun& r) { RunWithStack(SmallThread, std::ref(r)); }, nullptr},
  };
  for (const TStack& s : stacks) {
    SCOPED_TRACE(s.Name);
    TGuardRun run;
    s.Run(run);
    ASSERT_EQ(run.Errors.size(), GuardCases().size());
    for (std::size_t i = 0; i < run.Errors.size(); ++i) {
      EXPECT_EQ(run.Errors[i], GuardCases()[i].Error) << GuardCases()[i].Text.substr(0, 24);
      EXPECT_EQ(run.Values[i], want[i]) << GuardCases()[i].Text.substr(0, 24);
    }
    EXPECT_TRUE(!s.Coroutine || s.Coroutine->HighWater() < s.Coroutine->Size());
  }
}

// A routine run on a stack filled with a pattern touches no more than its
// StackNeed below the call (plus what the host routines take themselves).
TEST(StackNeed, TheRoutineStaysWithinWhatItReports) {
#if defined(__SANITIZE_ADDRESS__) && defined(__i386__)
  // The i386 sanitizer's allocator fails a check of its own when it maps a
  // region while these deep texts compile on their thread; the other builds
  // run the table.
  GTEST_SKIP() << "the i386 sanitizer's allocator cannot serve the deep compilations on a thread";
#endif
  struct TCase {
    const char* Name;
    std::string Text;
  };
  const TCase cases[] = {
      {"a variable", "x"},
      {"1,999 calls nested in the last argument", Nested("sum(x,", "x", ")", 1999)},
      {"1,999 calls nested in the first argument", Nested("sum(", "x", ",x)", 1999)},
      {"1,999 nested calls of one argument", Nested("half(", "x", ")", 1999)},
      {"1,999 nested brackets", Nested("(x*", "x+1", ")", 1999)},
      {"temporaries of calls computed ahead", Nested("half(x)*(", "x", ")+half(x)", 500)},
      {"integer arguments in registers", Nested("add(1, ", "3", ", 2)", 200)},
      {"120 arguments nested 40 deep", Nested(WideOpen(), "x", ")", 40)},
  };
  // What the test's own frames take above the routine.
  TTestStack probe(64 * 1024, TTestStack::TMemory::Mmap);
  std::size_t above = 0;
  {
    TFennic f;
    Register(f);
    CompileText(f, "x");
    EvaluateOn(probe, f);
    ASSERT_GE(probe.HighWater(), f.StackNeed());
    above = probe.HighWater() - f.StackNeed();
  }
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFennic f;
    Register(f);
    RegisterWide(f);
    RunWithStack(DeepTextStack, [&] { CompileText(f, c.Text); });
    ASSERT_EQ(f.CompError(), eNone);
    const long double want = f.Evaluate();
    TTestStack stack(above + f.StackNeed() + HostUse + 4096, TTestStack::TMemory::Mmap);
    EXPECT_EQ(EvaluateOn(stack, f), want);
    EXPECT_LE(stack.HighWater(), above + f.StackNeed() + HostUse);
    // Not a blind upper bound either: most of it is used.
    EXPECT_GE(2 * (stack.HighWater() - above), f.StackNeed());
  }
}

TEST(StackNeed, BeyondTheBoundIsRefused) {
  TFennic f;
  Register(f);
  RegisterWide(f);
  RunWithStack(DeepTextStack, [&] { CompileText(f, Nested(WideOpen(), "x", ")", 400)); });
  EXPECT_EQ(f.CompError(), eEdge);
  EXPECT_EQ(f.CodeSize(), 1u);
  EXPECT_EQ(f.StackNeed(), static_cast<std::size_t>(PushWidth));
  // Within it the same function compiles.
  RunWithStack(DeepTextStack, [&] { CompileText(f, Nested(WideOpen(), "x", ")", 100)); });
  EXPECT_EQ(f.CompError(), eNone);
  EXPECT_GT(f.StackNeed(), 100u * (WideCount - 8) * 8);
  EXPECT_LE(f.StackNeed(), TFennic::MaxStackNeed);
}

}  // namespace
}  // namespace fennic::testing
