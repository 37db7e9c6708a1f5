// Registration of the standard function pack.
//
// Functions the x87 computes are copied in line (ctBuilt_in), falling back
// on the C library where their fast path does not reach; the others are
// cdecl host routines over the C library's long double functions. A library
// routine may use every x87 register, so those are registered with
// StackNeeds 8: the compiled code spills what it holds before the call
// instead of trusting the library to leave it alone. The constants pi and e
// are functions without parameters, computed while compiling wherever they
// are written.
#include "fennic/functions/functions.h"

#include <cmath>

#include "fennic/functions/x87code.h"
#include "fennic/core/x87guard.h"

namespace fennic {

alignas(16) const long double StandardPi = 3.14159265358979323846264338327950288L;
alignas(16) const long double StandardE = 2.71828182845904523536028747135266250L;

namespace functions {
namespace {

// Host routines (ctCdecl); on i386 they realign the stack, which the
// generated code keeps 4-byte aligned only. The inline code falls back on
// the first group.
#define FENNIC_HOST FENNIC_CDECL long double
FENNIC_HOST Sin(long double x) { return sinl(x); }
FENNIC_HOST Cos(long double x) { return cosl(x); }
FENNIC_HOST Tan(long double x) { return tanl(x); }
FENNIC_HOST Sinh(long double x) { return sinhl(x); }
FENNIC_HOST Cosh(long double x) { return coshl(x); }
FENNIC_HOST Tanh(long double x) { return tanhl(x); }
FENNIC_HOST Exp(long double x) { return expl(x); }
FENNIC_HOST Pow(long double x, long double y) { return powl(x, y); }
FENNIC_HOST Asin(long double x) { return asinl(x); }
FENNIC_HOST Acos(long double x) { return acosl(x); }
FENNIC_HOST Atan(long double x) { return atanl(x); }
FENNIC_HOST Atan2(long double y, long double x) { return atan2l(y, x); }
FENNIC_HOST Floor(long double x) { return floorl(x); }
FENNIC_HOST Ceil(long double x) { return ceill(x); }
FENNIC_HOST Trunc(long double x) { return truncl(x); }
FENNIC_HOST Round(long double x) { return roundl(x); }
FENNIC_HOST Hypot(long double x, long double y) { return hypotl(x, y); }
FENNIC_HOST ConstantE() { return StandardE; }
#undef FENNIC_HOST

constexpr std::int32_t LibraryStackNeeds = 8;

struct TInline {
  const char* Name;
  const char* Params;
  TInlineCode Code;
  const char* Summary;
  TVariadic Variadic = vaNone;
};

// x87 arguments arrive first parameter deepest, the last one in ST0.
std::vector<TInline> InlineTable(TTrigCode Trig, TPackAccuracy Accuracy) {
  const bool Double = Accuracy == paDouble;
  std::vector<TInline> Table;
  if (Trig == tcX87) {
    Table.push_back({"sin", "vf80", SineKernel(false, Double, &Sin), "sine (a kernel of the pack, reduced by pi/2)"});
    Table.push_back({"cos", "vf80", SineKernel(true, Double, &Cos), "cosine (a kernel of the pack, reduced by pi/2)"});
    Table.push_back({"tan", "vf80", TangentKernel(Double, &Tan), "tangent (a kernel of the pack, reduced by pi/2)"});
  }
  Table.push_back({"atan", "vf80", AtanKernel(Double, &Atan), "arc tangent (a kernel of the pack)"});
  Table.push_back({"atan2", "vf80vf80", Atan2Kernel(Double, &Atan2), "arc tangent of y/x in [-pi, pi] (a kernel of the pack)"});
  Table.push_back({"sqrt", "vf80", {{0xD9, 0xFA}, 0}, "square root (FSQRT)"});
  Table.push_back({"abs", "vf80", {{0xD9, 0xE1}, 0}, "absolute value (FABS)"});
  const TInlineCode Ln = LogKernel(lbE, Double);
  Table.push_back({"ln", "vf80", Ln, "natural logarithm (a kernel of the pack)"});
  Table.push_back({"log", "vf80", Ln, "natural logarithm, as ln"});
  Table.push_back({"log10", "vf80", LogKernel(lbTen, Double), "common logarithm (a kernel of the pack)"});
  Table.push_back({"log2", "vf80", LogKernel(lbTwo, Double), "binary logarithm (a kernel of the pack)"});
  Table.push_back({"exp", "vf80", ExpKernel(Double, &Exp), "e to the power x (a kernel of the pack)"});
  Table.push_back({"pow", "vf80vf80", PowKernel(Double, &Pow), "x to the power y (kernels of the pack)"});
  Table.push_back({"sinh", "vf80", SinhKernel(Double, &Sinh), "hyperbolic sine (a kernel of the pack)"});
  Table.push_back({"cosh", "vf80", CoshKernel(Double, &Cosh), "hyperbolic cosine (a kernel of the pack)"});
  Table.push_back({"tanh", "vf80", TanhKernel(Double, &Tanh), "hyperbolic tangent (a kernel of the pack)"});
  Table.push_back({"hypot", "vf80vf80", HypotKernel(&Hypot), "sqrt(x*x + y*y) without overflow (in line, hypotl at the extremes)"});
  // The same value however the arguments pair (but for which of +0 and -0),
  // so the balanced nesting: the shortest chain of comparisons.
  Table.push_back({"min", "vf80vf80", MinMaxCode(false),
                   "smallest of 2 (grExtended: 2 to 32) arguments; a NaN loses (FUCOMI, FCMOV)", vaBalanced});
  Table.push_back({"max", "vf80vf80", MinMaxCode(true),
                   "largest of 2 (grExtended: 2 to 32) arguments; a NaN loses (FUCOMI, FCMOV)", vaBalanced});
  // A function without parameters is always computed while compiling: pi
  // folds to the x87's own constant, written without brackets.
  Table.push_back({"pi", "", {{0xD9, 0xEB}, 0}, "3.14159265358979323851 (FLDPI, folded while compiling)"});
  // After pi, so that the pack lists its functions in the order it always has.
  Table.push_back({"asin", "vf80", ArcSineKernel(false, Double, &Asin), "arc sine (a kernel of the pack)"});
  Table.push_back({"acos", "vf80", ArcSineKernel(true, Double, &Acos), "arc cosine (a kernel of the pack)"});
  // Added from left to right as written, each sum rounded: the value never
  // depends on the settings that regroup + and -.
  Table.push_back({"sum", "vf80vf80", {{0xDE, 0xC1}, 0},
                   "sum of 2 (grExtended: 2 to 32) arguments, left to right (FADDP)", vaInOrder});
  return Table;
}

struct TLibrary {
  const char* Name;
  const char* Params;
  void* Routine;
  const char* Summary;
};

std::vector<TLibrary> LibraryTable(TTrigCode Trig) {
  auto R = [](auto* Routine) { return reinterpret_cast<void*>(Routine); };
  std::vector<TLibrary> Table;
  if (Trig == tcLibrary) {
    Table.push_back({"sin", "vf80", R(&Sin), "sine (sinl)"});
    Table.push_back({"cos", "vf80", R(&Cos), "cosine (cosl)"});
    Table.push_back({"tan", "vf80", R(&Tan), "tangent (tanl)"});
  }
  const std::vector<TLibrary> Rest = {
      // In line, adding and taking away 1.5 * 2^63 with the corrections and
      // the checks of the control word measured slower than these calls.
      {"floor", "vf80", R(&Floor), "round down (floorl)"},
      {"ceil", "vf80", R(&Ceil), "round up (ceill)"},
      {"trunc", "vf80", R(&Trunc), "round toward zero (truncl)"},
      {"round", "vf80", R(&Round), "round to nearest, halves away from zero (roundl)"},
      // Always computed while compiling, like pi.
      {"e", "", R(&ConstantE), "2.71828182845904523543 (folded while compiling)"},
  };
  Table.insert(Table.end(), Rest.begin(), Rest.end());
  return Table;
}

TFunctionSet MakePack(TTrigCode Trig, TPackAccuracy Accuracy) {
  TFunctionSet Pack;
  for (const TInline& F : InlineTable(Trig, Accuracy))
    Pack.Add(F.Name, F.Params, ctBuilt_in, frExtended, F.Code.StackNeeds, nullptr, true, F.Code.Code, F.Variadic);
  for (const TLibrary& F : LibraryTable(Trig))
    Pack.Add(F.Name, F.Params, ctCdecl, frExtended, LibraryStackNeeds, F.Routine, true);
  return Pack;
}

// The pack is made once per choice: a registry then shares its records, and
// an empty one takes it whole.
const TFunctionSet& Pack(TTrigCode Trig, TPackAccuracy Accuracy) {
  static const TFunctionSet Packs[2][2] = {
      {MakePack(tcX87, paExtended), MakePack(tcX87, paDouble)},
      {MakePack(tcLibrary, paExtended), MakePack(tcLibrary, paDouble)}};
  return Packs[Trig == tcLibrary][Accuracy == paDouble];
}

}  // namespace
}  // namespace functions

bool RegisterStandardFunctions(TCtrlBlck& Target, TTrigCode Trig) {
  return RegisterStandardFunctions(Target, paExtended, Trig);
}

bool RegisterStandardFunctions(TCtrlBlck& Target, TPackAccuracy Accuracy, TTrigCode Trig) {
  TX87Entry x87;
  const TFunctionSet& Pack = functions::Pack(Trig, Accuracy);
  return Target.RegisterFuncs(Pack) == Pack.Size();
}

const std::vector<TStandardEntry>& StandardEntries() {
  using namespace functions;
  static const std::vector<TStandardEntry> Entries = [] {
    std::vector<TStandardEntry> List;
    for (const TInline& F : InlineTable(tcX87, paExtended))
      List.push_back({F.Name, F.Params, true, F.Summary, F.Variadic});
    for (const TLibrary& F : LibraryTable(tcX87)) List.push_back({F.Name, F.Params, false, F.Summary});
    return List;
  }();
  return Entries;
}

}  // namespace fennic
