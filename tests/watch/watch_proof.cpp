// Tests that leave the x87 state behind on purpose: the watch must fail the
// first three, each named with its state, and pass the last (see CMakeLists,
// also for the builds that leave out the first).
#include <gtest/gtest.h>

#include <cstdint>

namespace {

#if !defined(FENNIC_RUNTIME_TRAPS)
TEST(X87WatchProof, UnmaskedFlagRaised) {
  // 0/0 raises the invalid-operation flag under the masked default; then the
  // exception is unmasked with the flag still raised.
  const std::uint16_t unmasked = 0x037E;
  asm volatile("fldz\n\tfldz\n\tfdivrp\n\tfstp %%st(0)\n\tfldcw %0" : : "m"(unmasked) : "memory");
}
#endif

TEST(X87WatchProof, ValueLeftOnTheStack) { asm volatile("fld1" : : : "memory"); }

TEST(X87WatchProof, ControlWordChanged) {
  const std::uint16_t double_precision = 0x027F;
  asm volatile("fldcw %0" : : "m"(double_precision) : "memory");
}

TEST(X87WatchProof, MaskedFlagRaised) {
  asm volatile("fldz\n\tfldz\n\tfdivrp\n\tfstp %%st(0)" : : : "memory");
}

}  // namespace
