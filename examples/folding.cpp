// Compile-time folding: calls of a Foldable function whose arguments are
// all constant are made once, while compiling; the routine holds the result.
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <fennic/fennic.h>

using namespace fennic;

static int calls = 0;

// A pure function: its result depends on its arguments alone.
__attribute__((force_align_arg_pointer)) double Square(double v) {
  ++calls;
  return v * v;
}

// Not pure: reads a clock, a sensor, a random generator... Here: counts.
__attribute__((force_align_arg_pointer)) double Tick() { return ++calls; }

int main() {
  TFennic f(nullptr);
  double x = 3;
  f.RegisterVarExt("x", vtDouble, &x);

  //! [foldable]
  f.RegisterFuncExt("sq", "vf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Square), true);
  f.RegisterFuncExt("tick", "", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Tick), false);
  f.RegisterFuncExt("sqrt", "vf80", ctBuilt_in, frExtended, 0, nullptr, true, {0xD9, 0xFA});

  for (const char* text : {"sq(4) + sq(2*3)", "sq(x) + sq(1)", "sq(sqrt(16))*x", "tick()"}) {
    calls = 0;
    f.SetExprString(text);
    int compiling = calls;
    long double first = f.Evaluate(), second = f.Evaluate();
    std::printf("%-16s calls while compiling: %d, while evaluating twice: %d, values %Lg %Lg\n",
                text, compiling, calls - compiling, first, second);
  }
  //! [foldable]

  //! [domain]
  // A fault while folding is reported as eDomain; the compilation goes on
  // and the routine can still run. Whether an x87 operation faults depends
  // on the control word of the compiling thread: by default every exception
  // is masked and sqrt(-1) simply folds to a NaN.
  f.SetExprString("sqrt(-1) + x");
  std::printf("masked:   CompError %d, value is a NaN: %s\n", static_cast<int>(f.CompError()),
              std::isnan(f.Evaluate()) ? "yes" : "no");

  // The flag that folding sqrt(-1) raised is still set: clear the flags
  // before unmasking, or the next x87 instruction traps on a processor.
  feclearexcept(FE_ALL_EXCEPT);
  feenableexcept(FE_INVALID);  // unmask the invalid-operation exception
  f.SetExprString("sqrt(-1) + x");
  fedisableexcept(FE_INVALID);
  std::printf("unmasked: CompError %d (eDomain is %d), compiled code: %s\n",
              static_cast<int>(f.CompError()), static_cast<int>(eDomain),
              f.CodeSize() > 1 ? "yes" : "no");
  //! [domain]
  return 0;
}
