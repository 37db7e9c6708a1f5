// Functions as inline x87 code (ctBuilt_in): the bytes are copied into the
// generated routine in place of a call.
#include <cmath>
#include <cstdio>
#include <fennic/fennic.h>

using namespace fennic;

int main() {
  TFennic f(nullptr);
  double x = 2, y = 3;
  std::int32_t n = 10;
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("y", vtDouble, &y);
  f.RegisterVarExt("n", vtInt32, &n);

  //! [inline]
  // Floating-point arguments arrive on the x87 stack, the last one in ST0;
  // the code leaves the result in ST0 and nothing else of its own. Integer
  // (up to 32-bit) and by-reference arguments arrive in EAX, EDX and ECX.
  // The code may change EAX, ECX and EDX, and must keep every other register.

  // sqrt(v): FSQRT.
  f.RegisterFuncExt("sqrt", "vf80", ctBuilt_in, frExtended, 0, nullptr, true, {0xD9, 0xFA});

  // atan2(y, x): y in ST1, x in ST0; FPATAN computes atan(ST1/ST0) and pops.
  f.RegisterFuncExt("atan2", "vf80vf80", ctBuilt_in, frExtended, 0, nullptr, true, {0xD9, 0xF3});

  // log2(v): FLD1, FXCH, FYL2X (ST1 * log2(ST0), pops). The code loads one
  // value of its own beyond its argument, so it needs 1 more x87 register:
  // StackNeeds = 1.
  f.RegisterFuncExt("log2", "vf80", ctBuilt_in, frExtended, 1, nullptr, true,
                    {0xD9, 0xE8, 0xD9, 0xC9, 0xD9, 0xF1});

  // ldexp(v, k) = v * 2^k with k an integer in EAX:
  //   PUSH EAX; FILD dword [ESP]; POP EAX   ST0 = k, ST1 = v
  //   FXCH; FSCALE; FSTP ST1               ST0 = v * 2^k
  f.RegisterFuncExt("ldexp", "vf80vi32", ctBuilt_in, frExtended, 1, nullptr, true,
                    {0x50, 0xDB, 0x04, 0x24, 0x58, 0xD9, 0xC9, 0xD9, 0xFD, 0xDD, 0xD9});
  //! [inline]

  const char* texts[] = {"sqrt(x*x + y*y)", "atan2(y, x)", "log2(x*y*1024)", "ldexp(x, n)",
                         "ldexp(1, -n)", "sqrt(2)", "log2(8)*ldexp(x+y, 3) - atan2(1, 1)*4"};
  for (const char* text : texts) {
    f.SetExprString(text);
    if (f.CompError() != eNone) {
      std::printf("%-40s : CompError %d\n", text, static_cast<int>(f.CompError()));
      return 1;
    }
    std::printf("%-40s = %.15Lg\n", text, f.Evaluate());
  }
  std::printf("host check: sqrt(13) = %.15g, atan2(3, 2) = %.15g, log2(6144) = %.15g\n",
              std::sqrt(13.0), std::atan2(3.0, 2.0), std::log2(6144.0));
  return 0;
}
