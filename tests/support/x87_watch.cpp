#include "support/x87_watch.h"

#include "fennic/simplifier/x87guard.h"
#include "support/x87_state.h"

namespace fennic::testing {

void TX87TestWatch::OnTestStart(const ::testing::TestInfo&) { FStartControlWord = X87ControlWord(); }

// Runs before the result printer's OnTestEnd (end events go to the listeners
// in reverse order), while the test's result still takes failures.
void TX87TestWatch::OnTestEnd(const ::testing::TestInfo& Test) {
  const std::string faults = X87StateFaults(ReadX87State(), FStartControlWord);
  if (faults.empty()) return;
  // Reset first: reporting runs x87 instructions that would trap on a processor.
  ResetX87(FStartControlWord);
  ADD_FAILURE() << "x87 state after " << Test.test_suite_name() << "." << Test.name() << ": " << faults;
}

}  // namespace fennic::testing
