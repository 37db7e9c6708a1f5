// Linked into each example program: at exit the x87 state must be one a
// processor can go on from (see x87_state.h); otherwise the program says so
// on standard error and exits with status 3.
#include <cstdio>
#include <cstdlib>

#include "fennic/core/x87guard.h"
#include "support/x87_state.h"

namespace {

std::uint16_t StartControlWord = 0;

void CheckAtExit() {
  const fennic::testing::TX87State state = fennic::testing::ReadX87State();
  if (fennic::testing::X87StateSound(state, StartControlWord)) return;
  fennic::testing::ResetX87(StartControlWord);
  const std::string faults = fennic::testing::X87StateFaults(state, StartControlWord);
  std::fflush(stdout);
  std::fprintf(stderr, "x87 state at exit: %s\n", faults.c_str());
  std::fflush(nullptr);
  std::_Exit(3);
}

// Before main: the control word the program started with.
[[maybe_unused]] const bool Registered = [] {
  StartControlWord = fennic::testing::ReadX87State().ControlWord;
  return std::atexit(CheckAtExit) == 0;
}();

}  // namespace
