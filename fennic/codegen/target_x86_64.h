// What both halves of the x86-64 target share: the argument registers and
// the widening of narrow arguments.
#pragma once

#include <cstdint>

#include "fennic/codegen/levels.h"
#include "fennic/core/encoder.h"

namespace fennic::x86_64 {

// RDI, RSI, RDX, RCX, R8, R9: the integer argument registers in order.
inline constexpr std::uint8_t IntArgRegister[6] = {rDI, rSI, rDX, rCX, r8, r9};

inline bool FitsInt32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// The second opcode byte of MOVSX / MOVZX r32, r/m8 or r/m16 that widens a
// value to the 32 bits of its register as its parameter's type says; 0 for
// a parameter of 32 bits or more. Compilers of the System V world expect an
// argument narrower than 32 bits widened so by the caller.
inline std::uint8_t Widening(TVarType Param) {
  switch (Param) {
    case vtInt8: return 0xBE;
    case vtUInt8: return 0xB6;
    case vtInt16: return 0xBF;
    case vtUInt16: return 0xB7;
    default: return 0;
  }
}

inline TAddress AddressOf(const void* p) { return static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(p)); }


}  // namespace fennic::x86_64
