// The operand forms of the instruction encoder, byte for byte.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "fennic/core/encoder.h"

namespace fennic {
namespace {

std::string Hex(const TEncoder& E) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::int32_t i = 0; i < E.Size(); ++i) {
    if (i) out += ' ';
    out += digits[E.Data()[i] >> 4];
    out += digits[E.Data()[i] & 15];
  }
  return out;
}

using D = TOperand::TDisp;

TEST(Encoder, OperandForms) {
  struct Case {
    const char* What;
    std::uint8_t Reg;
    TOperand Rm;
    std::uint8_t Rex;
    const char* Bytes;  // of MOV r/m, reg (89 /r)
  } cases[] = {
      {"[esp]", rAX, TOperand::Esp(0), RexNone, "89 04 24"},
      {"[esp+127]", rCX, TOperand::Esp(127), RexNone, "89 4C 24 7F"},
      {"[esp+128]", rDX, TOperand::Esp(128), RexNone, "89 94 24 80 00 00 00"},
      {"[esp-128]", rAX, TOperand::Esp(-128), RexNone, "89 44 24 80"},
      {"[esp-129]", rAX, TOperand::Esp(-129), RexNone, "89 84 24 7F FF FF FF"},
      {"[esp+0] byte", rAX, TOperand::Esp(0, D::Byte), RexNone, "89 44 24 00"},
      {"frame 0", rAX, TOperand::Frame(0), RexNone, "89 04 24"},
      {"frame 4", rAX, TOperand::Frame(4), RexNone, "89 84 24 04 00 00 00"},
      {"[ebp]: no form without displacement", rAX, TOperand::At(rBP, 0), RexNone, "89 45 00"},
      {"[r13]", rAX, TOperand::At(r13, 0), RexNone, "41 89 45 00"},
      {"[r12] needs a SIB", rAX, TOperand::At(r12, 0), RexNone, "41 89 04 24"},
      {"[r11+200]", rAX, TOperand::At(r11, 200), RexNone, "41 89 83 C8 00 00 00"},
      {"[rsp+8], r11, W", r11, TOperand::Esp(8), RexWide, "4C 89 5C 24 08"},
      {"[rsi+rcx+disp32]", rAX, TOperand::Indexed(rSI, rCX, 16), RexNone, "89 84 0E 10 00 00 00"},
      {"[r8+r9+disp32]", rAX, TOperand::Indexed(r8, r9, 0), RexNone, "43 89 84 08 00 00 00 00"},
      {"[abs]", rDX, TOperand::Absolute(0x12345678), RexNone, "89 15 78 56 34 12"},
      {"[abs] later", rDX, TOperand::AbsoluteLater(), RexNone, "89 15"},
      {"register", rCX, TOperand::Register(rDX), RexNone, "89 CA"},
      {"register r9, W", rAX, TOperand::Register(r9), RexWide, "49 89 C1"},
      {"dil needs a bare REX", rDI, TOperand::Register(rAX), RexPlain, "40 89 F8"},
  };
  for (const Case& c : cases) {
    TEncoder e;
    e.Op({0x89}, c.Reg, c.Rm, c.Rex);
    EXPECT_EQ(Hex(e), c.Bytes) << c.What;
  }
}

TEST(Encoder, ImmediateAndRegisterInOpcode) {
  struct Case {
    TEncoder E;
    const char* Bytes;
  } cases[] = {
      {TEncoder().ArithImm(aSub, TOperand::Register(rSP), 127, RexWide), "48 83 EC 7F"},
      {TEncoder().ArithImm(aSub, TOperand::Register(rSP), 128), "81 EC 80 00 00 00"},
      {TEncoder().ArithImm(aAdd, TOperand::Register(rSP), -128), "83 C4 80"},
      {TEncoder().ArithImm(aAnd, TOperand::Register(rSP), -129), "81 E4 7F FF FF FF"},
      {TEncoder().OpPlusReg(0xB8, r11, RexWide).I64(0x1122334455667788), "49 BB 88 77 66 55 44 33 22 11"},
      {TEncoder().OpPlusReg(0xB8, rDX).I32(-1), "BA FF FF FF FF"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(c.E), c.Bytes);
}

TEST(Encoder, ReformKeepsPrefixRexOpcodeAndRegField) {
  struct Case {
    std::initializer_list<std::uint8_t> Template;
    TOperand Rm;
    const char* Bytes;
  } cases[] = {
      {{0xDB, 0x3C, 0x24}, TOperand::Esp(12), "DB 7C 24 0C"},          // FSTP TBYTE [ESP] -> [ESP+ib]
      {{0xD9, 0x1C, 0x24}, TOperand::Esp(300), "D9 9C 24 2C 01 00 00"},  // -> [ESP+id]
      {{0xDD, 0x05}, TOperand::At(r11, 0), "41 DD 03"},                // FLD QWORD [abs] -> [R11]
      {{0xDD, 0x05}, TOperand::At(r11, -8), "41 DD 43 F8"},
      {{0x48, 0x0F, 0xBE, 0x3D}, TOperand::At(r11, 0), "49 0F BE 3B"},  // MOVSX RDI, byte
      {{0x44, 0x8B, 0x05}, TOperand::At(r11, 0), "45 8B 03"},          // MOV R8D, [abs]
      {{0xF2, 0x0F, 0x10, 0x0D}, TOperand::At(r11, 0), "F2 41 0F 10 0B"},  // MOVSD XMM1, [abs]
      {{0xDC, 0x05}, TOperand::Frame(0), "DC 04 24"},                  // FADD QWORD [abs] -> [ESP]
  };
  for (const Case& c : cases) {
    TEncoder e;
    e.Reform(c.Template.begin(), static_cast<std::int32_t>(c.Template.size()), c.Rm);
    EXPECT_EQ(Hex(e), c.Bytes);
  }
}

TEST(Encoder, FullBufferThrowsInsteadOfWritingPastIt) {
  TEncoder e;
  for (int i = 0; i < TEncoder::Capacity; ++i) e.Byte(0x90);
  EXPECT_THROW(e.Byte(0x90), std::logic_error);
  EXPECT_EQ(e.Size(), TEncoder::Capacity);
}

}  // namespace
}  // namespace fennic
