// Exact bytes of the emission primitives and their effect on the register model.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>

#include "support/codegen_recorder.h"

namespace fennic::testing {
namespace {

class Emission : public ::testing::Test {
 protected:
  void SetUp() override { F.StartSizing(); }
  Bytes Level0() const { return F.Recorded(0); }
  TLevelInfo& L0() { return F.FLevels[0]; }
  // Fills the model with n computed values (key 00), ST0 = the last.
  void Occupy(std::int32_t n) {
    for (std::int32_t i = 0; i < n; ++i) {
      F.PushModel(NoKey);
      F.Level().Depth += 1;
    }
  }
  TRecordingFennic F;
};

TEST_F(Emission, AddCommVariantsAppendLittleEndianOperands) {
  PINS_BYTES_OF(i386);
  const std::uint8_t op[2] = {0xAB, 0xCD};
  TVariable v{"v", vtDouble, reinterpret_cast<void*>(0x12345678)};
  struct Case {
    const char* name;
    std::function<void()> emit;
    Bytes expected;
  };
  const Case cases[] = {
      {"AddComm", [&] { F.AddComm(op, 2); }, {0xAB, 0xCD}},
      {"AddComm nothing", [&] { F.AddComm(op, 0); }, {}},
      {"I8", [&] { F.AddCommAndI8(op, 2, 0x1F7); }, {0xAB, 0xCD, 0xF7}},
      {"I32", [&] { F.AddCommAndI32(op, 1, -2); }, {0xAB, 0xFE, 0xFF, 0xFF, 0xFF}},
      {"I8I32", [&] { F.AddCommAndI8AndI32(op, 1, 0x10, 0x01020304); },
       {0xAB, 0x10, 0x04, 0x03, 0x02, 0x01}},
      {"I32I32", [&] { F.AddCommAndI32AndI32(op, 2, 1, 0x7F800000); },
       {0xAB, 0xCD, 1, 0, 0, 0, 0x00, 0x00, 0x80, 0x7F}},
      {"Var", [&] { F.AddCommAndVar(op, 1, v, 4); }, {0xAB, 0x7C, 0x56, 0x34, 0x12}},
  };
  for (const Case& c : cases) {
    F.StartSizing();
    c.emit();
    EXPECT_EQ(Level0(), c.expected) << c.name;
    EXPECT_EQ(L0().CodePos, static_cast<std::int32_t>(c.expected.size())) << c.name;
  }
}

TEST_F(Emission, FldVarReadsEachDirectTypeFromItsAddress) {
  PINS_BYTES_OF(i386);
  alignas(16) char storage[16] = {};
  const struct {
    TVarType type;
    Bytes opcode;
  } cases[] = {
      {vtInt16, {0xDF, 0x05}},  {vtInt32, {0xDB, 0x05}},  {vtInt64, {0xDF, 0x2D}},
      {vtSingle, {0xD9, 0x05}}, {vtDouble, {0xDD, 0x05}}, {vtExtended, {0xDB, 0x2D}},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    F.FldVar(TVariable{"x", c.type, storage}, false);
    EXPECT_EQ(Level0(), c.opcode + Le32(storage)) << int(c.type);
    EXPECT_EQ(L0().Depth, 1);
    F.ClearRecord();
    F.FldVar(TVariable{"y", c.type, storage}, true);
    EXPECT_EQ(Level0(), (c.opcode + Le32(storage) + Bytes{0xD9, 0xE0})) << "negated " << int(c.type);
  }
}

TEST_F(Emission, NarrowAndUnsignedVariablesLoadTheirWidenedCopy) {
  PINS_BYTES_OF(i386);
  alignas(8) char storage[8] = {};
  const std::int32_t widening = 1;  // FTopLevel - 1 with no tree levels above 0
  const struct {
    TVarType type;
    Bytes widen;       // the block in the widening level, address follows
    Bytes store;       // the store of the widened value at offset 0
    Bytes load;        // the first load in level 0
    Bytes loadSecond;  // a second variable of the type, one slot further
    std::int32_t area;
  } cases[] = {
      {vtInt8, {0x0F, 0xBE, 0x05}, {0x89, 0x04, 0x24}, {0xDB, 0x04, 0x24},
       Bytes{0xDB, 0x84, 0x24} + Le32(4), 4},
      {vtUInt8, {0x0F, 0xB6, 0x05}, {0x89, 0x04, 0x24}, {0xDB, 0x04, 0x24},
       Bytes{0xDB, 0x84, 0x24} + Le32(4), 4},
      {vtUInt16, {0x0F, 0xB7, 0x05}, {0x89, 0x04, 0x24}, {0xDB, 0x04, 0x24},
       Bytes{0xDB, 0x84, 0x24} + Le32(4), 4},
      {vtUInt32, {0x31, 0xD2, 0x8B, 0x05},
       Bytes{0x89, 0x94, 0x24} + Le32(4) + Bytes{0x89, 0x04, 0x24}, {0xDF, 0x2C, 0x24},
       Bytes{0xDF, 0xAC, 0x24} + Le32(8), 8},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    F.FldVar(TVariable{"a", c.type, storage}, false);
    EXPECT_EQ(F.Recorded(widening), c.widen + Le32(storage) + c.store) << int(c.type);
    EXPECT_EQ(Level0(), c.load) << int(c.type);
    const TLevelInfo& w = F.FLevels[widening];
    EXPECT_EQ(c.area == 4 ? L0().Short4 : L0().Short8, 1);
    EXPECT_EQ(c.area == 4 ? w.Short4 : w.Short8, 1);
    F.ClearRecord();
    F.FldVar(TVariable{"b", c.type, storage + 4}, false);
    EXPECT_EQ(Level0(), c.loadSecond) << int(c.type);
    EXPECT_EQ(F.FIntInfo.size(), 2u);
  }
}

TEST_F(Emission, FldValLoadsPoolConstantsAndFrameTemporaries) {
  PINS_BYTES_OF(i386);
  F.SetPool(Bytes(48, 0));
  const std::uint8_t* pool = F.PoolBase();
  const struct {
    TVarType type;
    std::int32_t value;
    bool inFrame;
    Bytes expected;
    std::int32_t short4, short8, short16;
  } cases[] = {
      {vtSingle, 12, false, Bytes{0xD9, 0x05} + Le32(pool + 12), 0, 0, 0},
      {vtDouble, 16, false, Bytes{0xDD, 0x05} + Le32(pool + 16), 0, 0, 0},
      {vtExtended, 32, false, Bytes{0xDB, 0x2D} + Le32(pool + 32), 0, 0, 0},
      {vtSingle, 0, true, {0xD9, 0x04, 0x24}, 1, 0, 0},
      {vtDouble, 0, true, {0xDD, 0x04, 0x24}, 0, 1, 0},
      {vtExtended, 0, true, {0xDB, 0x2C, 0x24}, 0, 0, 1},
      {vtInt16, 0, true, {0xDF, 0x04, 0x24}, 1, 0, 0},
      {vtInt32, 0, true, {0xDB, 0x04, 0x24}, 1, 0, 0},
      {vtUInt8, 0, true, {0xDB, 0x04, 0x24}, 1, 0, 0},
      {vtUInt32, 0, true, {0xDF, 0x2C, 0x24}, 0, 1, 0},
      {vtInt64, 0, true, {0xDF, 0x2C, 0x24}, 0, 1, 0},
      // Frame temporaries know no 8-bit displacement: 1 to 127 take the 32-bit one.
      {vtSingle, 4, true, Bytes{0xD9, 0x84, 0x24} + Le32(4), 0, 0, 0},
      {vtDouble, 127, true, Bytes{0xDD, 0x84, 0x24} + Le32(127), 0, 0, 0},
      {vtExtended, 128, true, Bytes{0xDB, 0xAC, 0x24} + Le32(128), 0, 0, 0},
      {vtInt16, 8, true, Bytes{0xDF, 0x84, 0x24} + Le32(8), 0, 0, 0},
      {vtInt32, 200, true, Bytes{0xDB, 0x84, 0x24} + Le32(200), 0, 0, 0},
      {vtInt64, 24, true, Bytes{0xDF, 0xAC, 0x24} + Le32(24), 0, 0, 0},
      {vtDouble, -1, true, Bytes{0xDD, 0x84, 0x24} + Le32(-1), 0, 0, 0},  // sizing marker
  };
  for (const auto& c : cases) {
    for (bool negate : {false, true}) {
      F.StartSizing();
      F.FldVal(c.type, c.value, negate, c.inFrame);
      const Bytes expected = negate ? c.expected + Bytes{0xD9, 0xE0} : c.expected;
      EXPECT_EQ(Level0(), expected) << int(c.type) << " " << c.value << " " << Hex(Level0());
      EXPECT_EQ(L0().Short4, c.short4);
      EXPECT_EQ(L0().Short8, c.short8);
      EXPECT_EQ(L0().Short16, c.short16);
      EXPECT_EQ(L0().Depth, 1);
      EXPECT_EQ(L0().Slots[0].Order, 0);
    }
  }
}

TEST_F(Emission, SlotKeysIdentifyVariablesAndConstants) {
  std::int32_t i = 0;
  const std::int32_t code = F.RegisterVarExt("k", vtInt32, &i);
  F.SetPool(Bytes(16, 0));
  F.FldVar(TVariable{"k", vtInt32, &i}, false);
  F.FldVal(vtExtended, 0, false, false);
  F.FldVal(vtDouble, 8, true, false);
  F.FldVal(vtDouble, 0, false, true);
  EXPECT_EQ(L0().Slots[3].Key, TSlotKey::Variable(code));
  EXPECT_EQ(L0().Slots[2].Key, TSlotKey::PoolConstant(vtExtended, 0));
  EXPECT_EQ(L0().Slots[1].Key, NoKey);  // negated
  EXPECT_EQ(L0().Slots[0].Key, NoKey);  // frame
  for (std::int32_t s = 0; s < 4; ++s) EXPECT_EQ(L0().Slots[s].Order, 3 - s);
  // Keys of different kinds, types or values never meet, whatever their bits.
  const TSlotKey distinct[] = {NoKey,
                               TSlotKey::Variable(8),
                               TSlotKey::Variable(-8),
                               TSlotKey::Variable(1 << 8),
                               TSlotKey::PoolConstant(vtSingle, 8),
                               TSlotKey::PoolConstant(vtDouble, 8),
                               TSlotKey::PoolConstant(vtDouble, -8),
                               TSlotKey::PoolConstant(vtExtended, 0)};
  for (std::size_t a = 0; a < std::size(distinct); ++a)
    for (std::size_t b = 0; b < std::size(distinct); ++b) EXPECT_EQ(distinct[a] == distinct[b], a == b) << a << " " << b;
}

TEST_F(Emission, RepeatedLoadsCopyARegisterUnlessSmartLoadReadsAlignedMemory) {
  PINS_BYTES_OF(i386);
  alignas(8) static double aligned[2] = {1, 2};
  alignas(8) static float singles[2] = {1, 2};
  alignas(8) static std::int32_t ints[2] = {1, 2};
  auto* misalignedDouble = reinterpret_cast<double*>(reinterpret_cast<char*>(aligned) + 4);
  auto* misalignedSingle = reinterpret_cast<float*>(reinterpret_cast<char*>(singles) + 2);
  const Bytes copy = {0xD9, 0xC0};  // FLD ST(0)
  const struct {
    const char* name;
    TVarType type;
    void* address;
    bool smartLoad;
    Bytes first;
    bool reused;
  } cases[] = {
      {"int32, SmartLoad on", vtInt32, ints, true, {0xDB, 0x05}, true},
      {"int32, SmartLoad off", vtInt32, ints, false, {0xDB, 0x05}, true},
      {"aligned double, on", vtDouble, aligned, true, {0xDD, 0x05}, false},
      {"aligned double, off", vtDouble, aligned, false, {0xDD, 0x05}, true},
      {"misaligned double, on", vtDouble, misalignedDouble, true, {0xDD, 0x05}, true},
      {"aligned single, on", vtSingle, singles, true, {0xD9, 0x05}, false},
      {"misaligned single, on", vtSingle, misalignedSingle, true, {0xD9, 0x05}, true},
  };
  for (const auto& c : cases) {
    TRecordingFennic f;
    f.StartSizing();
    f.SetSmartLoad(c.smartLoad);
    f.RegisterVarExt("x", c.type, c.address);
    const TVariable v{"x", c.type, c.address};
    f.FldVar(v, false);
    f.FldVar(v, false);
    const Bytes load = c.first + Le32(c.address);
    EXPECT_EQ(f.Recorded(0), load + (c.reused ? copy : load)) << c.name;
    EXPECT_EQ(f.FLevels[0].Depth, 2) << c.name;
  }
}

TEST_F(Emission, ReuseFindsTheDeepestCopyAndNeverANegatedOne) {
  PINS_BYTES_OF(i386);
  std::int32_t a = 0, b = 0;
  F.RegisterVarExt("a", vtInt32, &a);
  F.RegisterVarExt("b", vtInt32, &b);
  const TVariable va{"a", vtInt32, &a}, vb{"b", vtInt32, &b};
  F.FldVar(va, true);   // negated: key 00
  F.FldVar(va, false);  // memory again
  F.FldVar(vb, false);
  F.FldVar(va, false);  // a sits in ST(1)
  const Bytes loadA = Bytes{0xDB, 0x05} + Le32(&a), loadB = Bytes{0xDB, 0x05} + Le32(&b);
  EXPECT_EQ(Level0(), (loadA + Bytes{0xD9, 0xE0} + loadA + loadB + Bytes{0xD9, 0xC1}));
  // Constants: a negated load is not found again either.
  F.StartSizing();
  F.SetPool(Bytes(8, 0));
  F.FldVal(vtExtended, 0, true, false);
  F.FldVal(vtExtended, 0, false, false);
  F.FldVal(vtExtended, 0, false, false);
  const Bytes loadC = Bytes{0xDB, 0x2D} + Le32(F.PoolBase());
  EXPECT_EQ(Level0(), (loadC + Bytes{0xD9, 0xE0} + loadC + Bytes{0xD9, 0xC0}));
  // A copied register can still be negated.
  F.ClearRecord();
  F.FldVal(vtExtended, 0, true, false);
  EXPECT_EQ(Level0(), (Bytes{0xD9, 0xC1, 0xD9, 0xE0}));
}

TEST_F(Emission, FldStReachesSt0ToSt6Only) {
  for (std::int32_t i = -1; i <= 8; ++i) {
    F.StartSizing();
    F.FldSt(i);
    const Bytes expected = i >= 0 && i <= 6 ? Bytes{0xD9, std::uint8_t(0xC0 + i)} : Bytes{};
    EXPECT_EQ(Level0(), expected) << i;
  }
}

TEST_F(Emission, ProcFXCHEmitsAndSwapsTheModel) {
  const struct {
    std::int32_t i, j;
    Bytes expected;
    bool swapped;
  } cases[] = {
      {3, 0, {0xD9, 0xCB}, true},
      {0, 3, {0xD9, 0xCB}, true},
      {1, 0, {0xD9, 0xC9}, true},
      {1, 3, {0xD9, 0xC9, 0xD9, 0xCB, 0xD9, 0xC9}, true},
      {4, 0, {}, false},
      {2, 2, {}, false},
      {-1, 0, {}, false},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    Occupy(4);  // Slots[k].Order = 3 - k
    F.ProcFXCH(c.i, c.j);
    EXPECT_EQ(Level0(), c.expected) << c.i << "," << c.j;
    for (std::int32_t k = 0; k < 4; ++k) {
      std::int32_t from = k;
      if (c.swapped && k == c.i) from = c.j;
      if (c.swapped && k == c.j) from = c.i;
      EXPECT_EQ(L0().Slots[k].Order, 3 - from) << c.i << "," << c.j << " slot " << k;
    }
  }
}

TEST_F(Emission, FlushResStoresWithTheShortestDisplacement) {
  const struct {
    TOpType type;
    std::int32_t offset;
    Bytes expected;
  } cases[] = {
      {otSingle, 0, {0xD9, 0x1C, 0x24}},
      {otDouble, 0, {0xDD, 0x1C, 0x24}},
      {otExtended, 0, {0xDB, 0x3C, 0x24}},
      {otSingle, 1, {0xD9, 0x5C, 0x24, 0x01}},
      {otDouble, 64, {0xDD, 0x5C, 0x24, 0x40}},
      {otExtended, 127, {0xDB, 0x7C, 0x24, 0x7F}},
      {otSingle, 128, Bytes{0xD9, 0x9C, 0x24} + Le32(128)},
      {otDouble, 1000, Bytes{0xDD, 0x9C, 0x24} + Le32(1000)},
      {otExtended, 128, Bytes{0xDB, 0xBC, 0x24} + Le32(128)},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    Occupy(1);
    F.FlushRes(c.type, c.offset, 0);
    EXPECT_EQ(Level0(), c.expected) << int(c.type) << " at " << c.offset;
    EXPECT_EQ(L0().Depth, 0);
    EXPECT_EQ(L0().Short4 + L0().Short8 + L0().Short16, 0);
  }
  // A deeper register comes to ST0 first and leaves the model.
  F.StartSizing();
  Occupy(3);  // orders 0, 1, 2 from the bottom
  F.FlushRes(otDouble, 8, 2);
  EXPECT_EQ(Level0(), (Bytes{0xD9, 0xCA, 0xDD, 0x5C, 0x24, 0x08}));
  EXPECT_EQ(L0().Depth, 2);
  // The values above the stored one move down: Orders stay 0 to Depth - 1.
  EXPECT_EQ(L0().Slots[0].Order, 0);
  EXPECT_EQ(L0().Slots[1].Order, 1);
}

TEST_F(Emission, StoreTempUsesTheFrameFormsAndCountsShortOnes) {
  const struct {
    TOpType type;
    std::int32_t offset;
    Bytes expected;
  } cases[] = {
      {otSingle, 0, {0xD9, 0x1C, 0x24}},
      {otDouble, 0, {0xDD, 0x1C, 0x24}},
      {otExtended, 0, {0xDB, 0x3C, 0x24}},
      {otExtended, 16, Bytes{0xDB, 0xBC, 0x24} + Le32(16)},
      {otSingle, 12, Bytes{0xD9, 0x9C, 0x24} + Le32(12)},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    F.StoreTemp(c.type, c.offset);
    EXPECT_EQ(Level0(), c.expected);
    const std::int32_t counted[3] = {L0().Short4, L0().Short8, L0().Short16};
    for (int area = 0; area < 3; ++area)
      EXPECT_EQ(counted[area], c.offset == 0 && area == c.type ? 1 : 0);
  }
}

TEST_F(Emission, ProcessIntWidensCallResultsIntoTemporaries) {
  const struct {
    TVarType type;
    Bytes expected;
    std::int32_t short4, short8;
  } cases[] = {
      {vtInt8, {0x0F, 0xBE, 0xC0, 0x89, 0x04, 0x24}, 1, 0},
      {vtUInt8, {0x0F, 0xB6, 0xC0, 0x89, 0x04, 0x24}, 1, 0},
      {vtInt16, {0x0F, 0xBF, 0xC0, 0x89, 0x04, 0x24}, 1, 0},
      {vtUInt16, {0x0F, 0xB7, 0xC0, 0x89, 0x04, 0x24}, 1, 0},
      {vtInt32, {0x89, 0x04, 0x24}, 1, 0},
      {vtUInt32, Bytes{0x31, 0xD2, 0x89, 0x04, 0x24, 0x89, 0x94, 0x24} + Le32(4), 0, 1},
      {vtInt64, Bytes{0x89, 0x04, 0x24, 0x89, 0x94, 0x24} + Le32(4), 0, 1},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    EXPECT_EQ(F.ProcessInt(c.type), 0);
    EXPECT_EQ(Level0(), c.expected) << int(c.type);
    EXPECT_EQ(L0().Short4, c.short4);
    EXPECT_EQ(L0().Short8, c.short8);
    // The next one of the same width takes the next slot and the long form.
    F.ClearRecord();
    const std::int32_t next = F.ProcessInt(c.type);
    EXPECT_EQ(next, c.short4 ? 4 : 8);
    EXPECT_EQ(Level0().size(), c.expected.size() + 4) << int(c.type);
  }
}

TEST_F(Emission, ProcessIntVarWidensOncePerPassInTheWideningLevel) {
  PINS_BYTES_OF(i386);
  std::uint8_t u8 = 0;
  const TVariable v{"u", vtUInt8, &u8};
  EXPECT_EQ(F.ProcessIntVar(v), 0);
  EXPECT_EQ(F.ProcessIntVar(v), 0);
  EXPECT_EQ(F.Recorded(1), (Bytes{0x0F, 0xB6, 0x05} + Le32(&u8) + Bytes{0x89, 0x04, 0x24}));
  EXPECT_TRUE(Level0().empty());
  EXPECT_EQ(F.FLevel, 0);
  EXPECT_EQ(F.FTemps4, 1);
  // Seen from a level with bytes pushed, the same copy lies further from ESP,
  // while the widening itself stays where nothing is pushed.
  L0().Pushed = 8;
  EXPECT_EQ(F.ProcessIntVar(v), 8);
  F.ClearRecord();
  F.FldVar(v, false);
  EXPECT_EQ(Level0(), (Bytes{0xDB, 0x84, 0x24} + Le32(8)));
  std::uint32_t u32 = 0;
  F.ClearRecord();
  EXPECT_EQ((F.ProcessIntVar(TVariable{"w", vtUInt32, &u32})), 8 + 0);
  EXPECT_EQ(F.Recorded(1), (Bytes{0x31, 0xD2, 0x8B, 0x05} + Le32(&u32) + Bytes{0x89, 0x94, 0x24} +
                               Le32(4) + Bytes{0x89, 0x04, 0x24}));
  EXPECT_EQ(F.FLevels[1].Pushed, 0);
  // A new pass starts with no widened variables.
  F.StartSizing();
  EXPECT_EQ(F.ProcessIntVar(v), 0);
  EXPECT_EQ(F.Recorded(1).size(), 10u);
}

TEST_F(Emission, AddFuncCallInlinesCodeOrCountsACall) {
  PINS_BYTES_OF(i386);
  TFunction inlined;
  inlined.Code = {0xD9, 0xFA, 0xD9, 0xE1};
  F.AddFuncCall(inlined);
  EXPECT_EQ(Level0(), inlined.Code);
  F.ClearRecord();
  F.AddFuncCall(TFunction{});
  EXPECT_TRUE(Level0().empty());
  TFunction called;
  called.Address = reinterpret_cast<void*>(0x1000);
  called.Code = {0x90};  // an address wins over inline code
  F.AddFuncCall(called);
  EXPECT_EQ(Level0(), (Bytes{0xE8, 0, 0, 0, 0}));  // sizing pass: only the length counts
}

TEST_F(Emission, AddOpQueuesIntoTheLastGroupAtTheCurrentDepth) {
  F.OpenGroup(3, 2);
  Occupy(2);
  F.AddOp(ocAdd);
  Occupy(1);
  F.AddOp(ocDiv | ocReversed);
  const TOpGroup& g = L0().Ops.back();
  ASSERT_EQ(g.Queued, 2);
  EXPECT_EQ(g.Queue[0].Order, 2);
  EXPECT_EQ(g.Queue[0].Command, ocAdd);
  EXPECT_EQ(g.Queue[1].Order, 3);
  EXPECT_EQ(g.Queue[1].Command, ocDiv | ocReversed);
  EXPECT_EQ(F.TotalOps(0), 2);
  EXPECT_TRUE(Level0().empty());
}

TEST_F(Emission, ModelOverflowIsADefectNotSilentCode) {
  // With no group to queue into, or a full x87 model, the generator throws.
  EXPECT_THROW(F.AddOp(ocAdd), ECodeGenError);
  Occupy(8);
  EXPECT_THROW(F.PushModel(NoKey), ECodeGenError);
  F.FLevel = 9;
  EXPECT_THROW(F.Emit(insRet), ECodeGenError);
}

}  // namespace
}  // namespace fennic::testing
