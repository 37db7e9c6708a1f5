#include "fennic/core/encoder.h"

#include <stdexcept>

namespace fennic {

namespace {

constexpr std::uint8_t RexR = 0x04, RexX = 0x02, RexB = 0x01;

bool IsLegacyPrefix(std::uint8_t B) { return B == 0x66 || B == 0xF2 || B == 0xF3; }

bool FitsI8(std::int32_t V) { return V >= -128 && V <= 127; }

}  // namespace

void TEncoder::Overflow() { throw std::logic_error("instruction encoder: buffer full"); }

TEncoder& TEncoder::I32(std::int32_t V) {
  const auto v = static_cast<std::uint32_t>(V);
  for (int i = 0; i < 4; ++i) Byte(static_cast<std::uint8_t>(v >> (8 * i)));
  return *this;
}

TEncoder& TEncoder::I64(std::uint64_t V) {
  for (int i = 0; i < 8; ++i) Byte(static_cast<std::uint8_t>(V >> (8 * i)));
  return *this;
}

void TEncoder::PutRex(std::uint8_t Rex, std::uint8_t Reg, const TOperand& Rm) {
  std::uint8_t rex = Rex;
  if (Reg >= 8) rex |= RexR;
  if (Rm.Kind != TOperand::TKind::Absolute && Rm.Base >= 8) rex |= RexB;
  if (Rm.Kind == TOperand::TKind::Memory && Rm.Index != TOperand::NoIndex && Rm.Index >= 8) rex |= RexX;
  if (rex != 0) Byte(static_cast<std::uint8_t>(0x40 | rex));
}

void TEncoder::Address(std::uint8_t Reg, const TOperand& Rm) {
  const auto reg = static_cast<std::uint8_t>((Reg & 7) << 3);
  using K = TOperand::TKind;
  using D = TOperand::TDisp;
  if (Rm.Kind == K::Register) {
    Byte(static_cast<std::uint8_t>(0xC0 | reg | (Rm.Base & 7)));
    return;
  }
  if (Rm.Kind == K::Absolute) {
    Byte(static_cast<std::uint8_t>(reg | 5));
    if (Rm.Disp != D::Later) I32(Rm.Displacement);
    return;
  }
  const std::uint8_t base = Rm.Base & 7;
  D disp = Rm.Disp;
  if (disp == D::Shortest || disp == D::Later)
    disp = Rm.Displacement == 0 && base != rBP ? D::Later : FitsI8(Rm.Displacement) ? D::Byte : D::Dword;
  const std::uint8_t mod = disp == D::Later ? 0x00 : disp == D::Byte ? 0x40 : 0x80;
  const bool sib = Rm.Index != TOperand::NoIndex || base == rSP;
  Byte(static_cast<std::uint8_t>(mod | reg | (sib ? 4 : base)));
  if (sib) Byte(static_cast<std::uint8_t>((Rm.Index == TOperand::NoIndex ? 4 : Rm.Index & 7) << 3 | base));
  if (disp == D::Byte) I8(Rm.Displacement);
  if (disp == D::Dword) I32(Rm.Displacement);
}

TEncoder& TEncoder::Op(std::initializer_list<std::uint8_t> Opcode, std::uint8_t Reg, const TOperand& Rm,
                       std::uint8_t Rex) {
  PutRex(Rex, Reg, Rm);
  for (std::uint8_t b : Opcode) Byte(b);
  Address(Reg, Rm);
  return *this;
}

TEncoder& TEncoder::OpPlusReg(std::uint8_t Opcode, std::uint8_t Reg, std::uint8_t Rex) {
  PutRex(Rex, 0, TOperand::Register(Reg));
  return Byte(static_cast<std::uint8_t>(Opcode + (Reg & 7)));
}

TEncoder& TEncoder::ArithImm(TArith Arith, const TOperand& Rm, std::int32_t Imm, std::uint8_t Rex) {
  if (FitsI8(Imm)) return Op({0x83}, Arith, Rm, Rex).I8(Imm);
  return Op({0x81}, Arith, Rm, Rex).I32(Imm);
}

TEncoder& TEncoder::Reform(const std::uint8_t* Template, std::int32_t Count, const TOperand& Rm) {
  // The ModRM byte is the last one, or the one before an [ESP] form's SIB.
  std::int32_t modrm = Count - 1;
  if (Count >= 2 && Template[Count - 1] == 0x24 && (Template[Count - 2] & 0xC7) == 0x04) modrm = Count - 2;
  if (modrm < 0) throw std::logic_error("instruction encoder: template without its ModRM byte");
  std::int32_t i = 0;
  while (i < modrm && IsLegacyPrefix(Template[i])) Byte(Template[i++]);
  std::uint8_t rex = RexNone;
  if (i < modrm && (Template[i] & 0xF0) == 0x40) rex = Template[i++];
  const auto reg = static_cast<std::uint8_t>(((Template[modrm] >> 3) & 7) | (rex & RexR ? 8 : 0));
  PutRex(static_cast<std::uint8_t>(rex & ~RexR), reg, Rm);
  for (; i < modrm; ++i) Byte(Template[i]);
  Address(reg, Rm);
  return *this;
}

}  // namespace fennic
