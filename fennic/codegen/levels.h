// The code generator's working state: slot keys, the x87 model and code of
// each level, the queued arithmetic and the argument plans of calls.
// Internal to the code generator and its tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fennic/builder/tree.h"
#include "fennic/codegen/fennic.h"
#include "fennic/codegen/templates.h"

namespace fennic {

// The identity of a value in an x87 register, for register reuse: a
// variable by its code, a pool constant by its type and offset, a common
// value by its index, or no key
// (a computed or negated value, never found again). Compared as one word.
class TSlotKey {
 public:
  constexpr TSlotKey() = default;
  static constexpr TSlotKey Variable(std::int32_t Code) { return TSlotKey(KindVariable, 0, Code); }
  static constexpr TSlotKey PoolConstant(TVarType Type, std::int32_t Offset) {
    return TSlotKey(KindPoolConstant, Type, Offset);
  }
  static constexpr TSlotKey Common(std::int32_t Index) { return TSlotKey(KindCommon, 0, Index); }
  constexpr bool IsNone() const { return FWord == 0; }
  friend constexpr bool operator==(TSlotKey, TSlotKey) = default;

 private:
  static constexpr std::uint64_t KindVariable = 1, KindPoolConstant = 2, KindCommon = 3;
  constexpr TSlotKey(std::uint64_t Kind, std::uint8_t Type, std::int32_t Value)
      : FWord(Kind | std::uint64_t{Type} << 8 | std::uint64_t{static_cast<std::uint32_t>(Value)} << 32) {}
  std::uint64_t FWord = 0;
};

inline constexpr TSlotKey NoKey{};

// One x87 register of the level model.
struct TFPUSlot {
  std::int32_t Order = 0;  // position from the bottom of the stack; 0 = loaded first
  TSlotKey Key;            // identity of the value, for register reuse
};

struct TQueuedOp {
  std::int32_t Order = 0;  // Depth when queued: combines positions Order-2 and Order-1
  std::uint8_t Command = 0;
};

// The waiting arithmetic of one subtree.
struct TOpGroup {
  static constexpr std::int32_t Capacity = 7;
  std::array<TQueuedOp, Capacity> Queue{};
  std::int32_t Queued = 0;
  std::int32_t Dest = 0;  // Store: frame offset of the result (without Pushed); else target position
  TOpType Precision = otSingle;
  std::int32_t OpsLeft = 0;
  std::int32_t LeavesLeft = 0;
  bool Store = false;
  bool Done = false;
};

// Code and x87 model of one code level.
struct TLevelInfo {
  std::int32_t CodePos = 0;  // byte count (sizing pass), next write position (writing pass)
  std::int32_t Depth = 0;    // occupied x87 registers
  std::int32_t Pushed = 0;   // bytes pushed or reserved below the frame by this level's code
  bool WaitPending = false;
  std::int32_t Short4 = 0, Short8 = 0, Short16 = 0;  // frame accesses measured in the [ESP] form
  std::array<TFPUSlot, 8> Slots;                    // Slots[0] is ST0
  std::vector<TOpGroup> Ops;
  std::int32_t Cursor = 0;
  std::vector<std::int32_t> CallMarks;
  // x86-64: the address that R11 holds at this point of the level's code
  // (0: unknown), so that nearby variables are reached from it.
  TAddress ScratchBase = 0;

  // The register from ST(From) up that holds the value at stack position
  // Order (unique among the occupied registers); -1 when none does.
  std::int32_t SlotWithOrder(std::int32_t Order, std::int32_t From = 0) const {
    for (std::int32_t i = From; i < Depth; ++i)
      if (Slots[i].Order == Order) return i;
    return -1;
  }
};

// One argument of a call that travels in an integer register.
struct TToReg {
  TPushed Reg = pEAX;
  bool IsCall = false;     // a function call: its evaluation destroys EAX, ECX and EDX
  std::int32_t Usage = 0;  // x87 registers its evaluation needs
  TVarDef Def;
  TCallArg Arg;
  bool Saved = false;      // pushed by PushAll, popped when the registers are complete
};

// The argument plan of one call.
struct TToRegs {
  std::array<TToReg, 4> Regs;            // 0..2 in order of assignment (0: EAX); 3 spare
  std::array<std::int32_t, 8> FpuTrees{};  // FTrees index of each x87-stack argument
  std::array<std::int32_t, 8> FpuOrder{};  // its place among them (0 = first parameter)
  std::int32_t FpuCount = 0;
};

// An integer variable already widened into the frame during this pass.
struct TIntInfo {
  std::string Name;
  std::int32_t Offset = 0;  // frame offset of the widened copy, without any level's Pushed
};

// What the sizing pass measured of one level of a branch, for the writing
// pass to place it.
struct TLevelSize {
  std::int32_t CodePos = 0;
  std::int32_t Short4 = 0, Short8 = 0, Short16 = 0;
};

inline TLevelInfo& TFennic::Level() {
  if (FLevel < 0 || FLevel >= FLevelCount) [[unlikely]] NoLevel();
  return FLevels[static_cast<std::size_t>(FLevelBase + FLevel)];
}

}  // namespace fennic
