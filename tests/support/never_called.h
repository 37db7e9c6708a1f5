// An entry point for host routines that a test registers but never runs
// (registration refuses a routine without an address).
#pragma once

namespace fennic::testing {

inline void NeverCalledRoutine() {}
inline void* const NeverCalled = reinterpret_cast<void*>(&NeverCalledRoutine);

}  // namespace fennic::testing
