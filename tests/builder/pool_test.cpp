#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "testbuilder.h"

namespace fennic::test {
namespace {

struct TLayoutCase {
  const char* Name;
  std::int32_t S, D, E;
  bool Aligned;
  std::uintptr_t Address;
  std::int32_t Slack;
  TPoolLayout Want;  // Pad, Base16, Base8, Base4, Size
};

TEST(PoolLayout, SectionsForEveryGapAndMode) {
  const TLayoutCase cases[] = {
      {"empty", 0, 0, 0, true, 8, 0, {0, 0, 0, 0, 0}},
      {"example at 8 mod 16", 2, 1, 1, true, 8, 40, {8, 8, 24, 32, 36}},
      {"16-aligned leaves no slack", 2, 1, 1, true, 32, 40, {0, 0, 16, 24, 28}},
      {"at 4 mod 16 the slack is used up", 2, 1, 1, true, 4, 40, {12, 12, 28, 36, 40}},
      {"at 12 mod 16", 2, 1, 1, true, 12, 40, {4, 4, 20, 28, 32}},
      {"three singles one extended", 3, 0, 1, true, 0, 36, {0, 0, 16, 16, 24}},
      {"doubles on an 8 boundary", 1, 2, 0, true, 16, 24, {0, 0, 0, 16, 20}},
      {"doubles at 4 mod 8", 1, 2, 0, true, 4, 24, {4, 4, 4, 20, 24}},
      {"singles only", 3, 0, 0, true, 4, 12, {0, 0, 0, 0, 12}},
      {"off: 12-byte extended slots", 2, 1, 1, false, 8, 28, {0, 0, 12, 20, 28}},
      {"off: two extendeds", 1, 0, 2, false, 4, 28, {0, 0, 24, 24, 28}},
  };
  for (const TLayoutCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(TTestBuilder::PoolSlackSize(c.S, c.D, c.E, c.Aligned), c.Slack);
    TPoolLayout got = TTestBuilder::PoolLayout(c.S, c.D, c.E, c.Aligned, c.Address);
    EXPECT_EQ(got.Pad, c.Want.Pad);
    EXPECT_EQ(got.Base16, c.Want.Base16);
    EXPECT_EQ(got.Base8, c.Want.Base8);
    EXPECT_EQ(got.Base4, c.Want.Base4);
    EXPECT_EQ(got.Size, c.Want.Size);
    EXPECT_LE(got.Size, c.Slack) << "the final resize must not grow the block";
  }
}

class PoolTest : public ::testing::Test {
 protected:
  TTestBuilder B;
  const std::uint8_t* At(std::int32_t Offset) const { return B.PoolBase() + Offset; }
  template <class T>
  T Read(std::int32_t Offset) const {
    T v{};
    std::memcpy(&v, At(Offset), sizeof(T) == 12 ? 10 : sizeof(T));
    return v;
  }
  static TSingleBits Bits(float V) {
    TSingleBits b;
    std::memcpy(b.data(), &V, 4);
    return b;
  }
  static TDoubleBits Bits(double V) {
    TDoubleBits b;
    std::memcpy(b.data(), &V, 8);
    return b;
  }
  static TExtendedBits Bits(long double V) {
    TExtendedBits b;
    std::memcpy(b.data(), &V, 10);
    return b;
  }
};

TEST_F(PoolTest, NoConstantsGiveAnEmptyPool) {
  B.FBase4 = B.FBase8 = B.FBase16 = 99;
  B.BuildNumbers();
  EXPECT_TRUE(B.FConstData.empty());
  EXPECT_EQ(B.FBase4, 0);
  EXPECT_EQ(B.FBase8, 0);
  EXPECT_EQ(B.FBase16, 0);
  EXPECT_EQ(B.FPoolPad, 0);
}

TEST_F(PoolTest, ValuesSitOnTheirNaturalBoundariesInTheRealBlock) {
  B.AddExt(0.1L);
  B.AddSingle(3.0f);
  B.AddDouble(1e20);
  B.AddSingle(0.5f);
  B.AddSingle(1e10f);
  B.BuildNumbers();
  const auto base = reinterpret_cast<std::uintptr_t>(B.PoolBase());
  EXPECT_EQ((base + B.FBase16) % 16, 0u);
  EXPECT_EQ((base + B.FBase8) % 8, 0u);
  EXPECT_EQ(B.FBase16, B.FPoolPad);
  EXPECT_EQ(static_cast<std::int32_t>(B.FConstData.size()), B.FPoolPad + 16 + 8 + 4 * 2);

  const std::int32_t e = B.SearchExt(Bits(0.1L));
  const std::int32_t s0 = B.SearchSingle(Bits(3.0f));
  const std::int32_t s1 = B.SearchSingle(Bits(0.5f));
  const std::int32_t s2 = B.SearchSingle(Bits(1e10f));
  const std::int32_t d = B.SearchDouble(Bits(1e20));
  EXPECT_EQ(e, B.FBase16);
  EXPECT_EQ(s0, B.FBase16 + 12) << "the first single fills the spare bytes of the extended slot";
  EXPECT_EQ(d, B.FBase8);
  EXPECT_EQ(s1, B.FBase4);
  EXPECT_EQ(s2, B.FBase4 + 4);
  for (std::int32_t s : {s0, s1, s2}) EXPECT_EQ((base + s) % 4, 0u);
  EXPECT_EQ(Read<long double>(e), 0.1L);
  EXPECT_EQ(Read<float>(s0), 3.0f);
  EXPECT_EQ(Read<double>(d), 1e20);
  EXPECT_EQ(Read<float>(s1), 0.5f);
  EXPECT_EQ(Read<float>(s2), 1e10f);
  // The parser reads the constants from the untouched copy.
  ASSERT_EQ(B.FConstCopy.size(), 10u + 4 + 8 + 4 + 4);
  EXPECT_EQ(std::memcmp(B.FConstCopy.data() + 14, Bits(1e20).data(), 8), 0);
}

TEST_F(PoolTest, AlignModeOffPacksSectionsWithoutGap) {
  B.SetAlignMode(0);
  B.AddSingle(2.0f);
  B.AddExt(0.1L);
  B.AddDouble(1e20);
  B.AddExt(0.2L);
  B.AddSingle(4.0f);
  B.BuildNumbers();
  EXPECT_EQ(B.FPoolPad, 0);
  EXPECT_EQ(B.FConstData.size(), 12u * 2 + 8 + 4 * 2);
  EXPECT_EQ(B.SearchExt(Bits(0.1L)), 0);
  EXPECT_EQ(B.SearchExt(Bits(0.2L)), 12);
  EXPECT_EQ(B.SearchDouble(Bits(1e20)), 24);
  EXPECT_EQ(B.SearchSingle(Bits(2.0f)), 32);
  EXPECT_EQ(B.SearchSingle(Bits(4.0f)), 36);
  EXPECT_EQ(Read<long double>(12), 0.2L);
  EXPECT_EQ(Read<float>(36), 4.0f);
}

TEST_F(PoolTest, RepeatedValuesShareOneEntry) {
  for (int i = 0; i < 3; ++i) {
    B.AddDouble(1e20);
    B.AddSingle(2.0f);
  }
  B.BuildNumbers();
  EXPECT_EQ(B.FDoubles.size(), 1u);
  EXPECT_EQ(B.FSingles.size(), 1u);
  // The same bits in another width are another constant.
  EXPECT_EQ(B.SearchDouble(Bits(2.0)), -1);
}

TEST_F(PoolTest, ZeroAndNegativeZeroShareTheFirstRecorded) {
  B.AddSingle(-0.0f);
  B.AddSingle(0.0f);
  B.AddExt(0.0L);
  B.AddExt(-0.0L);
  B.BuildNumbers();
  ASSERT_EQ(B.FSingles.size(), 1u);
  ASSERT_EQ(B.FExtendeds.size(), 1u);
  EXPECT_EQ(B.SearchSingle(Bits(0.0f)), B.SearchSingle(Bits(-0.0f)));
  EXPECT_TRUE(std::signbit(Read<float>(B.SearchSingle(Bits(0.0f)))));
  EXPECT_FALSE(std::signbit(Read<long double>(B.SearchExt(Bits(-0.0L)))));
}

TEST_F(PoolTest, NaNsMatchByBitPatternAndInfinitiesByValue) {
  const float qnan = std::numeric_limits<float>::quiet_NaN();
  float otherNan;
  const std::uint32_t payload = 0x7FC00001u;
  std::memcpy(&otherNan, &payload, 4);
  const long double einf = std::numeric_limits<long double>::infinity();
  B.AddSingle(qnan);
  B.AddSingle(otherNan);
  B.AddSingle(qnan);
  B.AddSingle(std::numeric_limits<float>::infinity());
  B.AddSingle(-std::numeric_limits<float>::infinity());
  B.AddExt(einf);
  B.AddExt(std::numeric_limits<long double>::quiet_NaN());
  B.AddExt(einf);
  B.BuildNumbers();
  EXPECT_EQ(B.FSingles.size(), 4u);
  EXPECT_EQ(B.FExtendeds.size(), 2u);
  const std::int32_t n = B.SearchSingle(Bits(qnan));
  ASSERT_GE(n, 0);
  EXPECT_NE(B.SearchSingle(Bits(otherNan)), n);
  EXPECT_EQ(std::memcmp(At(n), &qnan, 4), 0);
  EXPECT_GE(B.SearchExt(Bits(std::numeric_limits<long double>::quiet_NaN())), 0);
  EXPECT_EQ(Read<long double>(B.SearchExt(Bits(einf))), einf);
}

TEST_F(PoolTest, EveryCompilationReplacesPoolAndLists) {
  B.AddExt(0.1L);
  B.BuildNumbers();
  B.ClearConsts();
  B.AddSingle(1.0f);
  B.BuildNumbers();
  EXPECT_TRUE(B.FExtendeds.empty());
  EXPECT_EQ(B.FConstData.size(), 4u);
  EXPECT_EQ(B.SearchSingle(Bits(1.0f)), 0);
}

}  // namespace
}  // namespace fennic::test
