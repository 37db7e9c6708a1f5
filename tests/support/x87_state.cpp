#include "support/x87_state.h"

#include <cstdio>

#include "fennic/core/x87guard.h"

namespace fennic::testing {

TX87State ReadX87State() {
  TX87Env env;
  // FNSTENV masks every exception; loading the image back restores them
  // without trapping, since nothing can be pending while all are masked.
  asm volatile("fnstenv %0\n\tfldenv %0" : "+m"(env) : : "memory");
  return {env.ControlWord, env.StatusWord, env.TagWord};
}

namespace {
bool StackEmpty(const TX87State& State) { return State.TagWord == 0xFFFF && ((State.StatusWord >> 11) & 7) == 0; }
bool TrapPending(const TX87State& State) { return State.StatusWord & ~State.ControlWord & X87AllExceptions; }
}  // namespace

bool X87StateSound(const TX87State& State, std::uint16_t StartControlWord) {
  return StackEmpty(State) && !TrapPending(State) && State.ControlWord == StartControlWord;
}

std::string X87StateFaults(const TX87State& State, std::uint16_t StartControlWord) {
  std::string faults;
  if (X87StateSound(State, StartControlWord)) return faults;
  if (!StackEmpty(State)) faults += ", values left on the register stack";
  if (TrapPending(State)) faults += ", an exception flag raised that the control word unmasks";
  if (State.ControlWord != StartControlWord) faults += ", the control word changed";
  char words[80];
  std::snprintf(words, sizeof words, "status word %04X, control word %04X, tag word %04X (started with %04X)",
                State.StatusWord, State.ControlWord, State.TagWord, StartControlWord);
  return words + (":" + faults.substr(1));
}

void ResetX87(std::uint16_t ControlWord) { asm volatile("fninit\n\tfldcw %0" : : "m"(ControlWord) : "memory"); }

TX87State CallFromX87State(std::uint16_t ControlWord, std::uint16_t Flags, const std::function<void()>& Call,
                           std::exception_ptr* Thrown) {
  const std::uint16_t saved = ReadX87State().ControlWord;
  TX87Env env;
  asm volatile("fninit\n\tfnstenv %0" : "=m"(env) : : "memory");
  env.ControlWord = ControlWord;
  env.StatusWord = Flags & X87AllExceptions;
  if (Flags & ~ControlWord & X87AllExceptions) env.StatusWord |= 0x8080;  // busy, error summary
  asm volatile("fldenv %0" : : "m"(env) : "memory");
  try {
    Call();
  } catch (...) {
    // Unwinding and entering this handler run no x87 code; the handler's
    // end frees the exception, so the state is read and reset first.
    asm volatile("fnstenv %0\n\tfninit\n\tfldcw %1" : "=m"(env) : "m"(saved) : "memory");
    if (Thrown == nullptr) throw;
    *Thrown = std::current_exception();
    return {env.ControlWord, env.StatusWord, env.TagWord};
  }
  asm volatile("fnstenv %0\n\tfninit\n\tfldcw %1" : "=m"(env) : "m"(saved) : "memory");
  return {env.ControlWord, env.StatusWord, env.TagWord};
}

}  // namespace fennic::testing
