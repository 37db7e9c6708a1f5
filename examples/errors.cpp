// Reading CompError, the code of a compilation's outcome, and Diagnostic,
// which says where in the text the cause was found and how to fix it.
#include <cstdio>
#include <string>
#include <fennic/fennic.h>

using namespace fennic;

__attribute__((force_align_arg_pointer)) double Scale(double v, std::int8_t k) { return v * k; }
__attribute__((force_align_arg_pointer)) double Twice(const double* v) { return 2 * *v; }
__attribute__((force_align_arg_pointer)) double Root(double v) { return __builtin_sqrt(v); }

int main() {
  TFennic f(nullptr);
  std::printf("new component: %s\n", ErrorName(f.CompError()));

  double x = 1;
  float s = 2;
  std::int32_t k = 3;
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("s", vtSingle, &s);
  f.RegisterVarExt("k", vtInt32, &k);
  f.RegisterFuncExt("scale", "vf64vi08", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Scale), true);
  f.RegisterFuncExt("twice", "rf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Twice), false);
  f.RegisterFuncExt("sqrt", "vf64", ctCdecl, frDouble, 8, reinterpret_cast<void*>(&Root), true);

  //! [errors]
  const char* texts[] = {
      "x*2 + 1",           // fine
      "1.5e",              // a number that does not convert
      "x*",                // the text ends where an operand is expected
      "x x",               // an operator expected
      "x(2)",              // a variable is not a function
      "(x + 1",            // an opening bracket never closed
      "y + 1",             // a name nobody registered
      "scale(x, 300)",     // 300 does not fit the 8-bit integer parameter
      "scale(x, 1.5)",     // a floating-point value for an integer parameter
      "twice(s)",          // by reference: needs a double variable, s is a float
      "scale(x)",          // one argument too few
      "",                  // nothing at all
  };
  for (const char* text : texts) {
    f.SetExprString(text);
    TError e = f.CompError();
    if (e == eNone || e == eDomain)  // eDomain: compiled; a folding step faulted
      std::printf("%-16s %-14s value %Lg\n", text, ErrorName(e), f.Evaluate());
    else  // the routine is a bare RET that leaves no value: never Evaluate it
      std::printf("%-16s %s\n", text, ErrorName(e));
  }
  //! [errors]

  //! [diagnostic]
  // What a host that lets people type formulas shows them: the text, a
  // caret under the cause, the message.
  const char* typed[] = {"2*-3", "x^2", "2x + 1", "2,5 * x", "sqr(x)", "sqrt(x, 2)", "1 + (x"};
  for (const char* text : typed) {
    f.SetExprString(text);
    const TDiagnostic d = f.Diagnostic();
    std::printf("\n%s\n", text);
    if (d.HasPosition()) {
      const std::string marks(d.Length > 1 ? d.Length : 1, '^');  // a missing operand has length 0
      std::printf("%s%s\n", std::string(d.Position, ' ').c_str(), marks.c_str());
    }
    std::printf("%s: %s\n", ErrorName(d.Error), d.Message.c_str());
  }
  //! [diagnostic]
  return 0;
}
