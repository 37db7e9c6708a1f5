// The same call of a recording host routine made twice: folded at compile
// time, and compiled into the routine and run. Both must hand the routine the
// same registers, stack bytes and x87 values, for every calling convention
// (in a 64-bit program: the argument registers and stack slots of the
// System V convention, and the i386 contract of inline code).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fennic/fennic.h"
#include "support/hostfuncs_recording.h"

namespace fennic::testing {
namespace {

struct TDelivery {
  THostRecord Host;
  TInlineRecord Inline;
};

// Compiles Text once with the function foldable and once with it kept for
// run time; returns what the routine received each time.
class ConventionProof : public ::testing::Test {
 protected:
  void SetUp() override {
    Folding.SetAutoCompile(false);
    Running.SetAutoCompile(false);
  }
  void RegisterBoth(const char* Name, const char* ParamText, TCallType CallType, TFuncResult Result, void* Address,
                    std::int32_t StackNeeds = 0, const std::vector<std::uint8_t>& Code = {}) {
    ASSERT_NE(Folding.RegisterFuncExt(Name, ParamText, CallType, Result, StackNeeds, Address, true, Code), 0) << Name;
    ASSERT_NE(Running.RegisterFuncExt(Name, ParamText, CallType, Result, StackNeeds, Address, false, Code), 0) << Name;
  }

  // The delivery at compile time, then the one at run time.
  std::pair<TDelivery, TDelivery> Deliveries(const std::string& Text) {
    std::pair<TDelivery, TDelivery> out;
    ResetHostRecord(0.5);
    ResetInlineRecord(0.5);
    Folding.SetExprString(Text);
    Folding.Compile();
    EXPECT_EQ(Folding.CompError(), eNone) << Text;
    out.first = {HostRecord, InlineRecord};

    ResetHostRecord(0.5);
    ResetInlineRecord(0.5);
    Running.SetExprString(Text);
    Running.Compile();
    EXPECT_EQ(Running.CompError(), eNone) << Text;
    EXPECT_EQ(HostRecord.Calls, 0) << Text << ": a routine kept for run time was called while compiling";
    EXPECT_EQ(Running.Evaluate(), 0.5L) << Text;
    out.second = {HostRecord, InlineRecord};
    return out;
  }

  TFennic Folding{nullptr};
  TFennic Running{nullptr};
};

TEST_F(ConventionProof, HostRoutinesReceiveTheSameArgumentsFoldedAndRun) {
  const TRecorder* recorders[] = {&RecCdecl4,   &RecCdeclMixed, &RecStdcallMixed, &RecPascalMixed,
                                  &RecRegisterMixed, &RecRegisterRaw, &RecOverflow, &RecPairs[0],
                                  &RecPairs[1], &RecPairs[2], &RecPairs[3], &RecNoParams};
  for (const TRecorder* r : recorders) RegisterBoth(r->Name, r->ParamSpec, r->CallType, r->FuncResult, r->Address);

  // Arguments that show slot order and width, sign and zero extension,
  // narrowing overflow and underflow, and 64-bit values beyond 2^53.
  const char* const cases[] = {
      "rec_cdecl4(-1, 2, -3, 4)",
      "rec_cdecl4(-128, 2147483647, -2147483648, 0)",
      "rec_cdecl(-7, 9876543210123, 0.1, 0.1, 0.1, 65535)",
      "rec_cdecl(-2147483648, -9223372036854775807, 1e39, -1e309, 1e4000, 0)",
      "rec_stdcall(-7, 9876543210123, 0.1, 0.1, 0.1, 65535)",
      "rec_stdcall(1, -1, -1e39, 1e-320, -0.1, 1)",
      "rec_pascal(-7, 9876543210123, 0.1, 0.1, 0.1, 65535)",
      "rec_pascal(2, 9007199254740993, 1e-50, -1e-50, 2/3, 7)",
      "rec_register(1, 2, 0.5, -3, 0.25, 200, 0.1, 7)",
      "rec_register(-1, -9223372036854775807, 3e38, -32768, 1/3, 255, -1/3, -2147483648)",
      "rec_raw(-5, 65535, -1)",
      "rec_raw(127, 0, 2147483647)",
      "rec_overflow(-1, 0.5, -2, 0.25, 3, 0.125, -4, 1.5, 5, 2.5, -6, 3.5, -7, 0.1, 4.5, 5.5, 6.5)",
      "rec_overflow(127, 1e39, -32768, -1e309, 65535, 1e-320, 2147483647, -0, 4294967295, 1, "
      "-9223372036854775807, 2, -2147483648, -1e4000, 3, 4, 1/3)",
      "pair_register(2*3, -5)",
      "pair_pascal(2*3, -5)",
      "pair_cdecl(2*3, -5)",
      "pair_stdcall(2*3, -5)",
      "pair_cdecl(rec_none, -3)",
      "rec_none",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    const auto [folded, run] = Deliveries(text);
    EXPECT_GE(folded.Host.Calls, 1);
    EXPECT_EQ(folded.Host.Calls, run.Host.Calls);
    EXPECT_EQ(folded.Host.Values, run.Host.Values);
    EXPECT_EQ(folded.Host.Stack, run.Host.Stack);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(folded.Host.Registers[i], run.Host.Registers[i]) << "register " << i;
    for (int i = 0; i < 6; ++i) EXPECT_EQ(folded.Host.IntArgs[i], run.Host.IntArgs[i]) << "integer register " << i;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(folded.Host.VectorArgs[i], run.Host.VectorArgs[i]) << "vector register " << i;
    EXPECT_EQ(folded.Host.X87InUse, 0);
    EXPECT_EQ(run.Host.X87InUse, 0);
    EXPECT_EQ(folded.Host.ControlWord, run.Host.ControlWord);
  }
}

TEST_F(ConventionProof, InlineCodeReceivesTheSameArgumentsFoldedAndRun) {
  // Name, parameters, StackNeeds, stack bytes, x87 arguments, register arguments.
  const struct {
    const char* Name;
    const char* ParamText;
    std::int32_t StackNeeds;
    int StackBytes;
    int X87Count;
    int RegCount;
    const char* Args;
  } cases[] = {
      {"in_pair", "vf64vi32", 0, 0, 1, 1, "(2*3, -5)"},
      {"in_three", "vf64vf64vf64", 6, 8, 2, 0, "(1/3, -2/3, 0.1)"},
      {"in_full", "vf80vf32vf64vf80vi32vi08vu16vi64", 7, 32, 1, 3, "(0.1, 1e39, -1e-320, 1/7, -9, -128, 65535, -9223372036854775807)"},
      {"in_eight", "vf80vf80vf80vf80vf80vf80vf80vf80", 0, 0, 8, 0, "(1, 2, 3, 4, 5, 6, 7, 0.1)"},
      {"in_none", "vi32vi32vi32vi32", 8, 4, 0, 3, "(1, -2, 3, -4)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    RegisterBoth(c.Name, c.ParamText, ctBuilt_in, frExtended, nullptr, c.StackNeeds,
                 RecordingInlineCode(c.StackBytes, c.X87Count));
    const auto [folded, run] = Deliveries(std::string(c.Name) + c.Args);
    for (int i = 0; i < c.RegCount; ++i)
      EXPECT_EQ(folded.Inline.Registers[i], run.Inline.Registers[i]) << "register " << i;
    EXPECT_EQ(std::vector<std::uint8_t>(folded.Inline.Stack, folded.Inline.Stack + c.StackBytes),
              std::vector<std::uint8_t>(run.Inline.Stack, run.Inline.Stack + c.StackBytes));
    for (int i = 0; i < c.X87Count; ++i) {
      EXPECT_EQ(folded.Inline.X87[i], run.Inline.X87[i]) << "x87 argument " << i;
      EXPECT_NE(folded.Inline.X87[i], 0) << "x87 argument " << i;
    }
  }
}

}  // namespace
}  // namespace fennic::testing
