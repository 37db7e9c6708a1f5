// Tree compilation: whole routines of small expressions byte for byte, the
// operand order, memory operands when every register is taken, and argument
// trees computed on a level of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fennic/core/codedtext.h"
#include "support/codegen_recorder.h"

namespace fennic::testing {
namespace {

class TTreeFennic : public TRecordingFennic {
 public:
  using TFennic::AppendGroup;
  using TFennic::CompileLeaf;
  using TFennic::CompileTree;
  using TFennic::FTrees;

  // Leaves and operators built by hand, labelled as the tree builder would
  // for call-free trees unless a test overrides the labels.
  TTreeNode* Var(const char* name, bool minus = false) {
    auto* n = new TTreeNode;
    n->Kind = TNodeKind::Variable;
    n->Code = VarCode(name);
    n->Minus = minus;
    TVariable v;
    GetVar(v, VarCode(name));
    n->Need = n->Usage = v.VarType == vtUInt32 || v.VarType == vtInt64 || v.VarType == vtExtended;
    return n;
  }
  TTreeNode* Num(TVarType type, std::int32_t offset) {
    auto* n = new TTreeNode;
    n->Kind = TNodeKind::Number;
    n->Type = type;
    n->Offset = offset;
    n->Need = n->Usage = type == vtExtended;
    return n;
  }
  static TTreeNode* Op(char op, TTreeNode* l, TTreeNode* r, bool minus = false) {
    auto* n = new TTreeNode;
    n->Op = static_cast<TOperator>(op);
    n->Left = l;
    n->Right = r;
    n->Minus = minus;
    n->Need = n->Usage = std::max(l->Usage, r->Usage) + (l->Usage == r->Usage);
    return n;
  }
  std::int32_t AddTree(TTreeNode* root) {
    FTrees.push_back(root);
    return static_cast<std::int32_t>(FTrees.size()) - 1;
  }
};

Bytes Load(std::uint8_t op, std::uint8_t modrm, const void* address) {
  return Bytes{op, modrm} + Le32(address);
}
Bytes FldQ(const void* a) { return Load(0xDD, 0x05, a); }
Bytes FldT(const void* a) { return Load(0xDB, 0x2D, a); }

// ---- whole routines of the texts ---------------------------------------------

struct Host {
  double x = 1.5, y = -2.25, z = 4;
  std::uint8_t u = 200;
  TRecordingFennic f;
  Host() {
    f.RegisterVarExt("x", vtDouble, &x);
    f.RegisterVarExt("y", vtDouble, &y);
    f.RegisterVarExt("z", vtDouble, &z);
    f.RegisterVarExt("u", vtUInt8, &u);
  }
};

TEST(TreeRoutines, SmallExpressionsByteForByte) {
  PINS_BYTES_OF(i386);
  Host h;
  const Bytes widenU = Bytes{0x0F, 0xB6, 0x05} + Le32(&h.u) + Bytes{0x89, 0x04, 0x24};
  const struct {
    const char* text;
    bool back;
    Bytes code;
    long double value;
  } cases[] = {
      // The variable's load alone.
      {"x", true, FldQ(&h.x) + Bytes{0xC3}, 1.5L},
      // Equal Usage: x first, y loaded too, FSUBP without the reversed bit.
      {"x-y", true, FldQ(&h.x) + FldQ(&h.y) + Bytes{0xDE, 0xE9, 0xC3}, 3.75L},
      // The product has the larger Usage and goes first; the subtraction is
      // reversed (FSUBRP). Queued, both commands run at the end...
      {"y-(x*z)", true,
       FldQ(&h.x) + FldQ(&h.z) + FldQ(&h.y) + Bytes{0xD9, 0xC9, 0xDE, 0xCA, 0xDE, 0xE1, 0xC3}, -8.25L},
      // ...or each at once without BackOperation.
      {"y-(x*z)", false, FldQ(&h.x) + FldQ(&h.z) + Bytes{0xDE, 0xC9} + FldQ(&h.y) + Bytes{0xDE, 0xE1, 0xC3},
       -8.25L},
      // A vtUInt8 left operand is compiled second, from its widened copy.
      {"u-x", true,
       Bytes{0x83, 0xEC, 0x04} + widenU + FldQ(&h.x) + Bytes{0xDB, 0x04, 0x24, 0xDE, 0xE1} +
           Bytes{0x83, 0xC4, 0x04, 0xC3},
       198.5L},
  };
  for (const auto& c : cases) {
    h.f.SetBackOperation(c.back);
    h.f.SetExprString(c.text);
    ASSERT_EQ(h.f.CompError(), eNone) << c.text;
    EXPECT_EQ(Hex(h.f.Routine()), Hex(c.code)) << c.text << " BackOperation " << c.back;
    EXPECT_EQ(h.f.Evaluate(), c.value) << c.text;
  }
}

// ---- eight occupied registers ----------------------------------------------------

// e1 op (e2 op (... (e8 op last))) with every operator labelled as needing
// one register, so that each left operand is loaded first and stays: the
// last operand meets eight occupied registers and nothing queued.
struct Comb {
  long double e[9] = {2, 3, 5, 7, 11, 13, 17, 19, 0.5L};
  std::int16_t h = -6;
  TTreeFennic f;
  Comb() {
    for (int i = 0; i < 9; ++i) f.RegisterVarExt("e" + std::to_string(i + 1), vtExtended, &e[i]);
    f.RegisterVarExt("h", vtInt16, &h);
  }
  static constexpr char Ops[8] = {'-', '+', '/', '*', '-', '+', '*', '+'};
  void Build(const char* last) {
    TTreeNode* t = f.Var(last);
    for (int i = 7; i >= 0; --i) {
      t = TTreeFennic::Op(Ops[i], f.Var(("e" + std::to_string(i + 1)).c_str()), t);
      t->Usage = 1;
    }
    f.AddTree(t);
  }
  long double Expected(long double last) const {
    long double v = last;
    for (int i = 7; i >= 0; --i) {
      switch (Ops[i]) {
        case '+': v = e[i] + v; break;
        case '-': v = e[i] - v; break;
        case '*': v = e[i] * v; break;
        default: v = e[i] / v; break;
      }
    }
    return v;
  }
};

TEST(TreeRoutines, EightOccupiedRegistersTakeASixteenBitIntegerFromMemory) {
  PINS_BYTES_OF(i386);
  Comb c;
  c.Build("h");
  c.f.Generate(0, [&] { c.f.CompileTree(0, 0, otExtended, false); });
  Bytes loads;
  for (int i = 0; i < 8; ++i) loads = loads + FldT(&c.e[i]);
  // FIADD WORD PTR [h], then the seven queued commands from the innermost
  // out, each combining ST1 with the running result in ST0.
  const Bytes expected = loads + Load(0xDE, 0x05, &c.h) +
                         Bytes{0xDE, 0xC9, 0xDE, 0xC1, 0xDE, 0xE9, 0xDE, 0xC9, 0xDE, 0xF9, 0xDE,
                               0xC1, 0xDE, 0xE9, 0xC3};
  EXPECT_EQ(Hex(c.f.Routine()), Hex(expected));
  EXPECT_EQ(c.f.Evaluate(), c.Expected(-6));
}

TEST(TreeRoutines, EightOccupiedRegistersLoadAnExtendedOperandBySpilling) {
  PINS_BYTES_OF(i386);
  Comb c;
  c.Build("e9");
  c.f.Generate(0, [&] { c.f.CompileTree(0, 0, otExtended, false); });
  const Bytes routine = c.f.Routine();
  // The deepest register goes to spill slot 0 before e9 is loaded, and comes
  // back for the last command.
  Bytes loads;
  for (int i = 0; i < 8; ++i) loads = loads + FldT(&c.e[i]);
  const Bytes prologue = Bytes{0x55, 0x8B, 0xEC, 0x81, 0xE4} + Le32(-16) + Bytes{0x83, 0xEC, 0x10};
  const Bytes spill = Bytes{0xD9, 0xCF, 0xDB, 0x3C, 0x24};
  ASSERT_GT(routine.size(), prologue.size() + loads.size() + spill.size());
  EXPECT_EQ(Hex(Bytes(routine.begin(), routine.begin() + prologue.size() + loads.size() + spill.size())),
            Hex(prologue + loads + spill));
  const Bytes tail = FldT(&c.e[8]);
  EXPECT_EQ(Hex(Bytes(routine.begin() + prologue.size() + loads.size() + spill.size(),
                      routine.begin() + prologue.size() + loads.size() + spill.size() + tail.size())),
            Hex(tail));
  const Bytes reload{0xDB, 0x2C, 0x24};
  EXPECT_NE(std::search(routine.begin(), routine.end(), reload.begin(), reload.end()), routine.end());
  EXPECT_EQ(Hex(Bytes(routine.end() - 4, routine.end())), "8B E5 5D C3");
  EXPECT_EQ(c.f.FSpilledMax, 1);
  EXPECT_EQ(c.f.Evaluate(), c.Expected(0.5L));
}

// The second operand as a memory operand, by kind: which leaves qualify and
// with which instruction. Seven values wait below in their own group; with
// six, a register is free and nothing is taken from memory.
TEST(TreeCompilation, MemoryOperandsByKind) {
  PINS_BYTES_OF(i386);
  std::int8_t i8 = -3;
  std::uint16_t u16 = 60000;
  std::int32_t i32 = -100000;
  float f32 = 0.25f;
  double f64 = 8;
  std::int64_t i64 = 5;
  std::uint32_t u32 = 7;
  long double ext = 1.5L;
  struct Case {
    const char* name;
    TVarType type;
    void* address;
    Bytes code;  // empty: loaded instead
  };
  const Case cases[] = {
      {"a", vtInt8, &i8, {0xDA, 0x04, 0x24}},
      {"b", vtUInt16, &u16, {0xDA, 0x04, 0x24}},
      {"c", vtInt32, &i32, Load(0xDA, 0x05, &i32)},
      {"d", vtSingle, &f32, Load(0xD8, 0x05, &f32)},
      {"e", vtDouble, &f64, Load(0xDC, 0x05, &f64)},
      {"f", vtInt64, &i64, {}},
      {"g", vtUInt32, &u32, {}},
      {"h", vtExtended, &ext, {}},
  };
  for (const Case& c : cases) {
    for (int below : {7, 6}) {
      TTreeFennic f;
      f.RegisterVarExt("k", vtExtended, &ext);
      f.RegisterVarExt(c.name, c.type, c.address);
      f.AddTree(TTreeFennic::Op('+', f.Var("k"), f.Var(c.name)));
      f.StartSizing();
      f.AppendGroup(0, otExtended, false, 0, below);
      for (int i = 0; i < below; ++i) f.FldVar(TVariable{"k", vtExtended, &ext}, true);
      f.ClearRecord();
      f.CompileTree(0, below, otExtended, false);
      const Bytes level0 = f.Recorded(0);
      if (below < 7) {
        // A free register: the operand is loaded and the command queued.
        EXPECT_EQ(f.TotalOps(0), 1) << c.name;
        EXPECT_EQ(f.Level().Depth, 8) << c.name;
        EXPECT_EQ(f.FSpilled, 0) << c.name;
      } else if (c.code.empty()) {
        EXPECT_EQ(f.FSpilled, 1) << c.name << ": loaded, so a register was spilled";
        EXPECT_EQ(f.TotalOps(0), 1) << c.name;
      } else {
        EXPECT_EQ(Hex(Bytes(level0.end() - c.code.size(), level0.end())), Hex(c.code)) << c.name;
        EXPECT_EQ(f.TotalOps(0), 0) << c.name;
        EXPECT_EQ(f.Level().Depth, 8) << c.name;
        EXPECT_EQ(f.Level().Ops.back().OpsLeft, 0) << c.name;
        EXPECT_EQ(f.Level().Ops.back().LeavesLeft, 0) << c.name;
      }
    }
  }
}

// A constant as the second operand: single and double from the pool's
// address, extended loaded.
TEST(TreeCompilation, ConstantsAsMemoryOperands) {
  PINS_BYTES_OF(i386);
  for (TVarType type : {vtSingle, vtDouble, vtExtended}) {
    long double ext = 1.5L;
    TTreeFennic f;
    f.RegisterVarExt("k", vtExtended, &ext);
    f.SetPool(Bytes(32, 0));
    f.AddTree(TTreeFennic::Op('*', f.Var("k"), f.Num(type, 16)));
    f.StartSizing();
    f.AppendGroup(0, otExtended, false, 0, 7);
    for (int i = 0; i < 7; ++i) f.FldVar(TVariable{"k", vtExtended, &ext}, true);
    f.ClearRecord();
    f.CompileTree(0, 7, otExtended, false);
    const Bytes level0 = f.Recorded(0);
    const auto pool = reinterpret_cast<const std::uint8_t*>(f.FConstData.data()) + 16;
    if (type == vtExtended) {
      EXPECT_EQ(f.FSpilled, 1);
    } else {
      const Bytes code = Load(type == vtSingle ? 0xD8 : 0xDC, 0x0D, pool);
      EXPECT_EQ(Hex(Bytes(level0.end() - 6, level0.end())), Hex(code)) << int(type);
      EXPECT_EQ(f.Level().Ops.back().LeavesLeft, 0) << "a folded constant counts as loaded";
    }
  }
}

// A stored group whose last command takes a memory operand is complete at
// that command: its value is stored and the group removed.
TEST(TreeCompilation, AStoredGroupEndingInAMemoryCommandIsStored) {
  PINS_BYTES_OF(i386);
  long double ext = 1.5L;
  std::int16_t h = 4;
  TTreeFennic f;
  f.RegisterVarExt("k", vtExtended, &ext);
  f.RegisterVarExt("h", vtInt16, &h);
  f.AddTree(TTreeFennic::Op('-', f.Var("k"), f.Var("h"), true));
  f.StartSizing();
  f.AppendGroup(0, otExtended, false, 0, 7);
  for (int i = 0; i < 7; ++i) f.FldVar(TVariable{"k", vtExtended, &ext}, false);
  f.Level().Pushed = 8;
  f.ClearRecord();
  f.CompileTree(0, 16, otDouble, true);
  // k copied from a register, -(k - h) as h - k (FISUBR WORD PTR [h]), then
  // stored as a double at 16 + Pushed.
  const Bytes expected = Bytes{0xD9, 0xC6} + Load(0xDE, 0x2D, &h) + Bytes{0xDD, 0x5C, 0x24, 24};
  EXPECT_EQ(Hex(f.Recorded(0)), Hex(expected));
  EXPECT_EQ(f.Level().Ops.size(), 1u);
  EXPECT_EQ(f.Level().Depth, 7);
}

// ---- isolated argument trees ----------------------------------------------------

struct Isolated {
  double x = 3, y = 0.5;
  TTreeFennic f;
  std::int32_t tree = 0;
  Isolated() {
    f.RegisterVarExt("x", vtDouble, &x);
    f.RegisterVarExt("y", vtDouble, &y);
    TTreeNode* t = TTreeFennic::Op('/', f.Var("x"), f.Var("y"));
    t->Flushed = true;
    tree = f.AddTree(t);
  }
  // The tree as the only value of level 0, optionally behind a 16-byte
  // temporary and inside `pushed` bytes of an argument block.
  void Run(bool extraTemp, std::int32_t pushed) {
    f.Generate(1, [&] {
      if (extraTemp) f.AddVal(vtExtended);
      f.Level().Pushed = pushed;
      f.CompileTree(tree, 0, otExtended, false);
      f.Level().Pushed = 0;
    });
  }
};

TEST(TreeRoutines, AnIsolatedTreeRunsAheadThroughAnExtendedTemporary) {
  PINS_BYTES_OF(i386);
  const struct {
    bool extraTemp;
    std::int32_t pushed;
    Bytes store, reload;
  } cases[] = {
      {false, 0, {0xDB, 0x3C, 0x24}, {0xDB, 0x2C, 0x24}},
      {true, 0, Bytes{0xDB, 0xBC, 0x24} + Le32(16), Bytes{0xDB, 0xAC, 0x24} + Le32(16)},
      // Inside an argument block the reload adds the outer level's Pushed,
      // the store on the raised level does not.
      {false, 8, {0xDB, 0x3C, 0x24}, Bytes{0xDB, 0xAC, 0x24} + Le32(8)},
      {true, 12, Bytes{0xDB, 0xBC, 0x24} + Le32(16), Bytes{0xDB, 0xAC, 0x24} + Le32(28)},
  };
  for (const auto& c : cases) {
    Isolated t;
    t.Run(c.extraTemp, c.pushed);
    const std::int32_t frame = c.extraTemp ? 32 : 16;
    const Bytes expected = Bytes{0x55, 0x8B, 0xEC, 0x81, 0xE4} + Le32(-16) + Bytes{0x83, 0xEC,
                                                                                  std::uint8_t(frame)} +
                           FldQ(&t.x) + FldQ(&t.y) + Bytes{0xDE, 0xF9} + c.store +  // level 1
                           c.reload + Bytes{0x8B, 0xE5, 0x5D, 0xC3};               // level 0
    EXPECT_EQ(Hex(t.f.Routine()), Hex(expected)) << c.extraTemp << " " << c.pushed;
    if (c.pushed == 0) {
      EXPECT_EQ(t.f.Evaluate(), 6.0L);
    }
  }
}

TEST(TreeCompilation, AnIsolatedTreeLeavesItsLevelEmptyAndItsValueAtTheDestination) {
  Isolated t;
  long double k = 1;
  t.f.RegisterVarExt("k", vtExtended, &k);
  t.f.StartSizing(1);
  t.f.AppendGroup(0, otExtended, false, 0, 3);
  for (int i = 0; i < 3; ++i) t.f.FldVar(TVariable{"k", vtExtended, &k}, true);
  t.f.CompileTree(t.tree, 1, otExtended, false);
  EXPECT_EQ(t.f.FLevels[1].Depth, 0);
  EXPECT_TRUE(t.f.FLevels[1].Ops.empty());
  EXPECT_EQ(t.f.FLevel, 0);
  ASSERT_EQ(t.f.Level().Depth, 4);
  // The reloaded value was exchanged into position 1 from the bottom.
  EXPECT_EQ(t.f.Level().Slots[4 - 1 - 1].Order, 3);
  EXPECT_EQ(t.f.Level().Ops.size(), 2u);
  EXPECT_EQ(t.f.Level().Ops.back().LeavesLeft, 0);
}

// ---- defects are exceptions, never code ------------------------------------------

TEST(TreeCompilation, MalformedTreesAreDefects) {
  TTreeFennic f;
  double x = 1;
  f.RegisterVarExt("x", vtDouble, &x);
  auto* unknownVar = new TTreeNode;
  unknownVar->Kind = TNodeKind::Variable;
  unknownVar->Code = 999;
  auto* badOp = TTreeFennic::Op('^', f.Var("x"), f.Var("x"));
  auto* call = new TTreeNode;
  call->Kind = TNodeKind::Call;
  call->Code = 1;
  for (TTreeNode* t : {unknownVar, badOp, call}) {
    f.FTrees.assign(1, t);
    EXPECT_THROW(f.Generate(0, [&] { f.CompileTree(0, 0, otExtended, false); }), ECodeGenError);
    EXPECT_EQ(f.Routine(), (Bytes{0xC3}));
    f.ReleaseTrees();
  }
  EXPECT_THROW(f.Generate(0, [&] { f.CompileTree(3, 0, otExtended, false); }), ECodeGenError);
}

}  // namespace
}  // namespace fennic::testing
