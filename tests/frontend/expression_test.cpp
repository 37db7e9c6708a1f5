#include "fennic/expression.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fennic/codegen/fennic.h"

namespace fennic::testing {
namespace {

// What the templates accept and refuse, checked where they are declared.
static_assert(variable_type<std::int8_t> && variable_type<std::int64_t> && variable_type<std::uint32_t> &&
              variable_type<const double> && variable_type<long double>);
static_assert(!variable_type<std::uint64_t> && !variable_type<bool> && !variable_type<char> &&
              !variable_type<int*> && !variable_type<std::string>);
static_assert(host_function<double (*)(double, const float*, std::int16_t&)>);
static_assert(host_function<long double (*)() noexcept>);
static_assert(host_function<decltype([](double x) { return x; })>);
static_assert(!host_function<void (*)(double)>);
static_assert(!host_function<double (*)(std::uint64_t)>);
static_assert(!host_function<double (*)(double&&)>);
static_assert(!host_function<double (*)(std::string)>);
static_assert(!host_function<double* (*)(double)>);
static_assert(!host_function<std::function<double(double)>>);
static_assert(!host_function<int>);

template <class T>
long double Twice(T value) {
  T storage = value;
  expression e;
  e.define_variable("v", &storage);
  EXPECT_TRUE(e.compile("v*2"));
  return e.evaluate();
}

TEST(Expression, EveryVariableTypeIsReadAsItsOwn) {
  struct Case {
    const char* type;
    long double value;  // of the variable; the formula doubles it
    long double got;
  };
  const Case cases[] = {
      {"int8", -128, Twice<std::int8_t>(-128)},
      {"uint8", 255, Twice<std::uint8_t>(255)},
      {"int16", -32768, Twice<std::int16_t>(-32768)},
      {"uint16", 65535, Twice<std::uint16_t>(65535)},
      {"int32", -2147483647 - 1, Twice<std::int32_t>(-2147483647 - 1)},
      {"uint32", 4294967295.0L, Twice<std::uint32_t>(4294967295u)},
      {"int64", -9007199254740993.0L, Twice<std::int64_t>(-9007199254740993LL)},
      {"long long", 1e15L, Twice<long long>(1000000000000000LL)},
      {"float", 0.1f, Twice<float>(0.1f)},
      {"double", 0.1, Twice<double>(0.1)},
      {"long double", 0.1L, Twice<long double>(0.1L)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, 2 * c.value) << c.type;
}

TEST(Expression, AVariableIsReadAtEveryEvaluation) {
  double x = 1;
  expression e;
  e.define_variable("x", x);
  ASSERT_TRUE(e.compile("x + 1"));
  x = 41;
  EXPECT_EQ(e.evaluate(), 42);
  EXPECT_EQ(e.evaluate_double(), 42.0);
}

double Sub(double a, double b) { return a - b; }
float Scale(float x, std::int8_t k) { return x * k; }
std::int64_t Big(std::int32_t a) { return std::int64_t{a} << 33; }
std::uint32_t Wide(std::uint16_t a) { return 0xFFFF0000u | a; }
std::int8_t Negative() { return -7; }
double ByPointer(const double* p) { return *p * 10; }
long double ByReference(const std::int16_t& r) { return r + 0.5L; }
double Mixed(std::int32_t a, std::uint8_t b, const double* c, double d, std::int64_t e) {
  return a * 1000.0 + b * 100.0 + *c * 10.0 + d + static_cast<double>(e) / 10;
}
FENNIC_CDECL double AlignedSub(double a, double b) { return a - b; }
#if defined(__i386__)
__attribute__((stdcall)) double StdSub(double a, double b) { return a - b; }
__attribute__((stdcall)) double PascalSub(double b, double a) { return a - b; }
__attribute__((regparm(3), stdcall)) double RegMixed(std::int32_t a, std::uint8_t b, const double* c,
                                                     std::int64_t e, double d) {
  return Mixed(a, b, c, d, e);
}
#else
double StdSub(double a, double b) { return a - b; }
double PascalSub(double b, double a) { return a - b; }
double RegMixed(std::int32_t a, std::uint8_t b, const double* c, std::int64_t e, double d) {
  return Mixed(a, b, c, d, e);
}
#endif

TEST(Expression, HostFunctionsOfEverySignatureClass) {
  double c = 3;
  std::int16_t r = 4;
  struct Case {
    const char* text;
    long double expected;
    std::function<void(expression&)> define;
  };
  const Case cases[] = {
      {"sub(10, 4)", 6, [](expression& e) { e.define_function("sub", Sub); }},
      {"scale(1.5, -3)", -4.5, [](expression& e) { e.define_function("scale", &Scale); }},
      {"big(3)", 3.0L * 8589934592.0L, [](expression& e) { e.define_function("big", Big); }},
      {"wide(5)", 4294901765.0L, [](expression& e) { e.define_function("wide", Wide); }},
      {"negative()*2", -14, [](expression& e) { e.define_function("negative", Negative); }},
      {"byptr(c)", 30, [](expression& e) { e.define_function("byptr", ByPointer); }},
      {"byref(r)", 4.5, [](expression& e) { e.define_function("byref", ByReference); }},
      {"mixed(1, 2, c, 4, 50)", 1239, [](expression& e) { e.define_function("mixed", Mixed); }},
      {"lambda(2)", 5, [](expression& e) { e.define_function("lambda", [](double x) { return x * 2 + 1; }); }},
      {"aligned(10, 4)", 6, [](expression& e) { e.define_function<&Sub>("aligned"); }},
      {"alignedsub(10, 4)", 6, [](expression& e) { e.define_function("alignedsub", AlignedSub); }},
      {"stdsub(10, 4)", 6, [](expression& e) { e.define_function("stdsub", StdSub); }},
      {"pascalsub(10, 4)", 6,
       [](expression& e) { e.define_function("pascalsub", PascalSub, {.call = convention::pascal}); }},
      {"regmixed(1, 2, c, 4, 50)", 1239,
       [](expression& e) { e.define_function("regmixed", RegMixed, {.call = convention::registers}); }},
#if defined(__i386__)
      {"regmixed(1, 2, c, 4, 50)", 1239, [](expression& e) { e.define_function("regmixed", RegMixed); }},
#endif
  };
  for (const Case& k : cases) {
    expression e;
    e.define_variable("c", &c);
    e.define_variable("r", &r);
    k.define(e);
    const compile_result result = e.compile(k.text);
    ASSERT_TRUE(result) << k.text << ": " << result.message();
    EXPECT_EQ(e.evaluate(), k.expected) << k.text;
  }
}

int pure_calls = 0;
double Counted(double x) {
  ++pure_calls;
  return x + 1;
}

TEST(Expression, PureFunctionsAndConstantsFoldWhileCompiling) {
  for (bool pure : {false, true}) {
    pure_calls = 0;
    expression e;
    e.define_function("f", Counted, {.pure = pure});
    ASSERT_TRUE(e.compile("f(2)"));
    const int whileCompiling = pure_calls;
    EXPECT_EQ(e.evaluate(), 3);
    EXPECT_EQ(whileCompiling, pure ? 1 : 0);
    EXPECT_EQ(pure_calls, 1) << "pure " << pure;
  }
  expression folded, literal;
  folded.define_constant("g", 9.80665L);
  ASSERT_TRUE(folded.compile("g*2"));
  ASSERT_TRUE(literal.compile("19.6133"));
  EXPECT_EQ(folded.evaluate(), 9.80665L * 2);
  EXPECT_EQ(folded.component().CodeSize(), literal.component().CodeSize());
}

TEST(Expression, RefusedNamesThrowAndDefineNothing) {
  double x = 0;
  struct Case {
    const char* what;
    std::function<void(expression&)> define;
  };
  const Case cases[] = {
      {"a pack constant", [&](expression& e) { e.define_variable("E", &x); }},
      {"a pack function", [&](expression& e) { e.define_function("sin", Sub); }},
      {"a variable", [&](expression& e) { e.define_constant("X", 1); }},
      {"no identifier", [&](expression& e) { e.define_variable("2x", &x); }},
      {"the reserved name", [&](expression& e) { e.define_variable("fennicid", &x); }},
#if defined(__i386__)
      {"a convention the type contradicts",
       [&](expression& e) { e.define_function("f", StdSub, {.call = convention::registers}); }},
#endif
      {"registers after a float",
       [&](expression& e) { e.define_function("f", Scale, {.call = convention::registers}); }},
  };
  for (const Case& c : cases) {
    expression e;
    e.add_standard_functions();
    e.define_variable("x", &x);
    EXPECT_THROW(c.define(e), std::invalid_argument) << c.what;
  }
  expression e;
  e.add_standard_functions();
  EXPECT_THROW(e.define_variable("e", &x), std::invalid_argument);
  ASSERT_TRUE(e.compile("e*2"));
  EXPECT_EQ(e.evaluate(), 2 * 2.71828182845904523536028747135266250L);
}

TEST(Expression, AVariableDefinedBeforeThePackHidesItsName) {
  double e_value = 10;
  expression e;
  e.define_variable("e", &e_value);
  e.add_standard_functions(pack_accuracy::double_precision);
  ASSERT_TRUE(e.compile("e*2 + sqrt(4)"));
  EXPECT_EQ(e.evaluate(), 22);
}

TEST(Expression, FailuresCarryCodeNamePositionAndMessage) {
  struct Case {
    const char* text;
    error_code code;
    const char* name;
    std::size_t position, length;
  };
  const Case cases[] = {
      {"1 + foo", error_code::unknown, "eUnknown", 4, 3},
      {"sin(x", error_code::edge, "eEdge", 3, 1},
      {"2 +", error_code::value_expected, "eValExpected", compile_result::npos, 0},
      {"1..2", error_code::number_format, "eNumFormat", 0, 4},
  };
  for (const Case& c : cases) {
    double x = 1;
    expression e;
    e.add_standard_functions();
    e.define_variable("x", &x);
    ASSERT_TRUE(e.compile("x"));
    const compile_result r = e.compile(c.text);
    EXPECT_FALSE(r) << c.text;
    EXPECT_EQ(r.code(), c.code) << c.text;
    EXPECT_EQ(r.name(), c.name) << c.text;
    if (c.position != compile_result::npos) {
      EXPECT_EQ(r.position(), c.position) << c.text;
      EXPECT_EQ(r.length(), c.length) << c.text;
    }
    EXPECT_FALSE(r.message().empty()) << c.text;
    EXPECT_FALSE(e.compiled());
    EXPECT_TRUE(std::isnan(e.evaluate())) << "a failed compile leaves no routine: " << c.text;
    EXPECT_TRUE(e.used_variables().empty());

    try {
      e.compile_or_throw(c.text);
      ADD_FAILURE() << c.text;
    } catch (const error& thrown) {
      EXPECT_EQ(thrown.code(), r.code());
      EXPECT_EQ(thrown.position(), r.position());
      EXPECT_EQ(thrown.result().message(), r.message());
      EXPECT_NE(std::string(thrown.what()).find(r.message()), std::string::npos);
    }
  }
}

TEST(Expression, EvaluateIsAQuietNaNWithoutARoutine) {
  expression fresh;
  EXPECT_TRUE(std::isnan(fresh.evaluate()));
  expression moved;
  ASSERT_TRUE(moved.compile("1+2"));
  expression taker = std::move(moved);
  EXPECT_EQ(taker.evaluate(), 3);
  EXPECT_TRUE(std::isnan(moved.evaluate()));  // NOLINT: a moved-from expression is empty
  ASSERT_TRUE(moved.compile("4"));            // and usable again
  EXPECT_EQ(moved.evaluate(), 4);
}

TEST(Expression, ExpressionsLiveInContainers) {
  std::vector<double> xs = {1, 2, 3};
  std::vector<expression> list;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    expression e;
    e.define_variable("x", &xs[i]);
    ASSERT_TRUE(e.compile("x*x"));
    list.push_back(std::move(e));
  }
  for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].evaluate(), xs[i] * xs[i]);
}

TEST(Expression, UsedNamesInOrderOfFirstAppearance) {
  double x = 1, y = 2, e2 = 3;
  struct Case {
    const char* text;
    std::vector<std::string> variables, functions;
  };
  const Case cases[] = {
      {"y*sin(X) + x*1e5 + y", {"y", "x"}, {"sin"}},
      {"pi*2.5E-3 + e2", {"e2"}, {"pi"}},
      {"max(min(x, 1), e) + 0*y", {"x", "y"}, {"max", "min", "e"}},
      {"2", {}, {}},
  };
  for (const Case& c : cases) {
    expression e;
    e.add_standard_functions();
    e.define_variable("x", &x);
    e.define_variable("y", &y);
    e.define_variable("e2", &e2);
    ASSERT_TRUE(e.compile(c.text)) << c.text;
    EXPECT_EQ(e.used_variables(), c.variables) << c.text;
    EXPECT_EQ(e.used_functions(), c.functions) << c.text;
  }
}

TEST(Expression, DefaultsKeepTheWrittenOrder) {
  // 2^65 - 1 rounds to 2^65 in 64 bits of mantissa: the bracket decides.
  long double x = 36893488147419103232.0L;
  expression e;
  e.define_variable("x", &x);
  ASSERT_TRUE(e.compile("x - (x - 1) + (x + 1 - x)"));
  EXPECT_EQ(e.evaluate(), x - (x - 1) + (x + 1 - x));
  e.set_options({.regroup = true});
  EXPECT_TRUE(e.options().regroup);
  ASSERT_TRUE(e.compile("x - (x - 1)"));
  EXPECT_FALSE(std::isnan(e.evaluate()));
}

TEST(Expression, TheExtendedGrammarUnlessTheOptionsSayOtherwise) {
  double x = 3;
  expression e;
  e.define_variable("x", &x);
  ASSERT_TRUE(e.compile("-x^2*-2 + (x > 2) + !x"));
  EXPECT_EQ(e.evaluate(), 19);
  e.set_options({.extended_grammar = false});
  EXPECT_EQ(e.compile("x^2").code(), error_code::operator_expected);
}

TEST(Expression, ErrorCodesAreNamed) {
  const std::pair<error_code, const char*> names[] = {
      {error_code::none, "eNone"},           {error_code::domain, "eDomain"},
      {error_code::number_format, "eNumFormat"}, {error_code::value_expected, "eValExpected"},
      {error_code::operator_expected, "eOpExpected"}, {error_code::edge, "eEdge"},
      {error_code::unknown, "eUnknown"},     {error_code::out_of_range, "eOutOfRange"},
      {error_code::type, "eType"},           {error_code::var_parameter, "eVarParameter"},
      {error_code::parameter, "eParameter"},
  };
  for (const auto& [code, name] : names) {
    EXPECT_EQ(error_name(code), name);
    EXPECT_STREQ(ErrorName(static_cast<TError>(code)), name);
    EXPECT_FALSE(error_message(code).empty()) << name;
  }
  EXPECT_STREQ(ErrorName(static_cast<TError>(200)), "e?");
}

}  // namespace
}  // namespace fennic::testing
