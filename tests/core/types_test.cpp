#include <gtest/gtest.h>

#include "fennic/core/types.h"

namespace fennic {
namespace {

static_assert(sizeof(TVarType) == 1 && sizeof(TFuncResult) == 1 && sizeof(TCallType) == 1 &&
              sizeof(TPushStyle) == 1 && sizeof(TError) == 1 && sizeof(TOpType) == 1 &&
              sizeof(TIOpType) == 1 && sizeof(TPushed) == 1 && sizeof(TTrigMode) == 1 &&
              sizeof(TOutOfOrder) == 1 && sizeof(TEliminateBrackets) == 1 &&
              sizeof(TAutoConfigure) == 1 && sizeof(TComputeOnce) == 1 && sizeof(TGrammar) == 1);
static_assert(vtExtended == 9 && frExtended == 9 && ctBuilt_in == 4 && eParameter == 10 &&
              pSt0 == 5 && acAMD == 5 && ooAgressive == 2 && ebAgressive == 2 && tmDelphi == 2);

TEST(Types, ParameterDescriptorIsTwoBytesTypeFirst) {
  TVarDef d{vtUInt16, psReference};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&d);
  EXPECT_EQ(sizeof d, 2u);
  EXPECT_EQ(bytes[0], vtUInt16);
  EXPECT_EQ(bytes[1], psReference);
}

TEST(Types, SizeTablesAgreeByOrdinal) {
  const std::int32_t expected[10] = {1, 1, 2, 2, 4, 4, 8, 4, 8, 12};
  for (int t = 0; t < 10; ++t) {
    EXPECT_EQ(VarSizes[t], expected[t]) << t;
    EXPECT_EQ(ResultSizes[t], expected[t]) << t;
  }
  EXPECT_EQ(VarAlignments[vtExtended], 16);
  EXPECT_EQ(VarAlignments[vtDouble], 8);
  EXPECT_EQ(VarAlignments[vtUInt16], 2);
}

TEST(Types, Identifiers) {
  struct Case {
    const char* name;
    bool ok;
  } cases[] = {{"Cos_2", true}, {"_x", true}, {"x9", true},     {"", false},
               {"2x", false},   {"a-b", false}, {"a b", false}, {"\xe9t\xe9", false}};
  for (const auto& c : cases) EXPECT_EQ(IsIdentifier(c.name), c.ok) << c.name;
  EXPECT_EQ(LowerCase("FennicID_Z9"), "fennicid_z9");
}

}  // namespace
}  // namespace fennic
