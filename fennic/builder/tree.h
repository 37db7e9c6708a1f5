// Expression trees: node kinds, typed call arguments, the node arena.
// Internal to the builder, the code generator and their tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "fennic/builder/builder.h"
#include "fennic/builder/treewalk.h"

namespace fennic {

// Common: a value computed once ahead of the expression (Code is its index
// in the builder's list of common values) and loaded wherever it recurs.
enum class TNodeKind : std::uint8_t { Operator, Number, Variable, Call, Common };

// The four operators, as the characters the coded text writes them with.
enum class TOperator : char { Add = '+', Sub = '-', Mul = '*', Div = '/' };

// One argument of a call, by what the call sequence needs of it.
enum class TArgKind : std::uint8_t {
  Tree,       // a floating-point value: Index is its tree in FTrees
  Integer,    // an integer passed by value: Index is its node in FParNodes
  Reference,  // a variable passed by address: Index is the variable's code
};
struct TCallArg {
  TArgKind Kind = TArgKind::Tree;
  std::int32_t Index = 0;
};

// The arguments of one call, in parameter order.
struct TArgumentList : std::span<const TCallArg> {
  using std::span<const TCallArg>::span;
};

// One node of an expression tree.
struct TTreeNode {
  TTreeNode* Left = nullptr;
  TTreeNode* Right = nullptr;
  // Number: a pool constant (Type vtSingle, vtDouble or vtExtended, at pool
  // offset Offset), or in an integer argument an inline integer (Value, its
  // sign applied, of an integer Type).
  std::int64_t Value = 0;
  std::int32_t Offset = 0;
  std::int32_t Code = 0;      // variable or function code
  std::int32_t FirstArg = 0;  // call: its arguments in the builder's call argument list
  std::int32_t ArgCount = 0;
  std::int32_t Need = 0;   // registers without counting calls
  std::int32_t Usage = 0;  // registers with calls counted as compiled
  // Call leaf: how many code levels above its own the computation of its
  // arguments reaches (flushed calls and isolated argument trees inside).
  // Lets a later flush of the call raise FTopLevel without analysing the
  // arguments again.
  std::int32_t Levels = 0;
  // Conditional: the highest code level that each branch's computation
  // reaches on levels of its own (then, else), which run only when taken.
  std::int32_t BranchLevels[2] = {};
  // The node's value number while repeated values are sought: equal
  // numbers, equal values.
  std::int32_t ValueId = 0;
  TNodeKind Kind = TNodeKind::Operator;
  TOperator Op = TOperator::Add;
  TVarType Type = vtSingle;
  bool Minus = false;
  bool Flushed = false;
  // Taken from a compilation's node arena, which owns it (and every node
  // below it): KillTree leaves it alone.
  bool InArena = false;
};

// The nodes of a compilation: handed out one after the other, all taken
// back at once by Reset, and kept for the next compilation, so that a
// recompilation allocates no node.
class TNodeArena {
 public:
  TTreeNode* New();
  // Takes every node back; pointers to them must not be used after this.
  void Reset();
  std::size_t Used() const { return FUsed; }

 private:
  static constexpr std::size_t ChunkSize = 128;
  // Chunks kept by Reset: what typical texts need, not what a huge one took.
  static constexpr std::size_t KeptChunks = 32;
  std::vector<std::unique_ptr<TTreeNode[]>> FChunks;
  std::size_t FUsed = 0;
};

inline bool TBuilder::IsLeaf(const TTreeNode* Node) { return Node->Kind != TNodeKind::Operator; }

}  // namespace fennic
