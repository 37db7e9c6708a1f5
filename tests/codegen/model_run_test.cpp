// Routines built through the level model (loads, queued and memory-form
// commands, spills and reloads), run and compared with the same arithmetic
// in long double.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/codegen_recorder.h"

namespace fennic::testing {
namespace {

// A small expression tree over the host variables.
struct Node {
  char op = 0;  // 0 for a leaf
  int var = -1;
  std::shared_ptr<Node> left, right;
};
using Tree = std::shared_ptr<Node>;

Tree Leaf(int v) { return std::make_shared<Node>(Node{0, v, nullptr, nullptr}); }
Tree Op(char op, Tree l, Tree r) { return std::make_shared<Node>(Node{op, -1, l, r}); }
int Leaves(const Tree& t) { return t->op ? Leaves(t->left) + Leaves(t->right) : 1; }
int Ops(const Tree& t) { return t->op ? Ops(t->left) + Ops(t->right) + 1 : 0; }
std::string Show(const Tree& t) {
  if (!t->op) return std::string(1, char('a' + t->var));
  return "(" + Show(t->left) + t->op + Show(t->right) + ")";
}

// One host variable of each kind the x87 unit reads, repeated.
struct Host {
  static constexpr int Count = 12;
  alignas(16) long double ext[2] = {1.0L / 3, -2.75L};
  alignas(8) double dbl[4] = {0.1, -7.5, 1e10, 3.0};
  alignas(4) float sgl[2] = {0.3f, -1.25f};
  std::int32_t i32 = -123456;
  std::int16_t i16 = 1234;
  std::uint8_t u8 = 200;
  std::uint32_t u32 = 3000000000u;
  std::vector<TVariable> vars;
  Host() {
    vars = {{"a", vtDouble, &dbl[0]}, {"b", vtDouble, &dbl[1]}, {"c", vtSingle, &sgl[0]},
            {"d", vtInt32, &i32},     {"e", vtExtended, &ext[0]}, {"f", vtInt16, &i16},
            {"g", vtUInt8, &u8},      {"h", vtDouble, &dbl[2]}, {"i", vtSingle, &sgl[1]},
            {"j", vtUInt32, &u32},    {"k", vtExtended, &ext[1]}, {"l", vtDouble, &dbl[3]}};
  }
  long double Value(int v) const {
    const void* p = vars[v].Address;
    switch (vars[v].VarType) {
      case vtDouble: return *static_cast<const double*>(p);
      case vtSingle: return *static_cast<const float*>(p);
      case vtExtended: return *static_cast<const long double*>(p);
      case vtInt32: return *static_cast<const std::int32_t*>(p);
      case vtInt16: return *static_cast<const std::int16_t*>(p);
      case vtUInt8: return *static_cast<const std::uint8_t*>(p);
      case vtUInt32: return *static_cast<const std::uint32_t*>(p);
      default: return 0;
    }
  }
};

long double Reference(const Tree& t, const Host& h) {
  if (!t->op) return h.Value(t->var);
  const long double l = Reference(t->left, h), r = Reference(t->right, h);
  switch (t->op) {
    case '+': return l + r;
    case '-': return l - r;
    case '*': return l * r;
    default: return l / r;
  }
}

bool Same(long double a, long double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

enum class Order { LeftFirst, RightFirst, HeavierFirst };

// Compiles a tree the way the tree compiler drives the model: one group,
// operands loaded, commands queued (performed at once without BackOperation),
// and a memory operand when every register is taken and nothing queued
// could free one.
class ModelCompiler {
 public:
  ModelCompiler(TRecordingFennic& f, const Host& h, Order order) : F(f), H(h), Ord(order) {}

  void Tree(const fennic::testing::Tree& root, bool negate) {
    F.OpenGroup(Leaves(root), Ops(root));
    Compile(root, negate);
  }

 private:
  void Compile(const fennic::testing::Tree& n, bool negate) {
    if (!n->op) {
      F.FldVar(H.vars[n->var], negate);
      return;
    }
    const bool rightFirst = Ord == Order::RightFirst ||
                            (Ord == Order::HeavierFirst && Leaves(n->right) > Leaves(n->left));
    std::uint8_t cmd = n->op == '+' ? ocAdd : n->op == '-' ? ocSub : n->op == '*' ? ocMul : ocDiv;
    if (rightFirst) cmd |= ocReversed;
    if (negate) cmd |= ocNegate;
    const auto& first = rightFirst ? n->right : n->left;
    const auto& second = rightFirst ? n->left : n->right;
    Compile(first, false);
    if (!second->op && F.Level().Depth == 8 && F.TotalOps(0) == 0) {
      const TVariable& v = H.vars[second->var];
      TAddress address = static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(v.Address));
      std::uint8_t form = 0;
      switch (v.VarType) {
        case vtSingle: form = ocMem4; break;
        case vtDouble: form = ocMem8; break;
        case vtInt16: form = ocMem4 | ocInteger; break;
        case vtInt32: form = ocMem8 | ocInteger; break;
        case vtUInt8: form = ocMem8 | ocInteger | ocFrame; address = F.ProcessIntVar(v); break;
        default: break;
      }
      if (form) {
        F.Level().Ops.back().LeavesLeft -= 1;
        F.ExecuteCommand(cmd | form, address, F.Level().Depth);
        MemoryForms += 1;
        return;
      }
    }
    Compile(second, false);
    F.AddOp(cmd);
    if (!F.BackOperation()) F.PerformOperation();
  }

  TRecordingFennic& F;
  const Host& H;
  Order Ord;

 public:
  int MemoryForms = 0;
};

struct Mode {
  bool align, parallel, back;
};
const Mode kModes[] = {
    {true, true, true},   {true, false, true},  {true, true, false},  {true, false, false},
    {false, true, true},  {false, false, true}, {false, true, false}, {false, false, false},
};

struct Outcome {
  long double value;
  std::int32_t spilledMax;
  int memoryForms;
};

Outcome Compute(const Tree& tree, bool negate, Host& h, const Mode& m, Order order) {
  TRecordingFennic f;
  f.SetAlignMode(m.align);
  f.SetParallelExecution(m.parallel);
  f.SetBackOperation(m.back);
  for (const TVariable& v : h.vars) f.RegisterVar(v);
  ModelCompiler compiler(f, h, order);
  f.Generate(0, [&] {
    compiler.MemoryForms = 0;
    compiler.Tree(tree, negate);
  });
  return {f.Evaluate(), f.FSpilledMax, compiler.MemoryForms};
}

Tree RightChain(const std::string& ops, int first) {
  Tree t = Leaf((first + static_cast<int>(ops.size())) % Host::Count);
  for (int i = static_cast<int>(ops.size()) - 1; i >= 0; --i) t = Op(ops[i], Leaf((first + i) % Host::Count), t);
  return t;
}

TEST(ModelRun, SingleOperationsInEveryOperandOrder) {
  Host h;
  for (char op : std::string("+-*/")) {
    for (Order order : {Order::LeftFirst, Order::RightFirst}) {
      for (bool negate : {false, true}) {
        if (negate && op == '-') continue;  // a negated difference arrives with its operands exchanged
        const Tree t = Op(op, Leaf(1), Leaf(7));
        for (const Mode& m : kModes) {
          const long double expected = negate ? -Reference(t, h) : Reference(t, h);
          EXPECT_TRUE(Same(Compute(t, negate, h, m, order).value, expected)) << Show(t) << " negate " << negate;
        }
      }
    }
  }
}

TEST(ModelRun, ChainsLongerThanTheStackSpillAndReload) {
  Host h;
  const std::string chains[] = {"+++++++++", "-/-*+-/*-", "//////////", "-*-*-*-*-*-"};
  for (const std::string& ops : chains) {
    for (int first : {0, 5}) {
      const Tree t = RightChain(ops, first);
      for (const Mode& m : kModes) {
        const Outcome out = Compute(t, false, h, m, Order::LeftFirst);
        EXPECT_TRUE(Same(out.value, Reference(t, h)))
            << Show(t) << " align " << m.align << " parallel " << m.parallel << " back " << m.back
            << ": " << static_cast<double>(out.value) << " vs " << static_cast<double>(Reference(t, h));
        EXPECT_GT(out.spilledMax, 0) << Show(t);
      }
    }
  }
}

TEST(ModelRun, HostChangesReachASpillingRoutine) {
  Host h;
  const Tree t = RightChain("-+*/-+*/-+", 0);
  TRecordingFennic f;
  for (const TVariable& v : h.vars) f.RegisterVar(v);
  ModelCompiler compiler(f, h, Order::LeftFirst);
  f.Generate(0, [&] { compiler.Tree(t, false); });
  ASSERT_GT(f.FSpilledMax, 0);
  for (double x : {0.5, -3.0, 1e-5}) {
    h.dbl[0] = x;
    h.u8 = static_cast<std::uint8_t>(h.u8 + 7);
    EXPECT_TRUE(Same(f.Evaluate(), Reference(t, h))) << x;
  }
}

TEST(ModelRun, RandomTreesInEveryModeAndOperandOrder) {
  Host h;
  std::mt19937 rng(20240611);
  int spilled = 0, memory = 0;
  std::function<Tree(int)> random = [&](int leaves) -> Tree {
    if (leaves == 1) return Leaf(static_cast<int>(rng() % Host::Count));
    // Mostly lopsided, so that one operand order or the other runs out of registers.
    const unsigned pick = rng() % 8;
    const int left = pick < 3   ? 1
                     : pick < 6 ? leaves - 1
                                : 1 + static_cast<int>(rng() % static_cast<unsigned>(leaves - 1));
    return Op("+-*/"[rng() % 4], random(left), random(leaves - left));
  };
  for (int n = 0; n < 40; ++n) {
    const Tree t = random(2 + static_cast<int>(rng() % 23));
    const bool negate = t->op != '-' && rng() % 3 == 0;
    const long double expected = negate ? -Reference(t, h) : Reference(t, h);
    for (Order order : {Order::LeftFirst, Order::RightFirst, Order::HeavierFirst}) {
      for (const Mode& m : kModes) {
        const Outcome out = Compute(t, negate, h, m, order);
        EXPECT_TRUE(Same(out.value, expected))
            << Show(t) << (negate ? " negated" : "") << " order " << int(order) << " align " << m.align
            << " parallel " << m.parallel << " back " << m.back << ": " << static_cast<double>(out.value)
            << " vs " << static_cast<double>(expected);
        spilled += out.spilledMax > 0;
        memory += out.memoryForms > 0;
      }
    }
  }
  // The sample really exercises spills and memory operands.
  EXPECT_GT(spilled, 50);
  EXPECT_GT(memory, 20);
}

TEST(ModelRun, SpillsAndReloadsWithBytesPushed) {
  Host h;
  const Tree t = RightChain("-/-*+-/*-+", 2);
  for (bool align : {true, false}) {
    TRecordingFennic f;
    f.SetAlignMode(align);
    for (const TVariable& v : h.vars) f.RegisterVar(v);
    ModelCompiler compiler(f, h, Order::LeftFirst);
    f.Generate(0, [&] {
      f.Emit(insPushEax);
      f.Emit(insPushEcx);
      f.Level().Pushed += 2 * PushWidth;
      compiler.Tree(t, false);
      const std::int32_t n = f.TotalOps(0);
      for (std::int32_t i = 0; i < n; ++i) f.PerformOperation();
      f.Emit(insPopEcx);
      f.Emit(insPopEax);
      f.Level().Pushed -= 2 * PushWidth;
    });
    ASSERT_GT(f.FSpilledMax, 1) << align;
    EXPECT_TRUE(Same(f.Evaluate(), Reference(t, h))) << align;
  }
}

// A stored group completes below the values of a later group that is still
// loading: the values above move down, and later loads and commands find
// their operands.
TEST(ModelRun, AStoredGroupLeavingFromBelowKeepsTheModelInStep) {
  Host h;
  const TVariable &x = h.vars[0], &a = h.vars[1], &b = h.vars[3], &c = h.vars[4], &d = h.vars[7],
                  &e = h.vars[11];
  for (bool align : {true, false}) {
    TRecordingFennic f;
    f.SetAlignMode(align);
    for (const TVariable& v : h.vars) f.RegisterVar(v);
    f.Generate(0, [&] {
      f.OpenGroup(3, 2);  // x + (c - d) / e + a * b
      f.FldVar(x, false);
      const std::int32_t product = f.AddVal(vtExtended);
      f.OpenGroup(2, 1, true, product, otExtended);  // a * b, stored
      f.FldVar(a, false);
      f.FldVar(b, false);
      f.AddOp(ocMul);
      f.OpenGroup(3, 3, false, 3);  // (c - d) / e where c is loaded, then + x
      f.FldVar(c, false);
      f.FldVar(d, false);
      f.AddOp(ocSub);
      f.PerformOperation();  // serves the stored group first: a * b leaves the stack
      f.FldVar(e, false);
      f.AddOp(ocDiv);
      while (f.TotalOps(0) > 0) f.PerformOperation();
      f.AddOp(ocAdd);  // x + quotient
      f.PerformOperation();
      f.FldVal(vtExtended, f.GetVal(vtExtended), false, true);
      f.AddOp(ocAdd);
    });
    const long double expected =
        (h.Value(0) + (h.Value(4) - h.Value(7)) / h.Value(11)) + h.Value(1) * h.Value(3);
    EXPECT_TRUE(Same(f.Evaluate(), expected))
        << align << ": " << static_cast<double>(f.Evaluate()) << " vs " << static_cast<double>(expected);
  }
}

// Seven values stand at their positions, as arguments on the x87 stack do; the
// next group's first operand goes to the bottom, so the accumulator of its
// negated memory-form command is not in ST0 until it is exchanged.
TEST(ModelRun, ANegatedMemoryCommandNegatesItsOwnAccumulator) {
  Host h;
  for (std::uint8_t op : {ocAdd, ocMul, ocDiv}) {
    TRecordingFennic f;
    f.SetBackOperation(false);
    for (const TVariable& v : h.vars) f.RegisterVar(v);
    f.Generate(0, [&] {
      for (std::int32_t i = 0; i < 7; ++i) {
        f.OpenGroup(1, 0, false, i);
        f.FldVar(h.vars[i + 1], false);
      }
      f.OpenGroup(2, 1, false, 0);
      f.FldVar(h.vars[0], false);  // exchanged with the bottom value
      f.Level().Ops.back().LeavesLeft -= 1;
      f.ExecuteCommand(op | ocMem8 | ocNegate, static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(&h.dbl[3])), 8);
      for (std::int32_t depth = 8; depth > 1; --depth) {
        f.AddOp(ocAdd);
        f.PerformOperation();
      }
    });
    const long double a = h.Value(0), m = h.dbl[3];
    long double expected = -(op == ocAdd ? a + m : op == ocMul ? a * m : a / m);
    for (int i = 7; i >= 1; --i) expected = h.Value(i) + expected;
    EXPECT_TRUE(Same(f.Evaluate(), expected)) << int(op) << ": " << static_cast<double>(f.Evaluate())
                                               << " vs " << static_cast<double>(expected);
  }
}

}  // namespace
}  // namespace fennic::testing
