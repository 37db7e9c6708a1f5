// The standard function pack: the common functions and the constants pi
// and e, registered on a component with one call.
#include <cstdio>
#include <fennic/fennic.h>
#include <fennic/functions/functions.h>

using namespace fennic;

int main() {
  //! [pack]
  TFennic f(nullptr);
  RegisterStandardFunctions(f);  // link with fennic_functions (fennic::functions)

  double x = 0.7, y = 2;
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("y", vtDouble, &y);

  for (const char* text : {"sin(x)*sin(x) + cos(x)*cos(x)", "sqrt(2)*sqrt(2)", "pow(y, 10) + hypot(3, 4)",
                           "ln(e) + log10(1000) + log2(1/8)", "4*atan2(1, 1)", "max(x, y) - min(x, y)",
                           "round(2.5) + floor(-x) + ceil(x) + trunc(-2.7) + abs(-y)"}) {
    f.SetExprString(text);
    if (f.CompError() != eNone) return 1;
    std::printf("%-56s = %.15Lg\n", text, f.Evaluate());
  }
  //! [pack]

  //! [taken]
  // A name the host has taken keeps the host's meaning: the pack skips it
  // and reports that it could not register everything.
  TFennic g(nullptr);
  double e = 0.25;  // the host's own e, say an eccentricity
  g.RegisterVarExt("e", vtDouble, &e);
  bool complete = RegisterStandardFunctions(g);
  g.SetExprString("e*2");
  std::printf("complete: %s, e*2 = %Lg\n", complete ? "yes" : "no", g.Evaluate());
  //! [taken]

  //! [entries]
  // The pack's entries, for help texts and tools.
  std::printf("%zu entries:", StandardEntries().size());
  for (const TStandardEntry& entry : StandardEntries()) std::printf(" %s", entry.Name.c_str());
  std::printf("\n");
  //! [entries]
  return 0;
}
