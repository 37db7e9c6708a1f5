#include "fennic/core/stackguard.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace fennic {

namespace {

struct TStackBounds {
  std::uintptr_t Low = 0, High = 0;  // empty when unknown
  bool Holds(std::uintptr_t At) const { return At > Low && At <= High; }
};

// This thread's own stack, once per thread.
const TStackBounds& ThreadStack() {
  thread_local const TStackBounds Bounds = [] {
    TStackBounds b;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        b.Low = reinterpret_cast<std::uintptr_t>(addr);
        b.High = b.Low + size;
      }
      pthread_attr_destroy(&attr);
    }
    return b;
  }();
  return Bounds;
}

// Where the outermost entry on a stack outside the thread's own lies; 0
// when there is none.
thread_local std::uintptr_t ForeignTop = 0;

bool WithinForeignBudget(std::uintptr_t At) {
  return ForeignTop != 0 && At <= ForeignTop && ForeignTop - At < ForeignStackBudget;
}

[[gnu::always_inline]] inline std::uintptr_t Here() { return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); }

// Bytes left below At, and the size of the stack they belong to.
struct TStackRoom {
  std::size_t Left = 0, Size = 0;
};

[[gnu::always_inline]] inline TStackRoom RoomBelow(std::uintptr_t At) {
  const TStackBounds& own = ThreadStack();
  if (own.Holds(At)) return {At - own.Low, own.High - own.Low};
  // A stack the thread's attributes do not describe (or one whose entry was
  // left by a switch to another): only the budget below the entry counts.
  if (WithinForeignBudget(At)) return {ForeignStackBudget - (ForeignTop - At), ForeignStackBudget};
  return {};
}

}  // namespace

std::size_t StackLeft() { return RoomBelow(Here()).Left; }

bool StackHasRoom(std::size_t Extra) {
  const TStackRoom room = RoomBelow(Here());
  return room.Size != 0 && room.Left >= std::min(StackReserve, room.Size / 4) + Extra;
}

TStackEntry::TStackEntry() : FSavedTop(ForeignTop) {
  const std::uintptr_t here = Here();
  if (!ThreadStack().Holds(here) && !WithinForeignBudget(here)) ForeignTop = here;
}

TStackEntry::~TStackEntry() { ForeignTop = FSavedTop; }

}  // namespace fennic
