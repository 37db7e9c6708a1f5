// A host program built against the installed function pack.
#include <cstdio>
#include <fennic/fennic.h>
#include <fennic/functions/functions.h>

int main() {
  fennic::TFennic f(nullptr);
  fennic::RegisterStandardFunctions(f);
  double x = 0.5;
  f.RegisterVarExt("x", fennic::vtDouble, &x);
  f.SetExprString("sin(x)*sin(x) + cos(x)*cos(x)");
  if (f.CompError() != fennic::eNone) {
    std::printf("CompError %d\n", static_cast<int>(f.CompError()));
    return 1;
  }
  const long double value = f.Evaluate();
  std::printf("sin(x)*sin(x) + cos(x)*cos(x) = %.6Lf\n", value);
  return value > 0.9999L && value < 1.0001L ? 0 : 1;
}
