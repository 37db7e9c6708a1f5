// Definitions that must not compile; the test compiles this file once per
// case (-DFENNIC_CASE=n) and expects the front end's message.
#include <cstdint>
#include <string>

#include "fennic/expression.h"

double TakesString(std::string) { return 0; }
void ReturnsNothing(double) {}
double TakesUnsigned64(std::uint64_t) { return 0; }

int main() {
  fennic::expression e;
  [[maybe_unused]] double capture = 1;
  [[maybe_unused]] std::uint64_t wide = 1;
  [[maybe_unused]] bool flag = false;
#if FENNIC_CASE == 1
  e.define_variable("w", &wide);
#elif FENNIC_CASE == 2
  e.define_variable("b", &flag);
#elif FENNIC_CASE == 3
  e.define_function("f", TakesString);
#elif FENNIC_CASE == 4
  e.define_function("f", ReturnsNothing);
#elif FENNIC_CASE == 5
  e.define_function("f", [&](double x) { return x * capture; });
#elif FENNIC_CASE == 6
  e.define_function("f", TakesUnsigned64);
#elif FENNIC_CASE == 7
  e.define_function<&TakesString>("f");
#endif
}
