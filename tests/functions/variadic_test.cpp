// Calls of 2 to 32 arguments under grExtended: min, max and sum of the pack,
// the nesting a host function opts in to, folding and refusals; grStandart
// keeps two arguments.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "functions/pack_fixture.h"

namespace fennic::testing {
namespace {

using TValues = std::vector<long double>;

// The pack under grExtended, with variables a0 .. a32.
struct TVariadicPack : TPackComponent {
  long double A[33] = {};
  explicit TVariadicPack(TGrammar Grammar = grExtended) {
    Fennic.SetGrammar(Grammar);
    for (int i = 0; i < 33; ++i) Fennic.RegisterVarExt("a" + std::to_string(i), vtExtended, &A[i]);
  }
  // Name(a0, a1, ...) with the variables set to Values, or with Values
  // written as constants (a NaN as 0/0).
  std::string Call(const std::string& Name, const TValues& Values, bool Constants) {
    std::string Text = Name + "(";
    for (std::size_t i = 0; i < Values.size(); ++i) {
      A[i] = Values[i];
      char Literal[40];
      std::snprintf(Literal, sizeof Literal, "%.21Lg", Values[i]);
      Text += (i ? ", " : "") + (!Constants ? "a" + std::to_string(i) : std::isnan(Values[i]) ? "0/0" : Literal);
    }
    return Text + ")";
  }
};

// 32 distinct values, -16 to 15, the smallest at (13 i + Shift) % 32 = 0.
TValues Spread(int Shift) {
  TValues V;
  for (int i = 0; i < 32; ++i) V.push_back((13 * i + Shift) % 32 - 16);
  return V;
}

TValues With(TValues V, std::size_t At, long double Value) {
  V[At] = Value;
  return V;
}

struct TCase {
  const char* Name;
  TValues Args;
  long double Want;
};

const long double Nan = NAN;

const TCase Cases[] = {
    {"min", {3, -1}, -1},
    {"min", {2, 0.5, 7}, 0.5},
    {"max", {2, 0.5, 7}, 7},
    {"min", Spread(0), -16},  // smallest first
    {"min", Spread(5), -16},  // in the middle (argument 8)
    {"max", Spread(5), 15},
    // A NaN loses wherever it stands; all NaN gives NaN.
    {"min", {Nan, 1, 2}, 1},
    {"min", {1, Nan, 2}, 1},
    {"min", {1, 2, Nan}, 1},
    {"max", {Nan, 1, 2}, 2},
    {"max", {Nan, Nan, Nan}, Nan},
    {"min", With(With(Spread(0), 0, Nan), 31, Nan), -15},
    {"max", With(Spread(5), 17, Nan), 15},
    // Sums from left to right, each rounded: 1e20 + 1 is 1e20.
    {"sum", {1.5, 2}, 3.5},
    {"sum", {1e20, 1, -1e20}, 0},
    {"sum", {1e20, -1e20, 1}, 1},
    {"sum", Spread(3), -16},
    {"sum", With(Spread(3), 31, 1e30), 1e30},
    {"sum", {1, Nan, 2}, Nan},
};

bool Same(long double Got, long double Want) { return std::isnan(Want) ? std::isnan(Got) : Got == Want; }

TEST(Variadic, ValuesAtRunTimeAndFolded) {
  TVariadicPack P;
  TFennic Plain(nullptr);
  Plain.SetExprString("7");
  for (const TCase& C : Cases) {
    const std::string Run = P.Call(C.Name, C.Args, false);
    const long double AtRunTime = P.Value(Run);
    EXPECT_TRUE(Same(AtRunTime, C.Want)) << Run << " = " << static_cast<double>(AtRunTime);
    const std::string Folded = P.Call(C.Name, C.Args, true);
    const long double AtCompileTime = P.Value(Folded);
    EXPECT_EQ(P.Fennic.CodeSize(), Plain.CodeSize()) << Folded;
    EXPECT_TRUE(Same(AtCompileTime, C.Want)) << Folded << " = " << static_cast<double>(AtCompileTime);
  }
}

// Constants fold where they pair; sum(1, 2, a0) compiles as sum(3, a0).
TEST(Variadic, ConstantsAmongVariablesFoldWhereTheyPair) {
  TVariadicPack P;
  P.A[0] = 3;
  for (const auto& [Text, Want] : {std::pair{"min(a0, 4, 3, 2)", 2}, {"sum(a0, 1e20, -1e20)", 0}, {"sum(3, a0)", 6}})
    EXPECT_EQ(P.Value(Text), Want) << Text;
  const std::size_t Folded = P.Fennic.CodeSize();
  EXPECT_EQ(P.Value("sum(1, 2, a0)"), 6);
  EXPECT_EQ(P.Fennic.CodeSize(), Folded);
}

// A pair that faults while folding counts as 0; the fault is placed on the
// call.
TEST(Variadic, FaultOfAPairIsPlacedOnTheCall) {
  TVariadicPack P;
  std::uint16_t Saved = 0;
  asm volatile("fnstcw %0" : "=m"(Saved));
  const std::uint16_t Unmasked = Saved & ~8u;  // OM clear
  for (const char* Text : {"2 + sum(1e4932, 1e4932, 1)", "2 + sum(1, 1e4932, 1e4932)"}) {
    asm volatile("fnclex\n\tfldcw %0" : : "m"(Unmasked));
    P.Fennic.SetExprString(Text);
    asm volatile("fnclex\n\tfldcw %0" : : "m"(Saved));
    const TDiagnostic D = P.Fennic.Diagnostic();
    EXPECT_EQ(D.Error, eDomain) << Text;
    EXPECT_EQ(D.Position, 4u) << Text;
    EXPECT_EQ(D.Length, 22u) << Text;
    EXPECT_NE(D.Message.find("faulted on a pair of its arguments"), std::string::npos) << D.Message;
  }
  EXPECT_EQ(P.Fennic.Evaluate(), 2);  // sum(1, 0)
  P.Fennic.SetExprString("2 + sum(1e4932, 1e4932, 1)");
  EXPECT_EQ(P.Fennic.Evaluate(), INFINITY);
}

struct TRefused {
  TGrammar Grammar;
  std::string Text;
  TError Error;
  std::size_t Position, Length;
  const char* Message;
};

std::string Zeros(int Count) {
  std::string Text;
  for (int i = 0; i < Count; ++i) Text += i ? ",0" : "0";
  return Text;
}

// Count levels of sum(..., 1, ..., 1, a0) of 32 arguments, 31 calls each.
std::string Levels(int Count) {
  std::string Text = "a0";
  for (int i = 0; i < Count; ++i) {
    Text = "sum(" + Text;
    for (int k = 0; k < 30; ++k) Text += ",1";
    Text += ",a0)";
  }
  return Text;
}

const TRefused Refusals[] = {
    {grExtended, "1 + min(1)", eParameter, 4, 3, "min takes 2 to 32 arguments, not 1"},
    {grExtended, "max()", eParameter, 0, 3, "max takes 2 to 32 arguments, not 0"},
    {grExtended, "sum(" + Zeros(33) + ")", eParameter, 0, 3, "sum takes 2 to 32 arguments, not 33"},
    {grExtended, "atan2(1, 2, 3)", eParameter, 0, 5, "atan2 takes 2 arguments, not 3"},
    {grExtended, "min(1, 2, , 3)", eValExpected, 10, 0, "argument 3 of min is empty"},
    {grExtended, "max(1, 2, 3, foo)", eUnknown, 13, 3, "'foo' is neither a variable nor a function"},
    {grExtended, Levels(135), eEdge, TDiagnostic::NoPosition, 0, "brackets or calls are nested too deeply"},
    {grStandart, "min(1, 2, 3)", eParameter, 0, 3, "min takes 2 arguments, not 3"},
    {grStandart, "x + sum(1, 2, x)", eParameter, 4, 3, "sum takes 2 arguments, not 3"},
    {grStandart, "max(1)", eParameter, 0, 3, "max takes 2 arguments, not 1"},
};

TEST(Variadic, WrongCountsAreRefusedWithTheirPlace) {
  TVariadicPack Deep;
  // Deep nesting compiles, or is refused where the stack is short for it.
  for (int Count : {32, 64, 128}) {
    Deep.Fennic.SetExprString(Levels(Count));
    if (Deep.Fennic.CompError() == eNone) EXPECT_EQ(Deep.Fennic.Evaluate(), Count * 30);  // a0 = 0
    else EXPECT_EQ(Deep.Fennic.CompError(), eEdge);
  }
  EXPECT_EQ(Deep.Value(Levels(32)), 32 * 30);
  for (const TRefused& C : Refusals) {
    TVariadicPack P(C.Grammar);
    P.Fennic.SetExprString(C.Text);
    const TDiagnostic D = P.Fennic.Diagnostic();
    const std::string Shown = C.Text.substr(0, 40);
    EXPECT_EQ(D.Error, C.Error) << Shown;
    EXPECT_EQ(D.Position, C.Position) << Shown;
    EXPECT_EQ(D.Length, C.Length) << Shown;
    EXPECT_EQ(D.Message, C.Message) << Shown;
  }
}

// Two-argument calls compile to the same bytes under both grammars.
TEST(Variadic, TwoArgumentsCompileAsUnderTheStandardGrammar) {
  TVariadicPack P(grStandart);
  for (const char* Text : {"min(a0, max(a1, a2)) + sum(a3, min(a4, a5))", "sum(sum(a0, a1), a2*max(a3, a4))"}) {
    P.Fennic.SetGrammar(grStandart);
    P.Compile(Text);
    const std::vector<std::uint8_t> Standard(P.Fennic.CodeBytes(), P.Fennic.CodeBytes() + P.Fennic.CodeSize());
    P.Fennic.SetGrammar(grExtended);
    P.Compile(Text);
    EXPECT_EQ(std::vector<std::uint8_t>(P.Fennic.CodeBytes(), P.Fennic.CodeBytes() + P.Fennic.CodeSize()), Standard)
        << Text;
  }
}

// A host function that opts in: its nesting seen through a function whose
// grouping shows (10 a + b), and its depth (1 + the deeper argument).
FENNIC_CDECL long double Digits(long double A, long double B) { return 10 * A + B; }
FENNIC_CDECL long double Depth(long double A, long double B) { return 1 + (A > B ? A : B); }

TEST(Variadic, HostFunctionsNestBalancedOrInOrder) {
  TVariadicPack P;
  const struct {
    const char* Name;
    void* Routine;
    TVariadic Variadic;
  } Functions[] = {{"db", reinterpret_cast<void*>(&Digits), vaBalanced},
                   {"do", reinterpret_cast<void*>(&Digits), vaInOrder},
                   {"hb", reinterpret_cast<void*>(&Depth), vaBalanced},
                   {"ho", reinterpret_cast<void*>(&Depth), vaInOrder}};
  for (const auto& F : Functions) {
    TFunction Record{F.Name, {{vtExtended, psValue}, {vtExtended, psValue}}, ctCdecl, frExtended, 8, F.Routine, true, {}};
    Record.Variadic = F.Variadic;
    ASSERT_NE(P.Fennic.RegisterFunc(Record), 0) << F.Name;
  }
  const TCase Nestings[] = {
      {"db", {1, 2}, 12},
      {"db", {1, 2, 3}, 123},                // db(db(1, 2), 3)
      {"db", {1, 2, 3, 4}, 154},             // db(db(1, 2), db(3, 4))
      {"db", {1, 2, 3, 4, 5}, 1545},         // db(db(db(1, 2), db(3, 4)), 5)
      {"db", {1, 2, 3, 4, 5, 6}, 1596},      // db(db(db(1, 2), db(3, 4)), db(5, 6))
      {"do", {1, 2, 3, 4}, 1234},
      {"hb", TValues(17, 0), 5},
      {"hb", TValues(32, 0), 5},
      {"ho", TValues(32, 0), 31},
  };
  for (const TCase& C : Nestings)
    for (bool Constants : {false, true}) {
      const std::string Text = P.Call(C.Name, C.Args, Constants);
      EXPECT_EQ(P.Value(Text), C.Want) << Text;
    }
}

}  // namespace
}  // namespace fennic::testing
