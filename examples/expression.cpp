// The front end: one formula as a value, with typed variables, constants,
// host functions from their C++ signature and the function pack.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <fennic/expression.h>

//! [function]
// A host function is a plain function (or a lambda without captures); its
// parameters and result come from its C++ type. A pointer or reference
// parameter takes a variable by reference.
double Clamp(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }
double Average(const double* values, std::int32_t count) {
  double sum = 0;
  for (std::int32_t i = 0; i < count; ++i) sum += values[i];
  return count > 0 ? sum / count : 0;
}
//! [function]

int main() {
  //! [first]
  double x = 0;
  std::int32_t n = 3;
  fennic::expression f;
  f.add_standard_functions();  // sin, cos, ..., pi, e: link fennic::functions
  f.define_variable("x", &x);  // read from &x at every evaluation, as a double
  f.define_variable("n", &n);  // ... and n as a 32-bit integer
  f.define_constant("g", 9.80665L);  // folded into the code wherever it is written

  if (fennic::compile_result r = f.compile("n*x*x + g"); !r) {
    std::printf("%s at %zu: %s\n", r.name().data(), r.position(), r.message().c_str());
    return 1;
  }
  for (double value : {0.0, 0.5, 1.0, 2.0}) {
    x = value;  // no recompilation needed
    std::printf("x = %.1f: %.6Lf\n", x, f.evaluate());
  }
  //! [first]

  //! [register]
  double samples[4] = {1, 2, 3, 6};
  f.define_variable("samples", samples);  // an array decays to its first element
  f.define_function("clamp", Clamp, {.pure = true});  // pure: computed while compiling where it can be
  f.define_function("average", Average);
  for (const char* text : {"clamp(x*10, 0, 5)", "average(samples, 4)", "clamp(7, 0, 5)*2"}) {
    f.compile_or_throw(text);  // throws fennic::error instead
    std::printf("%-22s = %.6Lg\n", text, f.evaluate());
  }
  //! [register]

  //! [errors]
  for (const char* text : {"2*y", "sin(x", "clamp(x, 1)", "e = 1"}) {
    const fennic::compile_result r = f.compile(text);
    std::printf("%-12s %s, position %zu, length %zu: %s\n", text, r.name().data(), r.position(), r.length(),
                r.message().c_str());
  }
  // No routine after a failure: evaluate() gives a quiet NaN.
  std::printf("evaluate() after a failure: %Lg\n", f.evaluate());
  //! [errors]

  //! [names]
  f.compile_or_throw("n*sin(x) + max(x, g) + n");
  std::printf("variables:");
  for (const std::string& name : f.used_variables()) std::printf(" %s", name.c_str());
  std::printf("\nfunctions:");
  for (const std::string& name : f.used_functions()) std::printf(" %s", name.c_str());
  std::printf("\n");
  //! [names]

  //! [values]
  // An expression is a movable value: a container holds as many as the host needs.
  std::vector<fennic::expression> formulas;
  for (const char* text : {"x + 1", "x * 2", "x / 2"}) {
    fennic::expression e;
    e.define_variable("x", &x);
    e.compile_or_throw(text);
    formulas.push_back(std::move(e));
  }
  x = 3;
  for (const fennic::expression& e : formulas) std::printf("%s = %g\n", e.text().c_str(), e.evaluate_double());
  //! [values]
}
