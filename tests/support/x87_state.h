// The x87 state a test or an example leaves behind, judged by whether a
// processor can go on from it: under the emulator an unmasked exception never
// traps, so the state itself is checked instead of waiting for a signal.
//
// A state that traps is a flag raised whose exception the control word
// unmasks. On a processor the next x87 instruction that waits then traps,
// wherever it is, and in an i386 program there is x87 code in what a test
// runs without writing it: the sanitizer runtime does its 64-bit atomics
// with FILD/FISTP inside every allocation and free, and libstdc++ and the C
// library compute and convert with the x87. So between making such a state
// and clearing it, a test runs nothing that may touch the x87: no
// allocation or free, no exception object made or destroyed (a catch that
// ends frees one), no assertion, no call but the library's entry point
// under test, whose arguments are made before and whose results go into
// plain variables. Either the state is made, used and cleared in one asm
// block, or the entry point is called through CallFromX87State, or the
// whole probe runs in a child process whose exit status is the verdict.
#pragma once

#include <cstdint>
#include <exception>
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

// Whether code that began under StartControlWord left State whole: no
// value on the register stack, no flag raised whose exception the control
// word unmasks, the control word unchanged. Touches no x87 and no heap.
bool X87StateSound(const TX87State& State, std::uint16_t StartControlWord);
// What is wrong with State, for people: empty when it is sound; else the
// three words in hex and the faults.
std::string X87StateFaults(const TX87State& State, std::uint16_t StartControlWord);

// An empty stack, no flag raised, ControlWord loaded.
void ResetX87(std::uint16_t ControlWord);

// Runs Call from a host's state: ControlWord loaded, Flags raised (with the
// error summary when the control word unmasks one, as a processor sets it),
// the stack empty. Returns the state Call left, read and then reset to the
// control word in force before by one asm block, so that a trap can only
// come from inside Call. Call keeps to the rule above. An exception out of
// Call is caught with the state read and reset first; it goes to Thrown,
// or on to the caller when Thrown is null.
TX87State CallFromX87State(std::uint16_t ControlWord, std::uint16_t Flags, const std::function<void()>& Call,
                           std::exception_ptr* Thrown = nullptr);

}  // namespace fennic::testing
