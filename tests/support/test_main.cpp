// The main of every test program: GoogleTest with the x87 watch.
#include <gtest/gtest.h>

#include "support/x87_watch.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // After the flags are read: a flag may replace the result printer, which
  // must stay ahead of the watch in the list.
  ::testing::UnitTest::GetInstance()->listeners().Append(new fennic::testing::TX87TestWatch);
  return RUN_ALL_TESTS();
}
