// The x87 state a test or an example leaves behind, judged by whether a
// processor can go on from it: under the emulator an unmasked exception never
// traps, so the state itself is checked instead of waiting for a signal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fennic::testing {

struct TX87State {
  std::uint16_t ControlWord = 0;
  std::uint16_t StatusWord = 0;
  std::uint16_t TagWord = 0;
};

// The state as it is; reading it waits for nothing, so it traps nowhere.
TX87State ReadX87State();

// What is wrong with State for code that began under StartControlWord: a
// value left on the register stack, a flag raised whose exception the
// control word unmasks, a changed control word. Empty when nothing is; else
// the three words in hex and the faults.
std::string X87StateFaults(const TX87State& State, std::uint16_t StartControlWord);

// An empty stack, no flag raised, ControlWord loaded.
void ResetX87(std::uint16_t ControlWord);

// Runs Call from a host's state: ControlWord loaded, Flags raised (with the
// error summary when the control word unmasks one, as a processor sets it),
// the stack empty. Returns the state Call left; the state is then reset to
// the control word in force before. Between loading the state and Call, and
// between Call and reading the state, no instruction waits: on a processor
// a pending unmasked exception traps only where the code under test waits.
TX87State CallFromX87State(std::uint16_t ControlWord, std::uint16_t Flags, const std::function<void()>& Call);

}  // namespace fennic::testing
