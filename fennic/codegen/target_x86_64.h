// What both halves of the x86-64 target share: register numbers, REX bits
// and the instruction assembled before it goes out through AddComm.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "fennic/codegen/levels.h"

namespace fennic::x86_64 {

inline constexpr std::uint8_t RexW = 0x48, RexR = 0x44, RexB = 0x41;
inline constexpr std::uint8_t R11 = 11;
// RDI, RSI, RDX, RCX, R8, R9: the integer argument registers in order.
inline constexpr std::uint8_t IntArgRegister[6] = {7, 6, 2, 1, 8, 9};

// One instruction assembled before it goes out through AddComm.
struct TInstruction {
  std::uint8_t Bytes[24];
  std::int32_t Count = 0;
  void Add(std::uint8_t b) { Bytes[Count++] = b; }
  void Add32(std::int32_t v) {
    for (int i = 0; i < 4; ++i) Add(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
  }
  void Add64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) Add(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  // Legacy prefixes first, then REX (when it has a bit to carry), then the opcode.
  void Begin(std::uint8_t Prefix, std::uint8_t Rex, std::initializer_list<std::uint8_t> Opcode) {
    if (Prefix != 0) Add(Prefix);
    if (Rex != 0x40 && Rex != 0) Add(Rex);
    for (std::uint8_t b : Opcode) Add(b);
  }
  // ModRM, SIB and displacement of [RSP+Displacement].
  void RspOperand(std::uint8_t Reg, std::int32_t Displacement) {
    const std::uint8_t mod = Displacement == 0 ? 0x00 : Displacement >= -128 && Displacement < 128 ? 0x40 : 0x80;
    Add(static_cast<std::uint8_t>(mod | (Reg & 7) << 3 | 4));
    Add(0x24);
    if (mod == 0x40) Add(static_cast<std::uint8_t>(Displacement));
    if (mod == 0x80) Add32(Displacement);
  }
};

inline bool IsLegacyPrefix(std::uint8_t b) { return b == 0x66 || b == 0xF2 || b == 0xF3; }

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
