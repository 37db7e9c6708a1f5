// Compile-time calls: what each calling convention's routine receives, the
// result read by its type, and faults that end as eDomain.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "fennic/codegen/fennic.h"
#include "fennic/core/target.h"
#include "fennic/simplifier/hostcall.h"
#include "fennic/core/x87guard.h"
#include "support/hostfuncs_recording.h"
#include "support/never_called.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

std::int32_t gInt = 3;
double gDouble = 2;

// Library code as a Foldable routine: compiled for SSE on x86-64, so it
// raises its flags in MXCSR there and in the x87 unit on i386.
extern "C" __attribute__((force_align_arg_pointer)) double HostAsin(double X) { return std::asin(X); }

// Recurses until the stack is gone.
extern "C" __attribute__((force_align_arg_pointer, noinline)) double HostExhaustStack(double X) {
  volatile char pad[512];
  pad[0] = static_cast<char>(X);
  if (X < 0) return X;
  return HostExhaustStack(X + pad[0]) + pad[1];
}

jmp_buf gEscape;
// C-style error handling out of a compile-time call.
extern "C" __attribute__((force_align_arg_pointer)) double HostEscape(double) { longjmp(gEscape, 1); }

// The host's own handler, which counts the signals it gets and leaves by
// siglongjmp: under qemu-i386 a handler that returns gives its thread the
// TLS base of the thread created last.
volatile sig_atomic_t gHostSignals = 0;
sigjmp_buf gInHost;
void HostHandler(int) {
  gHostSignals = gHostSignals + 1;
  siglongjmp(gInHost, 1);
}
void RaiseInHost(int Signal) {
  if (sigsetjmp(gInHost, 1) == 0) raise(Signal);
}
struct sigaction InstallHostHandler(int Signal) {
  struct sigaction mine {}, previous {};
  mine.sa_handler = HostHandler;
  sigemptyset(&mine.sa_mask);
  sigaction(Signal, &mine, &previous);
  gHostSignals = 0;
  return previous;
}

bool HaveSse() {
#if defined(__x86_64__)
  return true;
#else
  return __builtin_cpu_supports("sse");
#endif
}

std::uint32_t Mxcsr() {
  std::uint32_t m = 0;
  if (HaveSse()) asm volatile("stmxcsr %0" : "=m"(m));
  return m;
}

// The bytes a routine should find on its stack, lowest address first.
class TImage {
 public:
  template <class T>
  TImage& Put(T Value, std::size_t Slot = sizeof(T)) {
    const std::size_t at = FBytes.size();
    FBytes.resize(at + Slot, 0);
    const std::size_t size = std::is_same_v<T, long double> ? 10 : sizeof(T);
    std::memcpy(FBytes.data() + at, &Value, std::min(Slot, size));
    return *this;
  }
  const std::vector<std::uint8_t>& Bytes() const { return FBytes; }

 private:
  std::vector<std::uint8_t> FBytes;
};

template <class T>
std::uint64_t Bits(T Value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &Value, sizeof Value);
  return bits;
}

// In a 64-bit program: what the routine found in RDI, RSI, RDX, RCX, R8, R9
// and in XMM0 to XMM7 (the registers named, the rest unused).
void ExpectArgumentRegisters(std::vector<std::uint64_t> Int, std::vector<std::uint64_t> Vector) {
  Int.resize(6);
  Vector.resize(8);
  EXPECT_EQ(std::vector<std::uint64_t>(HostRecord.IntArgs, HostRecord.IntArgs + 6), Int);
  EXPECT_EQ(std::vector<std::uint64_t>(HostRecord.VectorArgs, HostRecord.VectorArgs + 8), Vector);
}

class CalcFuncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHostRecord(42);
    ResetInlineRecord(42);
    ASSERT_NE(S.RegisterVarExt("x", vtInt32, &gInt), 0);
    ASSERT_NE(S.RegisterVarExt("d", vtDouble, &gDouble), 0);
    ASSERT_NE(S.RegisterFuncExt("h", "vi32", ctCdecl, frDouble, 0, NeverCalled, false), 0);
  }
  void Register(const TRecorder& R, bool Foldable = true) {
    ASSERT_NE(S.RegisterFuncExt(R.Name, R.ParamSpec, R.CallType, R.FuncResult, 0, R.Address, Foldable), 0) << R.Name;
  }
  void RegisterInline(const char* Name, const char* ParamText, TFuncResult Result, std::int32_t StackNeeds,
                      const std::vector<std::uint8_t>& Code) {
    ASSERT_NE(S.RegisterFuncExt(Name, ParamText, ctBuilt_in, Result, StackNeeds, nullptr, true, Code), 0) << Name;
  }
  // The call folds into one table constant holding the routine's result.
  void ExpectFolded(const char* Text, long double Value) {
    EXPECT_EQ(S.Simplified(Text), "K") << Text;
    EXPECT_EQ(S.FCompError, eNone) << Text;
    EXPECT_EQ(S.Values(), std::vector<long double>{Value}) << Text;
  }
  TSimplerProbe S;
};

TEST_F(CalcFuncTest, OneCallPerConventionWithArgumentsInPlace) {
  // f(2*3, -5): 6 as a double, -5 as an integer.
  const TImage images[4] = {
      TImage().Put(6.0),                // ctRegister: -5 in EAX
      TImage().Put(-5).Put(6.0),        // ctPascal: first argument highest
      TImage().Put(6.0).Put(-5),        // ctCdecl: first argument lowest
      TImage().Put(6.0).Put(-5),        // ctStdcall
  };
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(RecPairs[k].Name);
    Register(RecPairs[k]);
    ResetHostRecord(1.5);
    ExpectFolded((std::string(RecPairs[k].Name) + "(2*3, -5)").c_str(), 1.5);
    EXPECT_EQ(HostRecord.Calls, 1);
    EXPECT_EQ(HostRecord.Values, (std::vector<long double>{6, -5}));
    if constexpr (Target64) {
      // Every convention: -5 in RDI (as MOV EDI leaves it), 6 in XMM0.
      ExpectArgumentRegisters({0xFFFFFFFBu}, {Bits(6.0)});
      EXPECT_TRUE(HostRecord.Stack.empty());
    } else {
      EXPECT_EQ(HostRecord.Stack, images[k].Bytes());
    }
    EXPECT_EQ(HostRecord.X87InUse, 0);
    EXPECT_EQ(HostRecord.ControlWord, X87ControlWord());
  }
  // ctBuilt_in: 6 in ST0, -5 in EAX.
  RegisterInline("pair_inline", "vf64vi32", frDouble, 0, RecordingInlineCode(0, 1));
  ResetInlineRecord(2.5);
  ExpectFolded("pair_inline(2*3, -5)", 2.5);
  EXPECT_EQ(InlineRecord.X87[0], 6);
  EXPECT_EQ(InlineRecord.Registers[0], 0xFFFFFFFBu);
}

TEST_F(CalcFuncTest, CdeclFourIntegersGetSixteenBytesFirstLowest) {
  Register(RecCdecl4);
  ExpectFolded("rec_cdecl4(-1, 2, -3, 4)", 42);
  EXPECT_EQ(HostRecord.Values, (std::vector<long double>{-1, 2, -3, 4}));
  if constexpr (Target64) {
    ExpectArgumentRegisters({0xFFFFFFFFu, 2, 0xFFFFFFFDu, 4}, {});
    EXPECT_TRUE(HostRecord.Stack.empty());
  } else {
    EXPECT_EQ(HostRecord.Stack, TImage().Put(-1).Put(2).Put(-3).Put(4).Bytes());
  }
}

TEST_F(CalcFuncTest, ArgumentsPastTheRegistersGoToTheStack) {
  Register(RecOverflow);
  ExpectFolded("rec_overflow(-1, 0.5, -2, 0.25, 3, 0.125, -4, 1.5, 5, 2.5, -6, 3.5, -7, 0.1, 4.5, 5.5, 6.5)", 42);
  EXPECT_EQ(HostRecord.Values, (std::vector<long double>{-1, 0.5, -2, 0.25, 3, 0.125, -4, 1.5, 5, 2.5, -6, 3.5, -7,
                                                         0.1L, 4.5, 5.5, 6.5}));
  if constexpr (Target64) {
    // Six integers and eight doubles in registers; the seventh integer, the
    // extended value in a 16-byte slot on a 16-byte boundary and the ninth
    // double on the stack.
    ExpectArgumentRegisters(
        {0xFFFFFFFFu, 0xFFFFFFFEu, 3, 0xFFFFFFFCu, 5, static_cast<std::uint64_t>(-6)},
        {Bits(0.5f), Bits(0.25), Bits(0.125), Bits(1.5), Bits(2.5), Bits(3.5), Bits(4.5), Bits(5.5)});
    EXPECT_EQ(HostRecord.Stack, TImage().Put(-7, 8).Put(std::int64_t{0}).Put(0.1L, 16).Put(6.5).Bytes());
  } else {
    EXPECT_EQ(HostRecord.Stack, TImage()
                                    .Put(-1).Put(0.5f).Put(-2).Put(0.25).Put(3).Put(0.125).Put(-4).Put(1.5).Put(5)
                                    .Put(2.5).Put(std::int64_t{-6}).Put(3.5).Put(-7).Put(0.1L, 12).Put(4.5).Put(5.5)
                                    .Put(6.5).Bytes());
  }
}

TEST_F(CalcFuncTest, MixedParametersInEveryStackConvention) {
  const char* args = "(-7, 9876543210123, 0.1, 0.1, 0.1, 65535)";
  const std::vector<long double> values = {-7, 9876543210123.0L, 0.1f, 0.1, 0.1L, 65535};
  const TImage upward = TImage().Put(-7).Put(9876543210123LL).Put(0.1f).Put(0.1).Put(0.1L, 12).Put(65535);
  const TImage downward = TImage().Put(65535).Put(0.1L, 12).Put(0.1).Put(0.1f).Put(9876543210123LL).Put(-7);
  // x86-64: the integers and the single and double in registers by the
  // order of the declaration (reversed for ctPascal), the extended value on
  // the stack.
  const std::vector<std::uint64_t> ints = {0xFFFFFFF9u, 9876543210123, 65535}, vectors = {Bits(0.1f), Bits(0.1)};
  const std::vector<std::uint64_t> intsReversed(ints.rbegin(), ints.rend());
  const std::vector<std::uint64_t> vectorsReversed(vectors.rbegin(), vectors.rend());
  const struct {
    const TRecorder* Recorder;
    const TImage* Image;
    const std::vector<std::uint64_t>* Ints;
    const std::vector<std::uint64_t>* Vectors;
  } cases[] = {{&RecCdeclMixed, &upward, &ints, &vectors},
               {&RecStdcallMixed, &upward, &ints, &vectors},
               {&RecPascalMixed, &downward, &intsReversed, &vectorsReversed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Recorder->Name);
    Register(*c.Recorder);
    ResetHostRecord(-0.5);
    ExpectFolded((std::string(c.Recorder->Name) + args).c_str(), -0.5);
    EXPECT_EQ(HostRecord.Values, values);
    if constexpr (Target64) {
      ExpectArgumentRegisters(*c.Ints, *c.Vectors);
      EXPECT_EQ(HostRecord.Stack, TImage().Put(0.1L, 16).Bytes());
    } else {
      EXPECT_EQ(HostRecord.Stack, c.Image->Bytes());
    }
  }
}

TEST_F(CalcFuncTest, RegisterConventionFillsEaxEdxEcxThenTheStackFirstHighest) {
  Register(RecRegisterMixed);
  ExpectFolded("rec_register(1, 2, 0.5, -3, 0.25, 200, 0.1, 7)", 42);
  EXPECT_EQ(HostRecord.Values, (std::vector<long double>{1, 2, 0.5, -3, 0.25, 200, 0.1L, 7}));
  if constexpr (Target64) {
    // Declared a, g, f, h, e, d, c, b: a, g, f, h, b in RDI to R8, d and c
    // in XMM0 and XMM1, e on the stack.
    ExpectArgumentRegisters({1, 0xFFFFFFFDu, 200, 7, 2}, {Bits(0.25), Bits(0.5f)});
    EXPECT_EQ(HostRecord.Stack, TImage().Put(0.1L, 16).Bytes());
  } else {
    // Stack parameters b, c, d, e, h: h lowest, b highest.
    EXPECT_EQ(HostRecord.Stack, TImage().Put(7).Put(0.1L, 12).Put(0.25).Put(0.5f).Put(2LL).Bytes());
  }

  Register(RecRegisterRaw);
  ExpectFolded("rec_raw(-5, 65535, -1)", 42);
  EXPECT_EQ(HostRecord.Registers[0], 0xFFFFFFFBu);
  EXPECT_EQ(HostRecord.Registers[1], 0x0000FFFFu);
  EXPECT_EQ(HostRecord.Registers[2], 0xFFFFFFFFu);
  if constexpr (Target64) ExpectArgumentRegisters({0xFFFFFFFBu, 0xFFFFu, 0xFFFFFFFFu}, {});
}

TEST_F(CalcFuncTest, InlineCodeGetsX87ArgumentsWithinItsRoomAndTheRestOnTheStack) {
  // StackNeeds 7 leaves room for one x87 argument; the others go to the
  // stack, first highest: b (8), c (12), e (4) from the top down.
  RegisterInline("mix", "vf64vi64vf80vi32vf32", frExtended, 7, RecordingInlineCode(24, 1));
  ExpectFolded("mix(1.5, -2, 0.1, -9, 0.1)", 42);
  EXPECT_EQ(InlineRecord.X87[0], 1.5);
  EXPECT_EQ(InlineRecord.Registers[0], static_cast<std::uint32_t>(-9));
  const std::vector<std::uint8_t> stack(InlineRecord.Stack, InlineRecord.Stack + 24);
  EXPECT_EQ(stack, TImage().Put(0.1f).Put(0.1L, 12).Put(-2LL).Bytes());

  // All three fit with StackNeeds 5: the last argument ends in ST0.
  RegisterInline("tri", "vf64vf32vf80", frExtended, 5, RecordingInlineCode(0, 3));
  ResetInlineRecord(7);
  ExpectFolded("tri(1, 2, 3)", 7);
  EXPECT_EQ(InlineRecord.X87[0], 3);
  EXPECT_EQ(InlineRecord.X87[1], 2);
  EXPECT_EQ(InlineRecord.X87[2], 1);
}

TEST_F(CalcFuncTest, InlineSineFolds) {
  RegisterInline("sin", "vf80", frExtended, 0, {0xD9, 0xFE});
  long double expected = 1;
  asm("fsin" : "+t"(expected));
  ExpectFolded("sin(1)", expected);
  EXPECT_EQ(S.Simplified("2*sin(0.5+0.5)*x"), "K*X");
  EXPECT_EQ(S.Values(), std::vector<long double>{2 * expected});
}

TEST_F(CalcFuncTest, NarrowingOverflowPassesInfinity) {
  Register(RecCdeclMixed);
  ExpectFolded("rec_cdecl(0, 0, 1e39, 1e300*1e10, 1e4000, 0)", 42);
  EXPECT_EQ(HostRecord.Values[2], INFINITY);
  EXPECT_EQ(HostRecord.Values[3], INFINITY);
  EXPECT_EQ(HostRecord.Values[4], 1e4000L);
  ExpectFolded("rec_cdecl(0, 0, -1e39, 1e-50, 0, 0)", 42);
  EXPECT_EQ(HostRecord.Values[2], -INFINITY);
  EXPECT_EQ(HostRecord.Values[3], 1e-50);
  ExpectFolded("rec_cdecl(0, 0, 1e-50, -1e-330, 0, 0)", 42);
  EXPECT_EQ(HostRecord.Values[2], 0);
  EXPECT_EQ(HostRecord.Values[3], 0);
  EXPECT_TRUE(std::signbit(HostRecord.Values[3]));
  // With overflow unmasked as well: still infinity, not a fault.
  TScopedControlWord cw(Unmasked(X87Overflow));
  ExpectFolded("rec_cdecl(0, 0, 1e39, 0, 0, 0)", 42);
  EXPECT_EQ(HostRecord.Values[2], INFINITY);
}

TEST_F(CalcFuncTest, ResultsAreReadByTheirType) {
  struct TCase {
    TFuncResult Result;
    std::uint32_t (*Int)();
    long double Expected;
  };
  const TCase ints[] = {
      {frInt8, HostReturnEax, -128},          {frUInt8, HostReturnEax, 128},
      {frInt16, HostReturnEax, -128},         {frUInt16, HostReturnEax, 65408},
      {frInt32, HostReturnEax, -128},         {frUInt32, HostReturnEax, 4294967168.0L},
  };
  int n = 0;
  for (const TCase& c : ints) {
    const std::string name = "int" + std::to_string(n++);
    ASSERT_NE(S.RegisterFuncExt(name, "", ctCdecl, c.Result, 0, reinterpret_cast<void*>(c.Int), true), 0);
    ExpectFolded(name.c_str(), c.Expected);
  }
  const std::pair<void*, TFuncResult> others[] = {
      {reinterpret_cast<void*>(&HostReturnEdxEax), frInt64},
      {reinterpret_cast<void*>(&HostReturnSingle), frSingle},
      {reinterpret_cast<void*>(&HostReturnDouble), frDouble},
      {reinterpret_cast<void*>(&HostReturnExtended), frExtended},
  };
  const long double expected[] = {-2147483648.0L, 0.1f, 0.1, 0.1L};
  for (int i = 0; i < 4; ++i) {
    const std::string name = "other" + std::to_string(i);
    ASSERT_NE(S.RegisterFuncExt(name, "", ctCdecl, others[i].second, 0, others[i].first, true), 0);
    ExpectFolded(name.c_str(), expected[i]);
  }
}

TEST_F(CalcFuncTest, WhatIsNotFolded) {
  Register(RecPairs[2]);
  ASSERT_NE(S.RegisterFuncExt("byref", "rf64", ctCdecl, frDouble, 0, RecNoParams.Address, true), 0);
  Register(TRecorder{"slow", "vf64vi32", ctCdecl, frDouble, RecPairs[2].Address, 12}, false);
  const std::pair<const char*, const char*> cases[] = {
      {"pair_cdecl(d, 1)", "@pair_cdecl(D,#4:1)"},
      {"pair_cdecl(1, x)", "@pair_cdecl(K,X)"},
      {"byref(d)", "@byref(d)"},
      {"slow(1, 2)", "@slow(K,#4:2)"},
  };
  for (auto [text, coded] : cases) {
    EXPECT_EQ(S.Simplified(text), coded);
    EXPECT_EQ(S.FCompError, eNone);
  }
  EXPECT_EQ(HostRecord.Calls, 0);
}

TEST_F(CalcFuncTest, ComputedCallsInsideIntegerArguments) {
  ASSERT_NE(S.RegisterFuncExt("gi", "vf64", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostReturnEax), true), 0);
  ASSERT_NE(S.RegisterFuncExt("gn", "vf64", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostReturnEax), false), 0);
  ASSERT_NE(S.RegisterFuncExt("g0", "", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostReturnEax), true), 0);
  const std::pair<const char*, const char*> cases[] = {
      {"h(gi((1+2)))", "@h(#4:-128)"},  // the inner brackets are read from the outer one
      {"h(-gi(1))", "@h(#4:128)"},
      {"h(-g0)", "@h(#4:128)"},
      {"h(-gn(1))", "@h(-@gn(K))"},
      {"h(gn(d))", "@h(@gn(D))"},
  };
  for (auto [text, coded] : cases) {
    EXPECT_EQ(S.Simplified(text), coded) << text;
    EXPECT_EQ(S.FCompError, eNone);
  }
  // The computed call's arguments leave nothing in the table.
  EXPECT_EQ(S.Simplified("2*h(gi(3))"), "K*@h(#4:-128)");
  EXPECT_EQ(S.Values(), std::vector<long double>{2});
}

TEST_F(CalcFuncTest, RoundingOfAComputedCallFollowsTheRoundingMode) {
  // Integer results are whole numbers; the rounding step itself is checked here.
  const std::pair<long double, std::int64_t> nearest[] = {{2.5, 2}, {3.5, 4}, {-2.5, -2}, {-0.5, 0}, {1e18L + 0.5L, 1000000000000000000}};
  for (auto [value, rounded] : nearest) {
    std::int64_t r = 0;
    EXPECT_EQ(GuardedRound(value, r), 0);
    EXPECT_EQ(r, rounded) << value;
  }
  TScopedControlWord truncate(DefaultControlWord | 0x0C00);
  std::int64_t r = 0;
  EXPECT_EQ(GuardedRound(3.5, r), 0);
  EXPECT_EQ(r, 3);
  EXPECT_EQ(GuardedRound(NAN, r), 0);
  EXPECT_EQ(r, INT64_MIN);
}

class CalcFuncFaultTest : public CalcFuncTest {
 protected:
  void SetUp() override {
    CalcFuncTest::SetUp();
    ASSERT_NE(S.RegisterFuncExt("dz", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&HostDivideByZero), true), 0);
    ASSERT_NE(S.RegisterFuncExt("rd", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&HostReadAddress16), true), 0);
    ASSERT_NE(S.RegisterFuncExt("dzi", "vf64", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostReadAddress16), true), 0);
    // An address no page maps: the call faults at its first instruction.
    ASSERT_NE(S.RegisterFuncExt("nowhere", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(16), true), 0);
    RegisterInline("ud2", "vf64", frDouble, 0, {0x0F, 0x0B});
    RegisterInline("fdivz", "vf64", frDouble, 0, {0xD9, 0xEE, 0xDE, 0xF9});  // fldz; fdivp: x/0
    RegisterInline("junk", "", frDouble, 0, {0xD9, 0xE8, 0xD9, 0xE8});       // two values, one expected
    ASSERT_NE(S.RegisterFuncExt("sum", "vi32vi32", ctStdcall, frInt32, 0, reinterpret_cast<void*>(&HostCdeclSum), true), 0);
  }
};

TEST_F(CalcFuncFaultTest, FaultsGiveEDomainAndZeroAndTheCompilationGoesOn) {
  struct TCase {
    std::uint16_t ControlWord;
    const char* Text;
  };
  const TCase cases[] = {
      {Unmasked(X87ZeroDivide), "dz(1)"},
      {Unmasked(X87ZeroDivide), "fdivz(1)"},
      {DefaultControlWord, "rd(1)"},
      {DefaultControlWord, "ud2(1)"},
      {DefaultControlWord, "junk"},
      {DefaultControlWord, "nowhere(1)"},
  };
  struct sigaction before[4], after[4];
  const int signals[4] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
  for (int i = 0; i < 4; ++i) sigaction(signals[i], nullptr, &before[i]);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TScopedControlWord cw(c.ControlWord);
    // The faulting call counts 0 in a sum that goes on.
    EXPECT_EQ(S.Simplified(std::string("2*") + c.Text + "+x*d"), "X*D");
    EXPECT_EQ(S.FCompError, eDomain);
    EXPECT_TRUE(S.Values().empty());
    EXPECT_EQ(X87ControlWord(), c.ControlWord);
    TX87Env env;
    asm volatile("fnstenv %0\n\tfldcw %0" : "=m"(env));
    EXPECT_EQ(env.TagWord, 0xFFFF) << "x87 stack not empty";
    EXPECT_EQ(env.StatusWord & ~c.ControlWord & X87AllExceptions, 0) << "fault left pending";
  }
  for (int i = 0; i < 4; ++i) {
    sigaction(signals[i], nullptr, &after[i]);
    EXPECT_EQ(reinterpret_cast<void*>(after[i].sa_handler), reinterpret_cast<void*>(before[i].sa_handler)) << signals[i];
  }
  // In an integer argument the faulting call passes 0.
  EXPECT_EQ(S.Simplified("h(-dzi(1))"), "@h(#4:0)");
  EXPECT_EQ(S.FCompError, eDomain);
}

// A flag the routine raised counts by the host's x87 control word in
// whichever unit it was raised; the host's MXCSR is back afterwards.
TEST_F(CalcFuncFaultTest, FlagsOfLibraryCodeAreFaultsOnBothTargetsAlike) {
  ASSERT_NE(S.RegisterFuncExt("asin", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&HostAsin), true), 0);
  struct TCase {
    std::uint16_t ControlWord;
    const char* Text;
    TError Error;
  };
  const TCase cases[] = {
      {Unmasked(X87Invalid), "asin(2)", eDomain},
      {DefaultControlWord, "asin(2)", eNone},
      {Unmasked(X87Precision), "asin(0.5)", eDomain},
      {Unmasked(X87Invalid), "asin(0.5)", eNone},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TScopedControlWord cw(c.ControlWord);
    const std::uint32_t before = Mxcsr();
    EXPECT_EQ(S.Simplified(c.Text), "K");
    EXPECT_EQ(S.FCompError, c.Error);
    EXPECT_EQ(Mxcsr(), before);
  }
}

TEST_F(CalcFuncFaultTest, MaskedExceptionsAreNoFault) {
  ExpectFolded("dz(1)", INFINITY);
  ExpectFolded("fdivz(-1)", -INFINITY);
}

TEST_F(CalcFuncFaultTest, ARoutineThatLeavesItsArgumentsGetsTheStackBackAllTheSame) {
  ExpectFolded("sum(2, 3)", 5);
  ExpectFolded("sum(sum(1, 1), 3)", 5);
}

TEST_F(CalcFuncFaultTest, HostSignalHandlersStayInChargeOutsideTheCall) {
  const struct sigaction previous = InstallHostHandler(SIGILL);
  EXPECT_EQ(S.Simplified("ud2(1)"), "K");
  EXPECT_EQ(S.FCompError, eDomain);
  EXPECT_EQ(gHostSignals, 0);
  RaiseInHost(SIGILL);
  EXPECT_EQ(gHostSignals, 1);
  sigaction(SIGILL, &previous, nullptr);
}

TEST(HostCallSession, SignalsBetweenCallsGoToTheHostsHandler) {
  const struct sigaction previous = InstallHostHandler(SIGILL);
  {
    THostCallSession session;
    TFunction fn;
    fn.CallType = ctCdecl;
    fn.FuncResult = frDouble;
    THostCall call;
    ASSERT_TRUE(PlaceArguments(fn, {}, call));
    call.Routine = reinterpret_cast<void*>(&HostReturnDouble);
    call.Result = frDouble;
    Extended value = 0;
    ASSERT_TRUE(CallHostRoutine(call, value));
    EXPECT_EQ(value, 0.1);
    struct sigaction during {};
    sigaction(SIGILL, nullptr, &during);
    EXPECT_NE(reinterpret_cast<void*>(during.sa_handler), reinterpret_cast<void*>(&HostHandler));
    RaiseInHost(SIGILL);  // outside a call: passed on
    EXPECT_EQ(gHostSignals, 1);
  }
  struct sigaction after {};
  sigaction(SIGILL, nullptr, &after);
  EXPECT_EQ(reinterpret_cast<void*>(after.sa_handler), reinterpret_cast<void*>(&HostHandler));
  sigaction(SIGILL, &previous, nullptr);
}

// A handler the host installs while the session holds the signals is the
// one in place after it.
TEST(HostCallSession, AHandlerInstalledDuringTheSessionStays) {
  struct sigaction original {};
  sigaction(SIGILL, nullptr, &original);
  {
    THostCallSession session;
    ASSERT_TRUE(session.HoldHandlers());
    InstallHostHandler(SIGILL);
  }
  struct sigaction after {};
  sigaction(SIGILL, nullptr, &after);
  EXPECT_EQ(reinterpret_cast<void*>(after.sa_handler), reinterpret_cast<void*>(&HostHandler));
  sigaction(SIGILL, &original, nullptr);
}

// The handlers run on a stack of their own; the thread's alternate stack
// is the host's again afterwards.
TEST(HostCallSession, AStackOverflowInARoutineIsAFault) {
  RunWithStack(1u << 20, [] {
    stack_t before{}, after{};
    sigaltstack(nullptr, &before);
    TSimplerProbe S;
    ASSERT_NE(S.RegisterFuncExt("deep", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&HostExhaustStack), true), 0);
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(S.Simplified("deep(1)"), "K");
      EXPECT_EQ(S.FCompError, eDomain);
      EXPECT_EQ(S.Values(), std::vector<long double>{0});
    }
    sigaltstack(nullptr, &after);
    EXPECT_EQ(after.ss_sp, before.ss_sp);
    EXPECT_EQ(after.ss_flags, before.ss_flags);
  });
}

// A routine that leaves by longjmp abandons the compilation; a signal in the
// host afterwards reaches the host's handler, the component can still be
// destroyed, and the next compilation puts the host's handler back in place.
TEST(HostCallSession, ALongjmpOutOfARoutineLeavesTheHostsHandlersInCharge) {
  const struct sigaction previous = InstallHostHandler(SIGSEGV);
  struct sigaction now {};
  stack_t altBefore{}, altAfter{};
  sigaltstack(nullptr, &altBefore);
  auto* abandoned = new TFennic;
  ASSERT_NE(abandoned->RegisterFuncExt("escape", "vf64", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&HostEscape), true), 0);
  const std::string text = "1+escape(1)";
#if defined(__SANITIZE_ADDRESS__)
  __lsan_disable();  // what the abandoned frames held is lost
#endif
  if (setjmp(gEscape) == 0) {
    abandoned->SetExprString(text);
    ADD_FAILURE() << "the routine returned";
  }
#if defined(__SANITIZE_ADDRESS__)
  __lsan_enable();
#endif
  RaiseInHost(SIGSEGV);
  EXPECT_EQ(gHostSignals, 1);
  delete abandoned;
  TFennic next;
  next.SetExprString("1+2");
  EXPECT_EQ(next.Evaluate(), 3);
  sigaction(SIGSEGV, nullptr, &now);
  EXPECT_EQ(reinterpret_cast<void*>(now.sa_handler), reinterpret_cast<void*>(&HostHandler));
  sigaltstack(nullptr, &altAfter);
  EXPECT_EQ(altAfter.ss_sp, altBefore.ss_sp);
  RaiseInHost(SIGSEGV);
  EXPECT_EQ(gHostSignals, 2);
  sigaction(SIGSEGV, &previous, nullptr);
}

TEST_F(CalcFuncTest, DeeplyNestedCalls) {
  Register(TRecorder{"id", "vf64vi32", ctCdecl, frDouble, RecPairs[2].Address, 12}, false);
  Register(TRecorder{"fid", "vf64vi32", ctCdecl, frDouble, RecPairs[2].Address, 12});
  ASSERT_NE(S.RegisterFuncExt("ii", "vi32", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostReturnEax), false), 0);
#if defined(__SANITIZE_ADDRESS__)
  // Each level copies the coded text below it; under AddressSanitizer in
  // emulation the allocator's quarantine of those copies exhausts the
  // address space long before 2000 levels.
  const int deepest = TSimpler::MaxNesting / 4;
#else
  const int deepest = TSimpler::MaxNesting;
#endif
  auto nested = [](const char* open, const char* inner, const char* close, int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += open;
    text += inner;
    for (int i = 0; i < levels; ++i) text += close;
    return text;
  };
  RunWithStack(DeepTextStack, [&] {
    std::string s = nested("id(", "d", ",1)", deepest);
    S.Simplify(s);
    EXPECT_EQ(S.FCompError, eNone);
    EXPECT_EQ(s.size(), deepest * 18u + 5);
    s = nested("ii(", "x", ")", deepest);
    S.Simplify(s);
    EXPECT_EQ(S.FCompError, eNone);
    EXPECT_EQ(s.size(), deepest * 7u + 5);
    // Foldable: computed innermost first, one call per level.
    ResetHostRecord(42);
    s = nested("fid(", "1", ",1)", deepest);
    S.Simplify(s);
    EXPECT_EQ(S.Render(s), "K");
    EXPECT_EQ(HostRecord.Calls, deepest);
  });
  std::string s = nested("id(", "d", ",1)", TSimpler::MaxNesting + 1);
  S.Simplify(s);
  EXPECT_EQ(S.FCompError, eEdge);
}

}  // namespace
}  // namespace fennic::testing
