// A host program built against the installed library: sin^2 + cos^2 with
// inline x87 sine and cosine, and a host routine called by the routine.
#include <cstdio>
#include <fennic/fennic.h>

static double Half(double v) { return v / 2; }

int main() {
  fennic::TFennic f(nullptr);
  double x = 0.5;
  f.RegisterVarExt("x", fennic::vtDouble, &x);
  f.RegisterFuncExt("sin", "vf80", fennic::ctBuilt_in, fennic::frExtended, 0, nullptr, true, {0xD9, 0xFE});
  f.RegisterFuncExt("cos", "vf80", fennic::ctBuilt_in, fennic::frExtended, 0, nullptr, true, {0xD9, 0xFF});
  f.RegisterFuncExt("half", "vf64", fennic::ctCdecl, fennic::frDouble, 8, reinterpret_cast<void*>(&Half), false);
  f.SetExprString("sin(x)*sin(x) + cos(x)*cos(x) + half(x)");
  if (f.CompError() != fennic::eNone) {
    std::printf("CompError %d\n", static_cast<int>(f.CompError()));
    return 1;
  }
  const long double value = f.Evaluate();
  std::printf("sin(x)*sin(x) + cos(x)*cos(x) + half(x) = %.6Lf\n", value);
  return value > 1.2499L && value < 1.2501L ? 0 : 1;
}
