// The i386 target: absolute 32-bit operands, relative calls, the routine
// entered with the component in EAX. Every convention's arguments are
// placed by the sequence of inline code (calls.cpp).
#include "fennic/codegen/calls.h"
#include "fennic/core/encoder.h"

namespace fennic {

namespace {

std::int32_t Absolute32(const void* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)));
}

}  // namespace

void TFennic::EmitAbs(const std::uint8_t* Bytes, std::int32_t Count, TAddress Address) {
  AddCommAndI32(Bytes, Count, static_cast<std::int32_t>(Address));
}

void TFennic::EmitCallTo(const void* Address) {
  // Relative to the end of the 5-byte CALL at its final address.
  std::int32_t displacement = 0;
  if (FWriting)
    displacement = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(Absolute32(Address)) -
        static_cast<std::uint32_t>(Absolute32(FOutAddress + Level().CodePos + InstrTemplates[insCall].Count + 4)));
  EmitI32(insCall, displacement);
}

TPushed TFennic::LoadAddress(const void* Address, TPushed Where, std::int32_t) {
  // MOV reg, imm32; a stack slot is filled from EAX by the caller.
  const TPushed reg = Where == pMemory ? pEAX : Where;
  const std::uint8_t field = reg == pEAX ? rAX : reg == pECX ? rCX : rDX;
  Emit(TEncoder().OpPlusReg(0xB8, field).I32(Absolute32(Address)));
  return reg;
}

std::int32_t TFennic::FrameAlignment(std::int32_t BigSlots) const { return BigSlots > 0 ? 16 : 8; }

std::int32_t TFennic::PlainFrameBytes(std::int32_t Frame) const { return Frame; }

std::size_t TFennic::BlockDataSize() const { return 0; }

void TFennic::PlaceBlockData(std::uint8_t*, const std::uint8_t*, std::size_t) {}

bool TFennic::CompileHostCall(TCallPlan&, TTreeNode*) { return false; }

}  // namespace fennic
