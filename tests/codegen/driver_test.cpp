// The driver's two passes, the code buffer in executable memory and Evaluate,
// with routines built by driving the primitives directly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "fennic/core/x87guard.h"
#include "support/codegen_recorder.h"
#include "support/simplifier_probe.h"
#include "support/x87_state.h"

namespace fennic::testing {
namespace {

// Permissions ("r-xp" ...) of the mapping that holds p, or "" when none does.
std::string PermissionsOf(const void* p) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  const auto addr = reinterpret_cast<std::uintptr_t>(p);
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, perms;
    in >> range >> perms;
    const auto dash = range.find('-');
    const std::uintptr_t lo = std::stoul(range.substr(0, dash), nullptr, 16);
    const std::uintptr_t hi = std::stoul(range.substr(dash + 1), nullptr, 16);
    if (addr >= lo && addr < hi) return perms;
  }
  return "";
}

bool AnyMappingWritableAndExecutable() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream in(line);
    std::string range, perms;
    in >> range >> perms;
    if (perms.size() >= 3 && perms[1] == 'w' && perms[2] == 'x') return true;
  }
  return false;
}

TEST(Component, ANewComponentHoldsTheOneByteRoutine) {
  TFennic f;
  EXPECT_EQ(f.CompError(), eValExpected);
  EXPECT_TRUE(f.AutoCompile());
  ASSERT_EQ(f.CodeSize(), 1u);
  EXPECT_EQ(f.CodeBytes()[0], 0xC3);
  EXPECT_EQ(PermissionsOf(f.CodeBytes()).substr(0, 3), "r-x");
  // It returns at once. Called through Evaluate, the caller would pop a value
  // that the routine never pushed (an x87 stack underflow, and TOP off by one).
  reinterpret_cast<void (*)()>(reinterpret_cast<std::uintptr_t>(f.CodeBytes()))();
  EXPECT_EQ(f.CodeSize(), 1u);
}

TEST(Component, RejectedTextLeavesTheOneByteRoutine) {
  TRecordingFennic f;
  double x = 2;
  f.RegisterVarExt("x", vtDouble, &x);
  f.Generate(0, [&] { f.FldVar(TVariable{"x", vtDouble, &x}, false); });
  ASSERT_GT(f.CodeSize(), 1u);

  f.SetAutoCompile(false);
  f.SetExprString("x+*");
  EXPECT_EQ(f.ExprString(), "x+*");
  EXPECT_GT(f.CodeSize(), 1u) << "AutoCompile off: nothing changes before Compile";
  EXPECT_EQ(f.Evaluate(), 2.0L);

  f.Compile();
  EXPECT_TRUE(f.CompError() != eNone && f.CompError() != eDomain);
  EXPECT_EQ(f.Routine(), (Bytes{0xC3}));

  f.SetAutoCompile(true);
  f.SetExprString("(");
  EXPECT_TRUE(f.CompError() != eNone && f.CompError() != eDomain);
  EXPECT_EQ(f.Routine(), (Bytes{0xC3}));
}

// Every way to be left without a routine: CompError says so, the code is
// the single RET, and Evaluate gives a quiet NaN with the x87 state as it
// was (the bare RET made the caller pop a register never pushed).
TEST(Component, WithoutARoutineEvaluateGivesAQuietNaNAndLeavesTheX87Alone) {
  enum TWay { New, Rejected, SumFault, HeapExhausted, GeneratorDefect };
  struct TFailing : TFennic {
    TWay Way = New;
    void AddComm(const std::uint8_t* Bytes, std::int32_t Count) override {
      if (Way == HeapExhausted) throw std::bad_alloc();
      if (Way == GeneratorDefect && FWriting) throw ECodeGenError("a defect");
      TFennic::AddComm(Bytes, Count);
    }
  };
  const struct {
    TWay Way;
    const char* Text;
    TError Error;
    bool Throws;
  } cases[] = {
      {New, "", eValExpected, false},
      {Rejected, "x+*", eValExpected, false},
      {SumFault, "x + 1e4932 + 1e4932", eAborted, true},
      {HeapExhausted, "x*2", eAborted, true},
      {GeneratorDefect, "x*2", eAborted, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    double x = 2;
    TFailing f;
    f.RegisterVarExt("x", vtDouble, &x);
    if (c.Way != New) {
      f.SetExprString("x");
      ASSERT_EQ(f.Evaluate(), 2);
      f.Way = c.Way;
      TScopedControlWord cw(Unmasked(X87Overflow));
      bool thrown = false;
      try {
        f.SetExprString(c.Text);
      } catch (const std::exception&) {
        thrown = true;
      }
      EXPECT_EQ(thrown, c.Throws);
    }
    EXPECT_EQ(f.CompError(), c.Error);
    EXPECT_EQ(f.Diagnostic().Error, c.Error);
    EXPECT_FALSE(f.Diagnostic().Message.empty());
    ASSERT_EQ(f.CodeSize(), 1u);
    EXPECT_EQ(f.CodeBytes()[0], 0xC3);

    ResetX87(DefaultControlWord);
    const long double v = f.Evaluate();
    const TX87State after = ReadX87State();
    EXPECT_EQ(X87StateFaults(after, DefaultControlWord), "");
    EXPECT_EQ(after.StatusWord & 0x7F, 0) << "flags raised";
    std::uint64_t mantissa;
    std::memcpy(&mantissa, &v, 8);
    EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(mantissa >> 62, 3u) << "not a quiet NaN";
  }
}

TEST(Component, CompileReleasesTheTreesOnEveryExit) {
  struct Probe : TRecordingFennic {
    using TRecordingFennic::FTrees;
  } f;
  f.FTrees.push_back(new TTreeNode{});
  f.FTrees[0]->Left = new TTreeNode{};
  f.SetExprString("1+");
  EXPECT_TRUE(f.FTrees.empty());
  EXPECT_TRUE(f.FLevels.empty());
  EXPECT_TRUE(f.FIntInfo.empty());
}

// One host variable of every type, with a value before and after the host changes it.
struct HostValues {
  std::int8_t i8 = -100;
  std::uint8_t u8 = 200;
  std::int16_t i16 = -30000;
  std::uint16_t u16 = 60000;
  std::int32_t i32 = -2000000000;
  std::uint32_t u32 = 4000000000u;
  std::int64_t i64 = 1234567890123456789LL;
  float f32 = 1.5f;
  double f64 = 0.1;
  long double f80 = 1.0L / 3.0L;
};

struct VariableCase {
  TVarType type;
  void* (*address)(HostValues&);
  long double (*value)(const HostValues&);
  void (*change)(HostValues&);
};

const VariableCase kVariables[] = {
    {vtInt8, [](HostValues& h) -> void* { return &h.i8; }, [](const HostValues& h) { return (long double)h.i8; },
     [](HostValues& h) { h.i8 = 127; }},
    {vtUInt8, [](HostValues& h) -> void* { return &h.u8; }, [](const HostValues& h) { return (long double)h.u8; },
     [](HostValues& h) { h.u8 = 255; }},
    {vtInt16, [](HostValues& h) -> void* { return &h.i16; }, [](const HostValues& h) { return (long double)h.i16; },
     [](HostValues& h) { h.i16 = -1; }},
    {vtUInt16, [](HostValues& h) -> void* { return &h.u16; }, [](const HostValues& h) { return (long double)h.u16; },
     [](HostValues& h) { h.u16 = 65535; }},
    {vtInt32, [](HostValues& h) -> void* { return &h.i32; }, [](const HostValues& h) { return (long double)h.i32; },
     [](HostValues& h) { h.i32 = 7; }},
    {vtUInt32, [](HostValues& h) -> void* { return &h.u32; }, [](const HostValues& h) { return (long double)h.u32; },
     [](HostValues& h) { h.u32 = 0xFFFFFFFFu; }},
    {vtInt64, [](HostValues& h) -> void* { return &h.i64; }, [](const HostValues& h) { return (long double)h.i64; },
     [](HostValues& h) { h.i64 = -(1LL << 62); }},
    {vtSingle, [](HostValues& h) -> void* { return &h.f32; }, [](const HostValues& h) { return (long double)h.f32; },
     [](HostValues& h) { h.f32 = -0.25f; }},
    {vtDouble, [](HostValues& h) -> void* { return &h.f64; }, [](const HostValues& h) { return (long double)h.f64; },
     [](HostValues& h) { h.f64 = 1e300; }},
    {vtExtended, [](HostValues& h) -> void* { return &h.f80; }, [](const HostValues& h) { return h.f80; },
     [](HostValues& h) { h.f80 = -1e4000L; }},
};

TEST(Evaluate, ALoadedVariableFollowsTheHostsValue) {
  for (bool align : {true, false}) {
    for (const VariableCase& c : kVariables) {
      HostValues h;
      TRecordingFennic f;
      f.SetAlignMode(align);
      const TVariable v{"v", c.type, c.address(h)};
      f.RegisterVar(v);
      f.Generate(0, [&] { f.FldVar(v, false); });
      EXPECT_EQ(f.Evaluate(), c.value(h)) << "type " << int(c.type) << " align " << align;
      c.change(h);
      EXPECT_EQ(f.Evaluate(), c.value(h)) << "changed, type " << int(c.type) << " align " << align;
    }
  }
}

TEST(Evaluate, ConstantsComeFromThePool) {
  Bytes pool(48, 0);
  const float s = 0.75f;
  const double d = 2.5;
  const long double e = 1.0L / 7.0L;
  std::memcpy(&pool[4], &s, 4);
  std::memcpy(&pool[8], &d, 8);
  std::memcpy(&pool[16], &e, 10);
  const struct {
    TVarType type;
    std::int32_t offset;
    bool negate;
    long double expected;
  } cases[] = {
      {vtSingle, 4, false, 0.75L},  {vtDouble, 8, false, 2.5L},  {vtExtended, 16, false, e},
      {vtSingle, 4, true, -0.75L},  {vtDouble, 8, true, -2.5L},  {vtExtended, 16, true, -e},
  };
  for (const auto& c : cases) {
    TRecordingFennic f;
    f.SetPool(pool);
    f.Generate(0, [&] { f.FldVal(c.type, c.offset, c.negate, false); });
    EXPECT_EQ(f.Evaluate(), c.expected) << int(c.type) << (c.negate ? " negated" : "");
  }
}

// A widened copy measured at [ESP] and then moved by a wider temporary, and
// an extended temporary: the sizing pass corrects the level sizes.
void WidenStoreReload(TRecordingFennic& f, const TVariable& u) {
  f.FldVar(u, false);
  const std::int32_t t = f.AddVal(vtExtended);
  f.StoreTemp(otExtended, t);
  f.PopModel();
  f.FldVal(vtExtended, f.GetVal(vtExtended), false, true);
}

TEST(Passes, ShortFormsMeasuredAtZeroAreWidenedWhenTheirAreaMoves) {
  PINS_BYTES_OF(i386);
  std::uint32_t u = 4000000000u;
  TRecordingFennic f;
  const TVariable v{"u", vtUInt32, &u};
  f.RegisterVar(v);
  f.Generate(0, [&] { WidenStoreReload(f, v); });
  // Measured at [ESP] in both levels, written at FBase8 = 16 (behind the 16-byte temporary).
  const Bytes expected =
      Bytes{0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x08, 0x81, 0xE4} + Le32(-16) +
      Bytes{0x83, 0xC4, 0x08, 0x83, 0xEC, 0x18} +                               // prologue, frame 24
      Bytes{0x31, 0xD2, 0x8B, 0x05} + Le32(&u) + Bytes{0x89, 0x94, 0x24} + Le32(20) +
      Bytes{0x89, 0x84, 0x24} + Le32(16) +                                      // widening
      Bytes{0xDF, 0xAC, 0x24} + Le32(16) + Bytes{0xDB, 0x3C, 0x24, 0xDB, 0x2C, 0x24} +  // level 0
      Bytes{0x8B, 0xE5, 0x5D, 0xC3};
  EXPECT_EQ(f.Routine(), expected) << Hex(f.Routine());
  // The writing pass used [ESP] only where the area starts at 0.
  EXPECT_EQ(f.FLevels[1].Short8, 0);
  EXPECT_EQ(f.FLevels[0].Short8, 0);
  EXPECT_EQ(f.FLevels[0].Short16, 2);
  EXPECT_EQ(f.Evaluate(), 4000000000.0L);
  u = 17;
  EXPECT_EQ(f.Evaluate(), 17.0L);
}

TEST(Passes, BothAlignModesAgreeAndRun) {
  for (bool align : {true, false}) {
    std::uint8_t small = 250;
    std::uint32_t big = 3000000000u;
    TRecordingFennic f;
    f.SetAlignMode(align);
    const TVariable a{"a", vtUInt8, &small}, b{"b", vtUInt32, &big};
    f.RegisterVar(a);
    f.RegisterVar(b);
    f.Generate(0, [&] {
      WidenStoreReload(f, b);
      const std::int32_t t = f.AddVal(vtExtended);
      f.StoreTemp(otExtended, t);
      f.PopModel();
      f.FldVar(a, false);
      f.FldVar(a, false);  // a register copy
      f.StoreTemp(otExtended, f.AddVal(vtExtended));
      f.PopModel();
    });
    EXPECT_EQ(f.Evaluate(), 250.0L) << align;
    small = 3;
    EXPECT_EQ(f.Evaluate(), 3.0L) << align;
  }
}

TEST(Passes, HigherLevelsRunFirstAndTheRecordIsTheRoutine) {
  PINS_BYTES_OF(i386);
  double x = 6.5;
  TRecordingFennic f;
  const TVariable v{"x", vtDouble, &x};
  f.RegisterVar(v);
  f.Generate(1, [&] {
    f.FLevel = 1;  // computed ahead, as a flushed call is
    f.FldVar(v, true);
    f.StoreTemp(otExtended, f.AddVal(vtExtended));
    f.PopModel();
    f.FLevel = 0;
    f.FldVal(vtExtended, f.GetVal(vtExtended), false, true);
  });
  EXPECT_EQ(f.Evaluate(), -6.5L);
  ASSERT_EQ(f.FTopLevel, 3);
  Bytes byLevel;
  for (std::int32_t level = f.FTopLevel; level >= 0; --level) byLevel = byLevel + f.Recorded(level, true);
  EXPECT_EQ(byLevel, f.Routine());
  EXPECT_EQ(f.Recorded(1, true), (Bytes{0xDD, 0x05} + Le32(&x) + Bytes{0xD9, 0xE0, 0xDB, 0x3C, 0x24}));
  // Each level's writing-pass bytes have the length its sizing pass measured.
  for (std::int32_t level = 0; level <= f.FTopLevel; ++level)
    EXPECT_EQ(f.Recorded(level, true).size(), f.Recorded(level, false).size()) << level;
}

TEST(Passes, LoadsInsideALevelWithBytesPushedFindTheirSlots) {
  PINS_BYTES_OF(i386);
  std::uint8_t small = 42;
  TRecordingFennic f;
  const TVariable v{"s", vtUInt8, &small};
  f.RegisterVar(v);
  f.Generate(0, [&] {
    f.Emit(insPushEax);
    f.Level().Pushed += 4;
    f.FldVar(v, false);  // the widened copy is 4 bytes further from ESP now
    f.Emit(insPopEax);
    f.Level().Pushed -= 4;
  });
  EXPECT_EQ(f.Recorded(0, true), (Bytes{0x50, 0xDB, 0x84, 0x24, 4, 0, 0, 0, 0x58, 0x83, 0xC4, 0x04, 0xC3}));
  EXPECT_EQ(f.Evaluate(), 42.0L);
}

long double Seven() { return 7.0L; }

TEST(Passes, CallsAreRelativeToTheFinalBufferAndInlineCodeIsCopied) {
  PINS_BYTES_OF(i386);
  TRecordingFennic f;
  TFunction seven;
  seven.Address = reinterpret_cast<void*>(&Seven);
  f.Generate(0, [&] {
    f.Emit(insWait);
    f.AddFuncCall(seven);
  });
  const Bytes routine = f.Routine();
  ASSERT_EQ(routine.size(), 7u);
  const auto end = reinterpret_cast<std::uintptr_t>(f.CodeBytes()) + 6;
  EXPECT_EQ(routine, (Bytes{0x9B, 0xE8} + Le32(static_cast<std::int32_t>(
                                              reinterpret_cast<std::uintptr_t>(&Seven) - end)) +
                         Bytes{0xC3}));
  EXPECT_EQ(f.Evaluate(), 7.0L);

  TFunction one;
  one.Code = {0xD9, 0xE8};  // FLD1
  f.Generate(0, [&] { f.AddFuncCall(one); });
  EXPECT_EQ(f.Routine(), (Bytes{0xD9, 0xE8, 0xC3}));
  EXPECT_EQ(f.Evaluate(), 1.0L);
}

TEST(Passes, CodePagesAreNeverWritableAndExecutable) {
  double x = 1;
  TRecordingFennic f;
  const TVariable v{"x", vtDouble, &x};
  bool checkedWhileWriting = false;
  f.Generate(0, [&] {
    f.FldVar(v, false);
    if (f.FWriting) {
      EXPECT_FALSE(AnyMappingWritableAndExecutable());
      checkedWhileWriting = true;
    }
  });
  EXPECT_TRUE(checkedWhileWriting);
  EXPECT_FALSE(AnyMappingWritableAndExecutable());
  EXPECT_EQ(PermissionsOf(f.CodeBytes()).substr(0, 3), "r-x");
  // A new routine replaces the old one. The old address never becomes
  // writable again: its pages are gone, or still read+execute in a pooled
  // chunk that hands out every address once.
  const std::uint8_t* old = f.CodeBytes();
  f.Generate(0, [&] { f.FldVar(v, true); });
  EXPECT_EQ(f.Evaluate(), -1.0L);
  if (f.CodeBytes() != old) {
    const std::string perms = PermissionsOf(old);
    EXPECT_TRUE(perms.empty() || perms.substr(0, 3) == "r-x") << perms;
  }
  EXPECT_FALSE(AnyMappingWritableAndExecutable());
}

TEST(Passes, PassesThatDisagreeAreAnInternalErrorNeverARoutine) {
  double x = 1;
  const TVariable v{"x", vtDouble, &x};
  for (bool longerWhenWriting : {true, false}) {
    TRecordingFennic f;
    f.Generate(0, [&] { f.FldVar(v, false); });
    ASSERT_GT(f.CodeSize(), 1u);
    EXPECT_THROW(f.Generate(0,
                            [&] {
                              f.FldVar(v, false);
                              if (f.FWriting == longerWhenWriting) f.Emit(insWait);
                            }),
                 ECodeGenError);
    EXPECT_EQ(f.Routine(), (Bytes{0xC3})) << longerWhenWriting;
  }
  // A body that leaves the expression's code outside level 0 is refused too.
  TRecordingFennic f;
  EXPECT_THROW(f.Generate(1, [&] { f.FLevel = 1; }), ECodeGenError);
  EXPECT_EQ(f.Routine(), (Bytes{0xC3}));
}

}  // namespace
}  // namespace fennic::testing
