// The x86-64 routine byte for byte: variables through R11, the constant
// pool RIP-relative from the routine's own block, frames with REX.W, and
// calls of host routines by the System V convention; and RSP 16-byte
// aligned at every such call under every setting.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "codegen/calls_fixture.h"
#include "integration/settings_matrix.h"
#include "support/hostfuncs_recording.h"

namespace fennic::testing {
namespace {

// An address the routine is compiled against but never runs with.
void* At(std::uint64_t address) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)); }

// MOV R11, imm64.
Bytes LoadR11(std::uint64_t address) { return Bytes{0x49, 0xBB} + Le64(address); }
Bytes LoadR11(const void* address) { return LoadR11(reinterpret_cast<std::uintptr_t>(address)); }
// MOV R11, imm64; CALL R11.
Bytes CallR11(const void* routine) { return LoadR11(routine) + Bytes{0x41, 0xFF, 0xD3}; }

// ---- addressing ---------------------------------------------------------------

// One step of a level's code: a double variable loaded from an address, a
// pool constant, a call of a host routine, inline code, or a change of level.
struct TStep {
  enum TKind { Var, Pool, Call, Inline, ToLevel } Kind;
  std::uint64_t Value = 0;  // address, pool offset or level
};

TEST(X8664Addressing, VariablesThroughR11AndWhatR11Keeps) {
  PINS_BYTES_OF(x86_64);
  // Far from anything the process has mapped: the routine is never run.
  constexpr std::uint64_t A = 0x00007F0012345000;
  const Bytes loadA = LoadR11(A) + Bytes{0x41, 0xDD, 0x03};  // FLD QWORD PTR [R11]
  const Bytes call = CallR11(At(0x00007F00ABCD0000));
  const struct {
    const char* Name;
    std::vector<TStep> Steps;
    Bytes Code;
  } cases[] = {
      {"once", {{TStep::Var, A}}, loadA},
      {"again at the same address", {{TStep::Var, A}, {TStep::Var, A}}, loadA + Bytes{0x41, 0xDD, 0x03}},
      {"8 above", {{TStep::Var, A}, {TStep::Var, A + 8}}, loadA + Bytes{0x41, 0xDD, 0x43, 0x08}},
      {"127 above", {{TStep::Var, A}, {TStep::Var, A + 127}}, loadA + Bytes{0x41, 0xDD, 0x43, 0x7F}},
      {"128 below", {{TStep::Var, A}, {TStep::Var, A - 128}}, loadA + Bytes{0x41, 0xDD, 0x43, 0x80}},
      {"128 above", {{TStep::Var, A}, {TStep::Var, A + 128}}, loadA + Bytes{0x41, 0xDD, 0x83} + Le32(128)},
      {"129 below", {{TStep::Var, A}, {TStep::Var, A - 129}}, loadA + Bytes{0x41, 0xDD, 0x83} + Le32(-129)},
      {"2^31 - 1 above",
       {{TStep::Var, A}, {TStep::Var, A + 0x7FFFFFFF}},
       loadA + Bytes{0x41, 0xDD, 0x83} + Le32(0x7FFFFFFF)},
      {"2^31 below",
       {{TStep::Var, A}, {TStep::Var, A - 0x80000000}},
       loadA + Bytes{0x41, 0xDD, 0x83} + Le32(INT32_MIN)},
      // Out of a 32-bit displacement's reach: R11 is loaded again and
      // keeps the new address.
      {"2^31 above, then the first again",
       {{TStep::Var, A}, {TStep::Var, A + 0x80000000}, {TStep::Var, A}},
       loadA + LoadR11(A + 0x80000000) + Bytes{0x41, 0xDD, 0x03} + Bytes{0x41, 0xDD, 0x83} + Le32(INT32_MIN)},
      {"2^31 + 1 below",
       {{TStep::Var, A}, {TStep::Var, A - 0x80000001}},
       loadA + LoadR11(A - 0x80000001) + Bytes{0x41, 0xDD, 0x03}},
      // A pool constant is read RIP-relative (displacement 0 while sizing)
      // and leaves R11 as it was.
      {"pool constant between",
       {{TStep::Var, A}, {TStep::Pool, 8}, {TStep::Var, A + 16}},
       loadA + Bytes{0xDD, 0x05, 0, 0, 0, 0} + Bytes{0x41, 0xDD, 0x43, 0x10}},
      // A called routine and inline code may change R11.
      {"after a call", {{TStep::Var, A}, {TStep::Call}, {TStep::Var, A}}, loadA + call + loadA},
      {"after inline code", {{TStep::Var, A}, {TStep::Inline}, {TStep::Var, A}}, loadA + Bytes{0xD9, 0xE8} + loadA},
      // Each level's code runs as a whole before the next lower level's:
      // R11 is known within a level only.
      {"levels apart",
       {{TStep::Var, A}, {TStep::ToLevel, 1}, {TStep::Var, A + 8}, {TStep::ToLevel, 0}, {TStep::Var, A + 16}},
       loadA + LoadR11(A + 8) + Bytes{0x41, 0xDD, 0x03} + Bytes{0x41, 0xDD, 0x43, 0x10}},
  };
  TFunction host, inlined;
  host.Address = At(0x00007F00ABCD0000);
  inlined.Code = {0xD9, 0xE8};
  for (const auto& c : cases) {
    TRecordingFennic f;
    f.SetPool(Bytes(16, 0));
    f.StartSizing(1);
    for (const TStep& s : c.Steps) {
      switch (s.Kind) {
        case TStep::Var: f.FldVar(TVariable{"", vtDouble, At(s.Value)}, false); break;
        case TStep::Pool: f.FldVal(vtDouble, static_cast<std::int32_t>(s.Value), false, false); break;
        case TStep::Call: f.AddFuncCall(host); break;
        case TStep::Inline: f.AddFuncCall(inlined); break;
        case TStep::ToLevel: f.FLevel = static_cast<std::int32_t>(s.Value); break;
      }
    }
    EXPECT_EQ(Hex(f.Recorded()), Hex(c.Code)) << c.Name;
  }
}

// Instructions of every form reach their variable through R11: REX.B joins
// a REX the instruction has and follows its legacy prefixes.
TEST(X8664Addressing, EachLoadFormThroughR11) {
  PINS_BYTES_OF(x86_64);
  constexpr std::uint64_t A = 0x00007F0012345000;
  const struct {
    TVarType Type;
    Bytes Code;  // after MOV R11
  } cases[] = {
      {vtInt16, {0x41, 0xDF, 0x03}},     // FILD WORD PTR [R11]
      {vtInt32, {0x41, 0xDB, 0x03}},     // FILD DWORD PTR
      {vtInt64, {0x41, 0xDF, 0x2B}},     // FILD QWORD PTR
      {vtSingle, {0x41, 0xD9, 0x03}},    // FLD DWORD PTR
      {vtExtended, {0x41, 0xDB, 0x2B}},  // FLD TBYTE PTR
  };
  for (const auto& c : cases) {
    TRecordingFennic f;
    f.StartSizing();
    f.FldVar(TVariable{"", c.Type, At(A)}, false);
    EXPECT_EQ(Hex(f.Recorded()), Hex(LoadR11(A) + c.Code)) << int(c.Type);
  }
  // Widened in their own level: MOVZX / MOVSX EAX from [R11].
  const struct {
    TVarType Type;
    Bytes Code;
  } widened[] = {
      {vtInt8, {0x41, 0x0F, 0xBE, 0x03}},
      {vtUInt8, {0x41, 0x0F, 0xB6, 0x03}},
      {vtUInt16, {0x41, 0x0F, 0xB7, 0x03}},
      {vtUInt32, {0x41, 0x8B, 0x03}},
  };
  for (const auto& c : widened) {
    TRecordingFennic f;
    f.StartSizing();
    f.FldVar(TVariable{"w", c.Type, At(A)}, false);
    const Bytes widening = f.Recorded(1);
    const std::size_t skip = c.Type == vtUInt32 ? 2 : 0;  // XOR EDX, EDX first
    ASSERT_GE(widening.size(), skip + 10 + c.Code.size());
    EXPECT_EQ(Hex(Bytes(widening.begin() + skip, widening.begin() + skip + 10 + c.Code.size())),
              Hex(LoadR11(A) + c.Code))
        << int(c.Type);
  }
}

// The pool is copied behind the code into the routine's block, at the
// address modulo 16 the builder laid it out at, and read RIP-relative.
TEST(X8664Addressing, PoolConstantsRipRelativeInTheRoutinesBlock) {
  PINS_BYTES_OF(x86_64);
  const double half = 0.5;
  const long double third = 1.0L / 3;
  Bytes pool(32, 0xCC);
  std::memcpy(pool.data() + 8, &half, 8);
  std::memcpy(pool.data() + 16, &third, 10);
  TRecordingFennic f;
  f.SetPool(pool);
  f.Generate(0, [&] {
    f.OpenGroup(2, 1);
    f.FldVal(vtDouble, 8, false, false);
    f.FldVal(vtExtended, 16, false, false);
    f.AddOp(ocAdd);
  });
  const std::uint8_t* code = f.CodeBytes();
  const Bytes r = f.Routine();
  ASSERT_GE(r.size(), 12u);
  EXPECT_EQ(Hex(Bytes{r[0], r[1], r[6], r[7]}), "DD 05 DB 2D");
  const std::uint8_t* copy =
      code + ((f.CodeSize() + 15) & ~std::size_t{15}) + reinterpret_cast<std::uintptr_t>(f.PoolBase()) % 16;
  std::int32_t first, second;
  std::memcpy(&first, code + 2, 4);
  std::memcpy(&second, code + 8, 4);
  EXPECT_EQ(code + 6 + first, copy + 8);
  EXPECT_EQ(code + 12 + second, copy + 16);
  EXPECT_EQ(Hex(Bytes(copy, copy + pool.size())), Hex(pool));
  EXPECT_EQ(f.Evaluate(), 0.5L + 1.0L / 3);
}

// ---- frames ---------------------------------------------------------------------

TEST(X8664Frames, PrologueAndEpilogueWithRexW) {
  PINS_BYTES_OF(x86_64);
  const Bytes ebp = {0x55, 0x48, 0x8B, 0xEC}, leave = {0x48, 0x8B, 0xE5, 0x5D};
  const Bytes and16 = Bytes{0x48, 0x81, 0xE4} + Le32(-16);
  const struct {
    const char* Name;
    bool Align;
    std::int32_t SpilledMax, Temps4Max, Temps8Max, Temps16Max;
    Bytes Prologue, Epilogue;
  } cases[] = {
      {"one spill, one double, three singles", true, 1, 3, 1, 0, ebp + and16 + Bytes{0x48, 0x83, 0xEC, 0x20}, leave},
      // 16 where i386 aligns 8-byte slots to 8: RSP stays 16-byte aligned.
      {"8-byte temporaries only", true, 0, 1, 1, 0,
       ebp + Bytes{0x48, 0x83, 0xEC, 0x0C} + and16 + Bytes{0x48, 0x83, 0xC4, 0x0C, 0x48, 0x83, 0xEC, 0x0C}, leave},
      {"16-aligned with a remainder", true, 0, 0, 1, 1,
       ebp + Bytes{0x48, 0x83, 0xEC, 0x08} + and16 + Bytes{0x48, 0x83, 0xC4, 0x08, 0x48, 0x83, 0xEC, 0x18}, leave},
      {"eight spills", true, 8, 0, 0, 0, ebp + and16 + Bytes{0x48, 0x81, 0xEC} + Le32(128), leave},
      // Without calls of host routines a plain frame keeps its size.
      {"only 4-byte temporaries", true, 0, 3, 0, 0, {0x48, 0x83, 0xEC, 0x0C}, {0x48, 0x83, 0xC4, 0x0C}},
      {"128 bytes of singles", true, 0, 32, 0, 0, Bytes{0x48, 0x81, 0xEC} + Le32(128),
       Bytes{0x48, 0x81, 0xC4} + Le32(128)},
      {"spills, unaligned", false, 2, 8, 0, 0, {0x48, 0x83, 0xEC, 0x20}, {0x48, 0x83, 0xC4, 0x20}},
  };
  for (const auto& c : cases) {
    TRecordingFennic f;
    f.SetAlignMode(c.Align);
    f.StartSizing();
    f.FSpilledMax = c.SpilledMax;
    f.FTemps4Max = c.Temps4Max;
    f.FTemps8Max = c.Temps8Max;
    f.FTemps16Max = c.Temps16Max;
    f.StackWorks();
    EXPECT_EQ(Hex(f.Recorded(f.FTopLevel)), Hex(c.Prologue)) << c.Name;
    EXPECT_EQ(Hex(f.Recorded(0)), Hex(c.Epilogue)) << c.Name;
  }
}

FENNIC_CDECL double HostHalf() { return 0.5; }

// A routine that calls host code is entered with RSP 8 mod 16; its plain
// frame is rounded up to 8 mod 16 bytes so that every level starts aligned.
TEST(X8664Frames, APlainFrameOfARoutineWithCallsEndsAligned) {
  PINS_BYTES_OF(x86_64);
  const auto eax = reinterpret_cast<void*>(&HostReturnEax);
  const struct {
    const char* Name;
    std::vector<const char*> Calls;  // added up
    std::uint8_t Frame;
  } cases[] = {
      {"no temporaries", {"half"}, 8},
      {"one 4-byte temporary", {"i32"}, 8},
      {"one 8-byte temporary", {"u32"}, 8},
      {"12 bytes of temporaries", {"i32", "u32"}, 24},
      {"20 bytes of temporaries", {"u32", "u32", "i32"}, 24},
      {"24 bytes of temporaries", {"u32", "u32", "u32"}, 24},
      {"28 bytes of temporaries", {"u32", "u32", "u32", "i32"}, 40},
  };
  for (const auto& c : cases) {
    TCallFennic f;
    f.SetAlignMode(false);  // no EBP frame for the 8-byte temporaries
    ASSERT_NE(f.RegisterFuncExt("half", "", ctCdecl, frDouble, 0, reinterpret_cast<void*>(&HostHalf), false), 0);
    ASSERT_NE(f.RegisterFuncExt("i32", "", ctCdecl, frInt32, 0, eax, false), 0);
    ASSERT_NE(f.RegisterFuncExt("u32", "", ctCdecl, frUInt32, 0, eax, false), 0);
    f.Begin();
    std::string text;
    long double sum = 0;
    for (const char* name : c.Calls) {
      text += (text.empty() ? "" : "+") + f.Call(name);
      sum += std::string(name) == "half" ? 0.5L : std::string(name) == "i32" ? -128.0L : 4294967168.0L;
    }
    ASSERT_TRUE(f.CompileCoded(text));
    const Bytes r = f.Routine();
    ASSERT_GE(r.size(), 9u);
    EXPECT_EQ(Hex(Bytes(r.begin(), r.begin() + 4)), Hex(Bytes{0x48, 0x83, 0xEC, c.Frame})) << c.Name;
    EXPECT_EQ(Hex(Bytes(r.end() - 5, r.end())), Hex(Bytes{0x48, 0x83, 0xC4, c.Frame, 0xC3})) << c.Name;
    EXPECT_EQ(f.Evaluate(), sum) << c.Name;
  }
}

// ---- System V calls ---------------------------------------------------------------

// Host variables at fixed distances, so that each is reached from R11 with
// a known displacement.
struct alignas(16) TVars {
  std::int32_t i = -7;            // 0
  std::int32_t j = 300;           // 4
  std::int64_t n = -5000000000;   // 8
  double d = 0.25;                // 16
  double e = -1.5;                // 24
  float s = 0.375f;               // 32
  std::uint8_t u8 = 250;          // 36
  std::int8_t i8 = -100;          // 37
  std::int16_t s16 = -300;        // 38
  alignas(16) long double x = 1.0L / 3;  // 48
};
static_assert(offsetof(TVars, j) == 4 && offsetof(TVars, n) == 8 && offsetof(TVars, d) == 16 &&
              offsetof(TVars, e) == 24 && offsetof(TVars, s) == 32 && offsetof(TVars, u8) == 36 &&
              offsetof(TVars, s16) == 38 && offsetof(TVars, x) == 48);

// Each routine returns its arguments weighted by powers of two, so that a
// value in the wrong place shows.
FENNIC_CDECL double Ints6(std::int32_t a, std::int64_t b, std::int64_t c, std::int16_t d, std::uint8_t e,
                                     std::int32_t f) {
  return a + 2.0 * b + 4.0 * c + 8.0 * d + 16.0 * e + 32.0 * f;
}
FENNIC_CDECL double Consts6(std::int32_t a, std::int32_t b, std::int64_t c, std::int64_t d, std::int64_t e,
                                       std::int32_t f) {
  return a + 2.0 * b + 4.0 * c + 8.0 * static_cast<double>(d) + 16.0 * static_cast<double>(e) + 32.0 * f;
}
FENNIC_CDECL double Refs2(const double* a, const std::int32_t* b) { return *a + 2.0 * *b; }
FENNIC_CDECL double Vectors4(float a, double b, double c, double d) {
  return a + 2.0 * b + 4.0 * c + 8.0 * d;
}
FENNIC_CDECL long double Extended2(long double a, std::int32_t n, long double b) { return a + 2 * n + 4 * b; }
FENNIC_CDECL double Overflow8(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                                         std::int32_t e, std::int32_t f, std::int32_t g, const std::int64_t* h) {
  return a + 2.0 * b + 4.0 * c + 8.0 * d + 16.0 * e + 32.0 * f + 64.0 * g + 128.0 * static_cast<double>(*h);
}
FENNIC_CDECL double Staged3(std::int32_t a, std::int64_t b, std::int32_t c) {
  return a + 2.0 * static_cast<double>(b) + 4.0 * c;
}
FENNIC_CDECL double Doubles9(double a, double b, double c, double d, double e, double f, double g, double h,
                             double i) {
  return a + 2 * b + 4 * c + 8 * d + 16 * e + 32 * f + 64 * g + 128 * h + 256 * i;
}
FENNIC_CDECL std::int32_t Seven() { return 7; }
FENNIC_CDECL std::int64_t Wide() { return -0x123456789LL; }
FENNIC_CDECL float Quarter(float a) { return a / 4; }

TEST(X8664Calls, EachArgumentClassWhereSystemVWantsIt) {
  PINS_BYTES_OF(x86_64);
  TVars v;
  const Bytes frame = {0x48, 0x83, 0xEC, 0x08}, unframe = {0x48, 0x83, 0xC4, 0x08, 0xC3};
  // MOVSD [RSP-8], XMM0; FLD QWORD PTR [RSP-8]
  const Bytes fromXmm0 = {0xF2, 0x0F, 0x11, 0x44, 0x24, 0xF8, 0xDD, 0x44, 0x24, 0xF8};
  const struct {
    const char* Name;
    const char* ParamText;
    TFuncResult Result;
    void* Routine;
    std::vector<std::string> Args;  // coded text; names of host variables for references
    Bytes Code;                     // between the frame's prologue and epilogue
    long double Value;
  } cases[] = {
      {"integers in RDI to R9, widened by the variable's type",
       "vi32vi64vi64vi16vu08vi32", frDouble, reinterpret_cast<void*>(&Ints6),
       {"i", "n", "i", "s16", "u8", "-j"},
       LoadR11(&v.i) + Bytes{0x41, 0x8B, 0x3B,          // MOV EDI, [R11]
                             0x49, 0x8B, 0x73, 0x08,    // MOV RSI, [R11+8]
                             0x49, 0x63, 0x13,          // MOVSXD RDX, [R11]
                             0x41, 0x0F, 0xBF, 0x4B, 0x26,  // MOVSX ECX, WORD PTR [R11+38]
                             0x45, 0x0F, 0xB6, 0x43, 0x24,  // MOVZX R8D, BYTE PTR [R11+36]
                             0x45, 0x8B, 0x4B, 0x04,    // MOV R9D, [R11+4]
                             0x41, 0xF7, 0xD9} +        // NEG R9D
           CallR11(reinterpret_cast<void*>(&Ints6)) + fromXmm0,
       -7 + 2.0L * -5000000000 + 4 * -7 + 8 * -300 + 16 * 250 + 32 * -300},
      {"numbers: XOR, MOV r32, sign-extended imm32, imm64",
       "vi32vi32vi64vi64vi64vi32", frDouble, reinterpret_cast<void*>(&Consts6),
       {TCallFennic::Int(vtInt32, 0), TCallFennic::Int(vtInt32, -5), TCallFennic::Int(vtInt64, -2),
        TCallFennic::Int(vtInt64, 0x123456789LL), TCallFennic::Int(vtInt64, 4000000000LL),
        TCallFennic::Int(vtInt32, 7)},
       Bytes{0x31, 0xFF,                                            // XOR EDI, EDI
             0xBE, 0xFB, 0xFF, 0xFF, 0xFF,                          // MOV ESI, -5
             0x48, 0xC7, 0xC2, 0xFE, 0xFF, 0xFF, 0xFF,              // MOV RDX, -2
             0x48, 0xB9, 0x89, 0x67, 0x45, 0x23, 0x01, 0, 0, 0,     // MOV RCX, 0x123456789
             0x41, 0xB8, 0x00, 0x28, 0x6B, 0xEE,                    // MOV R8D, 4000000000
             0x41, 0xB9, 0x07, 0x00, 0x00, 0x00} +                  // MOV R9D, 7
           CallR11(reinterpret_cast<void*>(&Consts6)) + fromXmm0,
       0 + 2.0L * -5 + 4 * -2 + 8 * 0x123456789LL + 16 * 4000000000LL + 32 * 7},
      {"addresses", "rf64ri32", frDouble, reinterpret_cast<void*>(&Refs2), {"d", "i"},
       Bytes{0x48, 0xBF} + Le64(&v.d) + Bytes{0x48, 0xBE} + Le64(&v.i) + CallR11(reinterpret_cast<void*>(&Refs2)) +
           fromXmm0,
       0.25L + 2 * -7},
      // A variable of the parameter's own type goes straight into its XMM
      // register; any other value is computed into a slot first (a negated
      // double through EDX:EAX with its sign flipped, a single stored as a
      // double by FSTP) and loaded from there.
      {"singles and doubles in XMM0 to XMM3", "vf32vf64vf64vf64", frDouble, reinterpret_cast<void*>(&Vectors4),
       {"s", "d", "-e", "s"},
       Bytes{0x48, 0x83, 0xEC, 0x10} + LoadR11(reinterpret_cast<char*>(&v.e) + 4) +
           Bytes{0x41, 0x8B, 0x13,                    // MOV EDX, [R11]
                 0x41, 0x8B, 0x43, 0xFC,              // MOV EAX, [R11-4]
                 0x81, 0xF2, 0x00, 0x00, 0x00, 0x80,  // XOR EDX, 80000000h
                 0x89, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24,
                 0x41, 0xD9, 0x43, 0x04,              // FLD DWORD PTR [R11+4]: s
                 0xDD, 0x5C, 0x24, 0x08,              // FSTP QWORD PTR [RSP+8]
                 0xF3, 0x41, 0x0F, 0x10, 0x43, 0x04,  // MOVSS XMM0, [R11+4]
                 0xF2, 0x41, 0x0F, 0x10, 0x4B, 0xF4,  // MOVSD XMM1, [R11-12]
                 0xF2, 0x0F, 0x10, 0x14, 0x24,        // MOVSD XMM2, [RSP]
                 0xF2, 0x0F, 0x10, 0x5C, 0x24, 0x08} +  // MOVSD XMM3, [RSP+8]
           CallR11(reinterpret_cast<void*>(&Vectors4)) + Bytes{0x48, 0x83, 0xC4, 0x10} + fromXmm0,
       0.375L + 2 * 0.25L + 4 * 1.5L + 8 * 0.375L},
      // Extended values in 16-byte slots on the stack, the integer between
      // them in RDI.
      {"extended values on the stack", "vf80vi32vf80", frExtended, reinterpret_cast<void*>(&Extended2),
       {"x", "i", "2.5"},
       Bytes{0x48, 0x83, 0xEC, 0x20} + LoadR11(reinterpret_cast<char*>(&v.x) + 8) +
           Bytes{0x41, 0x0F, 0xB7, 0x0B,                    // MOVZX ECX, WORD PTR [R11]
                 0x41, 0x8B, 0x53, 0xFC,                    // MOV EDX, [R11-4]
                 0x41, 0x8B, 0x43, 0xF8,                    // MOV EAX, [R11-8]
                 0x89, 0x4C, 0x24, 0x08, 0x89, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24,
                 0xC7, 0x44, 0x24, 0x18, 0x00, 0x40, 0x00, 0x00,  // 2.5 into the slot at 16
                 0xC7, 0x44, 0x24, 0x14, 0x00, 0x00, 0x00, 0xA0,
                 0xC7, 0x44, 0x24, 0x10, 0x00, 0x00, 0x00, 0x00,
                 0x41, 0x8B, 0x7B, 0xC8} +                  // MOV EDI, [R11-56]
           CallR11(reinterpret_cast<void*>(&Extended2)) + Bytes{0x48, 0x83, 0xC4, 0x20},
       1.0L / 3 + 2 * -7 + 4 * 2.5L},
      // The seventh integer and an address beyond the registers: on the
      // stack, through EAX and RAX.
      {"integers past R9", "vi32vi32vi32vi32vi32vi32vi32ri64", frDouble, reinterpret_cast<void*>(&Overflow8),
       {TCallFennic::Int(vtInt32, 1), TCallFennic::Int(vtInt32, 2), TCallFennic::Int(vtInt32, 3),
        TCallFennic::Int(vtInt32, 4), TCallFennic::Int(vtInt32, 5), TCallFennic::Int(vtInt32, 6), "j", "n"},
       Bytes{0x48, 0x83, 0xEC, 0x10} + LoadR11(&v.j) + Bytes{0x41, 0x8B, 0x03, 0x89, 0x04, 0x24} + Bytes{0x48, 0xB8} +
           Le64(&v.n) + Bytes{0x48, 0x89, 0x44, 0x24, 0x08} +
           Bytes{0xBF, 1, 0, 0, 0, 0xBE, 2, 0, 0, 0, 0xBA, 3, 0, 0, 0, 0xB9, 4, 0, 0, 0, 0x41, 0xB8, 5, 0, 0, 0,
                 0x41, 0xB9, 6, 0, 0, 0} +
           CallR11(reinterpret_cast<void*>(&Overflow8)) + Bytes{0x48, 0x83, 0xC4, 0x10} + fromXmm0,
       1 + 2 * 2 + 4 * 3 + 8 * 4 + 16 * 5 + 32 * 6 + 64 * 300 + 128.0L * -5000000000},
      // The ninth double on the stack, copied through EDX:EAX.
      {"doubles past XMM7", "vf64vf64vf64vf64vf64vf64vf64vf64vf64", frDouble, reinterpret_cast<void*>(&Doubles9),
       {"d", "e", "d", "e", "d", "e", "d", "e", "d"},
       Bytes{0x48, 0x83, 0xEC, 0x10} + LoadR11(reinterpret_cast<char*>(&v.d) + 4) +
           Bytes{0x41, 0x8B, 0x13, 0x41, 0x8B, 0x43, 0xFC, 0x89, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24,
                 0xF2, 0x41, 0x0F, 0x10, 0x43, 0xFC, 0xF2, 0x41, 0x0F, 0x10, 0x4B, 0x04,   // XMM0 = d, XMM1 = e
                 0xF2, 0x41, 0x0F, 0x10, 0x53, 0xFC, 0xF2, 0x41, 0x0F, 0x10, 0x5B, 0x04,
                 0xF2, 0x41, 0x0F, 0x10, 0x63, 0xFC, 0xF2, 0x41, 0x0F, 0x10, 0x6B, 0x04,
                 0xF2, 0x41, 0x0F, 0x10, 0x73, 0xFC, 0xF2, 0x41, 0x0F, 0x10, 0x7B, 0x04} +  // XMM6, XMM7
           CallR11(reinterpret_cast<void*>(&Doubles9)) + Bytes{0x48, 0x83, 0xC4, 0x10} + fromXmm0,
       0.25L * (1 + 4 + 16 + 64 + 256) - 1.5L * (2 + 8 + 32 + 128)},
      // Calls as integer arguments are made first, their results staged in
      // the area (a 64-bit one from RAX through EDX:EAX), and the registers
      // loaded after the last of them.
      {"computed integers staged", "vi32vi64vi32", frDouble, reinterpret_cast<void*>(&Staged3),
       {"@seven", "@wide", "j"},
       Bytes{0x48, 0x83, 0xEC, 0x10} + CallR11(reinterpret_cast<void*>(&Seven)) + Bytes{0x89, 0x04, 0x24} +
           CallR11(reinterpret_cast<void*>(&Wide)) +
           Bytes{0x48, 0x89, 0xC2, 0x48, 0xC1, 0xEA, 0x20,  // MOV RDX, RAX; SHR RDX, 32
                 0x89, 0x54, 0x24, 0x0C, 0x89, 0x44, 0x24, 0x08,
                 0x8B, 0x3C, 0x24,                          // MOV EDI, [RSP]
                 0x48, 0x8B, 0x74, 0x24, 0x08} +            // MOV RSI, [RSP+8]
           LoadR11(&v.j) + Bytes{0x41, 0x8B, 0x13} + CallR11(reinterpret_cast<void*>(&Staged3)) +
           Bytes{0x48, 0x83, 0xC4, 0x10} + fromXmm0,
       7 + 2.0L * -0x123456789LL + 4 * 300},
      // A single result: MOVSS through the red zone.
      {"single result", "vf32", frSingle, reinterpret_cast<void*>(&Quarter), {"s"},
       LoadR11(&v.s) + Bytes{0xF3, 0x41, 0x0F, 0x10, 0x03} + CallR11(reinterpret_cast<void*>(&Quarter)) +
           Bytes{0xF3, 0x0F, 0x11, 0x44, 0x24, 0xF8, 0xD9, 0x44, 0x24, 0xF8},
       0.375L / 4},
  };
  for (const auto& c : cases) {
    TCallFennic f;
    f.RegisterVarExt("i", vtInt32, &v.i);
    f.RegisterVarExt("j", vtInt32, &v.j);
    f.RegisterVarExt("n", vtInt64, &v.n);
    f.RegisterVarExt("d", vtDouble, &v.d);
    f.RegisterVarExt("e", vtDouble, &v.e);
    f.RegisterVarExt("s", vtSingle, &v.s);
    f.RegisterVarExt("u8", vtUInt8, &v.u8);
    f.RegisterVarExt("s16", vtInt16, &v.s16);
    f.RegisterVarExt("x", vtExtended, &v.x);
    ASSERT_NE(f.RegisterFuncExt("g", c.ParamText, ctCdecl, c.Result, 0, c.Routine, false), 0) << c.Name;
    ASSERT_NE(f.RegisterFuncExt("seven", "", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&Seven), false), 0);
    ASSERT_NE(f.RegisterFuncExt("wide", "", ctCdecl, frInt64, 0, reinterpret_cast<void*>(&Wide), false), 0);
    f.Begin();
    const std::vector<TVarDef> params = [&] {
      TFunction fn;
      f.GetFunc(fn, f.FuncCode("g"));
      return fn.Params;
    }();
    std::vector<std::string> args;
    for (std::size_t k = 0; k < c.Args.size(); ++k) {
      const std::string& a = c.Args[k];
      if (params[k].PushStyle == psReference || a.front() == ConstMarker) args.push_back(a);
      else if (a.front() == '@') args.push_back(f.Call(a.substr(1)));
      else if (a.front() == '-') args.push_back("-" + f.Var(a.substr(1)));
      else if (a == "2.5") args.push_back(f.Num(2.5L));
      else args.push_back(f.Var(a));
    }
    std::string call = f.Call("g");
    call += "(";
    for (std::size_t k = 0; k < args.size(); ++k) call += (k ? "," : "") + args[k];
    call += ")";
    ASSERT_TRUE(f.CompileCoded(call)) << c.Name;
    EXPECT_EQ(Hex(f.Routine()), Hex(frame + c.Code + unframe)) << c.Name;
    EXPECT_EQ(f.Evaluate(), c.Value) << c.Name;
  }
}

FENNIC_CDECL std::int32_t Three() { return 3; }

// Inline code keeps the i386 contract: its stack area has i386 slot sizes,
// and a register argument already loaded is saved by PUSH around a call. A
// host routine called while those bytes are on the stack pads its own area
// to keep RSP aligned.
TEST(X8664Calls, HostCallsAmongTheBytesOfInlineCodePadToSixteen) {
  PINS_BYTES_OF(x86_64);
  TVars v;
  Bytes sum4{0x01, 0xD0, 0x01, 0xC8, 0x03, 0x04, 0x24};  // EAX + EDX + ECX + [RSP]
  AddRelease(sum4, 4);
  const Bytes sub2{0x29, 0xD0, 0x50, 0xDB, 0x04, 0x24, 0x58};  // EAX - EDX onto the x87 stack
  const struct {
    const char* Name;
    const char* Function;
    std::vector<std::string> Args;
    Bytes Code;
    long double Value;
  } cases[] = {
      // Its integer result goes to a 4-byte temporary: a frame of 8 bytes.
      {"in a slot of the area", "sum4", {"i", "j", "3", "@seven"},
       Bytes{0x48, 0x83, 0xEC, 0x08,    // frame
             0x48, 0x83, 0xEC, 0x04,    // the area of inline code
             0x48, 0x83, 0xEC, 0x0C} +  // padded for the call
           CallR11(reinterpret_cast<void*>(&Seven)) + Bytes{0x48, 0x83, 0xC4, 0x0C, 0x89, 0x04, 0x24} + LoadR11(&v.i) +
           Bytes{0x41, 0x8B, 0x03, 0x41, 0x8B, 0x53, 0x04, 0xB9, 0x03, 0x00, 0x00, 0x00} + sum4 +
           Bytes{0x89, 0x04, 0x24, 0xDB, 0x04, 0x24, 0x48, 0x83, 0xC4, 0x08, 0xC3},
       -7 + 300 + 3 + 7},
      {"with a register saved", "sub2", {"@seven", "@three"},
       Bytes{0x48, 0x83, 0xEC, 0x08} + CallR11(reinterpret_cast<void*>(&Seven)) +
           Bytes{0x50, 0x48, 0x83, 0xEC, 0x08} +  // PUSH RAX, padded for the call
           CallR11(reinterpret_cast<void*>(&Three)) + Bytes{0x48, 0x83, 0xC4, 0x08, 0x8B, 0xD0, 0x58} + sub2 +
           Bytes{0x48, 0x83, 0xC4, 0x08, 0xC3},
       7 - 3},
  };
  for (const auto& c : cases) {
    TCallFennic f;
    f.RegisterVarExt("i", vtInt32, &v.i);
    f.RegisterVarExt("j", vtInt32, &v.j);
    ASSERT_NE(f.RegisterFuncExt("sum4", "vi32vi32vi32vi32", ctBuilt_in, frInt32, 0, nullptr, false, sum4), 0);
    ASSERT_NE(f.RegisterFuncExt("sub2", "vi32vi32", ctBuilt_in, frExtended, 1, nullptr, false, sub2), 0);
    ASSERT_NE(f.RegisterFuncExt("seven", "", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&Seven), false), 0);
    ASSERT_NE(f.RegisterFuncExt("three", "", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&Three), false), 0);
    f.Begin();
    std::string call = f.Call(c.Function) + "(";
    for (std::size_t k = 0; k < c.Args.size(); ++k) {
      const std::string& a = c.Args[k];
      call += k ? "," : "";
      call += a.front() == '@' ? f.Call(a.substr(1)) : a == "3" ? TCallFennic::Int(vtInt32, 3) : f.Var(a);
    }
    ASSERT_TRUE(f.CompileCoded(call + ")")) << c.Name;
    EXPECT_EQ(Hex(f.Routine()), Hex(c.Code)) << c.Name;
    EXPECT_EQ(f.Evaluate(), c.Value) << c.Name;
  }
}

// ---- stack alignment at calls ------------------------------------------------------

// How far RSP was from a 16-byte boundary at the CALL that reached it: its
// frame pointer lies 16 bytes below that RSP.
__attribute__((noinline, optimize("no-omit-frame-pointer"))) std::int32_t RspMisalignment() {
  return static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) % 16);
}
FENNIC_CDECL double Ints7(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d, std::int32_t e,
                          std::int32_t f, std::int32_t g) {
  return a + b + c + d + e + f + g;
}
FENNIC_CDECL double Doubles3(double a, double b, double c) { return a + 2 * b + 4 * c; }
FENNIC_CDECL long double Extended2Sub(long double a, long double b) { return a - b; }

// Calls in every place a call can stand: alone, in integer, double and
// extended arguments of host routines, in the stack area of inline code,
// its register arguments (saved by PUSH) and its x87 arguments, between
// values held on the x87 stack, with and without an EBP frame. Each value is
// what it would be with every misalignment 0.
TEST(X8664Calls, RspIsAlignedAtEveryCallUnderEverySetting) {
  if constexpr (!Target64) GTEST_SKIP() << "i386 host routines realign the stack themselves";
  double x = 0.5, y = 3;
  const auto probe = reinterpret_cast<void*>(&RspMisalignment);
  TFennic f;
  f.SetAutoCompile(false);
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("y", vtDouble, &y);
  ASSERT_NE(f.RegisterFuncExt("rsp", "", ctCdecl, frInt32, 0, probe, false), 0);
  ASSERT_NE(f.RegisterFuncExt("rspu", "", ctStdcall, frUInt32, 0, probe, false), 0);
  ASSERT_NE(f.RegisterFuncExt("rspl", "", ctPascal, frInt64, 0, probe, false), 0);
  ASSERT_NE(f.RegisterFuncExt("ints7", "vi32vi32vi32vi32vi32vi32vi32", ctCdecl, frDouble, 0,
                              reinterpret_cast<void*>(&Ints7), false),
            0);
  ASSERT_NE(f.RegisterFuncExt("dbl3", "vf64vf64vf64", ctStdcall, frDouble, 0, reinterpret_cast<void*>(&Doubles3),
                              false),
            0);
  ASSERT_NE(f.RegisterFuncExt("ext2", "vf80vf80", ctCdecl, frExtended, 0, reinterpret_cast<void*>(&Extended2Sub),
                              false),
            0);
  // EAX + EDX + ECX + the slot, which it releases; x + EAX through the stack.
  Bytes sum4{0x01, 0xD0, 0x01, 0xC8, 0x03, 0x04, 0x24};
  AddRelease(sum4, 4);
  ASSERT_NE(f.RegisterFuncExt("sum4", "vi32vi32vi32vi32", ctBuilt_in, frInt32, 0, nullptr, false, sum4), 0);
  ASSERT_NE(f.RegisterFuncExt("addi", "vf80vi32", ctBuilt_in, frExtended, 1, nullptr, false,
                              Bytes{0x50, 0xDA, 0x04, 0x24, 0x58}),
            0);
  const struct {
    const char* Text;
    long double Value;
  } cases[] = {
      {"rsp", 0},
      {"rspu+rspl*x", 0},
      {"x*(y-(x*(y-(x*(y-(x*(y-rsp)))))))", x * (y - (x * (y - (x * (y - (x * y))))))},
      {"ints7(rsp, rsp, rsp, rsp, rsp, rsp, -rsp)", 0},
      {"dbl3(rsp*0.5, x, rsp+y)", 2 * x + 4 * y},
      {"ext2(rsp, y+rspu)", -y},
      {"sum4(rsp, rspu, rsp, rspl)", 0},
      {"addi(x+rsp, rspl)", x},
      {"y/(x+ints7(1, 2, 3, 4, 5, 6, sum4(7, rsp, rsp, rspl)))+dbl3(rspl, x, ext2(rsp, -1))", y / (x + 28.0L) + 5},
  };
  for (const TSettings& s : AllSettings()) {
    s.ApplyTo(f);
    for (const auto& c : cases) {
      f.SetExprString(c.Text);
      f.Compile();
      ASSERT_EQ(f.CompError(), eNone) << c.Text;
      EXPECT_EQ(f.Evaluate(), c.Value) << c.Text << " with " << s.Describe();
    }
  }
}

// An argument narrower than 32 bits reaches the routine widened to 32 bits
// by its parameter's type, whatever the type of the value: compilers of the
// System V world read the whole register. Run and folded alike.
FENNIC_CDECL std::int32_t Wide300() { return 300; }
FENNIC_CDECL std::int32_t MinusOne() { return -1; }

TEST(X8664Calls, NarrowArgumentsArriveWidenedByTheirParameter) {
  std::int32_t big = 300, minusOne = -1;
  std::uint8_t u8 = 200;
  const struct {
    const char* Text;
    std::uint64_t Rdi, Rsi;  // vi08 and vu16 of RecRegisterRaw
  } cases[] = {
      {"rec_raw(big, minus, 1)", 44, 0xFFFF},            // int32 variables: truncated, then widened
      {"rec_raw(u8, u8, 1)", 0xFFFFFFC8, 200},           // an unsigned byte as a signed one
      {"rec_raw(-u8, -big, 1)", 56, 0xFED4},             // negated, then widened
      {"rec_raw(w300(), m1(), 1)", 44, 0xFFFF},          // call results, staged
      {"rec_raw(w300f(), m1f(), 1)", 44, 0xFFFF},        // the same calls folded
  };
  for (bool fold : {false, true}) (void)fold;
  for (const auto& c : cases) {
    TFennic f(nullptr);
    f.RegisterVarExt("big", vtInt32, &big);
    f.RegisterVarExt("minus", vtInt32, &minusOne);
    f.RegisterVarExt("u8", vtUInt8, &u8);
    f.RegisterFuncExt("w300", "", ctCdecl, frInt32, 8, reinterpret_cast<void*>(&Wide300), false);
    f.RegisterFuncExt("m1", "", ctCdecl, frInt32, 8, reinterpret_cast<void*>(&MinusOne), false);
    f.RegisterFuncExt("w300f", "", ctCdecl, frInt32, 8, reinterpret_cast<void*>(&Wide300), true);
    f.RegisterFuncExt("m1f", "", ctCdecl, frInt32, 8, reinterpret_cast<void*>(&MinusOne), true);
    ASSERT_NE(f.RegisterFuncExt(RecRegisterRaw.Name, RecRegisterRaw.ParamSpec, RecRegisterRaw.CallType,
                                RecRegisterRaw.FuncResult, 8, RecRegisterRaw.Address, false),
              0);
    f.SetExprString(c.Text);
    ASSERT_EQ(f.CompError(), eNone) << c.Text;
    ResetHostRecord(0);
    f.Evaluate();
    ASSERT_EQ(HostRecord.Calls, 1) << c.Text;
    EXPECT_EQ(HostRecord.IntArgs[0], c.Rdi) << c.Text;
    EXPECT_EQ(HostRecord.IntArgs[1], c.Rsi) << c.Text;
  }
}

}  // namespace
}  // namespace fennic::testing
