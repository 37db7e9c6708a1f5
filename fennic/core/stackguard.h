// How much machine stack the calling thread has left. The simplifier and the
// tree builder descend once per bracket and call; they refuse a text rather
// than run out of stack, whatever stack the host runs them on.
//
// The stack of a thread is known from its attributes. A coroutine or fiber
// stack is not: where the stack pointer lies outside the thread's own
// stack, the descent may use ForeignStackBudget bytes below the point where
// it was entered (TStackEntry), and no more.
#pragma once

#include <cstddef>

namespace fennic {

// Bytes the descent may still use below the caller's frame: down to the low
// end of the thread's stack, or, on a stack the thread's attributes do not
// describe, down to ForeignStackBudget below the outermost entry. 0 on such
// a stack outside any entry.
std::size_t StackLeft();

// True when the descent may go a level deeper: StackLeft keeps the reserve
// below (StackReserve, or a quarter of a stack smaller than four times it),
// and Extra bytes more that later stages will take.
bool StackHasRoom(std::size_t Extra = 0);

// Marks where a descent begins, for the stacks that StackLeft cannot see
// the bounds of. Nested entries on the same stack (a compilation inside a
// compile-time call) keep the budget of the outermost one.
class TStackEntry {
 public:
  TStackEntry();
  ~TStackEntry();
  TStackEntry(const TStackEntry&) = delete;
  TStackEntry& operator=(const TStackEntry&) = delete;

 private:
  std::size_t FSavedTop;
};

// What a level of the descent must find left before it goes deeper: room
// for the level itself and for everything a level calls that does not
// descend (a flat text's whole compilation takes some 5 KB, a compile-time
// call what the host routine takes). Sanitized code keeps larger frames.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t StackReserve = 192 * 1024;
#else
inline constexpr std::size_t StackReserve = 64 * 1024;
#endif

// What the descent assumes it may use of a stack whose bounds it cannot
// see, measured from where it was entered: a host that compiles on a
// coroutine or fiber gives it at least this much below the call.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t ForeignStackBudget = 512 * 1024;
#else
inline constexpr std::size_t ForeignStackBudget = 128 * 1024;
#endif

}  // namespace fennic
