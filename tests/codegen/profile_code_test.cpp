// The code a profile changes: an extended constant that is the exact sum of
// two normal doubles loads as FLD QWORD [hi]; FADD QWORD [lo] under the
// profiles of today's processors, and as FLD TBYTE otherwise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fennic/fennic.h"

namespace fennic {
namespace {

// The operand address of an instruction DD 05 / DC 05 / DB 2D at At: an
// absolute address on i386, RIP-relative in 64-bit code.
const void* OperandOf(const std::uint8_t* At) {
  std::int32_t disp;
  std::memcpy(&disp, At + 2, 4);
  if (Target64) return At + 6 + disp;
  return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(disp)));
}

// Positions of a two-byte opcode with a [disp32] operand in the routine.
std::vector<const std::uint8_t*> Find(const TFennic& f, std::uint8_t A, std::uint8_t B) {
  std::vector<const std::uint8_t*> at;
  for (std::size_t i = 0; i + 6 <= f.CodeSize(); ++i)
    if (f.CodeBytes()[i] == A && f.CodeBytes()[i + 1] == B) at.push_back(f.CodeBytes() + i);
  return at;
}

TEST(ProfileCode, ExtendedConstantsAsDoublePairs) {
  double x = 3;
  const struct {
    const char* Text;
    long double Constant;
    bool Splits;  // under the modern profiles
    long double Want;
  } cases[] = {
      {"x*0.1", 0.1L, true, 3 * 0.1L},
      {"x+1.1", 1.1L, true, 3 + 1.1L},
      {"x*1e-4000", 1e-4000L, false, 3 * 1e-4000L},  // beyond the range of a double
      {"x*1.1e4000", 1.1e4000L, false, 3 * 1.1e4000L},
  };
  for (const auto& c : cases) {
    for (const TAutoConfigure profile : {acDefault, acP5, acP6, acAMD}) {
      TFennic f(nullptr);
      f.RegisterVarExt("x", vtDouble, &x);
      f.SetAutoConfigure(profile);
      f.SetExprString(c.Text);
      ASSERT_EQ(f.CompError(), eNone) << c.Text;
      const bool split = c.Splits && CodeShape(profile).SplitConstants;
      // FADD QWORD right behind an FLD QWORD (an i386 routine loads the
      // double variable with FLD QWORD too).
      const auto fadd = Find(f, 0xDC, 0x05), tbyte = Find(f, 0xDB, 0x2D);
      if (split) {
        ASSERT_EQ(fadd.size(), 1u) << c.Text << " profile " << int(profile);
        const std::uint8_t* fld = fadd[0] - 6;
        ASSERT_TRUE(fld >= f.CodeBytes() && fld[0] == 0xDD && fld[1] == 0x05) << c.Text;
        EXPECT_TRUE(tbyte.empty()) << c.Text;
        double hi, lo;
        std::memcpy(&hi, OperandOf(fld), 8);
        std::memcpy(&lo, OperandOf(fadd[0]), 8);
        EXPECT_EQ(static_cast<long double>(hi) + lo, c.Constant) << c.Text;
        EXPECT_GE(std::fabs(lo), 0x1p-1022) << c.Text;
      } else {
        ASSERT_EQ(tbyte.size(), 1u) << c.Text << " profile " << int(profile);
        long double loaded = 0;
        std::memcpy(&loaded, OperandOf(tbyte[0]), 10);
        EXPECT_EQ(loaded, c.Constant) << c.Text;
      }
      EXPECT_EQ(f.Evaluate(), c.Want) << c.Text;
    }
  }
}

}  // namespace
}  // namespace fennic
