// ComputeOnce: which repeats are computed once, and that the value keeps
// every bit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "functions/pack_fixture.h"
#include "integration/settings_matrix.h"
#include "support/expr_gen.h"

namespace fennic::testing {
namespace {

int PureCalls = 0, StatefulCalls = 0;
extern "C" double CountedPure(double v) {
  ++PureCalls;
  return v * 3;
}
extern "C" double CountedStateful(double v) {
  ++StatefulCalls;
  return v * 3;
}
extern "C" double ByReference(const long double* v) { return static_cast<double>(*v) + 1; }
extern "C" double Scaled(double v, std::int32_t k) { return v * k; }

struct TOnce : TPackComponent {
  TOnce() {
    Fennic.SetComputeOnce(coOn);
    Fennic.RegisterFuncExt("pure", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&CountedPure), true);
    Fennic.RegisterFuncExt("stateful", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&CountedStateful),
                           false);
    Fennic.RegisterFuncExt("byref", "rf80", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&ByReference), true);
    Fennic.RegisterFuncExt("scaled", "vf64vi32", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&Scaled), true);
  }
  std::vector<std::string> Reused() const {
    std::vector<std::string> out;
    for (const TReusedValue& v : Fennic.ReusedValues())
      out.push_back(v.Text + " x" + std::to_string(v.Uses));
    return out;
  }
};

TEST(ComputeOnce, WhatIsComputedOnce) {
  struct Case {
    const char* text;
    std::vector<std::string> reused;  // text and uses, outer values first
  } cases[] = {
      {"sin(x)*sin(x)", {"sin(x) x2"}},
      {"sin(x)*sin(x)+cos(x)*cos(x)", {"sin(x) x2", "cos(x) x2"}},
      {"sin(x)*sin(x)*sin(x)", {"sin(x) x3"}},
      {"sin(x)+sin(y)", {}},
      {"sin(x)+sin(-x)", {}},
      {"-sin(x)*sin(x)", {"sin(x) x2"}},
      // Found after bracket elimination and regrouping (the defaults).
      {"x-(sin(x)+y)+y*(sin(x)+y)", {"sin(x) x2"}},
      {"exp(x+y+y)+exp(x+(y+y))", {"exp((x+y)+y) x2"}},
      {"x*exp(x*y)+y*exp(y*x)", {}},
      // The repeat inside a repeat is computed with it.
      {"sin(x)*cos(x)/(sin(x)*cos(x)+y)", {"sin(x)*cos(x) x2"}},
      {"exp(sin(x))+sin(x)*exp(sin(x))", {"exp(#2) x2", "sin(x) x2"}},
      // Arithmetic and short inline code are cheaper computed again.
      {"(x*y+x*x*y)/(x*y+x*x*y)", {}},
      {"sqrt(x+y)*sqrt(x+y)+abs(x)*abs(x)", {}},
      {"hypot(x, y)*hypot(x, y)", {"hypot(x, y) x2"}},
      // Only pure calls: Foldable host routines and inline code.
      {"pure(x)+pure(x)", {"pure(x) x2"}},
      {"stateful(x)+stateful(x)", {}},
      {"stateful(x)*sin(x)+stateful(x)*sin(x)", {"sin(x) x2"}},
      {"byref(x)*byref(x)+byref(y)", {"byref(x) x2"}},
      {"scaled(x, 3)*scaled(x, 3)+scaled(x, 4)", {"scaled(x, 3) x2"}},
  };
  TOnce once;
  for (const Case& c : cases) {
    if (!once.Compile(c.text)) continue;
    EXPECT_EQ(once.Reused(), c.reused) << c.text;
  }
}

TEST(ComputeOnce, APureRoutineRunsOnceAStatefulOneEveryTime) {
  TOnce once;
  once.X = 2;
  struct Case {
    const char* text;
    int pure, stateful;
  } cases[] = {{"pure(x)*pure(x)+pure(x)", 1, 0}, {"stateful(x)*stateful(x)+stateful(x)", 0, 3}};
  for (const Case& c : cases) {
    if (!once.Compile(c.text)) continue;
    PureCalls = StatefulCalls = 0;
    EXPECT_EQ(once.Fennic.Evaluate(), 42) << c.text;
    EXPECT_EQ(PureCalls, c.pure) << c.text;
    EXPECT_EQ(StatefulCalls, c.stateful) << c.text;
  }
}

TEST(ComputeOnce, TheProfileDecidesUnlessSet) {
  struct Case {
    TComputeOnce setting;
    TAutoConfigure profile;
    bool reused;
  } cases[] = {{coProfile, acDefault, false}, {coProfile, acAuto, true}, {coProfile, acP6, true},
               {coOff, acAuto, false},        {coOn, acDefault, true}};
  for (const Case& c : cases) {
    TOnce once;
    once.Fennic.SetComputeOnce(c.setting);
    once.Fennic.SetAutoConfigure(c.profile);
    if (!once.Compile("sin(x)*sin(x)")) continue;
    EXPECT_EQ(!once.Fennic.ReusedValues().empty(), c.reused) << int(c.setting) << " " << int(c.profile);
  }
}

// Runs the routine under the given precision control (x87 control word bits 8-9).
long double EvaluateWithPrecision(TFennic& f, std::uint16_t precision) {
  std::uint16_t saved = 0, cw = 0;
  asm volatile("fnstcw %0" : "=m"(saved));
  cw = static_cast<std::uint16_t>((saved & ~0x0300) | precision << 8);
  asm volatile("fldcw %0" ::"m"(cw) : "memory");
  const long double v = f.Evaluate();
  asm volatile("fldcw %0" ::"m"(saved) : "memory");
  return v;
}

// Random texts built to repeat their subtrees, pure calls among them,
// compiled with and without ComputeOnce under random settings and run under
// every precision control: the same bits every time.
TEST(ComputeOnce, TheValueKeepsEveryBit) {
#if defined(__SANITIZE_ADDRESS__)
  const int count = 600;
#else
  const int count = 3000;
#endif
  VariablePool pool;
  TFennic on(nullptr), off(nullptr);
  for (TFennic* f : {&on, &off}) {
    pool.RegisterAll(*f);
    ASSERT_TRUE(RegisterStandardFunctions(*f));
  }
  on.SetComputeOnce(coOn);
  off.SetComputeOnce(coOff);
  const std::vector<TSettings> all = AllSettings();
  static const char* const Shapes[] = {"A*A+B", "F*F+G*G", "(A-B)/(A+B)*(A-B)/(A+B)", "F*B-F", "F+A*F",
                                       "G*(F+A)-(F+A)/G", "-F*F", "F-(A-F)"};
  static const char* const Calls[] = {"sin(%)", "cos(%)", "exp(%/64)", "sqrt(abs(%))", "atan(%)", "max(%, 1)"};
  // The i386 pack's inline sine faults on an argument near 1e3000 under a
  // 24-bit precision control, with or without the setting: left out there.
#if defined(__x86_64__)
  static const std::uint16_t Precisions[] = {3, 2, 0};
#else
  static const std::uint16_t Precisions[] = {3, 2};
#endif
  int reused = 0;
  for (int i = 0; i < count; ++i) {
    ExpressionGenerator gen(pool, 20261209u + static_cast<std::uint32_t>(i));
    std::mt19937& rng = gen.Rng();
    pool.Randomize(rng, i % 3 == 1);
    GenOptions o;
    o.MaxDepth = 1 + static_cast<int>(rng() % 4);
    auto piece = [&] { return "(" + gen.Next(o) + ")"; };
    auto call = [&] {
      std::string c = Calls[rng() % std::size(Calls)];
      return c.replace(c.find('%'), 1, piece());
    };
    const std::string a = piece(), b = piece(), f = call(), g = call();
    std::string text = Shapes[rng() % std::size(Shapes)];
    for (std::size_t at = 0; at < text.size();) {
      const char k = text[at];
      const std::string* by = k == 'A' ? &a : k == 'B' ? &b : k == 'F' ? &f : k == 'G' ? &g : nullptr;
      if (!by) {
        ++at;
        continue;
      }
      text.replace(at, 1, *by);
      at += by->size();
    }
    const TSettings& s = all[static_cast<std::size_t>(i) * 31 % all.size()];
    s.ApplyTo(on);
    s.ApplyTo(off);
    on.SetExprString(text);
    off.SetExprString(text);
    ASSERT_EQ(on.CompError(), off.CompError()) << text;
    if (on.CompError() != eNone && on.CompError() != eDomain) continue;
    reused += !on.ReusedValues().empty();
    for (std::uint16_t precision : Precisions) {
      const long double x = EvaluateWithPrecision(on, precision), y = EvaluateWithPrecision(off, precision);
      ASSERT_TRUE(SameBits(x, y)) << "case " << i << ": " << text << "\n  " << x << " with, " << y
                                  << " without, precision control " << precision << ", " << s.Describe();
    }
  }
  EXPECT_GT(reused, count / 2);
}

}  // namespace
}  // namespace fennic::testing
