// Host functions written in C++, one per calling convention, with the
// attributes (Fennic's FENNIC_* macros) that make the compiler call them the
// way the routine does.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fennic/fennic.h>

using namespace fennic;

//! [attributes]
// FENNIC_CDECL, FENNIC_STDCALL, FENNIC_PASCAL and FENNIC_REGISTER give a
// routine its convention's GCC attributes in an i386 program, together with
// force_align_arg_pointer (the routine does not keep the stack 16-byte
// aligned at its calls). In a 64-bit program every convention is the System
// V one and the macros are empty; the same declarations serve both.

// ctCdecl: GCC's default convention. Parameters "vf64vi32".
FENNIC_CDECL double Power(double base, std::int32_t exponent) {
  return std::pow(base, exponent);
}

// ctStdcall: the routine removes its arguments. Parameters "vf64vf64".
FENNIC_STDCALL double Hypot(double a, double b) {
  return std::hypot(a, b);
}

// ctPascal: the first argument lies highest on the stack, so the C++
// parameters are declared in reverse. In expressions: lerp(a, b, t),
// parameters "vf64vf64vf64".
FENNIC_PASCAL double Lerp(double t, double b, double a) {
  return a + (b - a) * t;
}

// ctRegister: the first three integer (up to 32-bit) or by-reference
// arguments in EAX, EDX, ECX; the rest on the stack, first one highest. In
// expressions: quantize(lo, hi, step, value, bias), parameters
// "vi32vi32vi32vf64vf64": lo, hi and step travel in EAX, EDX and ECX, value
// and bias on the stack, so those two are declared in reverse after the
// register parameters. (Never declare a 64-bit integer or a floating-point
// parameter among the first three: GCC would pass a long long in registers.)
FENNIC_REGISTER double Quantize(std::int32_t lo, std::int32_t hi, std::int32_t step, double bias,
                                double value) {
  double v = std::floor((value + bias) / step) * step;
  return v < lo ? lo : v > hi ? hi : v;
}

// By reference ("rf64"): the routine gets the variable's address and may
// read it; the argument must be a registered variable of exactly that type.
FENNIC_CDECL double Twice(const double* value) { return 2 * *value; }

// An integer result comes back in EAX; a 64-bit one in EDX:EAX.
FENNIC_STDCALL std::int64_t Factorial(std::int32_t n) {
  std::int64_t r = 1;
  for (std::int32_t i = 2; i <= n; ++i) r *= i;
  return r;
}
//! [attributes]

int main() {
  TFennic f(nullptr);
  double x = 3;
  std::int32_t n = 20;
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("n", vtInt32, &n);

  //! [register]
  // RegisterFuncExt(name, parameters, convention, result, x87 registers the
  //                 routine needs, address, foldable)
  // Code compiled from C++ may use all eight x87 registers: declare 8.
  f.RegisterFuncExt("power", "vf64vi32", ctCdecl, frDouble, 8,
                    reinterpret_cast<void*>(&Power), true);
  f.RegisterFuncExt("hypot", "vf64vf64", ctStdcall, frDouble, 8,
                    reinterpret_cast<void*>(&Hypot), true);
  f.RegisterFuncExt("lerp", "vf64vf64vf64", ctPascal, frDouble, 8,
                    reinterpret_cast<void*>(&Lerp), true);
  f.RegisterFuncExt("quantize", "vi32vi32vi32vf64vf64", ctRegister, frDouble, 8,
                    reinterpret_cast<void*>(&Quantize), true);
  f.RegisterFuncExt("twice", "rf64", ctCdecl, frDouble, 8,
                    reinterpret_cast<void*>(&Twice), false);
  f.RegisterFuncExt("fact", "vi32", ctStdcall, frInt64, 8,
                    reinterpret_cast<void*>(&Factorial), true);
  //! [register]

  //! [evaluate]
  const char* texts[] = {
      "power(x, 3)",          // 27
      "hypot(x, 4)",          // 5
      "lerp(10, 20, x/4)",    // 17.5
      "quantize(0, 100, 5, x*7, 1)",   // 20
      "quantize(0, 100, 5, x*70, 1)",  // 100
      "twice(x)",             // by reference: the bare name of a double variable
      "fact(n)",              // an integer argument: a literal, variable or call
      "power(hypot(x, 4), 2) - fact(3)*lerp(0, 1, x)",
  };
  for (const char* text : texts) {
    f.SetExprString(text);
    if (f.CompError() == eNone)
      std::printf("%-46s = %.19Lg\n", text, f.Evaluate());
    else
      std::printf("%-46s : CompError %d\n", text, static_cast<int>(f.CompError()));
  }
  //! [evaluate]
  return 0;
}
