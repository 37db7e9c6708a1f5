// A first host program: one variable, two inline functions, one formula
// compiled once and evaluated for several values of its variable.
#include <cstdio>
#include <fennic/fennic.h>

using namespace fennic;

int main() {
  //! [first]
  TFennic f(nullptr);  // no owner: the host destroys it (here: at the end of main)

  double x = 0;
  f.RegisterVarExt("x", vtDouble, &x);  // read from &x at every evaluation

  // sin and cos as x87 instructions copied in line: the argument arrives in
  // ST0 and FSIN / FCOS leave the result there.
  f.RegisterFuncExt("sin", "vf80", ctBuilt_in, frExtended, 0, nullptr, true, {0xD9, 0xFE});
  f.RegisterFuncExt("cos", "vf80", ctBuilt_in, frExtended, 0, nullptr, true, {0xD9, 0xFF});

  f.SetExprString("sin(x)*sin(x) + cos(x)*cos(x)");  // compiles at once
  if (f.CompError() != eNone) {
    std::printf("compile error %d\n", static_cast<int>(f.CompError()));
    return 1;
  }
  for (double value : {0.0, 0.5, 1.0, 2.0, 3.0}) {
    x = value;                               // no recompilation needed
    long double result = f.Evaluate();       // 80-bit extended result
    std::printf("x = %.1f: %.15Lf\n", x, result);
  }
  //! [first]
  return 0;
}
