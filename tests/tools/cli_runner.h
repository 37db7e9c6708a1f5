// Runs the fennic tool (under the emulator where there is one) with given
// arguments and standard input, and collects its output and exit status.
#pragma once

#include <string>
#include <vector>

namespace fennic::testing {

struct TCliResult {
  int Status = -1;       // exit status; -1 if the tool did not exit normally
  int Signal = 0;        // the signal that ended it, if any
  std::string Out, Err;
  // The first line of standard output.
  std::string FirstLine() const { return Out.substr(0, Out.find('\n')); }
};

TCliResult RunCli(const std::vector<std::string>& Args, const std::string& Input = "");

}  // namespace fennic::testing
