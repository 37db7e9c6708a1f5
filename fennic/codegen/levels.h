// The code generator's working state: the x87 model and code of each level,
// the queued arithmetic, the argument plans of calls and the frames of the
// tree walk. Internal to the code generator and its tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fennic/codegen/fennic.h"
#include "fennic/codegen/templates.h"

namespace fennic {

// One x87 register of the level model.
struct TFPUSlot {
  std::int32_t Order = 0;  // position from the bottom of the stack; 0 = loaded first
  std::string Key;         // identity of the value, for register reuse
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
};

// One argument of a call that travels in an integer register.
struct TToReg {
  TPushed Reg = pEAX;
  bool IsCall = false;     // a function call: its evaluation destroys EAX, ECX and EDX
  std::int32_t Usage = 0;  // x87 registers its evaluation needs
  TVarDef Def;
  std::string Arg;         // the argument's text; emptied once loaded
  bool Saved = false;      // pushed by PushAll, popped when the registers are complete
};

// The argument plan of one call.
struct TToRegs {
  std::array<TToReg, 4> Regs;            // 0..2 in order of assignment (0: EAX); 3 spare
  std::array<std::int32_t, 8> FpuTrees{};  // FTrees index of each x87-stack argument
  std::array<std::int32_t, 8> FpuOrder{};  // its place among them (0 = first parameter)
  std::int32_t FpuCount = 0;
};

// One step of the walk over an operator tree (CompileLeaf).
struct TLeafFrame {
  TTreeNode* Node;
  TTreeNode* Second;  // null: Node is not entered yet
  std::uint8_t Command;
  bool FirstDone;
};

// An integer variable already widened into the frame during this pass.
struct TIntInfo {
  std::string Name;
  std::int32_t Offset = 0;  // frame offset of the widened copy, without any level's Pushed
};

inline TLevelInfo& TFennic::Level() {
  if (static_cast<std::size_t>(FLevel) >= FLevels.size()) [[unlikely]] NoLevel();
  return FLevels[static_cast<std::size_t>(FLevel)];
}

}  // namespace fennic
