// A component with the standard function pack and two extended variables.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "fennic/codegen/fennic.h"
#include "fennic/functions/functions.h"

namespace fennic::testing {

struct TPackComponent {
  TFennic Fennic{nullptr};
  long double X = 0, Y = 0;

  explicit TPackComponent(TTrigCode Trig = tcX87, TPackAccuracy Accuracy = paExtended) {
    EXPECT_TRUE(RegisterStandardFunctions(Fennic, Accuracy, Trig));
    Fennic.RegisterVarExt("x", vtExtended, &X);
    Fennic.RegisterVarExt("y", vtExtended, &Y);
  }
  // Compiles Text; a failed compilation fails the test.
  bool Compile(const std::string& Text) {
    Fennic.SetExprString(Text);
    EXPECT_EQ(Fennic.CompError(), eNone) << Text;
    return Fennic.CompError() == eNone;
  }
  long double Value(const std::string& Text) {
    return Compile(Text) ? Fennic.Evaluate() : NAN;
  }
};

// Distance in units of the last place of Want (64-bit significand); equal
// NaNs and equal infinities are 0 apart.
inline long double Ulps(long double Got, long double Want) {
  if (std::isnan(Want)) return std::isnan(Got) ? 0 : INFINITY;
  if (Got == Want) return 0;
  if (std::isinf(Want) || std::isinf(Got) || std::isnan(Got)) return INFINITY;
  int e = Want == 0 ? -16382 : std::max(ilogbl(Want), -16382);
  return fabsl(Got - Want) / ldexpl(1.0L, e - 63);
}

inline bool SameBits(long double A, long double B) {
  return std::memcmp(&A, &B, 10) == 0;
}

}  // namespace fennic::testing
