// The constant table: widths, stack order, insertion and removal in the middle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fennic/simplifier/consttable.h"
#include "fennic/core/x87guard.h"
#include "support/simplifier_probe.h"

namespace fennic::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct TWidthCase {
  long double Value;
  std::uint16_t ControlWord;
  int Width;
};

TEST(ConstTable, NarrowestExactWidth) {
  const long double third = 1.0L / 3;
  const long double big = std::ldexp(1.0L, 200);  // beyond single, exact in double
  const TWidthCase cases[] = {
      {3, DefaultControlWord, 4},
      {0.5, DefaultControlWord, 4},
      {1e10L, DefaultControlWord, 4},
      {-0.0L, DefaultControlWord, 4},
      {1e20L, DefaultControlWord, 8},
      {0.1L, DefaultControlWord, 10},
      {third, DefaultControlWord, 10},
      {big, DefaultControlWord, 8},
      {big, Unmasked(X87Overflow), 10},
      // 1e300 read as an 80-bit value is not a double: 10 either way.
      {1e300L, DefaultControlWord, 10},
      {1e300L, Unmasked(X87Overflow), 10},
      {1e4000L, DefaultControlWord, 10},
      {INFINITY, DefaultControlWord, 4},
      {NAN, DefaultControlWord, 4},
      // Inexactness that the host treats as a fault ends the width test: 0.1f
      // widened is exact in single, but 0.1 is not.
      {0.1L, Unmasked(X87Precision), 10},
      {3, Unmasked(X87Precision), 4},
  };
  for (const TWidthCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.Value << " cw " << std::hex << c.ControlWord);
    TSimplerProbe s;
    {
      TScopedControlWord cw(c.ControlWord);
      s.PushNum(c.Value);
      EXPECT_EQ(X87ControlWord(), c.ControlWord);
    }
    ASSERT_EQ(s.Widths(), std::vector<int>{c.Width});
    EXPECT_EQ(s.FConstBytes, c.Width);
    const long double back = s.PopNum();
    if (std::isnan(c.Value)) EXPECT_TRUE(std::isnan(back));
    else EXPECT_EQ(back, c.Value);
    EXPECT_EQ(std::signbit(back), std::signbit(c.Value));
  }
}

TEST(ConstTable, StoredBytesAreTheFormatOfTheirWidth) {
  TSimplerProbe s;
  s.PushNum(0.5);
  s.PushNum(1e20L);
  s.PushNum(0.1L);
  Bytes expected(22);
  const float f = 0.5f;
  const double d = 1e20;
  const long double e = 0.1L;
  std::memcpy(expected.data(), &f, 4);
  std::memcpy(expected.data() + 4, &d, 8);
  std::memcpy(expected.data() + 12, &e, 10);
  EXPECT_EQ(s.FConstData, expected);
  EXPECT_EQ(s.FConstSizes, (Bytes{4, 8, 10}));
}

TEST(ConstTable, PushAndPopAreAStack) {
  TSimplerProbe s;
  EXPECT_EQ(s.PushNum(1), std::string(1, '\x0A'));
  s.PushNum(2);
  s.PushNum(3);
  EXPECT_EQ(s.PopNum(), 3);
  EXPECT_EQ(s.PopNum(), 2);
  EXPECT_EQ(s.PopNum(), 1);
  EXPECT_TRUE(s.FConstData.empty());
  EXPECT_TRUE(s.FConstSizes.empty());
  EXPECT_EQ(s.FConstBytes, 0);
}

TEST(ConstTable, InsertAndRemoveInTheMiddle) {
  TSimplerProbe s;
  s.PushNum(2);
  s.PushNum(3);
  s.AddLittle(7, 0, 0);
  EXPECT_EQ(s.FConstSizes, (Bytes{4, 4, 4}));
  EXPECT_EQ(s.Values(), (std::vector<long double>{7, 2, 3}));

  TSimplerProbe t;
  for (long double v : {5.0L, 0.1L, 1e20L, 6.0L}) t.PushNum(v);
  EXPECT_EQ(t.FConstSizes, (Bytes{4, 10, 8, 4}));
  EXPECT_EQ(t.KillLittle(4, 1), 0.1L);
  EXPECT_EQ(t.FConstSizes, (Bytes{4, 8, 4}));
  EXPECT_EQ(t.Values(), (std::vector<long double>{5, 1e20L, 6}));
  EXPECT_EQ(t.FConstBytes, 16);
  t.AddLittle(0.1L, 12, 2);
  EXPECT_EQ(t.Values(), (std::vector<long double>{5, 1e20L, 0.1L, 6}));
  EXPECT_EQ(t.FConstBytes, static_cast<std::int32_t>(t.FConstData.size()));
}

TEST(ConstTable, FindFirstNumTakesTheFirstConstantOfAText) {
  TSimplerProbe s;
  s.PushNum(9);  // belongs to an earlier part of the text
  s.PushNum(1);
  s.PushNum(0.1L);
  s.PushNum(3);
  // K*(K+X)/K: the first of its three constants goes, the others stay.
  const std::string text = std::string("\x0A*(\x0A+\x0C", 6) + std::string("\x00\x00\x00\x00)/\x0A", 7);
  EXPECT_EQ(s.FindFirstNum(text), 1);
  EXPECT_EQ(s.Values(), (std::vector<long double>{9, 0.1L, 3}));
  EXPECT_EQ(s.FindFirstNum("-\x0A*\x0A"), -0.1L);
  EXPECT_EQ(s.Values(), (std::vector<long double>{9, 3}));
  // Inline integer constants are not table entries.
  const std::string withInline = std::string("\x0A*\x1F\x01\x00\x00\x00(\x0A\x04", 10) + std::string(8, '\0') + ")";
  EXPECT_EQ(s.FindFirstNum(withInline), 3);
  EXPECT_EQ(s.Values(), (std::vector<long double>{9}));
}

TEST(ConstTable, ByteHelpersIgnoreOutOfRangeRequests) {
  const std::uint8_t src[] = {7, 8, 9};
  Bytes a{1, 2, 3};
  InsertBytes(src, a, 1, 2);
  EXPECT_EQ(a, (Bytes{1, 7, 8, 2, 3}));
  InsertBytes(src, a, 5, 1);
  EXPECT_EQ(a, (Bytes{1, 7, 8, 2, 3, 7}));
  for (auto [offset, count] : {std::pair{-1, 1}, {7, 1}, {0, -1}}) InsertBytes(src, a, offset, count);
  EXPECT_EQ(a, (Bytes{1, 7, 8, 2, 3, 7}));
  DeleteBytes(a, 1, 2);
  EXPECT_EQ(a, (Bytes{1, 2, 3, 7}));
  for (auto [offset, count] : {std::pair{-1, 1}, {3, 2}, {0, -1}, {5, 0}}) DeleteBytes(a, offset, count);
  EXPECT_EQ(a, (Bytes{1, 2, 3, 7}));
  DeleteBytes(a, 0, 4);
  EXPECT_TRUE(a.empty());
}

TEST(ConstTable, ErrorRaisedIgnoresOnlyNoneAndDomain) {
  TSimplerProbe s;
  for (int e = eNone; e < static_cast<int>(ErrorCount); ++e) {
    s.FCompError = static_cast<TError>(e);
    EXPECT_EQ(s.ErrorRaised(), e != eNone && e != eDomain) << e;
  }
}

}  // namespace
}  // namespace fennic::testing
