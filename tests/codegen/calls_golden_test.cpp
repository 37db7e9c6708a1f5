// Call sequences byte for byte: whole routines of calls compiled from coded
// text, and the stores of argument values into their slots.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "codegen/calls_fixture.h"

namespace fennic::testing {
namespace {

extern "C" __attribute__((force_align_arg_pointer)) std::int32_t HostSeven() { return 7; }
extern "C" __attribute__((force_align_arg_pointer)) std::int32_t HostThree() { return 3; }
extern "C" __attribute__((force_align_arg_pointer)) double HostHalf() { return 0.5; }

struct Host {
  double a = 1.25, b = -2.5, c = 4, d = 0.5;
  std::int32_t i = 10, j = -20, k = 300, l = 4000;
  std::int64_t n = 0x123456789LL;
  TCallFennic f;
  Host() {
    f.RegisterVarExt("a", vtDouble, &a);
    f.RegisterVarExt("b", vtDouble, &b);
    f.RegisterVarExt("c", vtDouble, &c);
    f.RegisterVarExt("d", vtDouble, &d);
    f.RegisterVarExt("i", vtInt32, &i);
    f.RegisterVarExt("j", vtInt32, &j);
    f.RegisterVarExt("k", vtInt32, &k);
    f.RegisterVarExt("l", vtInt32, &l);
    f.RegisterVarExt("n", vtInt64, &n);
  }
  Bytes Routine() const { return f.Routine(); }
};

const Bytes Ret{0xC3};

// Three doubles for a function that keeps six x87 registers for itself:
// two arguments fit on the x87 stack, the third takes the 8-byte slot.
// The inline code adds them and removes its slot.
const Bytes AddThree{0xDE, 0xC1, 0xDC, 0x04, 0x24, 0x83, 0xC4, 0x08};

TEST(CallRoutines, BuiltInWithTwoX87ArgumentsAndOneInItsSlot) {
  PINS_BYTES_OF(i386);
  Host h;
  ASSERT_NE(h.f.RegisterFuncExt("add3", "vf64vf64vf64", ctBuilt_in, frExtended, 6, nullptr, false, AddThree), 0);

  // The third a variable of its own type: copied through EDX:EAX.
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(h.f.Call("add3", {h.f.Var("a"), h.f.Var("b"), h.f.Var("c")})));
  EXPECT_EQ(Hex(h.Routine()), Hex(Bytes{0x83, 0xEC, 0x08, 0x8B, 0x15} + Addr(&h.c, 4) + Bytes{0x8B, 0x05} +
                                  Addr(&h.c) + Bytes{0x89, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24, 0xDD, 0x05} +
                                  Addr(&h.a) + Bytes{0xDD, 0x05} + Addr(&h.b) + AddThree + Ret));
  EXPECT_EQ(h.f.Evaluate(), 1.25L - 2.5L + 4);

  // The third a product: stored into the slot by its operation group,
  // which leaves the x87 arguments out of order until they are exchanged
  // back (the last parameter in ST0).
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(
      h.f.Call("add3", {h.f.Var("a"), h.f.Var("b"), h.f.Var("c") + "*" + h.f.Var("d")})));
  EXPECT_EQ(Hex(h.Routine()),
            Hex(Bytes{0x83, 0xEC, 0x08, 0xDD, 0x05} + Addr(&h.c) + Bytes{0xDD, 0x05} + Addr(&h.d) +
                Bytes{0xDD, 0x05} + Addr(&h.a) + Bytes{0xD9, 0xC9, 0xDD, 0x05} + Addr(&h.b) +
                Bytes{0xD9, 0xC9,              // the second x87 argument to its place
                      0xDE, 0xCB,              // FMULP ST(3): c*d
                      0xD9, 0xCA, 0xDD, 0x1C, 0x24,  // stored into the slot
                      0xD9, 0xC9} +            // b back to ST0
                AddThree + Ret));
  EXPECT_EQ(h.f.Evaluate(), 1.25L - 2.5L + 2);
}

TEST(CallRoutines, FourIntegerVariablesToABuiltInFunction) {
  PINS_BYTES_OF(i386);
  Host h;
  // EAX + EDX + ECX + [ESP], then the slot removed; an integer result.
  const Bytes sum{0x01, 0xD0, 0x01, 0xC8, 0x03, 0x04, 0x24, 0x83, 0xC4, 0x04};
  ASSERT_NE(h.f.RegisterFuncExt("sum4", "vi32vi32vi32vi32", ctBuilt_in, frInt32, 0, nullptr, false, sum), 0);
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(h.f.Call("sum4", {h.f.Var("i"), h.f.Var("j"), h.f.Var("k"), h.f.Var("l")})));
  // The call runs ahead, its result widened into a 4-byte temporary: the
  // fourth argument goes to the bottom of the area through EAX before the
  // registers are loaded.
  EXPECT_EQ(Hex(h.Routine()),
            Hex(Bytes{0x83, 0xEC, 0x04} +                                   // frame
                Bytes{0x83, 0xEC, 0x04, 0x8B, 0x05} + Addr(&h.l) + Bytes{0x89, 0x04, 0x24} +
                Bytes{0x8B, 0x05} + Addr(&h.i) + Bytes{0x8B, 0x15} + Addr(&h.j) + Bytes{0x8B, 0x0D} +
                Addr(&h.k) + sum + Bytes{0x89, 0x04, 0x24} +                  // result to its temporary
                Bytes{0xDB, 0x04, 0x24} +                                     // and onto the x87 stack
                Bytes{0x83, 0xC4, 0x04} + Ret));
  EXPECT_EQ(h.f.Evaluate(), 10 - 20 + 300 + 4000);
}

TEST(CallRoutines, NegatedSixtyFourBitVariable) {
  PINS_BYTES_OF(i386);
  Host h;
  const Bytes fild{0xDF, 0x2C, 0x24, 0x83, 0xC4, 0x08};
  ASSERT_NE(h.f.RegisterFuncExt("wide", "vi64", ctBuilt_in, frExtended, 0, nullptr, false, fild), 0);
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(h.f.Call("wide", {"-" + h.f.Var("n")})));
  EXPECT_EQ(Hex(h.Routine()), Hex(Bytes{0x83, 0xEC, 0x08, 0x8B, 0x15} + Addr(&h.n, 4) + Bytes{0x8B, 0x05} +
                                  Addr(&h.n) + Bytes{0xF7, 0xD8, 0x83, 0xD2, 0x00, 0xF7, 0xDA} +
                                  Bytes{0x89, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24} + fild + Ret));
  EXPECT_EQ(h.f.Evaluate(), -0x123456789LL);
}

TEST(CallRoutines, TwoRegisterArgumentsThatAreCalls) {
  PINS_BYTES_OF(i386);
  Host h;
  // EAX - EDX onto the x87 stack through the stack.
  const Bytes sub{0x29, 0xD0, 0x50, 0xDB, 0x04, 0x24, 0x58};
  ASSERT_NE(h.f.RegisterFuncExt("sub2", "vi32vi32", ctBuilt_in, frExtended, 1, nullptr, false, sub), 0);
  ASSERT_NE(h.f.RegisterFuncExt("seven", "", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostSeven), false), 0);
  ASSERT_NE(h.f.RegisterFuncExt("three", "", ctCdecl, frInt32, 0, reinterpret_cast<void*>(&HostThree), false), 0);
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(h.f.Call("sub2", {h.f.Call("seven"), h.f.Call("three")})));
  const Bytes r = h.Routine();
  ASSERT_EQ(r.size(), 1 + 4 + 1 + 5 + 2 + 1 + sub.size() + 1);
  // CALL seven; PUSH EAX; CALL three; MOV EDX,EAX; POP EAX.
  EXPECT_EQ(Hex(r), Hex(Bytes{0xE8} + CallTo(h.f.CodeBytes(), 1, reinterpret_cast<void*>(&HostSeven)) + Bytes{0x50, 0xE8} +
                        CallTo(h.f.CodeBytes(), 7, reinterpret_cast<void*>(&HostThree)) + Bytes{0x8B, 0xD0, 0x58} + sub +
                        Ret));
  EXPECT_EQ(h.f.Evaluate(), 4);
}

// Register arguments: calls first, the one that needs more x87 registers
// first among them; each keeps its register. A register already loaded is
// saved around every later call, and around an x87 argument that calls.
TEST(CallRoutines, RegisterArgumentsLoadedCallsFirst) {
  PINS_BYTES_OF(i386);
  Host h;
  // Integer results of inline code needing 1 and 3 x87 registers.
  const Bytes one{0xB8, 0x01, 0x00, 0x00, 0x00}, two{0xB8, 0x02, 0x00, 0x00, 0x00};
  ASSERT_NE(h.f.RegisterFuncExt("one", "", ctBuilt_in, frInt32, 1, nullptr, false, one), 0);
  ASSERT_NE(h.f.RegisterFuncExt("two", "", ctBuilt_in, frInt32, 3, nullptr, false, two), 0);
  // EAX * 100 + EDX * 10 + ECX, onto the x87 stack.
  const Bytes combine{0x6B, 0xC0, 0x64, 0x6B, 0xD2, 0x0A, 0x01, 0xD0, 0x01, 0xC8, 0x50, 0xDB, 0x04, 0x24, 0x58};
  ASSERT_NE(h.f.RegisterFuncExt("digits", "vi32vi32vi32", ctBuilt_in, frExtended, 1, nullptr, false, combine), 0);
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(h.f.Call("digits", {h.f.Var("k"), h.f.Call("one"), h.f.Call("two")})));
  EXPECT_EQ(Hex(h.Routine()), Hex(two + Bytes{0x8B, 0xC8, 0x51} + one + Bytes{0x8B, 0xD0, 0x8B, 0x05} + Addr(&h.k) +
                                  Bytes{0x59} + combine + Ret));
  EXPECT_EQ(h.f.Evaluate(), 300 * 100 + 1 * 10 + 2);
}

extern "C" __attribute__((force_align_arg_pointer)) double HostSquare(double x) { return x * x; }

TEST(CallRoutines, LoadedRegistersSavedAroundAnX87ArgumentThatCalls) {
  PINS_BYTES_OF(i386);
  Host h;
  // Needs every x87 register: loaded before the x87 argument.
  ASSERT_NE(h.f.RegisterFuncExt("seven", "", ctCdecl, frInt32, 8, reinterpret_cast<void*>(&HostSeven), false), 0);
  ASSERT_NE(h.f.RegisterFuncExt("sq", "vf64", ctCdecl, frDouble, 2, reinterpret_cast<void*>(&HostSquare), false), 0);
  const Bytes addEax{0x50, 0xDA, 0x04, 0x24, 0x58};  // FIADD DWORD PTR [EAX pushed]
  ASSERT_NE(h.f.RegisterFuncExt("addn", "vi32vf80", ctBuilt_in, frExtended, 0, nullptr, false, addEax), 0);
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(h.f.Call("addn", {h.f.Call("seven"), h.f.Call("sq", {h.f.Var("c")})})));
  const std::uint8_t* code = h.f.CodeBytes();
  // CALL seven; PUSH EAX; sq(c) with its slot addressed past the saved
  // register; POP EAX; the inline code.
  EXPECT_EQ(Hex(h.Routine()),
            Hex(Bytes{0xE8} + CallTo(code, 1, reinterpret_cast<void*>(&HostSeven)) + Bytes{0x50, 0x83, 0xEC, 0x08} +
                Bytes{0x8B, 0x15} + Addr(&h.c, 4) + Bytes{0x8B, 0x05} + Addr(&h.c) +
                Bytes{0x89, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24, 0xE8} +
                CallTo(code, 29, reinterpret_cast<void*>(&HostSquare)) + Bytes{0x83, 0xC4, 0x08, 0x58} + addEax +
                Ret));
  EXPECT_EQ(h.f.Evaluate(), 7 + 16);
}

TEST(CallEmission, SearchFuncFindsCallsMadeInPlace) {
  TCallFennic f;
  auto leaf = [](TNodeKind kind, bool flushed = false) {
    auto* n = new TTreeNode;
    n->Kind = kind;
    n->Code = 1;
    n->Flushed = flushed;
    return n;
  };
  auto op = [](TTreeNode* l, TTreeNode* r, bool flushed = false) {
    auto* n = new TTreeNode;
    n->Op = TOperator::Add;
    n->Left = l;
    n->Right = r;
    n->Flushed = flushed;
    return n;
  };
  const struct {
    TTreeNode* tree;
    bool found;
  } cases[] = {
      {leaf(TNodeKind::Variable), false},
      {leaf(TNodeKind::Call), true},
      {leaf(TNodeKind::Call, true), false},  // computed ahead, on another level
      {op(leaf(TNodeKind::Variable), op(leaf(TNodeKind::Number), leaf(TNodeKind::Call))), true},
      {op(leaf(TNodeKind::Call, true), leaf(TNodeKind::Variable)), false},
      {op(leaf(TNodeKind::Call), leaf(TNodeKind::Variable), true), false},  // an isolated tree
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f.SearchFunc(c.tree), c.found);
    TBuilder::KillTree(c.tree);
  }
  // A chain far deeper than the machine stack would take.
  TTreeNode* chain = leaf(TNodeKind::Call);
  for (int i = 0; i < 200000; ++i) chain = op(chain, leaf(TNodeKind::Variable));
  EXPECT_TRUE(f.SearchFunc(chain));
  TBuilder::KillTree(chain);
}

TEST(CallRoutines, FunctionWithoutParametersReservesNoArea) {
  PINS_BYTES_OF(i386);
  Host h;
  ASSERT_NE(h.f.RegisterFuncExt("half", "", ctCdecl, frDouble, 1, reinterpret_cast<void*>(&HostHalf), false), 0);
  h.f.Begin();
  ASSERT_TRUE(h.f.CompileCoded(h.f.Call("half")));
  const Bytes r = h.Routine();
  EXPECT_EQ(Hex(r), Hex(Bytes{0xE8} + CallTo(h.f.CodeBytes(), 1, reinterpret_cast<void*>(&HostHalf)) + Ret));
  EXPECT_EQ(h.f.Evaluate(), 0.5L);
}

// Floating-point constants are converted while compiling and written as
// immediates, the dword at the highest address first.
TEST(CallRoutines, ConstantsConvertedToTheParameterType) {
  PINS_BYTES_OF(i386);
  const long double inf = std::numeric_limits<long double>::infinity();
  const struct {
    const char* paramText;
    long double value;
    Bytes stores;
    long double result;
  } cases[] = {
      // Too large for a single: its infinity, of the value's sign.
      {"vf32", 1e300L, Bytes{0xC7, 0x04, 0x24, 0x00, 0x00, 0x80, 0x7F}, inf},
      {"vf32", -1e300L, Bytes{0xC7, 0x04, 0x24, 0x00, 0x00, 0x80, 0xFF}, -inf},
      // Lost to underflow: zero.
      {"vf32", 1e-300L, Bytes{0xC7, 0x04, 0x24, 0x00, 0x00, 0x00, 0x00}, 0},
      // Rounded to the nearest single.
      {"vf32", 0.1L, Bytes{0xC7, 0x04, 0x24, 0xCD, 0xCC, 0xCC, 0x3D}, 0.1f},
      {"vf64", 0.5L, Bytes{0xC7, 0x44, 0x24, 0x04, 0x00, 0x00, 0xE0, 0x3F, 0xC7, 0x04, 0x24, 0, 0, 0, 0}, 0.5L},
      // An extended value padded with two zero bytes.
      {"vf80", -3.0L,
       Bytes{0xC7, 0x44, 0x24, 0x08, 0x00, 0xC0, 0x00, 0x00, 0xC7, 0x44, 0x24, 0x04, 0x00, 0x00, 0x00, 0xC0,
             0xC7, 0x04, 0x24, 0, 0, 0, 0},
       -3.0L},
  };
  for (const auto& c : cases) {
    const std::string paramText = c.paramText;
    const std::int32_t size = paramText == "vf32" ? 4 : paramText == "vf64" ? 8 : 12;
    const std::uint8_t load = paramText == "vf32" ? 0xD9 : paramText == "vf64" ? 0xDD : 0xDB;
    const std::uint8_t modrm = paramText == "vf80" ? 0x2C : 0x04;
    // No x87 room: the argument travels in the slot.
    const Bytes code{load, modrm, 0x24, 0x83, 0xC4, static_cast<std::uint8_t>(size)};
    Host h;
    ASSERT_NE(h.f.RegisterFuncExt("g", paramText, ctBuilt_in, frExtended, 8, nullptr, false, code), 0);
    h.f.Begin();
    ASSERT_TRUE(h.f.CompileCoded(h.f.Call("g", {h.f.Num(c.value)})));
    EXPECT_EQ(Hex(h.Routine()), Hex(Bytes{0x83, 0xEC, static_cast<std::uint8_t>(size)} + c.stores + code + Ret))
        << paramText << " " << static_cast<double>(c.value);
    EXPECT_EQ(h.f.Evaluate(), c.result) << paramText << " " << static_cast<double>(c.value);
  }
}

// ProcessPar stores EAX, or EDX:EAX high half first, at the slot's
// displacement: the short form at 0, a byte below 128, else a dword.
TEST(CallEmission, ProcessParStoresByDisplacement) {
  const struct {
    TPushed kind;
    std::int32_t pushed, offset;
    Bytes code;
  } cases[] = {
      {pEAX, 8, -8, {0x89, 0x04, 0x24}},
      {pEAX, 8, -4, {0x89, 0x44, 0x24, 0x04}},
      {pEAX, 200, -72, {0x89, 0x84, 0x24, 0x80, 0x00, 0x00, 0x00}},
      {pInt64, 8, -8, {0x89, 0x54, 0x24, 0x04, 0x89, 0x04, 0x24}},
      {pInt64, 130, -6, {0x89, 0x94, 0x24, 0x80, 0x00, 0x00, 0x00, 0x89, 0x44, 0x24, 0x7C}},
      {pInt64, 130, -3, {0x89, 0x94, 0x24, 0x83, 0x00, 0x00, 0x00, 0x89, 0x44, 0x24, 0x7F}},
      {pInt64, 130, -2, {0x89, 0x94, 0x24, 0x84, 0x00, 0x00, 0x00, 0x89, 0x84, 0x24, 0x80, 0x00, 0x00, 0x00}},
      {pInt64, 130, -7, {0x89, 0x54, 0x24, 0x7F, 0x89, 0x44, 0x24, 0x7B}},
      // Already in place.
      {pMemory, 8, -8, {}},
      {pSt0, 8, -8, {}},
      {pEDX, 8, -8, {}},
  };
  for (const auto& c : cases) {
    TCallFennic f;
    f.StartSizing();
    f.Level().Pushed = c.pushed;
    f.ProcessPar(c.kind, vtInt64, c.offset);
    EXPECT_EQ(Hex(f.Recorded()), Hex(c.code)) << int(c.kind) << " at " << c.pushed + c.offset;
  }
}

}  // namespace
}  // namespace fennic::testing
