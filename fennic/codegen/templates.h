// Fixed instruction byte strings of the generated routine. Operations copy a
// template with AddComm and append their operands (ib, id or an absolute address).
// The x87 arithmetic, the register-indexed forms (FLD ST(i), FXCH ST(i)) and
// the displacements of [ESP] and [disp32] forms are the encoder's
// (core/encoder.h), which reforms a template's operand.
#pragma once

#include <cstdint>

#include "fennic/core/target.h"

namespace fennic {

// Template names: operation, operand width, addressing ("Esp": [ESP],
// "EspD": [ESP+id], "Abs": [abs32]).
enum TInstr : std::uint8_t {
  insWait, insFchs,
  insFldDwordAbs, insFldQwordAbs, insFldTbyteAbs, insFaddQwordAbs,
  insFldDwordEsp, insFldQwordEsp, insFldTbyteEsp,
  insFildWordEsp, insFildDwordEsp, insFildQwordEsp,
  insFildWordAbs, insFildDwordAbs, insFildQwordAbs,
  insFstpDwordEsp, insFstpQwordEsp, insFstpTbyteEsp,
  insFxchSt1, insOperandSize, insRet, insCall,
  insSubEspB, insAddEspB, insAndEspD,
  insMovsxEaxByteAbs, insMovsxEaxWordAbs, insMovzxEaxByteAbs, insMovzxEaxWordAbs,
  insMovsxEaxAl, insMovsxEaxAx, insMovzxEaxAl, insMovzxEaxAx,
  insMovzxEcxWordAbs,
  insPushEax, insPushEcx, insPushEdx, insPushEbp,
  insPopEax, insPopEcx, insPopEdx, insPopEbp,
  insMovEaxAbs, insMovEdxAbs, insMovEcxAbs,
  insMovEaxImm, insMovEcxImm, insMovEdxImm,
  insMovEcxEax, insMovEdxEax,
  insMovEbpEsp, insMovEspEbp,
  insXorEdxEdx, insXorEaxEax, insXorEcxEcx,
  insCwde, insCdq,
  insNegEax, insNegEdx, insNegEcx,
  insXorEaxImm, insXorEdxImm, insXorEcxImm,
  insMovEspEax,
  insAdcEdx0,
  insMovEspDEdx,
  insCount
};

struct TInstrTemplate {
  TInstr Id;
  std::uint8_t Count;
  std::uint8_t Bytes[3];
};

// Instructions that change the stack or frame pointer as a whole: 64-bit
// code needs REX.W (48) to touch RSP and RBP rather than their low halves.
// Every other template is the same bytes in both targets (absolute operands
// are translated where they are emitted).
constexpr TInstrTemplate StackPointerOp(TInstr Id, std::uint8_t Opcode, std::uint8_t ModRM) {
  if (Target64) return {Id, 3, {0x48, Opcode, ModRM}};
  return {Id, 2, {Opcode, ModRM}};
}

// Indexed by TInstr; shared, read-only.
inline constexpr TInstrTemplate InstrTemplates[insCount] = {
    {insWait, 1, {0x9B}},
    {insFchs, 2, {0xD9, 0xE0}},
    {insFldDwordAbs, 2, {0xD9, 0x05}},
    {insFldQwordAbs, 2, {0xDD, 0x05}},
    {insFldTbyteAbs, 2, {0xDB, 0x2D}},
    {insFaddQwordAbs, 2, {0xDC, 0x05}},
    {insFldDwordEsp, 3, {0xD9, 0x04, 0x24}},
    {insFldQwordEsp, 3, {0xDD, 0x04, 0x24}},
    {insFldTbyteEsp, 3, {0xDB, 0x2C, 0x24}},
    {insFildWordEsp, 3, {0xDF, 0x04, 0x24}},
    {insFildDwordEsp, 3, {0xDB, 0x04, 0x24}},
    {insFildQwordEsp, 3, {0xDF, 0x2C, 0x24}},
    {insFildWordAbs, 2, {0xDF, 0x05}},
    {insFildDwordAbs, 2, {0xDB, 0x05}},
    {insFildQwordAbs, 2, {0xDF, 0x2D}},
    {insFstpDwordEsp, 3, {0xD9, 0x1C, 0x24}},
    {insFstpQwordEsp, 3, {0xDD, 0x1C, 0x24}},
    {insFstpTbyteEsp, 3, {0xDB, 0x3C, 0x24}},
    {insFxchSt1, 2, {0xD9, 0xC9}},
    {insOperandSize, 1, {0x66}},
    {insRet, 1, {0xC3}},
    {insCall, 1, {0xE8}},
    StackPointerOp(insSubEspB, 0x83, 0xEC),
    StackPointerOp(insAddEspB, 0x83, 0xC4),
    StackPointerOp(insAndEspD, 0x81, 0xE4),
    {insMovsxEaxByteAbs, 3, {0x0F, 0xBE, 0x05}},
    {insMovsxEaxWordAbs, 3, {0x0F, 0xBF, 0x05}},
    {insMovzxEaxByteAbs, 3, {0x0F, 0xB6, 0x05}},
    {insMovzxEaxWordAbs, 3, {0x0F, 0xB7, 0x05}},
    {insMovsxEaxAl, 3, {0x0F, 0xBE, 0xC0}},
    {insMovsxEaxAx, 3, {0x0F, 0xBF, 0xC0}},
    {insMovzxEaxAl, 3, {0x0F, 0xB6, 0xC0}},
    {insMovzxEaxAx, 3, {0x0F, 0xB7, 0xC0}},
    {insMovzxEcxWordAbs, 3, {0x0F, 0xB7, 0x0D}},
    {insPushEax, 1, {0x50}},
    {insPushEcx, 1, {0x51}},
    {insPushEdx, 1, {0x52}},
    {insPushEbp, 1, {0x55}},
    {insPopEax, 1, {0x58}},
    {insPopEcx, 1, {0x59}},
    {insPopEdx, 1, {0x5A}},
    {insPopEbp, 1, {0x5D}},
    {insMovEaxAbs, 2, {0x8B, 0x05}},
    {insMovEdxAbs, 2, {0x8B, 0x15}},
    {insMovEcxAbs, 2, {0x8B, 0x0D}},
    {insMovEaxImm, 1, {0xB8}},
    {insMovEcxImm, 1, {0xB9}},
    {insMovEdxImm, 1, {0xBA}},
    {insMovEcxEax, 2, {0x8B, 0xC8}},
    {insMovEdxEax, 2, {0x8B, 0xD0}},
    StackPointerOp(insMovEbpEsp, 0x8B, 0xEC),
    StackPointerOp(insMovEspEbp, 0x8B, 0xE5),
    {insXorEdxEdx, 2, {0x31, 0xD2}},
    {insXorEaxEax, 2, {0x31, 0xC0}},
    {insXorEcxEcx, 2, {0x31, 0xC9}},
    {insCwde, 1, {0x98}},
    {insCdq, 1, {0x99}},
    {insNegEax, 2, {0xF7, 0xD8}},
    {insNegEdx, 2, {0xF7, 0xDA}},
    {insNegEcx, 2, {0xF7, 0xD9}},
    {insXorEaxImm, 1, {0x35}},
    {insXorEdxImm, 2, {0x81, 0xF2}},
    {insXorEcxImm, 2, {0x81, 0xF1}},
    {insMovEspEax, 3, {0x89, 0x04, 0x24}},
    {insAdcEdx0, 3, {0x83, 0xD2, 0x00}},
    {insMovEspDEdx, 3, {0x89, 0x94, 0x24}},
};

// FSTP of ST0 by TOpType (single, double, extended), in the [ESP] form.
inline constexpr TInstr FstpEsp[3] = {insFstpDwordEsp, insFstpQwordEsp, insFstpTbyteEsp};

constexpr bool TemplatesInOrder() {
  for (int i = 0; i < insCount; ++i)
    if (InstrTemplates[i].Id != i || InstrTemplates[i].Count == 0) return false;
  return true;
}
static_assert(TemplatesInOrder(), "every template sits at the index of its name");

}  // namespace fennic
