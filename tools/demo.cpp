// Example host program: creates a component, registers host variables and
// functions, compiles an expression and evaluates it, changes settings and
// streams them.
#include <cstdio>
#include <fennic/fennic.h>

using namespace fennic;

static double Hypot2(double a, double b) { return a * a + b * b; }

int main() {
  TComponent form(nullptr);
  form.SetName("Form1");
  auto* fennic = new TFennic(&form);  // owned by the form, freed with it
  fennic->SetName("Fennic1");

  double x = 1.5;
  std::int32_t n = 7;
  long double t = 0.1L;
  std::printf("x -> code %d\n", fennic->RegisterVarExt("x", vtDouble, &x));
  std::printf("n -> code %d\n", fennic->RegisterVarExt("n", vtInt32, &n));
  void* aligned = nullptr;
  int tc = fennic->RegisterVarA(TVariable{"t", vtExtended, &t}, aligned);
  std::printf("t -> code %d (16-aligned copy: %s)\n", tc, aligned == &t ? "not needed" : "made");
  int h = fennic->RegisterFuncExt("hypot2", "vf64vf64", ctCdecl, frDouble, 8,
                                  reinterpret_cast<void*>(&Hypot2), true);
  TFunction f;
  fennic->GetFunc(f, h);
  std::printf("hypot2 -> code %d, %d stack bytes, %d x87 registers\n", h, fennic->StackFrame(f),
              fennic->FuncStackNeeds(h));
  // FSQRT in line: one extended argument on the x87 stack.
  int s = fennic->RegisterFuncExt("sqrt", "vf80", ctBuilt_in, frExtended, 0, nullptr, true,
                                  TAByte{0xD9, 0xFA});
  std::printf("sqrt -> code %d (inline), needs %d x87 registers\n", s, fennic->FuncStackNeeds(s));
  std::printf("fennicid -> code %d\n", fennic->VarCode("FennicID"));

  // Compile once, evaluate as often as needed: every run reads the variables
  // where the host keeps them.
  fennic->SetExprString("(x*x - 1/3)*n + t*(2.5 - x)");
  std::printf("\n%s: CompError %d, %zu bytes of code\n", fennic->ExprString().c_str(),
              static_cast<int>(fennic->CompError()), fennic->CodeSize());
  if (fennic->CompError() == eNone) {
    for (double value : {1.5, -2.0, 10.0}) {
      x = value;
      const long double expected = (static_cast<long double>(x) * x - 1.0L / 3) * n + t * (2.5L - x);
      std::printf("  x = %g: %.18Lg (host arithmetic: %.18Lg)\n", x, fennic->Evaluate(), expected);
    }
  }

  std::printf("\nDefaults stream as:\n%s", WriteComponent(*fennic).c_str());
  fennic->SetEliminateBrackets(ebStandart);
  fennic->SetSmartLoad(false);
  fennic->SetAlignMode(2);  // not a boolean byte: ignored
  std::string saved = WriteComponent(*fennic);
  std::printf("\nAfter changes:\n%s", saved.c_str());

  TFennic copy(nullptr);
  ReadComponent(copy, saved);
  std::printf("\nRead back into a new component:\n%s", WriteComponent(copy).c_str());

  Register();
  for (const std::string& page : RegisteredPages())
    for (const TComponentClass& c : RegisteredClasses(page))
      std::printf("palette page %s: %s\n", page.c_str(), c.ClassName.c_str());
  return 0;
}
