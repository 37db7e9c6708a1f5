// Frame temporaries (AddVal, GetVal) and the frame prologue and epilogue.
#include <gtest/gtest.h>

#include <vector>

#include "support/codegen_recorder.h"

namespace fennic::testing {
namespace {

struct TempStep {
  TVarType type;
  std::int32_t offset;  // expected AddVal result; -1 is the sizing pass's marker
};

struct TempCase {
  const char* name;
  bool align;
  bool writing;
  std::int32_t spilled, spilledMax, temps16Max, temps8Max;
  std::int32_t pushed;
  std::vector<TempStep> steps;
  std::int32_t temps4Max;
};

void SetBases(TRecordingFennic& f) {
  if (f.AlignMode()) {
    f.FBase16 = 16 * f.FSpilledMax;
    f.FBase8 = f.FBase16 + 16 * f.FTemps16Max;
    f.FBase4 = f.FBase8 + 8 * f.FTemps8Max;
  } else {
    f.FBase4 = f.FBase8 = f.FBase16 = 12 * f.FSpilledMax;
  }
}

TEST(FrameTemporaries, AddValPlacesEachClassAndGetValFindsTheLastOne) {
  const TempCase cases[] = {
      {"aligned, sizing", true, false, 0, 0, 0, 0, 0,
       {{vtExtended, 0},
        {vtDouble, -1},   // would be 0 while a 16-byte temporary is in use
        {vtInt8, 12},     // tail of the 16-byte slot
        {vtSingle, -1},   // would be 0 while wider temporaries are in use
        {vtSingle, 4},
        {vtInt64, 8},
        {vtExtended, 16}},
       3},
      {"aligned, nothing wider in use", true, false, 0, 0, 0, 0, 0,
       {{vtSingle, 0}, {vtInt32, 4}, {vtDouble, 0}, {vtInt64, 8}}, 2},
      {"aligned, writing, one spill slot", true, true, 0, 1, 1, 1, 0,
       {{vtSingle, 12},   // bytes 12 to 15 of the spill slot
        {vtSingle, 28},   // tail of the 16-byte temporary
        {vtSingle, 40},   // FBase4
        {vtDouble, 32},
        {vtExtended, 16}},
       3},
      {"aligned, bytes pushed", true, false, 0, 0, 0, 0, 8,
       {{vtDouble, 8}, {vtSingle, 8}, {vtExtended, 8}}, 1},
      {"unaligned, writing", false, true, 0, 1, 0, 0, 0,
       {{vtSingle, 12}, {vtDouble, 16}, {vtExtended, 24}, {vtInt8, 36}}, 28},
      {"unaligned, sizing, a spill in use", false, false, 1, 1, 0, 0, 0,
       {{vtSingle, -1}, {vtDouble, 4}, {vtExtended, 12}}, 24},
  };
  for (const TempCase& c : cases) {
    TRecordingFennic f;
    f.SetAlignMode(c.align);
    f.StartSizing();
    f.FWriting = c.writing;
    f.FSpilled = c.spilled;
    f.FSpilledMax = c.spilledMax;
    f.FTemps16Max = c.temps16Max;
    f.FTemps8Max = c.temps8Max;
    if (c.writing) SetBases(f);  // the sizing pass measures from bases of 0
    f.FLevels[0].Pushed = c.pushed;
    for (const TempStep& s : c.steps) {
      EXPECT_EQ(f.AddVal(s.type), s.offset) << c.name << ", type " << int(s.type);
      // GetVal never answers with the marker.
      const std::int32_t fetched = s.offset == -1 ? c.pushed : s.offset;
      EXPECT_EQ(f.GetVal(s.type), fetched) << c.name << ", type " << int(s.type);
    }
    EXPECT_EQ(f.FTemps4Max, c.temps4Max) << c.name;
    EXPECT_TRUE(f.Emissions.empty());
  }
}

TEST(FrameTemporaries, GetValWithoutATemporaryIsADefect) {
  for (bool align : {true, false}) {
    TRecordingFennic f;
    f.SetAlignMode(align);
    f.StartSizing();
    EXPECT_THROW(f.GetVal(vtDouble), ECodeGenError);
    f.AddVal(vtSingle);
    EXPECT_THROW(f.GetVal(vtExtended), ECodeGenError);
  }
}

struct FrameCase {
  const char* name;
  bool align;
  std::int32_t spilledMax, temps4Max, temps8Max, temps16Max;
  Bytes prologue, epilogue;
};

TEST(StackWorks, PrologueAndEpilogueFollowTheFrame) {
  PINS_BYTES_OF(i386);
  const Bytes ebp = {0x55, 0x8B, 0xEC}, leave = {0x8B, 0xE5, 0x5D};
  const Bytes and16 = Bytes{0x81, 0xE4} + Le32(-16), and8 = Bytes{0x81, 0xE4} + Le32(-8);
  const FrameCase cases[] = {
      {"no frame", true, 0, 0, 0, 0, {}, {}},
      {"no frame, unaligned", false, 0, 0, 0, 0, {}, {}},
      {"one spill, one double, three singles", true, 1, 3, 1, 0,
       ebp + and16 + Bytes{0x83, 0xEC, 0x20}, leave},
      {"only 4-byte temporaries: no EBP", true, 0, 3, 0, 0, {0x83, 0xEC, 0x0C}, {0x83, 0xC4, 0x0C}},
      {"124 bytes of singles", true, 0, 31, 0, 0, {0x83, 0xEC, 0x7C}, {0x83, 0xC4, 0x7C}},
      {"128 bytes of singles", true, 0, 32, 0, 0, Bytes{0x81, 0xEC} + Le32(128),
       Bytes{0x81, 0xC4} + Le32(128)},
      {"127 bytes, unaligned", false, 0, 127, 0, 0, {0x83, 0xEC, 0x7F}, {0x83, 0xC4, 0x7F}},
      {"128 bytes, unaligned", false, 0, 128, 0, 0, Bytes{0x81, 0xEC} + Le32(128),
       Bytes{0x81, 0xC4} + Le32(128)},
      {"spills, unaligned", false, 2, 8, 0, 0, {0x83, 0xEC, 0x20}, {0x83, 0xC4, 0x20}},
      {"8-aligned with a remainder", true, 0, 1, 1, 0,
       ebp + Bytes{0x83, 0xEC, 0x04} + and8 + Bytes{0x83, 0xC4, 0x04, 0x83, 0xEC, 0x0C}, leave},
      {"16-aligned with a remainder", true, 0, 0, 1, 1,
       ebp + Bytes{0x83, 0xEC, 0x08} + and16 + Bytes{0x83, 0xC4, 0x08, 0x83, 0xEC, 0x18}, leave},
      {"one extended temporary", true, 0, 0, 0, 1, ebp + and16 + Bytes{0x83, 0xEC, 0x10}, leave},
      {"eight spills", true, 8, 0, 0, 0, ebp + and16 + Bytes{0x81, 0xEC} + Le32(128), leave},
      {"tails absorb the singles", true, 2, 2, 0, 0, ebp + and16 + Bytes{0x83, 0xEC, 0x20}, leave},
  };
  for (const FrameCase& c : cases) {
    TRecordingFennic f;
    f.SetAlignMode(c.align);
    f.StartSizing();
    f.FSpilledMax = c.spilledMax;
    f.FTemps4Max = c.temps4Max;
    f.FTemps8Max = c.temps8Max;
    f.FTemps16Max = c.temps16Max;
    f.StackWorks();
    EXPECT_EQ(f.Recorded(f.FTopLevel), c.prologue) << c.name << ": " << Hex(f.Recorded(f.FTopLevel));
    EXPECT_EQ(f.Recorded(0), c.epilogue) << c.name << ": " << Hex(f.Recorded(0));
    EXPECT_EQ(f.FLevel, 0) << c.name;
  }
}

}  // namespace
}  // namespace fennic::testing
