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
    TInstruction load;  // MOV R11, imm64
    load.Add(RexW | RexB);
    load.Add(0xB8 + (R11 & 7));
    load.Add64(static_cast<std::uint64_t>(Address));
    AddComm(load.Bytes, load.Count);
    L.ScratchBase = Address;
    delta = 0;
  }
  TInstruction op;
  std::int32_t i = 0;
  while (i < Count - 1 && IsLegacyPrefix(Bytes[i])) op.Add(Bytes[i++]);
  std::uint8_t rex = RexB;
  if (i < Count - 1 && (Bytes[i] & 0xF0) == 0x40) rex |= Bytes[i++];
  op.Add(rex);
  for (; i < Count - 1; ++i) op.Add(Bytes[i]);
  const std::uint8_t reg = Bytes[Count - 1] & 0x38;
  if (delta == 0) {
    op.Add(static_cast<std::uint8_t>(reg | (R11 & 7)));
  } else if (delta >= -128 && delta < 128) {
    op.Add(static_cast<std::uint8_t>(0x40 | reg | (R11 & 7)));
    op.Add(static_cast<std::uint8_t>(delta));
  } else {
    op.Add(static_cast<std::uint8_t>(0x80 | reg | (R11 & 7)));
    op.Add32(static_cast<std::int32_t>(delta));
  }
  AddComm(op.Bytes, op.Count);
}

void TFennic::EmitCallTo(const void* Address) {
  // MOV R11, imm64; CALL R11: R11 carries no argument in either contract.
  TInstruction call;
  call.Add(RexW | RexB);
  call.Add(0xB8 + (R11 & 7));
  call.Add64(static_cast<std::uint64_t>(AddressOf(Address)));
  call.Add(RexB);
  call.Add(0xFF);
  call.Add(0xD0 + (R11 & 7));
  AddComm(call.Bytes, call.Count);
}

TPushed TFennic::LoadAddress(const void* Address, TPushed Where, std::int32_t Offset) {
  // MOV reg, imm64; a slot takes the whole address from RAX.
  const TPushed reg = Where == pMemory ? pEAX : Where;
  const std::uint8_t field = reg == pEAX ? 0 : reg == pECX ? 1 : 2;
  TInstruction load;
  load.Add(RexW);
  load.Add(0xB8 + field);
  load.Add64(static_cast<std::uint64_t>(AddressOf(Address)));
  AddComm(load.Bytes, load.Count);
  if (Where != pMemory) return reg;
  const std::int32_t displacement = Offset + Level().Pushed;
  CheckDisplacement(displacement);
  TInstruction store;  // MOV [RSP+d], RAX
  store.Begin(0, RexW, {0x89});
  store.RspOperand(0, displacement);
  AddComm(store.Bytes, store.Count);
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
