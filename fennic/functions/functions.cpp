// Registration of the standard function pack.
//
// Functions the x87 has an instruction for are copied in line (ctBuilt_in);
// the others are cdecl host routines over the C library's long double
// functions. A library routine may use every x87 register, so those are
// registered with StackNeeds 8: the compiled code spills what it holds
// before the call instead of trusting the library to leave it alone.
#include "fennic/functions/functions.h"

#include <cmath>

#include "fennic/functions/x87code.h"
#include "fennic/simplifier/x87guard.h"

namespace fennic {

alignas(16) const long double StandardPi = 3.14159265358979323846264338327950288L;
alignas(16) const long double StandardE = 2.71828182845904523536028747135266250L;

namespace functions {
namespace {

// Host routines (ctCdecl); on i386 they realign the stack, which the
// generated code keeps 4-byte aligned only.
#define FENNIC_HOST FENNIC_CDECL long double
FENNIC_HOST Sin(long double x) { return sinl(x); }
FENNIC_HOST Cos(long double x) { return cosl(x); }
FENNIC_HOST Tan(long double x) { return tanl(x); }
FENNIC_HOST Asin(long double x) { return asinl(x); }
FENNIC_HOST Acos(long double x) { return acosl(x); }
FENNIC_HOST Sinh(long double x) { return sinhl(x); }
FENNIC_HOST Cosh(long double x) { return coshl(x); }
FENNIC_HOST Tanh(long double x) { return tanhl(x); }
FENNIC_HOST Exp(long double x) { return expl(x); }
FENNIC_HOST Floor(long double x) { return floorl(x); }
FENNIC_HOST Ceil(long double x) { return ceill(x); }
FENNIC_HOST Trunc(long double x) { return truncl(x); }
FENNIC_HOST Round(long double x) { return roundl(x); }
FENNIC_HOST Pow(long double x, long double y) { return powl(x, y); }
FENNIC_HOST Hypot(long double x, long double y) { return hypotl(x, y); }
FENNIC_HOST Min(long double x, long double y) { return fminl(x, y); }
FENNIC_HOST Max(long double x, long double y) { return fmaxl(x, y); }
#undef FENNIC_HOST

constexpr std::int32_t LibraryStackNeeds = 8;

struct TInline {
  const char* Name;
  const char* Params;
  std::int32_t StackNeeds;  // registers the code pushes beyond its arguments
  TAByte Code;
  const char* Summary;
};

// x87 arguments arrive first parameter deepest, the last one in ST0.
std::vector<TInline> InlineTable(TTrigCode Trig) {
  std::vector<TInline> Table;
  if (Trig == tcX87) {
    Table.push_back({"sin", "vf80", 0, TrigCode(0xFE, &Sin), "sine (FSIN)"});
    Table.push_back({"cos", "vf80", 0, TrigCode(0xFF, &Cos), "cosine (FCOS)"});
    Table.push_back({"tan", "vf80", 1, TangentCode(&Tan), "tangent (FPTAN)"});
  }
  Table.push_back({"atan", "vf80", 1, {0xD9, 0xE8, 0xD9, 0xF3}, "arc tangent (FLD1, FPATAN)"});
  // FPATAN takes arctan(ST1/ST0) with the quadrant of both signs: atan2(y, x).
  Table.push_back({"atan2", "vf80vf80", 0, {0xD9, 0xF3}, "arc tangent of y/x in (-pi, pi] (FPATAN)"});
  Table.push_back({"sqrt", "vf80", 0, {0xD9, 0xFA}, "square root (FSQRT)"});
  Table.push_back({"abs", "vf80", 0, {0xD9, 0xE1}, "absolute value (FABS)"});
  // FYL2X: ST1 * log2(ST0), with ST1 the constant loaded ahead and exchanged.
  Table.push_back({"ln", "vf80", 1, {0xD9, 0xED, 0xD9, 0xC9, 0xD9, 0xF1}, "natural logarithm (FLDLN2, FYL2X)"});
  Table.push_back({"log10", "vf80", 1, {0xD9, 0xEC, 0xD9, 0xC9, 0xD9, 0xF1}, "common logarithm (FLDLG2, FYL2X)"});
  Table.push_back({"log2", "vf80", 1, {0xD9, 0xE8, 0xD9, 0xC9, 0xD9, 0xF1}, "binary logarithm (FLD1, FYL2X)"});
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
      {"asin", "vf80", R(&Asin), "arc sine (asinl)"},
      {"acos", "vf80", R(&Acos), "arc cosine (acosl)"},
      {"sinh", "vf80", R(&Sinh), "hyperbolic sine (sinhl)"},
      {"cosh", "vf80", R(&Cosh), "hyperbolic cosine (coshl)"},
      {"tanh", "vf80", R(&Tanh), "hyperbolic tangent (tanhl)"},
      {"exp", "vf80", R(&Exp), "e to the power x (expl)"},
      {"pow", "vf80vf80", R(&Pow), "x to the power y (powl)"},
      {"hypot", "vf80vf80", R(&Hypot), "sqrt(x*x + y*y) without overflow (hypotl)"},
      {"min", "vf80vf80", R(&Min), "smaller of two; a NaN loses (fminl)"},
      {"max", "vf80vf80", R(&Max), "larger of two; a NaN loses (fmaxl)"},
      {"floor", "vf80", R(&Floor), "round down (floorl)"},
      {"ceil", "vf80", R(&Ceil), "round up (ceill)"},
      {"trunc", "vf80", R(&Trunc), "round toward zero (truncl)"},
      {"round", "vf80", R(&Round), "round to nearest, halves away from zero (roundl)"},
  };
  Table.insert(Table.end(), Rest.begin(), Rest.end());
  return Table;
}

struct TConstant {
  const char* Name;
  const long double* Value;
  const char* Summary;
};

const TConstant Constants[] = {
    {"pi", &StandardPi, "3.14159265358979323851 (nearest extended value)"},
    {"e", &StandardE, "2.71828182845904523543 (nearest extended value)"},
};

// The tables are made once per trigonometry choice: registration then only
// copies them into the registry.
template <class T>
const std::vector<T>& Cached(TTrigCode Trig, std::vector<T> (*Make)(TTrigCode)) {
  static const std::vector<T> X87 = Make(tcX87), Library = Make(tcLibrary);
  return Trig == tcLibrary ? Library : X87;
}

}  // namespace
}  // namespace functions

bool RegisterStandardFunctions(TCtrlBlck& Target, TTrigCode Trig) {
  TX87Entry x87;
  using namespace functions;
  bool All = true;
  for (const TInline& F : Cached(Trig, &InlineTable))
    All &= Target.RegisterFuncExt(F.Name, F.Params, ctBuilt_in, frExtended, F.StackNeeds, nullptr,
                                  true, F.Code) != 0;
  for (const TLibrary& F : Cached(Trig, &LibraryTable))
    All &= Target.RegisterFuncExt(F.Name, F.Params, ctCdecl, frExtended, LibraryStackNeeds,
                                  F.Routine, true) != 0;
  // Compiled code only reads a variable; the storage is constant.
  for (const TConstant& C : Constants)
    All &= Target.RegisterVarExt(C.Name, vtExtended, const_cast<long double*>(C.Value)) != 0;
  return All;
}

const std::vector<TStandardEntry>& StandardEntries() {
  using namespace functions;
  static const std::vector<TStandardEntry> Entries = [] {
    std::vector<TStandardEntry> List;
    for (const TInline& F : InlineTable(tcX87)) List.push_back({F.Name, F.Params, true, F.Summary});
    for (const TLibrary& F : LibraryTable(tcX87)) List.push_back({F.Name, F.Params, false, F.Summary});
    for (const TConstant& C : Constants) List.push_back({C.Name, "", false, C.Summary});
    return List;
  }();
  return Entries;
}

}  // namespace fennic
