// A host program on the front end, built against an installed Fennic and
// inside a project of its own.
#include <cstdio>
#include <fennic/expression.h>

int main() {
  double x = 0.5;
  fennic::expression e;
  e.add_standard_functions();
  e.define_variable("x", &x);
  if (const fennic::compile_result r = e.compile("sin(x)*sin(x) + cos(x)*cos(x)"); !r) {
    std::printf("%s: %s\n", r.name().data(), r.message().c_str());
    return 1;
  }
  const long double value = e.evaluate();
  std::printf("sin(x)*sin(x) + cos(x)*cos(x) = %.6Lf\n", value);
  return value > 0.9999L && value < 1.0001L ? 0 : 1;
}
