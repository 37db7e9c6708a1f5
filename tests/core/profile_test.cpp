// Processor profiles: what each asks of the code generator.
#include <gtest/gtest.h>

#include "fennic/core/profile.h"

namespace fennic {
namespace {

TEST(Profile, EachFamilyAndTheDetectedOne) {
  const struct {
    TAutoConfigure Profile;
    bool Split;
  } cases[] = {{acDefault, false}, {acP5, false}, {acP6, true}, {acPIV, true}, {acAMD, true}};
  for (const auto& c : cases) EXPECT_EQ(CodeShape(c.Profile).SplitConstants, c.Split) << int(c.Profile);
  const TAutoConfigure detected = DetectProcessor();
  EXPECT_TRUE(detected == acP5 || detected == acP6 || detected == acPIV || detected == acAMD);
  EXPECT_EQ(CodeShape(acAuto).SplitConstants, CodeShape(detected).SplitConstants);
}

}  // namespace
}  // namespace fennic
