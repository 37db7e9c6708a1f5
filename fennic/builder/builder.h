// The tree builder: constant pool, expression trees, balancing and the
// x87 stack usage labels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fennic/simplifier/simpler.h"

namespace fennic {

// One node of an expression tree. The first byte of Text tells its kind:
// an operator character, or the number (10), variable (12) or call (31) marker.
struct TTreeNode {
  TTreeNode* Left = nullptr;
  TTreeNode* Right = nullptr;
  bool Minus = false;
  bool Flushed = false;
  std::string Text;
  std::int32_t Need = 0;
  std::int32_t Usage = 0;
};

class TBuilder : public TSimpler {
 public:
  explicit TBuilder(TComponent* AOwner);
  ~TBuilder() override;
  std::string ClassName() const override { return "TBuilder"; }

  // Simplifies Expr, lays out the constant pool, builds and labels the trees.
  void Build(std::string& Expr);
  // Frees every tree and parameter node of the last compilation and empties both lists.
  void ReleaseTrees();
  // Start of the constant pool that generated code addresses absolutely.
  const std::uint8_t* PoolBase() const { return FConstData.data(); }

 protected:
  std::vector<TTreeNode*> FTrees;      // 0: the expression; then floating-point arguments
  std::vector<TTreeNode*> FParNodes;   // integer arguments passed by value
  std::int32_t FLevel = 0;
  std::int32_t FTopLevel = 0;
  // Pool section offsets while trees are built; frame area bases during code generation.
  std::int32_t FBase4 = 0;
  std::int32_t FBase8 = 0;
  std::int32_t FBase16 = 0;
};

}  // namespace fennic
