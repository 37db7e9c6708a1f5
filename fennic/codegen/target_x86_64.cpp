// The x86-64 target. The x87 code is the i386 code; what a 64-bit process
// changes:
// - an absolute operand (ModRM mod 00, r/m 101) means [RIP+disp32] here: the
//   constant pool, copied behind the routine into its block, is reached so,
//   and a host variable through its address in R11 (a PIE program's data and
//   mapped code lie far more than 2 GiB apart). R11 keeps the last address
//   loaded in a level, and variables within reach of it are addressed from it;
// - the routine is entered as long double (*)(void*), the component in RDI;
// - routines of every convention but ctBuilt_in follow the System V
//   convention: arguments in RDI, RSI, RDX, RCX, R8, R9 and XMM0 to XMM7 or
//   on the stack, RSP 16-byte aligned at the call, every x87 register
//   caller-saved (their StackNeeds is 8, so the routine holds no x87 value
//   across the call), results in RAX, XMM0 or ST0.
// Inline code keeps the i386 contract: x87 arguments, integers in EAX, EDX
// and ECX, the rest in its stack area.
#include <cstring>

#include "fennic/codegen/calls.h"
#include "fennic/codegen/target_x86_64.h"
#include "fennic/core/codedtext.h"
#include "fennic/core/encoder.h"

namespace fennic {

using namespace x86_64;

void TFennic::EmitAbs(const std::uint8_t* Bytes, std::int32_t Count, TAddress Address) {
  if (Count < 1 || Count > 8) Defect("absolute operand without its ModRM byte");
  // The constants (the pool, and the double pairs of a code shape that
  // splits extended constants) have copies behind the routine.
  const std::uint8_t* const data[2] = {PoolBase(), PairsBase()};
  const std::size_t sizes[2] = {PoolSize(), PairsSize()};
  for (int i = 0; i < 2; ++i) {
    const TAddress from = AddressOf(data[i]);
    if (sizes[i] == 0 || Address < from || Address >= from + static_cast<TAddress>(sizes[i])) continue;
    // The same bytes: in 64-bit code the [disp32] form is RIP-relative.
    std::int32_t displacement = 0;
    if (FWriting) {
      const TAddress end = AddressOf(FOutAddress) + Level().CodePos + Count + 4;
      displacement = static_cast<std::int32_t>(AddressOf(FBlockData[i]) + (Address - from) - end);
    }
    AddCommAndI32(Bytes, Count, displacement);
    return;
  }

  TLevelInfo& L = Level();
  std::int64_t delta = static_cast<std::int64_t>(Address - L.ScratchBase);
  if (L.ScratchBase == 0 || !FitsInt32(delta)) {
    Emit(TEncoder().OpPlusReg(0xB8, r11, RexWide).I64(Address));  // MOV R11, imm64
    L.ScratchBase = Address;
    delta = 0;
  }
  Emit(TEncoder().Reform(Bytes, Count, TOperand::At(r11, static_cast<std::int32_t>(delta))));
}

void TFennic::EmitCallTo(const void* Address) {
  // MOV R11, imm64; CALL R11: R11 carries no argument in either contract.
  Emit(TEncoder().OpPlusReg(0xB8, r11, RexWide).I64(AddressOf(Address)).Op({0xFF}, 2, TOperand::Register(r11)));
}

TPushed TFennic::LoadAddress(const void* Address, TPushed Where, std::int32_t Offset) {
  // MOV reg, imm64; a slot takes the whole address from RAX.
  const TPushed reg = Where == pMemory ? pEAX : Where;
  const std::uint8_t field = reg == pEAX ? rAX : reg == pECX ? rCX : rDX;
  Emit(TEncoder().OpPlusReg(0xB8, field, RexWide).I64(AddressOf(Address)));
  if (Where != pMemory) return reg;
  const std::int32_t displacement = Offset + Level().Pushed;
  CheckDisplacement(displacement);
  Emit(TEncoder().Op({0x89}, rAX, TOperand::Esp(displacement), RexWide));  // MOV [RSP+d], RAX
  return pMemory;
}

std::int32_t TFennic::FrameAlignment(std::int32_t) const { return 16; }

std::int32_t TFennic::PlainFrameBytes(std::int32_t Frame) const {
  // Entered with RSP 8 mod 16: a frame of 8 mod 16 bytes leaves every level
  // 16-byte aligned, as System V calls need.
  if (!FHostCalls) return Frame;
  return Frame + ((8 - Frame % 16) + 16) % 16;
}

std::size_t TFennic::BlockDataSize() const { return PoolSize() + PairsSize() + 64; }

void TFennic::PlaceBlockData(std::uint8_t* Write, const std::uint8_t* Address, std::size_t CodeSize) {
  // Each keeps the alignment it was laid out for: the same address modulo
  // 16 as in the builder's memory, where SmartLoad judged it.
  const std::uint8_t* const data[2] = {PoolBase(), PairsBase()};
  const std::size_t sizes[2] = {PoolSize(), PairsSize()};
  std::size_t end = CodeSize;
  for (int i = 0; i < 2; ++i) {
    FBlockData[i] = nullptr;
    if (sizes[i] == 0) continue;
    const std::size_t start = ((end + 15) & ~std::size_t{15}) + reinterpret_cast<std::uintptr_t>(data[i]) % 16;
    std::memcpy(Write + start, data[i], sizes[i]);
    FBlockData[i] = Address + start;
    end = start + sizes[i];
  }
}

}  // namespace fennic
