// The oracle of the differential tests must itself be right.
#include <gtest/gtest.h>

#include <cmath>

#include "support/expr_gen.h"
#include "support/reference_eval.h"

namespace fennic::testing {
namespace {

TEST(ReferenceEvaluator, ValuesOfTheGrammar) {
  double x = 2, y = 5;
  std::uint8_t k = 200;
  ReferenceEvaluator ref;
  ref.AddVariable("x", vtDouble, &x);
  ref.AddVariable("Y", vtDouble, &y);
  ref.AddVariable("k", vtUInt8, &k);
  ref.AddFunction("sq", [](const std::vector<long double>& a) { return a[0] * a[0]; });
  struct Case {
    const char* text;
    long double value;
  } cases[] = {{"2*x+3", 7},     {"x--y", 7},        {"x+-y", -3},     {"-x*y", -10},
               {"x-(y-1)", -2},  {"1/x", 0.5},       {" 2 *  x ", 4},  {"((x))", 2},
               {"k/x", 100},     {"1e5", 100000},    {"1.5E-3*1000", 1.5}, {"sq(x+1)", 9},
               {"y*-(1)", -5} /* not grammatical below */};
  for (const auto& c : cases) {
    auto v = ref.Evaluate(c.text);
    if (std::string(c.text) == "y*-(1)") {
      EXPECT_FALSE(v) << c.text;
      continue;
    }
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(v->Value, c.value) << c.text;
  }
  for (const char* bad : {"", "x y", "(x", "x)", "2*", ".5", "1.2.3", "z", "x(1)"})
    EXPECT_FALSE(ref.Evaluate(bad)) << bad;
}

// The extended grammar's conditional and logical operators: precedence, 1 or
// 0 as a logical value, NaN as true, laziness (an untaken or short-circuited
// call is not made and its error does not count), an undecidable condition.
TEST(ReferenceEvaluator, ConditionalAndLogicalOperators) {
  double x = 2, y = 0, nan = NAN;
  int calls = 0;
  ReferenceEvaluator ref;
  ref.AddVariable("x", vtDouble, &x);
  ref.AddVariable("y", vtDouble, &y);
  ref.AddVariable("nan", vtDouble, &nan);
  ref.AddFunction("count", [&calls](const std::vector<long double>& a) { return ++calls, a[0]; });
  ref.SetExtended(true);
  constexpr long double kRefused = -999;
  struct Case {
    const char* text;
    long double value;  // kRefused: not grammatical
    int calls = 0;
    bool comparable = true;
    bool exact = false;  // no error bound
  } cases[] = {
      {"1 ? 2 : 0 ? 4 : 5", 2},       {"0 ? 2 : 0 ? 4 : 5", 5},   {"x ? y ? 3 : 4 : 5", 4},
      {"0 ? 1 : 2 + 3", 5},           {"1 || 0 && 0", 1},         {"0 && 0 || 1", 1},
      {"2 == 2 && 3", 1},             {"1 < 2 || 0 > 1 ? x : 7", 2}, {"!0 && 0", 0},
      {"0 ? 1 : -x", -2},             {"x > 1 ? x * -1 : x", -2}, {"-1 && 2.5", 1},
      {"(0 || 0) + 1", 1},            {"count(0 ? 2 : 3)", 3, 1},
      {"nan ? 1 : 2", 1},             {"nan && 1", 1},            {"nan || 0", 1},
      {"!nan", 0},
      {"1 ? count(4) : count(5)", 4, 1}, {"0 ? count(4) : 6", 6, 0, true, true},
      {"0 && count(1)", 0},           {"1 || count(1) && count(1)", 1}, {"1 && count(0)", 0, 1},
      {"0 ? count(1) : count(0) ? 4 : 5", 5, 1},
      {"1 ? x : x * 0.1 / 3", 2, 0, true, true}, {"0 ? 1 / (x - x) : 3", 3, 0, true, true},
      {"0.1 * 3 ? 1 : 2", 1},         {"x / 3 * 3 - x ? 1 : 2", 0, 0, false},
      {"x / 3 * 3 - x || 0", 0, 0, false}, {"1 && x / 3 * 3 - x", 0, 0, false},
      {"1 ? 2", kRefused},            {"1 : 2", kRefused},        {"1 ? 2 :", kRefused},
      {"? 1 : 2", kRefused},          {"(1 ? 2) : 3", kRefused},  {"1 & 2", kRefused},
      {"1 | 2", kRefused},            {"1 &&", kRefused},
  };
  for (const Case& c : cases) {
    calls = 0;
    const auto v = ref.Evaluate(c.text);
    if (c.value == kRefused) {
      EXPECT_FALSE(v) << c.text;
      continue;
    }
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(calls, c.calls) << c.text;
    EXPECT_EQ(v->Comparable, c.comparable) << c.text;
    if (c.comparable) {
      EXPECT_EQ(v->Value, c.value) << c.text;
    }
    if (c.exact) {
      EXPECT_EQ(v->Error, 0) << c.text;
    }
  }
  ref.SetExtended(false);
  for (const char* text : {"1 ? 2 : 3", "1 || 2", "1 && 2"}) EXPECT_FALSE(ref.Evaluate(text)) << text;
}

TEST(ReferenceEvaluator, ToleranceFollowsTheErrorBound) {
  RefValue exact{1.0L, 0, true};
  EXPECT_TRUE(ReferenceEvaluator::Agrees(1.0L, exact));
  EXPECT_FALSE(ReferenceEvaluator::Agrees(1.0L + 0x1p-40L, exact));
  RefValue rounded{1.0L, 0x1p-60L, true};
  EXPECT_TRUE(ReferenceEvaluator::Agrees(1.0L + 0x1p-58L, rounded));
  EXPECT_TRUE(ReferenceEvaluator::Agrees(NAN, RefValue{NAN, 0, false}));
  EXPECT_FALSE(ReferenceEvaluator::Agrees(NAN, exact));
}

TEST(ExpressionGenerator, ProducesGrammaticalTextReproducibly) {
  VariablePool pool;
  ReferenceEvaluator ref;
  pool.RegisterAll(ref);
  ExpressionGenerator a(pool, 42), b(pool, 42);
  GenOptions o;
  for (bool extended : {false, true}) {
    o.Extended = extended;
    ref.SetExtended(extended);
    for (int i = 0; i < 500; ++i) {
      std::string t = a.Next(o);
      EXPECT_EQ(t, b.Next(o));
      EXPECT_TRUE(ref.Evaluate(t)) << t;
    }
  }
  std::string big = a.Balanced(9, true);
  EXPECT_TRUE(ref.Evaluate(big));
}

}  // namespace
}  // namespace fennic::testing
