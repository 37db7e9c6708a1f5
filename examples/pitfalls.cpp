// What a host must not do, and what to do instead: let an exception leave a
// host routine, or run a component while it compiles.
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <fennic/fennic.h>

using namespace fennic;

//! [nothrow]
// A C++ exception cannot travel through the generated routine (nor through
// the compile-time call): it would end the program. A host routine that
// calls code which may throw catches everything itself and answers with a
// value, here a NaN that propagates through the formula. noexcept makes a
// forgotten case end the program at once instead of corrupting it.
static const std::map<int, double> table = {{1, 1.5}, {2, 2.5}, {3, 4.0}};

__attribute__((force_align_arg_pointer)) double Lookup(std::int32_t key) noexcept {
  try {
    return table.at(key);  // throws std::out_of_range for an unknown key
  } catch (...) {
    return std::numeric_limits<double>::quiet_NaN();
  }
}
//! [nothrow]

//! [nested]
// A host routine must not compile or evaluate the component that is calling
// it: Compile replaces the routine and the constant pool that are in use,
// and a Foldable function also runs while that component compiles. A
// formula used inside another formula gets a component of its own.
static TFennic* inner = nullptr;  // computes the inner formula of its variable "t"
static double inner_t = 0;

__attribute__((force_align_arg_pointer)) double Inner(double t) noexcept {
  inner_t = t;
  return static_cast<double>(inner->Evaluate());  // a different component: fine
}
//! [nested]

//! [stackneeds]
// A called routine may find part of the x87 stack holding values of the
// formula that are still pending; StackNeeds says how many registers it
// needs free. Code compiled from C++ may use the whole stack (the i386
// ABI hands a function an empty one), so a C++ routine declares 8. Deep7
// stands for such code: it keeps seven values on the x87 stack at once.
__attribute__((force_align_arg_pointer)) double Deep7(double v) noexcept {
  long double seven;
  asm("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\t"
      "faddp\n\tfaddp\n\tfaddp\n\tfaddp\n\tfaddp\n\tfaddp"
      : "=t"(seven));
  return v + static_cast<double>(seven);
}
//! [stackneeds]

int main() {
  TFennic f(nullptr);
  std::int32_t key = 2;
  f.RegisterVarExt("key", vtInt32, &key);
  f.RegisterFuncExt("lookup", "vi32", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Lookup), true);

  f.SetExprString("lookup(key)*2");
  std::printf("lookup(2)*2 = %Lg\n", f.Evaluate());
  key = 7;
  std::printf("lookup(7)*2 = %Lg\n", f.Evaluate());

  //! [nested-use]
  TFennic g(nullptr);
  g.RegisterVarExt("t", vtDouble, &inner_t);
  g.SetExprString("t*t + 1");
  inner = &g;

  double x = 3;
  f.RegisterVarExt("x", vtDouble, &x);
  // Foldable: inner(2) is computed while f compiles, inner(x) at each run.
  f.RegisterFuncExt("inner", "vf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Inner), true);
  f.SetExprString("inner(x) + inner(2)");
  std::printf("inner(x) + inner(2) = %Lg (CompError %d)\n", f.Evaluate(),
              static_cast<int>(f.CompError()));
  //! [nested-use]

  //! [stackneeds-use]
  double a = 1.5, b = 2.5;
  const double host = (a + b) * (a - b) + (a * b) * (b / a) * ((a + 1) * (b + 1) + Deep7(a));
  for (int needs : {1, 8}) {
    TFennic h(nullptr);
    h.RegisterVarExt("a", vtDouble, &a);
    h.RegisterVarExt("b", vtDouble, &b);
    h.RegisterFuncExt("deep7", "vf64", ctCdecl, frDouble, needs, reinterpret_cast<void*>(&Deep7), false);
    h.SetExprString("(a+b)*(a-b) + (a*b)*(b/a)*((a+1)*(b+1) + deep7(a))");
    std::printf("StackNeeds %d: %s\n", needs, h.Evaluate() == host ? "right" : "WRONG");
  }
  //! [stackneeds-use]
  return 0;
}
