// Host routines of every calling convention, declared as a C++ host
// declares them, called from generated code: each receives its arguments
// where its convention puts them, the stack is balanced after every call
// (the caller removes the arguments under ctCdecl only), and calls nest.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "codegen/calls_fixture.h"

namespace fennic::testing {
namespace {

#define HOST_CDECL FENNIC_CDECL
#define HOST_STDCALL FENNIC_STDCALL
#define HOST_REGISTER FENNIC_REGISTER

// Parameters as received, in parameter order.
std::vector<long double> Got;

// vi32 vi64 vf32 vf64 vf80 vu16, returning a sum that depends on all.
long double Mix(std::int32_t a, std::int64_t b, float c, double d, long double e, std::uint16_t f) {
  Got = {static_cast<long double>(a), static_cast<long double>(b), c, d, e, static_cast<long double>(f)};
  return a + 2.0L * b + 4.0L * c + 8.0L * d + 16 * e + 32.0L * f;
}

HOST_CDECL double MixCdecl(std::int32_t a, std::int64_t b, float c, double d, long double e, std::uint16_t f) {
  return static_cast<double>(Mix(a, b, c, d, e, f));
}
HOST_STDCALL double MixStdcall(std::int32_t a, std::int64_t b, float c, double d, long double e, std::uint16_t f) {
  return static_cast<double>(Mix(a, b, c, d, e, f));
}
// The first parameter at the highest address: declared in reverse.
HOST_STDCALL double MixPascal(std::uint16_t f, long double e, double d, float c, std::int64_t b, std::int32_t a) {
  return static_cast<double>(Mix(a, b, c, d, e, f));
}
// vi32 vi64 vf32 vi16 vf64 vu08 vf80 vi32 rf64: a, d, f in EAX, EDX, ECX;
// the rest on the stack, first highest, declared in reverse.
HOST_REGISTER long double MixRegister(std::int32_t a, std::int16_t d, std::uint8_t f, const double* i, std::int32_t h,
                                      long double g, double e, float c, std::int64_t b) {
  Got = {static_cast<long double>(a), static_cast<long double>(b), c, static_cast<long double>(d), e,
         static_cast<long double>(f), g, static_cast<long double>(h), *i};
  return a + 2.0L * b + 4.0L * c + 8.0L * d + 16 * e + 32.0L * f + 64 * g + 128.0L * h + 256 * *i;
}

struct Host {
  std::int32_t a = -7;
  std::int64_t b = -5000000000LL;
  float c = 0.375f;
  double d = -1.0 / 3;
  long double e = 1.0L / 3;
  std::uint16_t f16 = 60000;
  std::int16_t s16 = -300;
  std::uint8_t u8 = 250;
  double r = 2.5;
  TCallFennic f;
  Host() {
    f.RegisterVarExt("a", vtInt32, &a);
    f.RegisterVarExt("b", vtInt64, &b);
    f.RegisterVarExt("c", vtSingle, &c);
    f.RegisterVarExt("d", vtDouble, &d);
    f.RegisterVarExt("e", vtExtended, &e);
    f.RegisterVarExt("f16", vtUInt16, &f16);
    f.RegisterVarExt("s16", vtInt16, &s16);
    f.RegisterVarExt("u8", vtUInt8, &u8);
    f.RegisterVarExt("r", vtDouble, &r);
    const char* mixSpec = "vi32vi64vf32vf64vf80vu16";
    EXPECT_NE(f.RegisterFuncExt("mcdecl", mixSpec, ctCdecl, frDouble, 8, reinterpret_cast<void*>(&MixCdecl), false), 0);
    EXPECT_NE(f.RegisterFuncExt("mstdcall", mixSpec, ctStdcall, frDouble, 8, reinterpret_cast<void*>(&MixStdcall), false),
              0);
    EXPECT_NE(f.RegisterFuncExt("mpascal", mixSpec, ctPascal, frDouble, 8, reinterpret_cast<void*>(&MixPascal), false),
              0);
    EXPECT_NE(f.RegisterFuncExt("mregister", "vi32vi64vf32vi16vf64vu08vf80vi32rf64", ctRegister, frExtended, 8,
                                reinterpret_cast<void*>(&MixRegister), false),
              0);
  }
};

TEST(CallConventions, EachRoutineReceivesItsArguments) {
  Host h;
  // Every argument kind: variables copied, negated, computed in a tree,
  // constants, 64-bit integers.
  const char* stackNames[3] = {"mcdecl", "mstdcall", "mpascal"};
  for (const char* name : stackNames) {
    for (bool minus : {false, true}) {
      h.f.Begin();
      const std::string m = minus ? "-" : "";
      ASSERT_TRUE(h.f.CompileCoded(h.f.Call(name, {m + h.f.Var("a"), m + h.f.Var("b"), m + h.f.Var("c"),
                                                   m + h.f.Var("d") + "*" + h.f.Num(2), m + h.f.Var("e"),
                                                   h.f.Var("f16")})));
      Got.clear();
      const long double sign = minus ? -1 : 1;
      const std::vector<long double> want = {sign * h.a, sign * h.b, sign * h.c, static_cast<double>(sign * h.d * 2),
                                             sign * h.e, static_cast<long double>(h.f16)};
      const long double result = h.f.Evaluate();
      EXPECT_EQ(Got, want) << name << (minus ? " negated" : "");
      EXPECT_EQ(result, static_cast<double>(Mix(static_cast<std::int32_t>(want[0]), static_cast<std::int64_t>(want[1]),
                                                 static_cast<float>(want[2]), static_cast<double>(want[3]), want[4],
                                                 static_cast<std::uint16_t>(want[5]))))
          << name;
    }
  }
  for (bool minus : {false, true}) {
    h.f.Begin();
    const std::string m = minus ? "-" : "";
    ASSERT_TRUE(h.f.CompileCoded(h.f.Call(
        "mregister", {m + h.f.Var("a"), m + h.f.Var("b"), h.f.Num(0.1L), m + h.f.Var("s16"), m + h.f.Var("d"),
                      h.f.Var("u8"), h.f.Var("e") + "+" + h.f.Var("r"), TCallFennic::Int(vtInt32, -9), "r"})));
    Got.clear();
    const long double sign = minus ? -1 : 1;
    const std::vector<long double> want = {sign * h.a, sign * h.b,        0.1f, sign * h.s16, sign * h.d,
                                           250,        h.e + h.r,         -9,   2.5};
    h.f.Evaluate();
    EXPECT_EQ(Got, want) << "mregister" << (minus ? " negated" : "");
  }
}

// Nested calls of every convention: each argument area lies below the one
// being filled, and whatever the callee removes, the stack comes back.
TEST(CallConventions, NestedCallsOfMixedConventions) {
  Host h;
  for (const char* outer : {"mcdecl", "mstdcall", "mpascal"}) {
    for (const char* inner : {"mcdecl", "mstdcall", "mpascal"}) {
      h.f.Begin();
      const std::string innerCall = h.f.Call(
          inner, {h.f.Var("a"), h.f.Var("b"), h.f.Var("c"), h.f.Var("d"), h.f.Var("e"), h.f.Var("f16")});
      const std::string regCall =
          h.f.Call("mregister", {h.f.Var("a"), h.f.Var("b"), h.f.Var("c"), h.f.Var("s16"), innerCall, h.f.Var("u8"),
                                 h.f.Var("e"), TCallFennic::Int(vtInt32, 3), "r"});
      // The register call in the fourth argument of the outer call, the
      // inner call in an argument of the register call and in the outer
      // call's own fifth argument.
      ASSERT_TRUE(h.f.CompileCoded(h.f.Call(outer, {h.f.Var("a"), h.f.Var("b"), h.f.Var("c"), regCall,
                                                   innerCall + "+" + h.f.Var("e"), h.f.Var("f16")})));
      const long double mix = Mix(h.a, h.b, h.c, h.d, h.e, h.f16);
      const double innerValue = static_cast<double>(mix);
      const long double regValue = h.a + 2.0L * h.b + 4.0L * h.c + 8.0L * h.s16 + 16 * innerValue + 32.0L * h.u8 +
                                   64 * h.e + 128.0L * 3 + 256 * h.r;
      const long double want = static_cast<double>(
          Mix(h.a, h.b, h.c, static_cast<double>(regValue), innerValue + h.e, h.f16));
      EXPECT_EQ(h.f.Evaluate(), want) << outer << "(" << inner << ")";
    }
  }
}

}  // namespace
}  // namespace fennic::testing
