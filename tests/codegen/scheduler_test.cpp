// The x87 level model: command encodings, scheduling, spills and reloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/codegen_recorder.h"

namespace fennic::testing {
namespace {

constexpr TSlotKey kComputed = NoKey;

class Scheduler : public ::testing::Test {
 protected:
  void SetUp() override { F.StartSizing(); }
  TLevelInfo& L0() { return F.FLevels[0]; }
  // n computed values; Slots[k].Order = n - 1 - k (ST0 was loaded last).
  void Occupy(std::int32_t n) {
    for (std::int32_t i = 0; i < n; ++i) {
      F.PushModel(kComputed);
      F.Level().Depth += 1;
    }
  }
  std::vector<std::int32_t> Orders() {
    std::vector<std::int32_t> orders;
    for (std::int32_t i = 0; i < L0().Depth; ++i) orders.push_back(L0().Slots[i].Order);
    return orders;
  }
  TRecordingFennic F;
};

// One operation with its expected ModR/M values (memory forms) and register
// bases (register form, upper operand in ST0).
struct OpRow {
  const char* name;
  std::uint8_t bits;
  bool fchs;
  std::uint8_t modrm;
  std::uint8_t base;
};

const OpRow kOps[] = {
    {"add", ocAdd, false, 0x05, 0xC0},
    {"add negated", ocAdd | ocNegate, true, 0x25, 0xE0},
    {"add reversed", ocAdd | ocReversed, false, 0x05, 0xC0},
    {"sub", ocSub, false, 0x25, 0xE8},
    {"sub reversed", ocSub | ocReversed, false, 0x2D, 0xE0},
    {"mul", ocMul, false, 0x0D, 0xC8},
    {"mul negated", ocMul | ocNegate, true, 0x0D, 0xC8},
    {"div", ocDiv, false, 0x35, 0xF8},
    {"div reversed", ocDiv | ocReversed, false, 0x3D, 0xF0},
    {"div negated", ocDiv | ocNegate, true, 0x35, 0xF8},
    {"div reversed negated", ocDiv | ocReversed | ocNegate, true, 0x3D, 0xF0},
};

struct FormRow {
  const char* name;
  std::uint8_t bits;
  std::int32_t address;
  std::uint8_t opcode;
  std::int32_t modrmDelta;  // added to the operation's ModR/M value
  Bytes tail;
  std::int32_t short4, short8;
};

TEST_F(Scheduler, MemoryFormsCombineTheAccumulatorWithTheOperand) {
  PINS_BYTES_OF(i386);
  const std::int32_t abs = 0x00402010;
  const FormRow forms[] = {
      {"single", ocMem4, abs, 0xD8, 0, Le32(abs), 0, 0},
      {"double", ocMem8, abs, 0xDC, 0, Le32(abs), 0, 0},
      {"int16", ocMem4 | ocInteger, abs, 0xDE, 0, Le32(abs), 0, 0},
      {"int32", ocMem8 | ocInteger, abs, 0xDA, 0, Le32(abs), 0, 0},
      {"double at [ESP]", ocMem8 | ocFrame, 0, 0xDC, -1, {0x24}, 0, 1},
      {"int32 at [ESP]", ocMem8 | ocInteger | ocFrame, 0, 0xDA, -1, {0x24}, 1, 0},
      {"single at [ESP]", ocMem4 | ocFrame, 0, 0xD8, -1, {0x24}, 1, 0},
      {"double at [ESP+id]", ocMem8 | ocFrame, 0x48, 0xDC, 0x7F, Bytes{0x24} + Le32(0x48), 0, 0},
      {"int32 at [ESP+id]", ocMem8 | ocInteger | ocFrame, 4, 0xDA, 0x7F, Bytes{0x24} + Le32(4), 0, 0},
  };
  for (const FormRow& form : forms) {
    for (const OpRow& op : kOps) {
      for (std::int32_t at : {0, 1, 3, 7}) {  // where the accumulator sits
        F.StartSizing();
        Occupy(8);
        // The accumulator is the top value, Order 7.
        std::swap(L0().Slots[0].Order, L0().Slots[at].Order);
        const std::int32_t r = F.ExecuteCommand(op.bits | form.bits, form.address, 8);
        Bytes expected;
        if (at > 0) expected = Bytes{0xD9, std::uint8_t(0xC8 + at)};
        if (op.fchs) expected = expected + Bytes{0xD9, 0xE0};
        expected = expected + Bytes{form.opcode, std::uint8_t(op.modrm + form.modrmDelta)} + form.tail;
        EXPECT_EQ(F.Recorded(0), expected)
            << form.name << ", " << op.name << ", accumulator in ST(" << at << "): " << Hex(F.Recorded(0));
        EXPECT_EQ(r, 0);
        EXPECT_EQ(L0().Depth, 8);
        EXPECT_EQ(L0().Slots[0].Order, 7);
        EXPECT_EQ(L0().Short4, form.short4);
        EXPECT_EQ(L0().Short8, form.short8);
      }
    }
  }
}

TEST_F(Scheduler, RegisterFormCombinesAndPops) {
  // Upper operand (Order 1) in ST0, lower (Order 0) in ST1.
  for (const OpRow& op : kOps) {
    F.StartSizing();
    Occupy(2);
    const std::int32_t r = F.ExecuteCommand(op.bits, 0, 2);
    const Bytes expected =
        (op.fchs ? Bytes{0xD9, 0xE0} : Bytes{}) + Bytes{0xDE, std::uint8_t(op.base + 1)};
    EXPECT_EQ(F.Recorded(0), expected) << op.name;
    EXPECT_EQ(r, 0);
    EXPECT_EQ(Orders(), (std::vector<std::int32_t>{0}));
    EXPECT_EQ(L0().Slots[0].Key, kComputed);
  }
  const struct {
    const char* name;
    std::int32_t depth;
    std::vector<std::int32_t> orders;  // Slots[0..] before
    std::uint8_t command;
    std::int32_t order;
    Bytes expected;
    std::int32_t result;
    std::vector<std::int32_t> after;
  } cases[] = {
      // Lower operand in ST0: subtract and divide take the opposite form.
      {"sub, lower in ST0", 2, {0, 1}, ocSub, 2, {0xDE, 0xE1}, 0, {0}},
      {"sub reversed, lower in ST0", 2, {0, 1}, ocSub | ocReversed, 2, {0xDE, 0xE9}, 0, {0}},
      {"div, lower in ST0", 2, {0, 1}, ocDiv, 2, {0xDE, 0xF1}, 0, {0}},
      {"div reversed, lower in ST0", 2, {0, 1}, ocDiv | ocReversed, 2, {0xDE, 0xF9}, 0, {0}},
      {"add negated, lower in ST0", 2, {0, 1}, ocAdd | ocNegate, 2, {0xD9, 0xE0, 0xDE, 0xE1}, 0, {0}},
      // Neither in ST0: the upper one is brought up first.
      {"add, both deeper", 3, {2, 1, 0}, ocAdd, 2, {0xD9, 0xC9, 0xDE, 0xC2}, 1, {1, 0}},
      {"mul negated, both deeper", 3, {2, 1, 0}, ocMul | ocNegate, 2,
       {0xD9, 0xC9, 0xD9, 0xE0, 0xDE, 0xCA}, 1, {1, 0}},
      // Operands in the middle of the stack: the values above move down.
      {"sub in the middle", 4, {3, 2, 1, 0}, ocSub, 3, {0xD9, 0xC9, 0xDE, 0xEA}, 1, {2, 1, 0}},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    Occupy(c.depth);
    for (std::int32_t i = 0; i < c.depth; ++i) L0().Slots[i].Order = c.orders[i];
    EXPECT_EQ(F.ExecuteCommand(c.command, 0, c.order), c.result) << c.name;
    EXPECT_EQ(F.Recorded(0), c.expected) << c.name << ": " << Hex(F.Recorded(0));
    EXPECT_EQ(Orders(), c.after) << c.name;
  }
}

TEST_F(Scheduler, OperandsMissingFromTheModelAreADefect) {
  Occupy(1);
  EXPECT_THROW(F.ExecuteCommand(ocAdd, 0, 2), ECodeGenError);
}

// Queue entries {Order, Command}; commands are told apart by their byte.
struct Reorder {
  const char* name;
  bool parallel;
  std::vector<std::int32_t> orders;
  std::vector<std::int32_t> left;  // Orders left after the first command, in queue order
  std::vector<std::uint8_t> commands;
};

TEST_F(Scheduler, ParallelExecutionPullsIndependentCommandsForward) {
  const Reorder cases[] = {
      {"2, 3, 5 becomes 2, 5, 4", true, {2, 3, 5}, {4, 3}, {ocSub, ocMul}},
      {"2, 3, 4 stays", true, {2, 3, 4}, {2, 3}, {ocMul, ocSub}},
      {"off keeps queue order", false, {2, 3, 5}, {2, 4}, {ocMul, ocSub}},
  };
  const std::uint8_t queued[3] = {ocAdd, ocMul, ocSub};
  for (const Reorder& c : cases) {
    F.StartSizing();
    F.SetParallelExecution(c.parallel);
    Occupy(5);
    TOpGroup& g = F.OpenGroup(0, 3);
    for (std::size_t i = 0; i < c.orders.size(); ++i) g.Queue[i] = TQueuedOp{c.orders[i], queued[i]};
    g.Queued = 3;
    F.PerformOperation();
    EXPECT_EQ(F.Recorded(0), (Bytes{0xD9, 0xCB, 0xDE, 0xC4})) << c.name;  // FADDP of Orders 0 and 1
    const TOpGroup& after = L0().Ops[0];
    ASSERT_EQ(after.Queued, 2) << c.name;
    EXPECT_EQ(after.OpsLeft, 2);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(after.Queue[i].Order, c.left[i]) << c.name << " entry " << i;
      EXPECT_EQ(after.Queue[i].Command, c.commands[i]) << c.name << " entry " << i;
    }
  }
}

TEST_F(Scheduler, GroupsAreServedInRotation) {
  Occupy(6);  // group 0: Orders 0-2, group 1: Orders 3-5
  TOpGroup& a = F.OpenGroup(0, 2);
  a.Queue[0] = {2, ocAdd};
  a.Queue[1] = {3, ocAdd};
  a.Queued = 2;
  TOpGroup& b = F.OpenGroup(0, 2);
  b.Queue[0] = {5, ocMul};
  b.Queue[1] = {6, ocMul};
  b.Queued = 2;
  std::vector<std::int32_t> served;
  while (F.TotalOps(0) > 0) {
    F.PerformOperation();
    served.push_back(L0().Cursor);
  }
  EXPECT_EQ(served, (std::vector<std::int32_t>{1, 0, 1, 0}));
  EXPECT_EQ(L0().Depth, 2);
  std::vector<std::int32_t> orders = Orders();
  std::sort(orders.begin(), orders.end());
  EXPECT_EQ(orders, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(L0().Ops.size(), 2u);  // groups without Store stay
}

TEST_F(Scheduler, ACompletedStoredGroupIsStoredAndRemoved) {
  Occupy(3);  // Order 0 belongs to an outer group; Orders 1 and 2 to the stored one
  TOpGroup& outer = F.OpenGroup(1, 0);
  outer.Done = true;
  TOpGroup& stored = F.OpenGroup(0, 1, true, 16, otDouble);
  stored.Queue[0] = {3, ocSub};
  stored.Queued = 1;
  L0().CallMarks = {1, 2};
  L0().Pushed = 8;
  F.PerformOperation();
  // FSUBP, then FSTP qword [ESP+16+8].
  EXPECT_EQ(F.Recorded(0), (Bytes{0xDE, 0xE9, 0xDD, 0x5C, 0x24, 0x18}));
  EXPECT_EQ(L0().Ops.size(), 1u);
  EXPECT_EQ(L0().Cursor, 0);
  EXPECT_EQ(L0().CallMarks, (std::vector<std::int32_t>{1, 1}));
  EXPECT_EQ(Orders(), (std::vector<std::int32_t>{0}));
}

TEST_F(Scheduler, NeedStackSpillsTheDeepestValueWhenNothingIsQueued) {
  Occupy(8);
  F.NeedStack(9);
  F.NeedStack(-1);
  EXPECT_TRUE(F.Recorded(0).empty());
  F.NeedStack(0);
  EXPECT_TRUE(F.Recorded(0).empty());
  F.NeedStack(1);
  EXPECT_EQ(F.Recorded(0), (Bytes{0xD9, 0xCF, 0xDB, 0x3C, 0x24}));  // FXCH ST7; FSTP tbyte [ESP]
  EXPECT_EQ(F.FSpilled, 1);
  EXPECT_EQ(F.FSpilledMax, 1);
  EXPECT_EQ(Orders(), (std::vector<std::int32_t>{5, 4, 3, 2, 1, 0, 6}));

  // Six queued commands and seven registers: the queue needs the spilled value.
  TOpGroup& g = F.OpenGroup(0, 6);
  for (std::int32_t i = 0; i < 6; ++i) g.Queue[i] = TQueuedOp{7, ocAdd};
  g.Queued = 6;
  F.ClearRecord();
  EXPECT_TRUE(F.NeedExecute());
  EXPECT_EQ(F.Recorded(0), (Bytes{0xDB, 0x2C, 0x24}));  // FLD tbyte [ESP]
  EXPECT_EQ(F.FSpilled, 0);
  EXPECT_EQ(L0().Depth, 8);
  EXPECT_EQ(L0().Slots[0].Order, 7);
  // Nothing spilled any more: no reload, whatever the counts say.
  L0().Depth = 7;
  EXPECT_FALSE(F.NeedExecute());
}

TEST_F(Scheduler, AReloadFlipsTheOperandOrderOfTheQueuedCommand) {
  Occupy(2);
  F.FSpilled = F.FSpilledMax = 1;
  TOpGroup& g = F.OpenGroup(0, 2);
  g.Queue[0] = {2, ocMul};
  g.Queued = 1;
  // One queued command, two registers: the next command needs the spilled value.
  F.AddOp(ocSub);
  EXPECT_EQ(F.Recorded(0), (Bytes{0xDB, 0x2C, 0x24}));
  ASSERT_EQ(L0().Ops[0].Queued, 2);
  EXPECT_EQ(L0().Ops[0].Queue[1].Command, ocSub | ocReversed);
  EXPECT_EQ(L0().Ops[0].Queue[1].Order, 3);
  // A memory-form command never reloads.
  F.FSpilled = 1;
  L0().Ops[0].Queued = 2;
  F.ClearRecord();
  L0().Depth = 3;
  F.AddOp(ocAdd | ocMem8);
  EXPECT_TRUE(F.Recorded(0).empty());
}

TEST_F(Scheduler, NeedStackPerformsQueuedCommandsBeforeSpilling) {
  Occupy(8);
  TOpGroup& g = F.OpenGroup(0, 1);
  g.Queue[0] = {8, ocAdd};
  g.Queued = 1;
  F.NeedStack(1);
  EXPECT_EQ(F.Recorded(0), (Bytes{0xDE, 0xC1}));
  EXPECT_EQ(F.FSpilledMax, 0);
  EXPECT_EQ(L0().Depth, 7);
}

TEST_F(Scheduler, SpillSlotsLieInTheFrameWhateverIsPushed) {
  const struct {
    bool align;
    std::int32_t spilled, pushed;
    Bytes spill, reload;
  } cases[] = {
      {true, 0, 0, {0xDB, 0x3C, 0x24}, {0xDB, 0x2C, 0x24}},
      {true, 0, 4, {0xDB, 0x7C, 0x24, 0x04}, {0xDB, 0x6C, 0x24, 0x04}},
      {true, 1, 4, {0xDB, 0x7C, 0x24, 0x14}, {0xDB, 0x6C, 0x24, 0x14}},
      {false, 1, 4, {0xDB, 0x7C, 0x24, 0x10}, {0xDB, 0x6C, 0x24, 0x10}},
      {false, 1, 0, {0xDB, 0x7C, 0x24, 0x0C}, {0xDB, 0x6C, 0x24, 0x0C}},
      {true, 7, 12, {0xDB, 0x7C, 0x24, 0x7C}, {0xDB, 0x6C, 0x24, 0x7C}},
      {true, 7, 16, Bytes{0xDB, 0xBC, 0x24} + Le32(128), Bytes{0xDB, 0xAC, 0x24} + Le32(128)},
      {false, 10, 8, Bytes{0xDB, 0xBC, 0x24} + Le32(128), Bytes{0xDB, 0xAC, 0x24} + Le32(128)},
  };
  for (const auto& c : cases) {
    F.StartSizing();
    F.SetAlignMode(c.align);
    F.FSpilled = F.FSpilledMax = c.spilled;
    L0().Pushed = c.pushed;
    Occupy(8);
    F.NeedStack(1);
    EXPECT_EQ(F.Recorded(0), (Bytes{0xD9, 0xCF} + c.spill)) << c.align << " " << c.spilled << " " << c.pushed;
    TOpGroup& g = F.OpenGroup(0, 6);
    g.Queued = 6;
    F.ClearRecord();
    EXPECT_TRUE(F.NeedExecute());
    EXPECT_EQ(F.Recorded(0), c.reload) << c.align << " " << c.spilled << " " << c.pushed;
  }
}

struct LoadCase {
  const char* name;
  std::int32_t depthBefore;
  bool store, done;
  std::int32_t leaves, dest;
  TOpType precision;
  std::int32_t pushed;
  Bytes expected;  // after the load itself
  std::size_t groupsAfter;
  bool doneAfter;
  std::int32_t depthAfter;
};

TEST_F(Scheduler, OpWasLoadedPlacesFirstOperandsAndStoresSingleValues) {
  PINS_BYTES_OF(i386);
  double x = 3;
  const Bytes load = Bytes{0xDD, 0x05} + Le32(&x);
  const LoadCase cases[] = {
      {"first operand goes to its position", 2, false, false, 2, 0, otExtended, 0, {0xD9, 0xCA}, 2, true, 3},
      {"first operand already in place", 2, false, false, 2, 2, otExtended, 0, {}, 2, true, 3},
      {"later operand", 2, false, true, 2, 0, otExtended, 0, {}, 2, true, 3},
      {"first operand of a stored group", 2, true, false, 2, 0, otDouble, 0, {}, 2, true, 3},
      {"stored group of one value", 2, true, false, 1, 8, otDouble, 4, {0xDD, 0x5C, 0x24, 0x0C}, 1, true, 2},
      {"stored extended at [ESP]", 0, true, false, 1, 0, otExtended, 0, {0xDB, 0x3C, 0x24}, 1, true, 0},
      {"stored single far away", 0, true, false, 1, 200, otSingle, 0,
       Bytes{0xD9, 0x9C, 0x24} + Le32(200), 1, true, 0},
  };
  for (const LoadCase& c : cases) {
    F.StartSizing();
    Occupy(c.depthBefore);
    F.OpenGroup(1, 0).Done = false;  // an enclosing group
    TOpGroup& g = F.OpenGroup(c.leaves, c.leaves - 1, c.store, c.dest, c.precision);
    g.Done = c.done;
    L0().Pushed = c.pushed;
    F.FldVar(TVariable{"x", vtDouble, &x}, false);
    EXPECT_EQ(F.Recorded(0), load + c.expected) << c.name;
    ASSERT_EQ(L0().Ops.size(), c.groupsAfter) << c.name;
    EXPECT_EQ(L0().Ops.back().Done, c.doneAfter) << c.name;
    EXPECT_EQ(L0().Depth, c.depthAfter) << c.name;
  }
}

}  // namespace
}  // namespace fennic::testing
