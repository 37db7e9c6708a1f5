// The tree builder: constant pool, expression trees, balancing and the
// x87 stack usage labels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fennic/core/export.h"
#include "fennic/simplifier/simpler.h"

namespace fennic {

// The trees' own types, defined with the builder (builder/tree.h).
enum class TNodeKind : std::uint8_t;
struct TCallArg;
struct TArgumentList;
struct TTreeNode;
class TNodeArena;
class TWalkStorage;

// Bit patterns of the three x87 memory formats, little-endian. Pool values
// are compared as bits, never through the FPU: no fault under any control
// word, NaNs match by pattern, and a signalling NaN keeps its bits.
using TSingleBits = std::array<std::uint8_t, 4>;
using TDoubleBits = std::array<std::uint8_t, 8>;
using TExtendedBits = std::array<std::uint8_t, 10>;

// Offsets of the pool sections for given counts of distinct values.
struct TPoolLayout {
  std::int32_t Pad = 0;     // free bytes in front of the first value
  std::int32_t Base16 = 0;  // extended section (equals Pad)
  std::int32_t Base8 = 0;   // double section
  std::int32_t Base4 = 0;   // single section
  std::int32_t Size = 0;    // final pool size
};

class FENNIC_API TBuilder : public TSimpler {
 public:
  explicit TBuilder(TComponent* AOwner);
  ~TBuilder() override;
  std::string ClassName() const override { return "TBuilder"; }

  // Start of the constant pool that generated code addresses absolutely.
  const std::uint8_t* PoolBase() const { return FConstData.data(); }
  // Bytes of the constant pool, read-only (for disassembly and tools).
  std::size_t PoolSize() const { return FConstData.size(); }
  // The extended constants that the code shape loads as a pair of doubles
  // (hi, lo; hi + lo the exact value): the pair of the extended constant at
  // a pool offset, or null when it is loaded whole.
  const double* PairOf(std::int32_t PoolOffset) const;
  const std::uint8_t* PairsBase() const { return reinterpret_cast<const std::uint8_t*>(FPairs.data()); }
  std::size_t PairsSize() const { return FPairs.size() * sizeof(double); }

  // Frees a subtree made with new (nil allowed); a tree of the node arena
  // stays with the arena. Iterative: chains of any length are safe.
  static void KillTree(TTreeNode* Node);
  // Numbers, variables and calls below Node (1 for a leaf).
  std::int32_t LeafCount(const TTreeNode* Node) const;
  // Operator nodes below and at Node (0 for a leaf).
  std::int32_t OpCount(const TTreeNode* Node) const;
  // True for a number, variable or call leaf.
  static bool IsLeaf(const TTreeNode* Node);
  // The arguments of a call leaf, in parameter order.
  TArgumentList ArgumentsOf(const TTreeNode* Call) const;

  // Deepest nesting of brackets and calls the parser follows, with room
  // above what the simplifier lets through; deeper text is refused rather
  // than risking the machine stack.
  static constexpr std::int32_t MaxTreeNesting = 2 * MaxNesting;

 protected:
  // Simplifies Expr, lays out the constant pool, builds and labels the trees.
  // Expr ends as the coded text.
  void Build(std::string& Expr);
  // Frees every tree and parameter node of the last compilation and empties both lists.
  void ReleaseTrees();
  // Bytes needed before the leading gap is known, and the layout for a
  // block at Address (only Address mod 16 matters).
  static std::int32_t PoolSlackSize(std::int32_t Singles, std::int32_t Doubles,
                                    std::int32_t Extendeds, bool Aligned);
  static TPoolLayout PoolLayout(std::int32_t Singles, std::int32_t Doubles,
                                std::int32_t Extendeds, bool Aligned, std::uintptr_t Address);

  // Steps after simplification: pool, trees, negations, labels. A text that
  // breaks the coded grammar stops with an error code and no trees.
  void BuildSimplified(std::string_view Coded);

  // ---- constant pool
  void BuildNumbers();
  // Pool offset of a value the pool holds; -1 for one it does not.
  std::int32_t SearchSingle(const TSingleBits& S) const;
  std::int32_t SearchDouble(const TDoubleBits& D) const;
  std::int32_t SearchExt(const TExtendedBits& E) const;

  // ---- trees. Positions are 0-based; a nil root or index -1 means the
  // text broke the grammar (FCompError says how, everything built is freed).
  std::int32_t BuildTree(std::string_view Text);
  void BuildNode(TTreeNode*& Node);
  TTreeNode* BigTree(std::string_view Text, std::size_t& Pos);
  TTreeNode* SubTree(std::string_view Text, std::size_t& Pos);
  TTreeNode* TreeLeaf(std::string_view Text, std::size_t& Pos);
  void CalcMinuses(TTreeNode* Node);
  // Chain regrouping for OutOfOrder other than ooStandart.
  TTreeNode* BalanceBigTree(TTreeNode* Node);
  TTreeNode* BalanceSubTree(TTreeNode* Node);

  // ---- x87 stack usage
  void StackUsage(TTreeNode* Node);
  void FuncStackUsage(TTreeNode* Node, std::int32_t Free);
  std::int32_t ParameterNeeds(const TTreeNode* Call, std::int32_t Free);
  void IntStackUsage(TTreeNode* Node);
  std::int32_t FlushFunction(TTreeNode* Node);

  // ---- values computed once (ComputesOnce): every repeated subtree that
  // is worth it becomes a Common leaf; its one computation is kept in
  // FCommons, the values that others contain first. Each runs on a code
  // level of its own above the expression's (FCommonLevels), inner values
  // higher, hence earlier.
  void FindCommonValues();
  void LabelCommonValues();
  // A tree as text, with the names of its variables and functions; a
  // common value inside reads #k, k its index + 1.
  std::string ValueText(const TTreeNode* Root) const;

  std::vector<TTreeNode*> FTrees;      // 0: the expression; then floating-point arguments
  std::vector<TTreeNode*> FParNodes;   // integer arguments passed by value
  std::vector<TCallArg> FCallArgs;     // the arguments of every call leaf (TTreeNode::FirstArg)
  std::vector<TTreeNode*> FCommons;        // the computation of each common value
  std::vector<std::int32_t> FCommonLevels;  // the code level it runs on
  std::vector<std::int32_t> FCommonUses;    // the places that load it
  const std::unique_ptr<TNodeArena> FNodes;  // every node that the parser builds
  // The stack of every walk over the trees (balancing, labelling, code
  // generation); scratch space, hence usable from const members.
  const std::unique_ptr<TWalkStorage> FWalks;
  std::int32_t FLevel = 0;
  std::int32_t FTopLevel = 0;
  // Pool section offsets while trees are built; frame area bases during code generation.
  std::int32_t FBase4 = 0;
  std::int32_t FBase8 = 0;
  std::int32_t FBase16 = 0;
  std::int32_t FPoolPad = 0;
  // Distinct constants in order of first appearance; live only during Build.
  std::vector<TSingleBits> FSingles;
  std::vector<TDoubleBits> FDoubles;
  std::vector<TExtendedBits> FExtendeds;
  // The recorded constants as the simplifier left them, read by TreeLeaf.
  std::vector<std::uint8_t> FConstCopy;
  // Double pairs of extended constants (hi at 2i, lo at 2i + 1), for the
  // pool offsets in FPairOffsets (ascending).
  std::vector<double> FPairs;
  std::vector<std::int32_t> FPairOffsets;
  void BuildPairs();

 private:
  struct TKill {
    void operator()(TTreeNode* Node) const { KillTree(Node); }
  };
  using TOwnedNode = std::unique_ptr<TTreeNode, TKill>;

  TTreeNode* NumberLeaf(std::string_view Text, std::size_t& Pos);
  TTreeNode* CallLeaf(std::string_view Text, std::size_t& Pos);
  bool ParseArgument(std::size_t Slot, std::string_view Arg, const TVarDef& Def);
  TTreeNode* IntegerArgument(std::string_view Arg);
  // Records a broken text (first fault wins) and returns nil.
  TTreeNode* Broken(TError Code);

  void CombineUsage(TTreeNode* Node);
  std::int32_t AnalyseArguments(TTreeNode* Node);
  // A conditional runs ahead of its expression like a call, its condition
  // with it; each branch is labelled on levels of its own.
  void AnalyseConditional(TTreeNode* Node);
  std::int32_t FlushCallLeaf(TTreeNode* Node);
  bool FlushBelow(TTreeNode* Node);
  bool IsCallWithIntegerResult(const TTreeNode* Node) const;
  // Computed ahead wherever it stands: a call whose integer result reaches
  // the x87 only through a temporary, and a conditional.
  bool RunsAhead(const TTreeNode* Node) const;

  std::int32_t FNesting = 0;  // current depth of brackets and calls while parsing
};

}  // namespace fennic
