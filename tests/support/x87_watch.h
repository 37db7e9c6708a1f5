// Checks the x87 state after every test of a test program (the shared main
// installs it): a test that leaves a state a processor cannot go on from
// fails, named, with the state; then the state is reset so that later tests
// are judged on their own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

namespace fennic::testing {

class TX87TestWatch : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& Test) override;
  void OnTestEnd(const ::testing::TestInfo& Test) override;

 private:
  std::uint16_t FStartControlWord = 0;
};

}  // namespace fennic::testing
