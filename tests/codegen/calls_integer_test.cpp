// Integer and by-reference arguments as the called code receives them: from
// numbers, variables and calls of every width, negated or not, in EAX, EDX
// and ECX or in 8-byte slots; and the encodings that put them there.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codegen/calls_fixture.h"
#include "fennic/builder/treeprint.h"
#include "support/hostfuncs_recording.h"

namespace fennic::testing {
namespace {

// What the recording inline code stores.
struct TReceived {
  std::uintptr_t Regs[3];   // EAX, EDX, ECX (whole RAX, RDX, RCX in 64-bit code)
  std::uint32_t Stack[16];  // stack arguments, lowest address first
} Received;

// Inline code that stores EAX, EDX, ECX and StackBytes of stack arguments,
// removes those and leaves 0 in ST0.
Bytes Recorder(int stackBytes) {
  Bytes code;
  AddAbsolute(code, {0x89}, 0, &Received.Regs[0], Target64);
  AddAbsolute(code, {0x89}, 2, &Received.Regs[1], Target64);
  AddAbsolute(code, {0x89}, 1, &Received.Regs[2], Target64);
  for (int k = 0; k < stackBytes / 4; ++k) {
    code = code + Bytes{0x8B, 0x44, 0x24, static_cast<std::uint8_t>(4 * k)};
    AddAbsolute(code, {0x89}, 0, &Received.Stack[k]);
  }
  code = code + Bytes{0xD9, 0xEE};  // FLDZ
  if (stackBytes > 0) AddRelease(code, static_cast<std::uint8_t>(stackBytes));
  return code;
}

// The value a parameter of type t reads from the low bits of x.
std::int64_t AsType(TVarType t, std::uint64_t x) {
  switch (t) {
    case vtInt8: return static_cast<std::int8_t>(x);
    case vtUInt8: return static_cast<std::uint8_t>(x);
    case vtInt16: return static_cast<std::int16_t>(x);
    case vtUInt16: return static_cast<std::uint16_t>(x);
    case vtInt32: return static_cast<std::int32_t>(x);
    case vtUInt32: return static_cast<std::uint32_t>(x);
    default: return static_cast<std::int64_t>(x);
  }
}

const char* const TypeCode[7] = {"i08", "u08", "i16", "u16", "i32", "u32", "i64"};

// A built-in function of three parameters of type t: three registers for
// the narrow types, three 8-byte slots for vtInt64.
struct Taker {
  TVarType Type;
  explicit Taker(TVarType t) : Type(t) {}
  std::string ParamText() const { return std::string("v") + TypeCode[Type] + "v" + TypeCode[Type] + "v" + TypeCode[Type]; }
  void Register(TCallFennic& f) const {
    ASSERT_NE(f.RegisterFuncExt("take", ParamText(), ctBuilt_in, frExtended, 1, nullptr, false,
                                Recorder(Type == vtInt64 ? 24 : 0)),
              0);
  }
  // Each of the three places holds `expected` as the parameter reads it.
  void Check(std::int64_t expected, const std::string& what) const {
    for (int k = 0; k < 3; ++k) {
      std::uint64_t got;
      if (Type == vtInt64)
        got = Received.Stack[2 * k] | std::uint64_t{Received.Stack[2 * k + 1]} << 32;
      else
        got = Received.Regs[k];
      EXPECT_EQ(AsType(Type, got), AsType(Type, static_cast<std::uint64_t>(expected)))
          << what << " to v" << TypeCode[Type] << ", place " << k;
    }
  }
};

std::uint64_t Negated(std::int64_t v, bool minus) {
  return minus ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

TEST(IntegerArguments, VariablesOfEveryWidthToParametersOfEveryWidth) {
  std::int8_t i8 = -100;
  std::uint8_t u8 = 200;
  std::int16_t i16 = -30000;
  std::uint16_t u16 = 60000;
  std::int32_t i32 = -2000000000;
  std::uint32_t u32 = 4000000000u;
  std::int64_t i64 = -0x123456789ABCDEFLL;
  void* const addresses[7] = {&i8, &u8, &i16, &u16, &i32, &u32, &i64};
  const std::int64_t values[7] = {i8, u8, i16, u16, i32, u32, i64};
  for (int p = vtInt8; p <= vtInt64; ++p) {
    const Taker taker(static_cast<TVarType>(p));
    TCallFennic f;
    taker.Register(f);
    for (int v = vtInt8; v <= vtInt64; ++v)
      f.RegisterVarExt(std::string("v") + TypeCode[v], static_cast<TVarType>(v), addresses[v]);
    for (int v = vtInt8; v <= vtInt64; ++v) {
      for (bool minus : {false, true}) {
        const std::string arg = (minus ? "-" : "") + f.Var(std::string("v") + TypeCode[v]);
        f.Begin();
        ASSERT_TRUE(f.CompileCoded(f.Call("take", {arg, arg, arg})));
        std::memset(&Received, 0xEE, sizeof Received);
        EXPECT_EQ(f.Evaluate(), 0);
        taker.Check(static_cast<std::int64_t>(Negated(values[v], minus)),
                    std::string(minus ? "-" : "") + "v" + TypeCode[v]);
      }
    }
  }
}

// Results of host routines, each left in EAX (EDX:EAX) with every bit
// significant, so that the widening to the parameter shows.
constexpr std::uint64_t RawResult = 0x8000000180FFFF80ull;
extern "C" FENNIC_CDECL std::uint64_t HostRaw() { return RawResult; }

TEST(IntegerArguments, CallResultsOfEveryTypeToParametersOfEveryWidth) {
  for (int p = vtInt8; p <= vtInt64; ++p) {
    const Taker taker(static_cast<TVarType>(p));
    TCallFennic f;
    taker.Register(f);
    for (int r = frInt8; r <= frInt64; ++r)
      ASSERT_NE(f.RegisterFuncExt(std::string("r") + TypeCode[r], "", ctCdecl, static_cast<TFuncResult>(r), 0,
                                  reinterpret_cast<void*>(&HostRaw), false),
                0);
    for (int r = frInt8; r <= frInt64; ++r) {
      // The result as its own type says.
      const std::int64_t result = AsType(static_cast<TVarType>(r), RawResult);
      for (bool minus : {false, true}) {
        const std::string arg = (minus ? "-" : "") + f.Call(std::string("r") + TypeCode[r]);
        f.Begin();
        ASSERT_TRUE(f.CompileCoded(f.Call("take", {arg, arg, arg})));
        std::memset(&Received, 0xEE, sizeof Received);
        EXPECT_EQ(f.Evaluate(), 0);
        taker.Check(static_cast<std::int64_t>(Negated(result, minus)),
                    std::string(minus ? "-" : "") + "fr" + TypeCode[r]);
      }
    }
  }
}

TEST(IntegerArguments, NumbersOfEveryWidth) {
  const std::int64_t samples[] = {0, 1, -1, 127, -128, 255, 32767, -32768, 65535, 2147483647,
                                  -2147483647 - 1, 4294967295LL, 0x7FFFFFFFFFFFFFFFLL, -0x123456789LL};
  for (int p = vtInt8; p <= vtInt64; ++p) {
    const Taker taker(static_cast<TVarType>(p));
    TCallFennic f;
    taker.Register(f);
    for (std::int64_t v : samples) {
      const std::string arg = TCallFennic::Int(static_cast<TVarType>(p), v);
      f.Begin();
      ASSERT_TRUE(f.CompileCoded(f.Call("take", {arg, arg, arg})));
      if (v == 0 && p != vtInt64) {
        // XOR EAX,EAX / XOR EDX,EDX / XOR ECX,ECX, not a 5-byte move.
        const Bytes r = f.Routine();
        EXPECT_EQ(Hex(Bytes(r.begin(), r.begin() + 6)), "31 C0 31 D2 31 C9");
      }
      std::memset(&Received, 0xEE, sizeof Received);
      EXPECT_EQ(f.Evaluate(), 0);
      taker.Check(v, std::to_string(v));
    }
  }
}

// The encodings that move a call's result into the requested register,
// widened to the parameter: after the CALL, for EAX, ECX and EDX.
TEST(IntegerArguments, ResultAdaptationEncodings) {
  const struct {
    TFuncResult result;
    TVarType param;
    Bytes eax, ecx, edx;
  } cases[] = {
      // Signed results, wider parameters.
      {frInt8, vtInt16, {0x66, 0x98}, {0x0F, 0xBE, 0xC8}, {0x0F, 0xBE, 0xD0}},
      {frInt8, vtUInt32, {0x0F, 0xBE, 0xC0}, {0x0F, 0xBE, 0xC8}, {0x0F, 0xBE, 0xD0}},
      {frInt16, vtInt32, {0x98}, {0x0F, 0xBF, 0xC8}, {0x0F, 0xBF, 0xD0}},
      // Unsigned results, wider parameters.
      {frUInt8, vtUInt16, {0x0F, 0xB6, 0xC0}, {0x0F, 0xB6, 0xC8}, {0x0F, 0xB6, 0xD0}},
      {frUInt16, vtInt32, {0x0F, 0xB7, 0xC0}, {0x0F, 0xB7, 0xC8}, {0x0F, 0xB7, 0xD0}},
      // Not wider: a move out of EAX.
      {frInt32, vtInt8, {}, {0x8B, 0xC8}, {0x8B, 0xD0}},
      {frUInt16, vtInt16, {}, {0x8B, 0xC8}, {0x8B, 0xD0}},
  };
  for (const auto& c : cases) {
    const Bytes* expected[3] = {&c.eax, &c.ecx, &c.edx};
    const TPushed regs[3] = {pEAX, pECX, pEDX};
    for (int k = 0; k < 3; ++k) {
      TCallFennic f;
      ASSERT_NE(f.RegisterFuncExt("g", "", ctCdecl, c.result, 0, reinterpret_cast<void*>(&HostRaw), false), 0);
      f.StartSizing();
      const TCallArg arg = f.IntegerNode(MarkerWithCode(FuncMarker, f.FuncCode("g")));
      EXPECT_EQ(f.PushPar(arg, TVarDef{c.param, psValue}, regs[k], 0), regs[k]);
      const Bytes r = f.Recorded();
      ASSERT_GE(r.size(), CallLength);
      EXPECT_EQ(Hex(Bytes(r.begin() + CallLength, r.end())), Hex(*expected[k]))
          << "result " << int(c.result) << " to parameter " << int(c.param) << " in register " << k;
    }
  }
}

// The 64-bit forms: EDX:EAX from calls and variables, numbers straight into
// the slot.
TEST(IntegerArguments, SixtyFourBitEncodings) {
  PINS_BYTES_OF(i386);
  std::int8_t i8 = 0;
  std::uint32_t u32 = 0;
  std::int64_t i64 = 0;
  TCallFennic f;
  f.RegisterVarExt("i8", vtInt8, &i8);
  f.RegisterVarExt("u32", vtUInt32, &u32);
  f.RegisterVarExt("i64", vtInt64, &i64);
  ASSERT_NE(f.RegisterFuncExt("g8", "", ctCdecl, frInt8, 0, reinterpret_cast<void*>(&HostRaw), false), 0);
  ASSERT_NE(f.RegisterFuncExt("gu16", "", ctCdecl, frUInt16, 0, reinterpret_cast<void*>(&HostRaw), false), 0);
  ASSERT_NE(f.RegisterFuncExt("g16", "", ctCdecl, frInt16, 0, reinterpret_cast<void*>(&HostRaw), false), 0);
  ASSERT_NE(f.RegisterFuncExt("g32", "", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostRaw), false), 0);
  ASSERT_NE(f.RegisterFuncExt("gu32", "", ctCdecl, frUInt32, 0, reinterpret_cast<void*>(&HostRaw), false), 0);
  ASSERT_NE(f.RegisterFuncExt("g64", "", ctCdecl, frInt64, 0, reinterpret_cast<void*>(&HostRaw), false), 0);
  const TVarDef wide{vtInt64, psValue};
  auto node = [&f](const std::string& text, bool minus = false) { return f.IntegerNode(text, minus); };
  auto call = [&f](const char* name) { return MarkerWithCode(FuncMarker, f.FuncCode(name)); };
  const struct {
    TCallArg arg;
    TPushed kind;
    Bytes code;  // after a CALL's five bytes where there is one
    bool afterCall;
  } cases[] = {
      {node(call("g8")), pInt64, {0x0F, 0xBE, 0xC0, 0x99}, true},
      {node(call("g16")), pInt64, {0x98, 0x99}, true},
      {node(call("g32")), pInt64, {0x99}, true},
      {node(call("gu16")), pInt64, {0x0F, 0xB7, 0xC0, 0x31, 0xD2}, true},
      {node(call("gu32")), pInt64, {0x31, 0xD2}, true},
      {node(call("g64")), pInt64, {}, true},
      {node(call("g64"), true), pInt64, {0xF7, 0xD8, 0x83, 0xD2, 0x00, 0xF7, 0xDA}, true},
      {node(f.Var("i8")), pInt64, Bytes{0x0F, 0xBE, 0x05} + Addr(&i8) + Bytes{0x99}, false},
      {node(f.Var("u32")), pInt64, Bytes{0x31, 0xD2, 0x8B, 0x05} + Addr(&u32), false},
      {node(f.Var("i64")), pInt64, Bytes{0x8B, 0x15} + Addr(&i64, 4) + Bytes{0x8B, 0x05} + Addr(&i64), false},
      {node(TCallFennic::Int(vtInt64, -2)), pMemory,
       {0xC7, 0x44, 0x24, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0xC7, 0x44, 0x24, 0x08, 0xFE, 0xFF, 0xFF, 0xFF}, false},
  };
  for (const auto& c : cases) {
    f.StartSizing();
    f.Level().Pushed = 16;
    EXPECT_EQ(f.PushPar(c.arg, wide, pEAX, -8), c.kind);
    Bytes r = f.Recorded();
    if (c.afterCall) r.erase(r.begin(), r.begin() + 5);
    EXPECT_EQ(Hex(r), Hex(c.code)) << PrintTree(f.FParNodes[c.arg.Index]);
  }
}

TEST(IntegerArguments, NarrowValuesForTheSlotGoThroughEax) {
  PINS_BYTES_OF(i386);
  std::uint16_t u16 = 0;
  TCallFennic f;
  f.RegisterVarExt("u16", vtUInt16, &u16);
  const TVarDef narrow{vtInt32, psValue};
  auto node = [&f](const std::string& text) { return f.IntegerNode(text); };
  f.StartSizing();
  f.Level().Pushed = 4;
  // A number is written straight into the slot...
  EXPECT_EQ(f.PushPar(node(TCallFennic::Int(vtInt32, 5)), narrow, pMemory, -4), pMemory);
  EXPECT_EQ(Hex(f.Recorded()), "C7 04 24 05 00 00 00");
  // ...a variable is loaded into EAX for ProcessPar to store.
  f.ClearRecord();
  EXPECT_EQ(f.PushPar(node(f.Var("u16")), narrow, pMemory, -4), pEAX);
  EXPECT_EQ(Hex(f.Recorded()), Hex(Bytes{0x0F, 0xB7, 0x05} + Addr(&u16)));
  // A by-reference argument: the variable's address as an immediate.
  f.ClearRecord();
  EXPECT_EQ(f.PushPar(f.Reference("u16"), TVarDef{vtUInt16, psReference}, pECX, 0), pECX);
  EXPECT_EQ(Hex(f.Recorded()), Hex(Bytes{0xB9} + Addr(&u16)));
}

TEST(IntegerArguments, ByReferenceAddressesInRegistersAndSlots) {
  double x = 0;
  float y = 0;
  std::int16_t z = 0;
  std::int64_t w = 0;
  TCallFennic f;
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("y", vtSingle, &y);
  f.RegisterVarExt("z", vtInt16, &z);
  f.RegisterVarExt("w", vtInt64, &w);
  // Four addresses: EAX, EDX, ECX and the one slot.
  ASSERT_NE(f.RegisterFuncExt("refs", "rf64rf32ri16ri64", ctBuilt_in, frExtended, 1, nullptr, false,
                              Recorder(PushWidth)),
            0);
  f.Begin();
  ASSERT_TRUE(f.CompileCoded(f.Call("refs", {"x", "y", "z", "w"})));
  std::memset(&Received, 0, sizeof Received);
  EXPECT_EQ(f.Evaluate(), 0);
  auto address = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p); };
  EXPECT_EQ(Received.Regs[0], address(&x));
  EXPECT_EQ(Received.Regs[1], address(&y));
  EXPECT_EQ(Received.Regs[2], address(&z));
  std::uintptr_t slot;
  std::memcpy(&slot, Received.Stack, sizeof slot);
  EXPECT_EQ(slot, address(&w));
}

}  // namespace
}  // namespace fennic::testing
