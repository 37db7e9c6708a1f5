#include "support/x87_watch.h"

#include "fennic/core/x87guard.h"
#include "support/x87_state.h"

namespace fennic::testing {

void TX87TestWatch::OnTestStart(const ::testing::TestInfo&) { FStartControlWord = X87ControlWord(); }

// Runs before the result printer's OnTestEnd (end events go to the listeners
// in reverse order), while the test's result still takes failures.
void TX87TestWatch::OnTestEnd(const ::testing::TestInfo& Test) {
  const TX87State state = ReadX87State();
  if (X87StateSound(state, FStartControlWord)) return;
  // Reset before anything else: reporting allocates, which may wait on the x87.
  ResetX87(FStartControlWord);
  ADD_FAILURE() << "x87 state after " << Test.test_suite_name() << "." << Test.name() << ": "
                << X87StateFaults(state, FStartControlWord);
}

}  // namespace fennic::testing
