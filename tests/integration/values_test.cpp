// Expressions whose values are known exactly: integers of every width at
// their extremes, unsigned 32-bit values above 2^31, 64-bit values beyond
// 2^53, single and double variables, extended constants. Exact under every
// combination of the settings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "integration/settings_matrix.h"

namespace fennic::testing {
namespace {

struct Host {
  std::int8_t i8 = -128;
  std::uint8_t u8 = 255;
  std::int16_t i16 = -32768;
  std::uint16_t u16 = 65535;
  std::int32_t i32 = std::numeric_limits<std::int32_t>::min();
  std::uint32_t u32 = 4294967295u;
  std::uint32_t u32b = 2147483653u;  // 2^31 + 5
  std::int64_t i64 = (std::int64_t{1} << 53) + 1;
  std::int64_t i64n = std::numeric_limits<std::int64_t>::min();
  float f32 = 0.1f;
  double f64 = 0.1;
  long double f80 = 0.1L;
  std::int8_t zero8 = 0;
  double zero = 0;

  void RegisterAll(TFennic& f) {
    f.RegisterVarExt("i8", vtInt8, &i8);
    f.RegisterVarExt("u8", vtUInt8, &u8);
    f.RegisterVarExt("i16", vtInt16, &i16);
    f.RegisterVarExt("u16", vtUInt16, &u16);
    f.RegisterVarExt("i32", vtInt32, &i32);
    f.RegisterVarExt("u32", vtUInt32, &u32);
    f.RegisterVarExt("u32b", vtUInt32, &u32b);
    f.RegisterVarExt("i64", vtInt64, &i64);
    f.RegisterVarExt("i64n", vtInt64, &i64n);
    f.RegisterVarExt("f32", vtSingle, &f32);
    f.RegisterVarExt("f64", vtDouble, &f64);
    f.RegisterVarExt("f80", vtExtended, &f80);
    f.RegisterVarExt("zero8", vtInt8, &zero8);
    f.RegisterVarExt("zero", vtDouble, &zero);
  }
};

std::string Show(long double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.21Lg", v);
  return buf;
}

// One operation rounded to the extended format, as the x87 unit rounds it.
long double Add(long double a, long double b) {
  volatile long double r = a + b;
  return r;
}
long double Mul(long double a, long double b) {
  volatile long double r = a * b;
  return r;
}
long double Div(long double a, long double b) {
  volatile long double r = a / b;
  return r;
}

bool Same(long double a, long double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

TEST(Values, ExactUnderEverySetting) {
  const long double two53 = 9007199254740992.0L;
  const struct {
    const char* text;
    long double value;
  } cases[] = {
      // Every integer width at its extremes, alone and negated.
      {"i8", -128}, {"-i8", 128}, {"u8", 255}, {"-u8", -255},
      {"i16", -32768}, {"u16", 65535}, {"-u16", -65535},
      {"i32", -2147483648.0L}, {"-i32", 2147483648.0L},
      {"u32", 4294967295.0L}, {"-u32", -4294967295.0L}, {"u32b", 2147483653.0L},
      {"u32+1", 4294967296.0L}, {"u32*u32", 18446744065119617025.0L},
      {"u32-u32b", 2147483642.0L}, {"u32b-u32", -2147483642.0L},
      {"i64", two53 + 1}, {"i64+1", two53 + 2}, {"i64*4", 4 * two53 + 4}, {"i64-i64", 0},
      {"i64n", -9223372036854775808.0L}, {"-i64n", 9223372036854775808.0L},
      {"i64n+i64", -9223372036854775808.0L + two53 + 1},
      // Mixed widths and every sign arrangement.
      {"i8*u8", -32640}, {"u8*i8", -32640}, {"i16-u16", -98303}, {"u16-i16", 98303},
      {"i32-1", -2147483649.0L}, {"-i8-u8", -127}, {"-(i8+u8)", -127}, {"-(i8*u8)", 32640},
      {"u8-(i8-(u16-(i16-i32)))", -2147384962.0L}, {"-(u8-(i8-u16))", -65918},
      {"(u8+u16)/(i8+i16)", Div(255.0L + 65535, -128 - 32768)},
      {"u8/i8/i16", Div(Div(255, -128), -32768)}, {"i32/u32", Div(-2147483648.0L, 4294967295.0L)},
      // Single and double variables are read exactly.
      {"f32", 0.1f}, {"f64", 0.1}, {"-f32", -0.1f}, {"f64*2", 0.2}, {"f32+f64", Add(0.1f, 0.1)},
      {"f64/f32", Div(0.1, 0.1f)}, {"f80", 0.1L},
      // Extended constants keep every bit.
      {"0.1", 0.1L}, {"1/3", 1.0L / 3}, {"f80-0.1", 0}, {"123456789012345678", 123456789012345678.0L},
      {"2.5*f80", Mul(2.5L, 0.1L)}, {"1e4000*1e-3990", Mul(1e4000L, 1e-3990L)},
      // Zero, signed zero and the division by zero of masked exceptions.
      {"zero8", 0}, {"-zero", -0.0L}, {"zero*i8", -0.0L}, {"u8/zero", INFINITY}, {"zero/zero", NAN},
  };
  Host h;
  TFennic f;
  h.RegisterAll(f);
  int failures = 0;
  for (const TSettings& s : AllSettings()) {
    if (s.Trig != 1) continue;  // read by nothing; the other tests rotate it
    s.ApplyTo(f);
    for (const auto& c : cases) {
      f.SetExprString(c.text);
      if (f.CompError() != eNone) {
        ADD_FAILURE() << c.text << ": error " << int(f.CompError()) << " under " << s.Describe();
      } else {
        const long double v = f.Evaluate();
        if (!Same(v, c.value))
          ADD_FAILURE() << c.text << " = " << Show(v) << ", expected " << Show(c.value) << " under "
                        << s.Describe();
        else
          continue;
      }
      if (++failures == 20) return;
    }
  }
}

// OutOfOrder and EliminateBrackets reassociate, which changes cancellation
// and overflow; ooStandart with ebStandart keeps the written order (but for
// the constants of a sum, folded together under every setting), whatever the
// other settings.
TEST(Values, RegroupingChangesValuesAndTheWrittenOrderKeepsThem) {
  double x = 1e20, y = 1, u = 2;
  long double a = 1e4000L;
  std::string chain = "u";
  for (int k = 0; k < 40000; ++k) chain += "*u/u";
  enum TBy { byOutOfOrder, byBrackets };
  const struct {
    std::string text;
    TBy by;
    long double regrouped, written;
  } cases[] = {
      {"y+y+y+y+x-x", byOutOfOrder, 4, 0},
      {"a/a*a", byOutOfOrder, INFINITY, a},
      {chain, byOutOfOrder, NAN, 2},
      {"x-(x-y)", byBrackets, 1, 0},
      {"1e20+y-1e20", byBrackets, 1, 1},
  };
  TFennic f;
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("y", vtDouble, &y);
  f.RegisterVarExt("u", vtDouble, &u);
  f.RegisterVarExt("a", vtExtended, &a);
  for (const TSettings& others : {TSettings{}, TSettings{0, 1, 1, 0, 0, 0, 1}})
    for (std::uint8_t ooo : {ooStandart, ooSoft})
      for (std::uint8_t brackets : {ebStandart, ebSoft}) {
        TSettings s = others;
        s.OutOfOrder = ooo;
        s.Brackets = brackets;
        s.ApplyTo(f);
        for (const auto& c : cases) {
          f.SetExprString(c.text);
          ASSERT_EQ(f.CompError(), eNone) << c.text.substr(0, 20);
          const bool regroups = c.by == byOutOfOrder ? ooo != ooStandart : brackets != ebStandart;
          const long double want = regroups ? c.regrouped : c.written;
          const long double v = f.Evaluate();
          EXPECT_TRUE(Same(v, want)) << c.text.substr(0, 20) << " = " << Show(v) << ", expected " << Show(want)
                                     << " under " << s.Describe();
        }
      }
}

// The routine reads the variables when it runs, not when it is compiled.
TEST(Values, TheRoutineReadsTheHostsCurrentValues) {
  Host h;
  TFennic f;
  h.RegisterAll(f);
  h.f32 = 0.25f;
  f.SetExprString("u32-i8*u16+i64/f32");
  ASSERT_EQ(f.CompError(), eNone);
  EXPECT_EQ(f.Evaluate(), 4294967295.0L + 128 * 65535.0L + 4 * 9007199254740993.0L);
  h.u32 = 7;
  h.i8 = 3;
  h.u16 = 2;
  h.i64 = -4;
  h.f32 = 0.5f;
  EXPECT_EQ(f.Evaluate(), 7 - 6 - 8);
}

}  // namespace
}  // namespace fennic::testing
