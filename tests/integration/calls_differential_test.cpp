// Compiled expressions full of calls against the reference evaluator: host
// routines of every convention, result type and parameter kind, inline x87
// code with every StackNeeds, calls nested in arguments, integer results
// computed ahead, calls under register pressure, some folded at compile time.
//
// Most functions return exactly a combination of their arguments that the
// expression grammar can write ("transparent"); the reference sees that
// combination in place of the call, so a call made with wrong arguments, in
// the wrong order, with an unbalanced stack or a lost x87 register shows as a
// wrong value. The others (sine, arctangent, square root) are computed by the
// reference with the same x87 instructions.
//
// Environment (optional): FENNIC_CALLS_SEED, FENNIC_CALLS_COUNT,
// FENNIC_CALLS_ONLY (one case by its index).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fennic/codegen/fennic.h"
#include "support/expr_gen.h"
#include "support/reference_eval.h"

namespace fennic::testing {
namespace {

#define HOST_CDECL FENNIC_CDECL
#define HOST_STDCALL FENNIC_STDCALL
#define HOST_REGISTER FENNIC_REGISTER

// ---- host routines -----------------------------------------------------------------
// Suffixes: _c cdecl, _s stdcall (also ctPascal for one parameter), _r the
// ctRegister declaration, _p ctPascal where the order matters.

#define ONE_PARAMETER(NAME, RESULT, PARAM, REGISTER_ATTR, BODY) \
  HOST_CDECL RESULT NAME##_c(PARAM a) { BODY }                  \
  HOST_STDCALL RESULT NAME##_s(PARAM a) { BODY }                \
  REGISTER_ATTR RESULT NAME##_r(PARAM a) { BODY }

ONE_PARAMETER(idE, long double, long double, HOST_STDCALL, return a;)
ONE_PARAMETER(idD, double, double, HOST_STDCALL, return a;)
ONE_PARAMETER(idS, float, float, HOST_STDCALL, return a;)
ONE_PARAMETER(idI8, std::int8_t, std::int8_t, HOST_REGISTER, return a;)
ONE_PARAMETER(idU8, std::uint8_t, std::uint8_t, HOST_REGISTER, return a;)
ONE_PARAMETER(idI16, std::int16_t, std::int16_t, HOST_REGISTER, return a;)
ONE_PARAMETER(idU16, std::uint16_t, std::uint16_t, HOST_REGISTER, return a;)
ONE_PARAMETER(idI32, std::int32_t, std::int32_t, HOST_REGISTER, return a;)
ONE_PARAMETER(idU32, std::uint32_t, std::uint32_t, HOST_REGISTER, return a;)
ONE_PARAMETER(idI64, std::int64_t, std::int64_t, HOST_STDCALL, return a;)
ONE_PARAMETER(refD, double, const double*, HOST_REGISTER, return *a;)
ONE_PARAMETER(refI32, std::int32_t, const std::int32_t*, HOST_REGISTER, return *a;)

// x - y: the order of the arguments shows.
HOST_CDECL long double subE_c(long double x, long double y) { return x - y; }
HOST_STDCALL long double subE_s(long double x, long double y) { return x - y; }
HOST_STDCALL long double subE_p(long double y, long double x) { return x - y; }

// x - n + 2m - u + y/2 over vf80 vi32 vi64 vu16 vf80.
long double Mix(long double x, std::int32_t n, std::int64_t m, std::uint16_t u, long double y) {
  return x - n + m * 2.0L - u + y * 0.5L;
}
HOST_CDECL long double mix_c(long double x, std::int32_t n, std::int64_t m, std::uint16_t u, long double y) {
  return Mix(x, n, m, u, y);
}
HOST_STDCALL long double mix_s(long double x, std::int32_t n, std::int64_t m, std::uint16_t u, long double y) {
  return Mix(x, n, m, u, y);
}
HOST_STDCALL long double mix_p(long double y, std::uint16_t u, std::int64_t m, std::int32_t n, long double x) {
  return Mix(x, n, m, u, y);
}
// n and u in EAX and EDX; x, m, y on the stack, first highest.
HOST_REGISTER long double mix_r(std::int32_t n, std::uint16_t u, long double y, std::int64_t m, long double x) {
  return Mix(x, n, m, u, y);
}

// Seventeen parameters: on x86-64 more integers and doubles than there are
// argument registers, and an extended value among the stack slots.
// The arguments weighted 1 to 17, added in extended precision.
long double Over(long double a, long double b, long double c, long double d, long double e, long double f,
                 long double g, long double h, long double i, long double j, long double k, long double l,
                 long double m, long double n, long double o, long double p, long double q) {
  return a + b * 2 + c * 3 + d * 4 + e * 5 + f * 6 + g * 7 + h * 8 + i * 9 + j * 10 + k * 11 + l * 12 + m * 13 +
         n * 14 + o * 15 + p * 16 + q * 17;
}
HOST_CDECL long double over_c(std::int32_t a, double b, std::int16_t c, double d, std::int32_t e, double f,
                              std::int64_t g, double h, std::uint16_t i, double j, std::int32_t k, double l,
                              std::int8_t m, long double n, double o, double p, double q) {
  return Over(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q);
}
HOST_STDCALL long double over_p(double q, double p, double o, long double n, std::int8_t m, double l, std::int32_t k,
                                double j, std::uint16_t i, double h, std::int64_t g, double f, std::int32_t e,
                                double d, std::int16_t c, double b, std::int32_t a) {
  return Over(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q);
}
// a, c and e in registers first, then the rest in reverse.
HOST_REGISTER long double over_r(std::int32_t a, std::int16_t c, std::int32_t e, double q, double p, double o,
                                 long double n, std::int8_t m, double l, std::int32_t k, double j, std::uint16_t i,
                                 double h, std::int64_t g, double f, double d, double b) {
  return Over(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q);
}

HOST_CDECL long double constE() { return 0.75L; }
HOST_CDECL std::int16_t constI() { return -12; }

// ---- the reference's x87 instructions -------------------------------------------------

long double X87Sin(long double x) {
  long double r;
  asm("fsin" : "=t"(r) : "0"(x));
  return r;
}
long double X87Atan2(long double y, long double x) {
  long double r;
  asm("fpatan" : "=t"(r) : "0"(x), "u"(y) : "st(1)");
  return r;
}
long double X87Sqrt(long double x) {
  long double r;
  asm("fsqrt" : "=t"(r) : "0"(x));
  return r;
}

// ---- the function table -----------------------------------------------------------

// Inline code that removes its own stack arguments: ADD ESP,n, which 64-bit
// code writes ADD RSP,n.
std::vector<std::uint8_t> ThenRelease(std::vector<std::uint8_t> Code, std::uint8_t Bytes) {
  if (Target64) Code.push_back(0x48);
  Code.insert(Code.end(), {0x83, 0xC4, Bytes});
  return Code;
}

// A parameter kind, as the generator produces arguments for it.
enum class TArg { Any, Double, Single, Int, Ref };

struct TFn {
  std::string Name;
  std::string ParamText;
  TCallType Conv;
  TFuncResult Result;
  std::int32_t StackNeeds;
  void* Address;
  std::vector<std::uint8_t> Code;
  bool Foldable;
  // Transparent: the reference text, with $0, $1, ... for the arguments'
  // reference texts. Empty: computed by Ref.
  std::string Rewrite;
  ReferenceEvaluator::Function Ref;

  std::vector<TVarDef> Params() const {
    std::vector<TVarDef> out;
    static const char* const codes[10] = {"i08", "u08", "i16", "u16", "i32", "u32", "i64", "f32", "f64", "f80"};
    for (std::size_t k = 0; k + 4 <= ParamText.size(); k += 4)
      for (int t = 0; t < 10; ++t)
        if (ParamText.compare(k + 1, 3, codes[t]) == 0)
          out.push_back(TVarDef{static_cast<TVarType>(t), ParamText[k] == 'r' ? psReference : psValue});
    return out;
  }
};

void* Fn(auto f) { return reinterpret_cast<void*>(f); }

std::vector<TFn> Functions() {
  std::vector<TFn> t;
  struct TConv {
    const char* Suffix;
    TCallType Conv;
  };
  const TConv conventions[4] = {{"_c", ctCdecl}, {"_s", ctStdcall}, {"_p", ctPascal}, {"_r", ctRegister}};
  // One-parameter routines: pascal shares the stdcall declaration. Folded
  // at compile time on constant arguments under two conventions.
  auto one = [&](const char* name, const char* paramText, TFuncResult result, void* c, void* s, void* r) {
    for (const TConv& k : conventions) {
      void* address = k.Conv == ctCdecl ? c : k.Conv == ctRegister ? r : s;
      t.push_back({std::string(name) + k.Suffix, paramText, k.Conv, result, 4, address, {},
                   k.Conv == ctCdecl || k.Conv == ctRegister, "($0)", nullptr});
    }
  };
  one("ide", "vf80", frExtended, Fn(&idE_c), Fn(&idE_s), Fn(&idE_r));
  one("idd", "vf64", frDouble, Fn(&idD_c), Fn(&idD_s), Fn(&idD_r));
  one("ids", "vf32", frSingle, Fn(&idS_c), Fn(&idS_s), Fn(&idS_r));
  one("idi8", "vi08", frInt8, Fn(&idI8_c), Fn(&idI8_s), Fn(&idI8_r));
  one("idu8", "vu08", frUInt8, Fn(&idU8_c), Fn(&idU8_s), Fn(&idU8_r));
  one("idi16", "vi16", frInt16, Fn(&idI16_c), Fn(&idI16_s), Fn(&idI16_r));
  one("idu16", "vu16", frUInt16, Fn(&idU16_c), Fn(&idU16_s), Fn(&idU16_r));
  one("idi32", "vi32", frInt32, Fn(&idI32_c), Fn(&idI32_s), Fn(&idI32_r));
  one("idu32", "vu32", frUInt32, Fn(&idU32_c), Fn(&idU32_s), Fn(&idU32_r));
  one("idi64", "vi64", frInt64, Fn(&idI64_c), Fn(&idI64_s), Fn(&idI64_r));
  one("refd", "rf64", frDouble, Fn(&refD_c), Fn(&refD_s), Fn(&refD_r));
  one("refi32", "ri32", frInt32, Fn(&refI32_c), Fn(&refI32_s), Fn(&refI32_r));
  // ctRegister takes both stack arguments first highest, as ctPascal does.
  t.push_back({"sube_c", "vf80vf80", ctCdecl, frExtended, 4, Fn(&subE_c), {}, true, "(($0)-($1))", nullptr});
  t.push_back({"sube_s", "vf80vf80", ctStdcall, frExtended, 4, Fn(&subE_s), {}, false, "(($0)-($1))", nullptr});
  t.push_back({"sube_p", "vf80vf80", ctPascal, frExtended, 4, Fn(&subE_p), {}, false, "(($0)-($1))", nullptr});
  t.push_back({"sube_r", "vf80vf80", ctRegister, frExtended, 8, Fn(&subE_p), {}, true, "(($0)-($1))", nullptr});
  const char* mixSpec = "vf80vi32vi64vu16vf80";
  const char* mixRewrite = "(($0)-($1)+($2)*2-($3)+($4)*0.5)";
  t.push_back({"mix_c", mixSpec, ctCdecl, frExtended, 4, Fn(&mix_c), {}, false, mixRewrite, nullptr});
  t.push_back({"mix_s", mixSpec, ctStdcall, frExtended, 4, Fn(&mix_s), {}, true, mixRewrite, nullptr});
  t.push_back({"mix_p", mixSpec, ctPascal, frExtended, 4, Fn(&mix_p), {}, false, mixRewrite, nullptr});
  t.push_back({"mix_r", mixSpec, ctRegister, frExtended, 8, Fn(&mix_r), {}, false, mixRewrite, nullptr});
  t.push_back({"conste", "", ctCdecl, frExtended, 4, Fn(&constE), {}, false, "0.75", nullptr});
  t.push_back({"consti", "", ctStdcall, frInt16, 4, Fn(&constI), {}, true, "(-12)", nullptr});

  // Inline x87 code.
  for (int needs = 0; needs <= 7; ++needs) {
    const std::string n = std::to_string(needs);
    t.push_back({"fchs" + n, "vf80", ctBuilt_in, frExtended, needs, nullptr, {0xD9, 0xE0}, needs % 2 == 0,
                 "(-($0))", nullptr});
    t.push_back({"fsin" + n, "vf80", ctBuilt_in, frExtended, needs, nullptr, {0xD9, 0xFE}, false, "",
                 [](const std::vector<long double>& a) { return X87Sin(a[0]); }});
    t.push_back({"fsqrt" + n, "vf80", ctBuilt_in, frExtended, needs, nullptr, {0xD9, 0xFA}, needs == 3, "",
                 [](const std::vector<long double>& a) { return X87Sqrt(a[0]); }});
  }
  auto atan2 = [](const std::vector<long double>& a) { return X87Atan2(a[0], a[1]); };
  for (int needs = 0; needs <= 6; ++needs)
    t.push_back({"fpatan" + std::to_string(needs), "vf80vf80", ctBuilt_in, frExtended, needs, nullptr,
                 {0xD9, 0xF3}, needs == 1, "", atan2});
  // One x87 argument and one in the slot; both in slots.
  t.push_back({"fpatan7", "vf80vf80", ctBuilt_in, frExtended, 7, nullptr,
               ThenRelease({0xDB, 0x2C, 0x24, 0xD9, 0xF3}, 0x0C), false, "", atan2});
  t.push_back({"fpatan8", "vf80vf80", ctBuilt_in, frExtended, 8, nullptr,
               ThenRelease({0xDB, 0x6C, 0x24, 0x0C, 0xDB, 0x2C, 0x24, 0xD9, 0xF3}, 0x18), false, "", atan2});
  // Eight x87 arguments added up.
  t.push_back({"sum8", "vf80vf80vf80vf80vf80vf80vf80vf80", ctBuilt_in, frExtended, 0, nullptr,
               {0xDE, 0xC1, 0xDE, 0xC1, 0xDE, 0xC1, 0xDE, 0xC1, 0xDE, 0xC1, 0xDE, 0xC1, 0xDE, 0xC1}, true,
               "(($0)+($1)+($2)+($3)+($4)+($5)+($6)+($7))", nullptr});
  // x + n, the integer in EAX.
  t.push_back({"addi", "vf80vi32", ctBuilt_in, frExtended, 1, nullptr, {0x50, 0xDA, 0x04, 0x24, 0x58}, false,
               "(($0)+($1))", nullptr});
  // a + b + c from AX, DL and ECX: an integer result.
  t.push_back({"regs3", "vi16vu08vi32", ctBuilt_in, frInt32, 0, nullptr,
               {0x0F, 0xBF, 0xC0, 0x0F, 0xB6, 0xD2, 0x01, 0xD0, 0x01, 0xC8}, false, "(($0)+($1)+($2))", nullptr});
  // Two doubles in slots, no x87 room.
  t.push_back({"add2d", "vf64vf64", ctBuilt_in, frExtended, 8, nullptr,
               ThenRelease({0xDD, 0x44, 0x24, 0x08, 0xDC, 0x04, 0x24}, 0x10), false, "(($0)+($1))", nullptr});
  // A 64-bit integer from its slot.
  t.push_back({"wide", "vi64", ctBuilt_in, frExtended, 0, nullptr, ThenRelease({0xDF, 0x2C, 0x24}, 0x08), true,
               "($0)", nullptr});
  return t;
}

// Routines of seventeen parameters, called in a test of their own.
std::vector<TFn> OverflowFunctions() {
  const char* paramText = "vi32vf64vi16vf64vi32vf64vi64vf64vu16vf64vi32vf64vi08vf80vf64vf64vf64";
  const char* rewrite =
      "(($0)+($1)*2+($2)*3+($3)*4+($4)*5+($5)*6+($6)*7+($7)*8+($8)*9+($9)*10+($10)*11+($11)*12+($12)*13+"
      "($13)*14+($14)*15+($15)*16+($16)*17)";
  return {{"over_c", paramText, ctCdecl, frExtended, 8, Fn(&over_c), {}, true, rewrite, nullptr},
          {"over_p", paramText, ctPascal, frExtended, 8, Fn(&over_p), {}, false, rewrite, nullptr},
          {"over_r", paramText, ctRegister, frExtended, 8, Fn(&over_r), {}, true, rewrite, nullptr}};
}

// ---- variables ------------------------------------------------------------------------

struct TVars {
  std::int8_t i8;
  std::uint8_t u8;
  std::int16_t i16;
  std::uint16_t u16;
  std::int32_t i32;
  std::uint32_t u32;
  std::int64_t i64;
  float f32a, f32b;
  double f64a, f64b;
  long double f80a, f80b;

  struct TEntry {
    const char* Name;
    TVarType Type;
    void* Address;
  };
  std::vector<TEntry> Entries() {
    return {{"i8", vtInt8, &i8},       {"u8", vtUInt8, &u8},       {"i16", vtInt16, &i16},
            {"u16", vtUInt16, &u16},   {"i32", vtInt32, &i32},     {"u32", vtUInt32, &u32},
            {"i64", vtInt64, &i64},    {"f32a", vtSingle, &f32a},  {"f32b", vtSingle, &f32b},
            {"f64a", vtDouble, &f64a}, {"f64b", vtDouble, &f64b},  {"f80a", vtExtended, &f80a},
            {"f80b", vtExtended, &f80b}};
  }
  // Integers within half their range (so that a negation fits the signed
  // parameters that take them), 64-bit ones exact in a double; floating
  // values never 0, mostly short binary fractions.
  void Randomize(std::mt19937& rng) {
    auto in = [&rng](long long lo, long long hi) { return std::uniform_int_distribution<long long>(lo, hi)(rng); };
    i8 = static_cast<std::int8_t>(in(-100, 100));
    u8 = static_cast<std::uint8_t>(in(0, 255));
    i16 = static_cast<std::int16_t>(in(-16000, 16000));
    u16 = static_cast<std::uint16_t>(in(0, 65535));
    i32 = static_cast<std::int32_t>(in(-1000000000, 1000000000));
    u32 = static_cast<std::uint32_t>(in(0, 4294967295LL));
    i64 = in(-(1LL << 52), 1LL << 52);
    auto real = [&](long double scale) {
      long double v = in(1, 512) / 64.0L * (in(0, 1) ? -1 : 1);
      if (in(0, 3) == 0) v = v / 3;  // not a short fraction
      return v * scale;
    };
    f32a = static_cast<float>(real(1));
    f32b = static_cast<float>(real(4));
    f64a = static_cast<double>(real(1));
    f64b = static_cast<double>(real(0.25));
    f80a = real(1);
    f80b = real(2);
  }
};

// ---- the generator ----------------------------------------------------------------------

struct TText {
  std::string Compiled, Reference;
};

class TCallGen {
 public:
  TCallGen(const std::vector<TFn>& fns, std::uint32_t seed) : FFns(fns), FRng(seed) {}
  std::mt19937& Rng() { return FRng; }

  TText Float(int depth) {
    const int r = Pick(0, 99);
    if (depth <= 0 || r < 25) return Leaf();
    if (r < 60) return Call(depth, [](const TFn&) { return true; });
    if (r < 66) {
      const TText e = Float(depth - 1);
      return {"(-" + e.Compiled + ")", "(-" + e.Reference + ")"};
    }
    const char ops[4] = {'+', '-', '*', '/'};
    const char op = ops[Pick(0, 3)];
    const TText l = Float(depth - 1), r2 = Float(depth - 1);
    return {"(" + l.Compiled + op + r2.Compiled + ")", "(" + l.Reference + op + r2.Reference + ")"};
  }

  // A perfectly balanced tree whose leaves are mostly calls: it needs more
  // x87 registers than there are.
  TText Pressure(int depth) {
    if (depth == 0) return Pick(0, 2) ? Call(1, [](const TFn&) { return true; }) : Leaf();
    const TText l = Pressure(depth - 1), r = Pressure(depth - 1);
    const char op = "+-*"[Pick(0, 2)];
    return {"(" + l.Compiled + op + r.Compiled + ")", "(" + l.Reference + op + r.Reference + ")"};
  }

 private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(FRng); }

  TText Same(const std::string& s) { return {s, s}; }

  TText Leaf() {
    static const char* const leaves[] = {"i8",   "u8",   "i16",  "u16", "i32", "u32", "i64", "f32a",
                                         "f32b", "f64a", "f64b", "f80a", "f80b", "0.5", "3",   "0.1", "2.75"};
    return Same(leaves[Pick(0, sizeof leaves / sizeof leaves[0] - 1)]);
  }

  // Values a double parameter takes exactly.
  TText ExactDouble(int depth) {
    const int r = Pick(0, 9);
    TText t;
    if (depth > 0 && r < 4) {
      t = Call(depth, [](const TFn& f) {
        return f.Result == frDouble || f.Result == frSingle || f.Result <= frInt64;
      });
    } else {
      static const char* const exact[] = {"f64a", "f64b", "f32a", "f32b", "i8",  "u8", "i16",
                                          "u16",  "i32",  "u32",  "i64",  "0.5", "3",  "-1.25"};
      t = Same(exact[Pick(0, sizeof exact / sizeof exact[0] - 1)]);
    }
    if (Pick(0, 4) == 0) t = {"-" + t.Compiled, "-" + t.Reference};
    return t;
  }

  // Values a single parameter takes exactly.
  TText ExactSingle(int depth) {
    const int r = Pick(0, 9);
    TText t;
    if (depth > 0 && r < 4) {
      t = Call(depth, [](const TFn& f) { return f.Result == frSingle || f.Result <= frUInt16; });
    } else {
      static const char* const exact[] = {"f32a", "f32b", "i8", "u8", "i16", "u16", "0.5", "3", "-1.25"};
      t = Same(exact[Pick(0, sizeof exact / sizeof exact[0] - 1)]);
    }
    if (Pick(0, 4) == 0) t = {"-" + t.Compiled, "-" + t.Reference};
    return t;
  }

  // Integer types whose values fit a parameter of type p, negated or not.
  static bool Fits(TVarType value, TVarType p) {
    switch (p) {
      case vtInt8: return value == vtInt8;
      case vtUInt8: return value == vtUInt8;
      case vtInt16: return value <= vtInt16;
      case vtUInt16: return value == vtUInt8 || value == vtUInt16;
      case vtInt32: return value <= vtUInt16 || value == vtInt32;
      case vtUInt32: return value == vtUInt8 || value == vtUInt16 || value == vtUInt32;
      default: return true;
    }
  }

  TText Int(TVarType p, int depth) {
    const bool isSigned = p == vtInt8 || p == vtInt16 || p == vtInt32 || p == vtInt64;
    std::string signs;
    if (isSigned) {
      static const char* const runs[] = {"", "", "", "-", "--", "+-", "-+-"};
      signs = runs[Pick(0, 6)];
    }
    const int r = Pick(0, 9);
    TText t;
    if (depth > 0 && r < 4) {
      t = Call(depth, [p](const TFn& f) { return f.Result <= frInt64 && Fits(static_cast<TVarType>(f.Result), p); });
    } else if (r < 7) {
      static const char* const names[7] = {"i8", "u8", "i16", "u16", "i32", "u32", "i64"};
      std::vector<const char*> fitting;
      for (int v = vtInt8; v <= vtInt64; ++v)
        if (Fits(static_cast<TVarType>(v), p)) fitting.push_back(names[v]);
      t = Same(fitting[Pick(0, static_cast<int>(fitting.size()) - 1)]);
    } else {
      static const long long halfRange[7] = {100, 255, 16000, 65535, 1000000000, 4294967295LL, 1LL << 52};
      t = Same(std::to_string(std::uniform_int_distribution<long long>(0, halfRange[p])(FRng)));
    }
    return {signs + t.Compiled, signs + t.Reference};
  }

  TText Ref(TVarType p) {
    switch (p) {
      case vtDouble: return Same(Pick(0, 1) ? "f64a" : "f64b");
      default: return Same("i32");
    }
  }

  TText Argument(const TVarDef& d, int depth) {
    if (d.PushStyle == psReference) return Ref(d.VarType);
    if (d.VarType <= vtInt64) return Int(d.VarType, depth);
    if (d.VarType == vtSingle) return ExactSingle(depth);
    if (d.VarType == vtDouble) return ExactDouble(depth);
    return Float(depth);
  }

  TText Call(int depth, const std::function<bool(const TFn&)>& allowed) {
    std::vector<const TFn*> choice;
    for (const TFn& f : FFns)
      if (allowed(f)) choice.push_back(&f);
    if (choice.empty()) return Leaf();
    return CallOf(*choice[Pick(0, static_cast<int>(choice.size()) - 1)], depth);
  }

 public:
  // A call of f with arguments of its parameters' kinds, calls of the
  // table's functions among them.
  TText CallOf(const TFn& f, int depth) {
    std::vector<TText> args;
    for (const TVarDef& d : f.Params()) args.push_back(Argument(d, depth - 1));
    TText out;
    out.Compiled = f.Name;
    if (!args.empty()) {
      out.Compiled += "(";
      for (std::size_t k = 0; k < args.size(); ++k) out.Compiled += (k ? "," : "") + args[k].Compiled;
      out.Compiled += ")";
    } else if (Pick(0, 1)) {
      out.Compiled += "()";
    }
    if (f.Rewrite.empty()) {
      out.Reference = f.Name + "(";
      for (std::size_t k = 0; k < args.size(); ++k) out.Reference += (k ? "," : "") + args[k].Reference;
      out.Reference += ")";
      return out;
    }
    out.Reference = f.Rewrite;
    for (std::size_t k = args.size(); k-- > 0;) {
      const std::string key = "$" + std::to_string(k);
      for (std::size_t at; (at = out.Reference.find(key)) != std::string::npos;)
        out.Reference.replace(at, key.size(), args[k].Reference);
    }
    return out;
  }

 private:

  const std::vector<TFn>& FFns;
  std::mt19937 FRng;
};

// ---- the test -------------------------------------------------------------------------

// A setting combination by index: ParallelExecution, EliminateBrackets,
// OutOfOrder, AlignMode, BackOperation, SmartLoad, ComputeOnce.
void ApplySettings(TFennic& f, long long index) {
  f.SetParallelExecution(index & 1);
  f.SetEliminateBrackets(index >> 1 & 1);
  f.SetOutOfOrder(index >> 2 & 1);
  f.SetAlignMode(index >> 3 & 1);
  f.SetBackOperation(index >> 4 & 1);
  f.SetSmartLoad(index >> 5 & 1);
  f.SetComputeOnce(index >> 6 & 1 ? coOn : coOff);
}

class CallsDifferential : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const TVars::TEntry& e : vars.Entries()) {
      ASSERT_NE(a.RegisterVarExt(e.Name, e.Type, e.Address), 0) << e.Name;
      ASSERT_NE(b.RegisterVarExt(e.Name, e.Type, e.Address), 0) << e.Name;
      ref.AddVariable(e.Name, e.Type, e.Address);
    }
    for (const TFn& f : overflow)
      for (TFennic* c : {&a, &b})
        ASSERT_NE(c->RegisterFuncExt(f.Name, f.ParamText, f.Conv, f.Result, f.StackNeeds, f.Address, f.Foldable, f.Code), 0)
            << f.Name;
    for (const TFn& f : fns) {
      for (TFennic* c : {&a, &b})
        ASSERT_NE(c->RegisterFuncExt(f.Name, f.ParamText, f.Conv, f.Result, f.StackNeeds, f.Address, f.Foldable, f.Code), 0)
            << f.Name;
      if (f.Rewrite.empty()) ref.AddFunction(f.Name, f.Ref);
    }
  }

  // "" when both compilations agree with the reference.
  std::string Check(const TText& text, long long settingsA, long long settingsB) {
    const std::optional<RefValue> expected = ref.Evaluate(text.Reference);
    if (!expected) return "the reference rejects " + text.Reference;
    if (expected->Comparable) ++comparable;
    std::string why;
    long double values[2];
    TFennic* compilers[2] = {&a, &b};
    const long long settings[2] = {settingsA, settingsB};
    for (int k = 0; k < 2; ++k) {
      ApplySettings(*compilers[k], settings[k]);
      compilers[k]->SetExprString(text.Compiled);
      const TError error = compilers[k]->CompError();
      if (error != eNone && error != eDomain)
        return "error code " + std::to_string(error) + " under settings " + std::to_string(settings[k]);
      values[k] = compilers[k]->Evaluate();
      if (!ReferenceEvaluator::Agrees(values[k], *expected, &why))
        return why + " under settings " + std::to_string(settings[k]);
    }
    return "";
  }

  std::vector<TFn> fns = Functions();
  std::vector<TFn> overflow = OverflowFunctions();
  TVars vars{};
  ReferenceEvaluator ref;
  TFennic a, b;
  long long comparable = 0;  // cases whose value the reference can vouch for
};

TEST_F(CallsDifferential, RandomExpressionsWithCallsAgreeWithTheReference) {
  const auto seed = static_cast<std::uint32_t>(EnvNumber("FENNIC_CALLS_SEED").value_or(20240611));
  const long long count = EnvNumber("FENNIC_CALLS_COUNT").value_or(3000);
  const std::optional<long long> only = EnvNumber("FENNIC_CALLS_ONLY");
  int failures = 0;
  long long checked = 0;
  for (long long i = only.value_or(0); i < (only ? *only + 1 : count); ++i) {
    std::seed_seq seq{seed, static_cast<std::uint32_t>(i)};
    std::uint32_t caseSeed;
    seq.generate(&caseSeed, &caseSeed + 1);
    TCallGen gen(fns, caseSeed);
    vars.Randomize(gen.Rng());
    const int shape = static_cast<int>(i % 10);
    const TText text = shape == 9 ? gen.Pressure(4) : gen.Float(2 + shape % 5);
    std::string why;
    try {
      why = Check(text, i % 128, (i * 37 + 11) % 128);
    } catch (const std::exception& e) {
      why = std::string("exception: ") + e.what();
    }
    ++checked;
    if (why.empty()) continue;
    ADD_FAILURE() << "case " << i << " (FENNIC_CALLS_SEED=" << seed << " FENNIC_CALLS_ONLY=" << i
                  << "): " << text.Compiled << "\n  reference: " << text.Reference << "\n  " << why;
    if (++failures == 10) break;
  }
  std::printf("checked %lld expressions with calls (%lld with a comparable value), seed %u\n", checked,
              comparable, seed);
}

// Routines of more parameters than there are argument registers (on
// x86-64), with arguments of every kind the generator makes.
TEST_F(CallsDifferential, SeventeenArgumentsOfEveryKind) {
  int failures = 0;
  for (int i = 0; i < 300 && failures < 10; ++i) {
    TCallGen gen(fns, 20240612 + i);
    vars.Randomize(gen.Rng());
    const TText text = gen.CallOf(overflow[i % 3], 1 + i % 3);
    const std::string why = Check(text, i % 128, (i * 37 + 11) % 128);
    if (why.empty()) continue;
    ADD_FAILURE() << "case " << i << ": " << text.Compiled << "\n  reference: " << text.Reference << "\n  " << why;
    ++failures;
  }
}

// Thirty calls nested in one another, of every convention and of inline
// code, and integer calls nested in integer arguments.
TEST_F(CallsDifferential, ThirtyNestedCalls) {
  std::mt19937 rng(7);
  vars.Randomize(rng);
  const char* const wrappers[] = {"ide_c", "ide_s", "ide_p", "ide_r", "fchs0", "fchs7", "sube_c", "sube_p",
                                  "sube_r", "mix_r", "mix_p", "sum8", "addi"};
  const std::vector<std::string> chains = [&] {
    std::vector<std::string> out;
    // Each wrapper in turn around the last.
    std::string t = "f80a", r = "f80a";
    for (int k = 0; k < 30; ++k) {
      const std::string w = wrappers[k % (sizeof wrappers / sizeof wrappers[0])];
      if (w.rfind("sube", 0) == 0) {
        t = w + "(" + t + ",f64a)";
        r = "((" + r + ")-(f64a))";
      } else if (w.rfind("mix", 0) == 0) {
        t = w + "(" + t + ",i32,i64,u16,f80b)";
        r = "((" + r + ")-(i32)+(i64)*2-(u16)+(f80b)*0.5)";
      } else if (w == "sum8") {
        t = "sum8(f80b,1,2," + t + ",3,4,5,f32a)";
        r = "((f80b)+1+2+(" + r + ")+3+4+5+(f32a))";
      } else if (w == "addi") {
        t = "addi(" + t + ",-i16)";
        r = "((" + r + ")+(-i16))";
      } else if (w.rfind("fchs", 0) == 0) {
        t = w + "(" + t + ")";
        r = "(-(" + r + "))";
      } else {
        t = w + "(" + t + ")";
        r = "(" + r + ")";
      }
    }
    out.push_back(t);
    out.push_back(r);
    // Integer identities, each the argument of the next.
    std::string it = "i16", ir = "i16";
    const char* const ints[] = {"idi16_c", "idi32_r", "idi64_s", "idi32_p"};
    for (int k = 0; k < 30; ++k) {
      const std::string w = ints[k % 4];
      // Each result fits the next parameter: i16 values only.
      it = w + "(" + it + ")";
      ir = "(" + ir + ")";
    }
    out.push_back(it + "*f64a");
    out.push_back(ir + "*f64a");
    // Thirty arctangents, each of the previous one and a variable.
    std::string at = "f80a";
    for (int k = 0; k < 30; ++k) at = "fpatan" + std::to_string(k % 7) + "(" + at + ",f80b)";
    out.push_back(at);
    out.push_back(at);
    return out;
  }();
  // The arctangents are the reference's own instruction: the same bits.
  long double at = vars.f80a;
  for (int k = 0; k < 30; ++k) at = X87Atan2(at, vars.f80b);
  a.SetExprString(chains.back());
  ASSERT_EQ(a.CompError(), eNone);
  EXPECT_EQ(a.Evaluate(), at);
  for (std::size_t k = 0; k + 1 < chains.size(); k += 2) {
    for (long long s : {0LL, 63LL, 21LL}) {
      const std::string why = Check({chains[k], chains[k + 1]}, s, 63 - s);
      EXPECT_EQ(why, "") << chains[k];
    }
  }
}

}  // namespace
}  // namespace fennic::testing
