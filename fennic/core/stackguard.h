// How much machine stack the calling thread has left. The simplifier and the
// tree builder descend once per bracket and call; they refuse a text rather
// than run out of stack, whatever stack the host's thread was given.
#pragma once

#include <cstddef>

namespace fennic {

// Bytes between the caller's frame and the low end of the thread's stack
// (the size of the whole stack when the bounds are unknown).
std::size_t StackLeft();

// What a level of the descent must find left before it goes deeper: room
// for the level itself and for everything a level calls that does not
// descend. Sanitized code keeps larger frames.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t StackReserve = 192 * 1024;
#else
inline constexpr std::size_t StackReserve = 64 * 1024;
#endif

}  // namespace fennic
