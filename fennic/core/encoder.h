// The one place that writes operands of machine instructions: legacy
// prefix, REX, opcode, ModRM, SIB, displacement and immediate of one
// instruction (or a short run of them) into a fixed buffer. The generated
// routine, the compile-time call stubs and the pack's inline code are all
// assembled through it; fixed instructions stay in their tables.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "fennic/core/export.h"

namespace fennic {

// General registers by their number in ModRM, SIB and REX; R8 to R15 need
// a REX bit.
enum TGpr : std::uint8_t { rAX, rCX, rDX, rBX, rSP, rBP, rSI, rDI, r8, r9, r10, r11, r12, r13, r14, r15 };

// REX bits an instruction asks for itself: W for a 64-bit operand, and the
// bare prefix that makes byte registers 4 to 7 SPL, BPL, SIL and DIL.
inline constexpr std::uint8_t RexNone = 0, RexPlain = 0x40, RexWide = 0x48;

// The operation of the immediate group (80 to 83 /n).
enum TArith : std::uint8_t { aAdd = 0, aOr = 1, aAnd = 4, aSub = 5, aXor = 6, aCmp = 7 };

// The r/m operand of an instruction.
struct TOperand {
  enum class TKind : std::uint8_t { Register, Memory, Absolute };
  // How a memory operand writes its displacement: the shortest the value
  // allows, always a byte, always 32 bits (a frame offset fixed later), or
  // not at all (an absolute address appended by its emitter).
  enum class TDisp : std::uint8_t { Shortest, Byte, Dword, Later };
  static constexpr std::uint8_t NoIndex = 0xFF;

  TKind Kind = TKind::Register;
  std::uint8_t Base = 0;         // the register, or the base of a memory operand
  std::uint8_t Index = NoIndex;  // scale 1
  TDisp Disp = TDisp::Shortest;
  std::int32_t Displacement = 0;

  static constexpr TOperand Register(std::uint8_t Reg) { return {TKind::Register, Reg, NoIndex, TDisp::Shortest, 0}; }
  // [Base+Displacement]: none at 0 (but for RBP and R13, which have no such
  // form), 8 bits from -128 to 127, 32 bits otherwise, unless Disp says.
  static constexpr TOperand At(std::uint8_t Base, std::int32_t Displacement, TDisp Disp = TDisp::Shortest) {
    return {TKind::Memory, Base, NoIndex, Disp, Displacement};
  }
  static constexpr TOperand Esp(std::int32_t Displacement, TDisp Disp = TDisp::Shortest) {
    return At(rSP, Displacement, Disp);
  }
  // A frame temporary: [ESP] at offset 0 (the offset may grow after the
  // sizing pass, which counts these), else a 32-bit displacement.
  static constexpr TOperand Frame(std::int32_t Offset) {
    return Offset == 0 ? Esp(0) : Esp(Offset, TDisp::Dword);
  }
  // [Base+Index+Displacement] with a 32-bit displacement.
  static constexpr TOperand Indexed(std::uint8_t Base, std::uint8_t Index, std::int32_t Displacement) {
    return {TKind::Memory, Base, Index, TDisp::Dword, Displacement};
  }
  // [disp32]: absolute in 32-bit code, RIP-relative in 64-bit code.
  static constexpr TOperand Absolute(std::int32_t Address) {
    return {TKind::Absolute, 0, NoIndex, TDisp::Dword, Address};
  }
  // The same form without its four bytes, which the emitter appends.
  static constexpr TOperand AbsoluteLater() { return {TKind::Absolute, 0, NoIndex, TDisp::Later, 0}; }
};

// Exported for the function pack, a library of its own.
class FENNIC_API TEncoder {
 public:
  static constexpr int Capacity = 24;

  const std::uint8_t* Data() const { return FBytes; }
  std::int32_t Size() const { return FCount; }

  TEncoder& Byte(std::uint8_t B) {
    if (FCount >= Capacity) Overflow();
    FBytes[FCount++] = B;
    return *this;
  }
  TEncoder& Bytes(std::initializer_list<std::uint8_t> List) {
    for (std::uint8_t b : List) Byte(b);
    return *this;
  }
  TEncoder& I8(std::int32_t V) { return Byte(static_cast<std::uint8_t>(V)); }
  TEncoder& I32(std::int32_t V);
  TEncoder& I64(std::uint64_t V);

  // REX (when a bit is set or Rex asks for it), Opcode, then ModRM, SIB and
  // displacement of Rm with Reg in the reg field (a register or an opcode
  // extension). A legacy prefix goes in before, by Byte.
  TEncoder& Op(std::initializer_list<std::uint8_t> Opcode, std::uint8_t Reg, const TOperand& Rm,
               std::uint8_t Rex = RexNone);
  // An opcode that names its register in its low three bits (B8+r, 50+r).
  TEncoder& OpPlusReg(std::uint8_t Opcode, std::uint8_t Reg, std::uint8_t Rex = RexNone);
  // Arith Rm, Imm: 83 /n ib where the value fits a signed byte, else 81 /n id.
  TEncoder& ArithImm(TArith Arith, const TOperand& Rm, std::int32_t Imm, std::uint8_t Rex = RexNone);
  // An instruction table's entry with another operand: Template is its
  // prefixes, REX, opcode and ModRM in the [disp32] form, or ModRM and SIB
  // in the [ESP] form; everything but the addressing is kept.
  TEncoder& Reform(const std::uint8_t* Template, std::int32_t Count, const TOperand& Rm);

 private:
  void PutRex(std::uint8_t Rex, std::uint8_t Reg, const TOperand& Rm);
  void Address(std::uint8_t Reg, const TOperand& Rm);
  [[noreturn, gnu::cold]] static void Overflow();

  std::uint8_t FBytes[Capacity];
  std::int32_t FCount = 0;
};

}  // namespace fennic
