// The fennic tool as a user runs it: results, every kind of error with its
// exit status, the disassembly, standard input, timing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "fennic/core/target.h"
#include "fennic/functions/functions.h"
#include "tools/cli_runner.h"

namespace fennic::testing {
namespace {

using Args = std::vector<std::string>;

long double Number(const std::string& Text) { return std::strtold(Text.c_str(), nullptr); }

struct TResultCase {
  Args Arguments;
  const char* Printed;  // the exact first line
};

const TResultCase Results[] = {
    {{"1+2"}, "3"},
    {{"x*y", "x=1.5", "y=-4"}, "-6"},
    {{"n/k", "n:i32=5", "k:u8=200"}, "0.0250000000000000000003"},
    // Full extended precision: 0.1 as each floating-point type stores it.
    {{"t", "t:f80=0.1"}, "0.100000000000000000001"},
    {{"t", "t=0.1"}, "0.100000000000000005551"},
    {{"t", "t:f64=0.1"}, "0.100000000000000005551"},
    {{"t", "t:f32=0.1"}, "0.100000001490116119385"},
    // Every integer type at the ends of its range.
    {{"v", "v:i8=-128"}, "-128"},
    {{"v", "v:u8=255"}, "255"},
    {{"v", "v:i16=-32768"}, "-32768"},
    {{"v", "v:u16=65535"}, "65535"},
    {{"v", "v:i32=-2147483648"}, "-2147483648"},
    {{"v", "v:u32=4294967295"}, "4294967295"},
    {{"v", "v:u32=0xFFFFFFFF"}, "4294967295"},
    {{"v", "v:i64=-9223372036854775808"}, "-9223372036854775808"},
    {{"v", "v:i64=9223372036854775807"}, "9223372036854775807"},
    {{"a+b+c", "a:i8=1", "b:u16=2", "c:f32=0.5"}, "3.5"},
    // The pack's constants, and a variable that hides one.
    {{"pi"}, "3.14159265358979323851"},
    {{"e"}, "2.71828182845904523543"},
    {{"e*2", "e=5"}, "10"},
    {{"sqrt(x)", "x=2"}, "1.41421356237309504876"},
    {{"pow(2, 64)"}, "18446744073709551616"},
    {{"max(a, b) - min(a, b)", "a=3", "b=-4"}, "7"},
    // The extended grammar by default.
    {{"-x^2*-2 + 2^-1", "x=3"}, "18.5"},
    {{"2^0.5"}, "1.41421356237309504876"},
    {{"min(3, a, 2) + sum(1, 2, a)", "a=-4"}, "-5"},
    // Options anywhere; an expression that begins with a minus sign.
    {{"x=3", "--smart-load=off", "-x"}, "-3"},
    {{"--", "--x", "x=2"}, "2"},
    {{"X+x", "X=2"}, "4"},
    {{"1/0"}, "inf"},
    // Fewer digits: a value as a double shows it.
    {{"--digits", "17", "1e-3"}, "0.001"},
    {{"--digits=3", "pi"}, "3.14"},
};

TEST(Cli, PrintsTheValueAtFullPrecision) {
  for (const TResultCase& C : Results) {
    const TCliResult R = RunCli(C.Arguments);
    std::string Joined;
    for (const std::string& A : C.Arguments) Joined += A + " ";
    EXPECT_EQ(R.Status, 0) << Joined << R.Err;
    EXPECT_EQ(R.FirstLine(), C.Printed) << Joined << R.Err;
  }
}

TEST(Cli, IdentityOfTheExample) {
  for (const char* Trig : {"--align-mode=on", "--library-trig"}) {
    const TCliResult R = RunCli({Trig, "sin(x)*sin(x)+cos(x)*cos(x)", "x=0.7"});
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_LE(fabsl(Number(R.Out) - 1), 1e-15L) << R.Out;
  }
  // Through the C library the identity holds to the last bit here.
  EXPECT_EQ(RunCli({"--library-trig", "sin(x)*sin(x)+cos(x)*cos(x)", "x=0.7"}).FirstLine(), "1");
}

// Every setting flag and value compiles the same value.
TEST(Cli, SettingsFlagsKeepTheValue) {
  const Args Flags = {
      "--trig-mode=safe",         "--trig-mode=delphi",         "--parallel-execution=off",
      "--eliminate-brackets=standard", "--eliminate-brackets=agressive", "--out-of-order=standart",
      "--out-of-order=aggressive", "--align-mode=off",           "--back-operation=false",
      "--smart-load=0",           "--smart-load=yes",           "--grammar=standard"};
  const std::string Text = "(x+1)*(x-2)/(x+3) - sin(x)*(x*x-(x+x/2)) + x*x*x*x*x";
  const std::string Want = RunCli({Text, "x=1.25"}).FirstLine();
  ASSERT_FALSE(Want.empty());
  for (const std::string& F : Flags) EXPECT_EQ(RunCli({F, Text, "x=1.25"}).FirstLine(), Want) << F;
  EXPECT_EQ(RunCli({"--out-of-order=standard", "--eliminate-brackets=standard", "--parallel-execution=off",
                    "--align-mode=off", "--back-operation=off", "--smart-load=off", Text, "x=1.25"})
                .FirstLine(),
            Want);
}

struct TErrorCase {
  Args Arguments;
  const char* Name;
  int Column;  // 0: no position shown
  const char* Message;
};

const TErrorCase Errors[] = {
    {{"sin(x", "x=1"}, "eEdge", 4, "this '(' is never closed"},
    {{"((1)"}, "eEdge", 1, "this '(' is never closed"},
    {{"foo+1"}, "eUnknown", 1, "'foo' is neither a variable nor a function"},
    {{"x + lg(2)", "x=1"}, "eUnknown", 5, "'lg' is not a function; did you mean 'ln'?"},
    {{"1.2.3+2"}, "eNumFormat", 1, "'1.2.3' is not a number"},
    {{"2*"}, "eValExpected", 3, "the text ends where an operand is expected"},
    {{"2*-3", "--grammar=standard"}, "eValExpected", 3, "no sign may follow '*' or '/': write 2*(-3)"},
    {{""}, "eValExpected", 1, "the text is empty"},
    {{"1+)"}, "eValExpected", 3, "an operand is missing before ')'"},
    {{"sqrt()"}, "eValExpected", 6, "sqrt takes 1 argument"},
    {{"hypot(1,)"}, "eValExpected", 9, "argument 2 of hypot is empty"},
    {{"2 + pow(1)"}, "eParameter", 5, "pow takes 2 arguments, not 1"},
    {{"atan2(1,2,3)"}, "eParameter", 1, "atan2 takes 2 arguments, not 3"},
    {{"1+max(1)"}, "eParameter", 3, "max takes 2 to 32 arguments, not 1"},
    {{"--grammar=standard", "min(1,2,3)"}, "eParameter", 1, "min takes 2 arguments, not 3"},
    {{"x(2)", "x=1"}, "eOpExpected", 2, "'x' is a variable, not a function"},
    {{"x^2", "x=1", "--grammar=standard"}, "eOpExpected", 2, "there is no power operator: write pow(x, 2)"},
    {{std::string(3000, '(') + "1"}, "eEdge", 0, "brackets or calls are nested too deeply"},
};

TEST(Cli, CompileErrorsNameTheCodePositionAndMessage) {
  for (const TErrorCase& C : Errors) {
    const TCliResult R = RunCli(C.Arguments);
    const std::string Text = C.Arguments[0].substr(0, 20);
    EXPECT_EQ(R.Status, 1) << Text;
    EXPECT_TRUE(R.Out.empty()) << Text << ": " << R.Out;
    EXPECT_NE(R.Err.find(std::string(": ") + C.Name + ": " + C.Message), std::string::npos)
        << Text << ": " << R.Err;
    if (C.Column > 0) {
      EXPECT_NE(R.Err.find("^ column " + std::to_string(C.Column) + "\n"), std::string::npos)
          << Text << ": " << R.Err;
    } else {
      EXPECT_EQ(R.Err.find('^'), std::string::npos) << Text << ": " << R.Err;
    }
  }
}

// Where the error is, the caret stands under it.
TEST(Cli, CaretPointsIntoAnExcerptOfLongTexts) {
  std::string Long;
  for (int i = 0; i < 200; ++i) Long += "x+";
  Long += "qq+x";
  const TCliResult R = RunCli({Long, "x=1"});
  ASSERT_EQ(R.Status, 1);
  const std::size_t Line = R.Err.find("\n  ") + 3;
  const std::size_t Caret = R.Err.find('^');
  ASSERT_NE(Caret, std::string::npos) << R.Err;
  const std::size_t Column = Caret - R.Err.rfind('\n', Caret) - 1;
  EXPECT_EQ(R.Err.substr(Line + Column - 2, 2), "qq") << R.Err;
  EXPECT_LT(R.Err.size(), 400u);
  EXPECT_NE(R.Err.find("column 401"), std::string::npos);
}

const std::vector<std::pair<Args, const char*>> UsageErrors = {
    {{"--frobnicate", "1"}, "unknown option --frobnicate"},
    {{"--out-of-order=sideways", "1"}, "--out-of-order takes"},
    {{"--smart-load", "1"}, "--smart-load needs a value"},
    {{"--dump=yes", "1"}, "--dump takes no value"},
    {{"1", "--repeat"}, "--repeat needs a count"},
    {{"--repeat", "0", "1"}, "positive whole number"},
    {{"--repeat=-5", "1"}, "positive whole number"},
    {{"--repeat=12x", "1"}, "positive whole number"},
    {{"1", "2"}, "more than one expression"},
    {{"x*2", "x"}, "variable x needs a value"},
    {{"--digits=0", "1"}, "--digits takes a count from 1 to 21"},
    {{"--digits", "22", "1"}, "--digits takes a count from 1 to 21"},
    {{"1", "--digits"}, "--digits needs a count"},
    {{"n:i9=3", "n"}, "unknown type 'i9'"},
    {{"k:u8=256", "k"}, "not a value of type u8"},
    {{"k:i8=-129", "k"}, "not a value of type i8"},
    {{"k:u32=-1", "k"}, "not a value of type u32"},
    {{"k:i64=9223372036854775808", "k"}, "not a value of type i64"},
    {{"k:i32=1.5", "k"}, "not a value of type i32"},
    {{"x=1.5x", "x"}, "not a value of type f64"},
    {{"x=", "x"}, "not a value of type f64"},
    {{"x= 1", "x"}, "not a value of type f64"},
    {{"x=1", "X=2", "x"}, "given twice"},
    {{"fennicid=1", "1"}, "cannot be a variable name"},
};

TEST(Cli, UsageErrorsExitWithTwo) {
  for (const auto& [Arguments, Message] : UsageErrors) {
    const TCliResult R = RunCli(Arguments);
    EXPECT_EQ(R.Status, 2) << Arguments[0];
    EXPECT_NE(R.Err.find(Message), std::string::npos) << Arguments[0] << ": " << R.Err;
    EXPECT_TRUE(R.Out.empty()) << Arguments[0];
  }
}

TEST(Cli, HelpListsTheOptionsAndEveryPackName) {
  const TCliResult R = RunCli({"--help"});
  EXPECT_EQ(R.Status, 0);
  for (const char* Word : {"usage:", "--dump", "--repeat", "--digits", "--version", "--out-of-order", "f80"})
    EXPECT_NE(R.Out.find(Word), std::string::npos) << Word;
  for (const TStandardEntry& E : StandardEntries())
    EXPECT_NE(R.Out.find(" " + E.Name + (E.Name == "e" ? "\n" : "")), std::string::npos) << E.Name;

  const TCliResult V = RunCli({"--version"});
  EXPECT_EQ(V.Status, 0);
  EXPECT_EQ(V.Out, std::string("fennic 0.1.0 (") + (Target64 ? "x86-64" : "i386") + ")\n");
}

#if defined(FENNIC_CLI_DISASSEMBLES)
TEST(Cli, DumpShowsCodeAndPool) {
  const TCliResult R = RunCli({"--dump", "2.5*x + sqrt(y)", "x=3", "y:f32=4"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const std::string& D = R.Out;
  // Offset, bytes and instruction of the first and the last line.
  EXPECT_NE(D.find("routine: "), std::string::npos) << D;
  EXPECT_NE(D.find("\n  0000  "), std::string::npos) << D;
  EXPECT_NE(D.find("fsqrt"), std::string::npos) << D;
  EXPECT_NE(D.find("D9 FA"), std::string::npos) << D;
  EXPECT_NE(D.find("C3 "), std::string::npos) << D;
  EXPECT_NE(D.find("ret\n"), std::string::npos) << D;
  // Operands named: the variables, and the pool constant with its value.
  EXPECT_NE(D.find("; x\n"), std::string::npos) << D;
  EXPECT_NE(D.find("; y\n"), std::string::npos) << D;
  EXPECT_NE(D.find("= f32 2.5\n"), std::string::npos) << D;
  EXPECT_NE(D.find("constant pool: "), std::string::npos) << D;
  EXPECT_NE(D.find("00 00 20 40"), std::string::npos) << D;  // 2.5 as a single
  // The value comes last.
  EXPECT_EQ(D.substr(D.rfind('\n', D.size() - 2) + 1), "9.5\n");
}

TEST(Cli, DumpOfInlineFallbackDecodesEveryByte) {
  const TCliResult R = RunCli({"--dump", "tan(x)", "x=1"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out.find(".byte"), std::string::npos) << R.Out;
  for (const char* Op : {"fdivp", "fcmovne", "fnstsw", "fnsave", "frstor", Target64 ? "call rax" : "call ecx"})
    EXPECT_NE(R.Out.find(Op), std::string::npos) << Op << "\n" << R.Out;
}
#else
TEST(Cli, DumpWithoutDisassemblerShowsBytes) {
  const TCliResult R = RunCli({"--dump", "sqrt(y)", "y:f32=4"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_NE(R.Out.find("\n  0000  "), std::string::npos) << R.Out;
  EXPECT_NE(R.Out.find("D9 FA"), std::string::npos) << R.Out;
  EXPECT_NE(R.Err.find("bytes only"), std::string::npos) << R.Err;
}
#endif

TEST(Cli, StandardInputIsACalculator) {
  // One line out for every line in, in the same order.
  const TCliResult R = RunCli({"x=2"}, "1+1\n\n  \nfoo\nx*3\r\nsqrt(\n");
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Out, "2\n\n\nerror: eUnknown\n6\nerror: eEdge\n");
  EXPECT_NE(R.Err.find("line 4: eUnknown"), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("line 6: eEdge"), std::string::npos) << R.Err;

  const TCliResult Good = RunCli({"--library-trig"}, "pi\nsin(pi/2)\n");
  EXPECT_EQ(Good.Status, 0) << Good.Err;
  EXPECT_EQ(Good.Out, "3.14159265358979323851\n1\n");
  const TCliResult Empty = RunCli({}, "");
  EXPECT_EQ(Empty.Status, 0);
  EXPECT_TRUE(Empty.Out.empty() && Empty.Err.empty());
}

TEST(Cli, RepeatReportsTheTimePerEvaluation) {
  const TCliResult R = RunCli({"--repeat", "1000", "x*x", "x=3"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.FirstLine(), "9");
  const std::string Report = "\n1000 evaluations: ";
  const std::size_t At = R.Out.find(Report);
  ASSERT_NE(At, std::string::npos) << R.Out;
  EXPECT_GT(Number(R.Out.substr(At + Report.size())), 0) << R.Out;
  EXPECT_NE(R.Out.find(" ns per evaluation"), std::string::npos) << R.Out;
}

// Huge and deeply nested input gets a value or an error code, never a crash.
TEST(Cli, HugeInputsEndWithAValueOrAnError) {
  std::string Sum = "x";
  for (int i = 0; i < 200000; ++i) Sum += "+x";
  const TCliResult Long = RunCli({"x=1"}, Sum + "\n");
  EXPECT_EQ(Long.Signal, 0);
  EXPECT_EQ(Long.Status, 0) << Long.Err.substr(0, 200);
  EXPECT_EQ(Long.FirstLine(), "200001");

  const std::string Deep = std::string(100000, '(') + "1" + std::string(100000, ')');
  const std::string Calls = [] {
    std::string S;
    for (int i = 0; i < 50000; ++i) S += "sin(";
    return S + "1" + std::string(50000, ')');
  }();
  for (const std::string& Text : {Deep, Calls}) {
    const TCliResult R = RunCli({}, Text + "\n");
    EXPECT_EQ(R.Signal, 0);
    EXPECT_TRUE(R.Status == 0 || R.Status == 1) << R.Status;
    EXPECT_LT(R.Err.size(), 1000u);
  }
}

}  // namespace
}  // namespace fennic::testing
