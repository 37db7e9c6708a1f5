#include "fennic/core/stackguard.h"

#include <pthread.h>

#include <cstdint>

namespace fennic {

namespace {

// The low end of this thread's stack, once per thread; 0 when unknown.
std::uintptr_t StackLow() {
  thread_local const std::uintptr_t Low = [] {
    std::uintptr_t low = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<std::uintptr_t>(addr);
      pthread_attr_destroy(&attr);
    }
    return low;
  }();
  return Low;
}

}  // namespace

std::size_t StackLeft() {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const std::uintptr_t low = StackLow();
  if (low == 0 || here <= low) return low == 0 ? SIZE_MAX : 0;
  return here - low;
}

}  // namespace fennic
