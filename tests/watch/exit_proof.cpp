// A program that ends in a broken x87 state on purpose, linked with the
// examples' exit-time check: "stack" leaves a value on the register stack,
// "flag" an invalid-operation flag raised with its exception unmasked.
#include <cstdint>
#include <cstring>

int main(int argc, char** argv) {
  const char* state = argc > 1 ? argv[1] : "";
  if (std::strcmp(state, "stack") == 0) asm volatile("fld1" : : : "memory");
  if (std::strcmp(state, "flag") == 0) {
    const std::uint16_t unmasked = 0x037E;
    asm volatile("fldz\n\tfldz\n\tfdivrp\n\tfstp %%st(0)\n\tfldcw %0" : : "m"(unmasked) : "memory");
  }
  return 0;
}
