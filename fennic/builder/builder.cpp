#include "fennic/builder/builder.h"

namespace fennic {

TBuilder::TBuilder(TComponent* AOwner) : TSimpler(AOwner) {}

TBuilder::~TBuilder() { ReleaseTrees(); }

namespace {
void FreeTree(TTreeNode* node) {
  if (!node) return;
  FreeTree(node->Left);
  FreeTree(node->Right);
  delete node;
}
}  // namespace

void TBuilder::ReleaseTrees() {
  for (TTreeNode* root : FTrees) FreeTree(root);
  FTrees.clear();
  for (TTreeNode* node : FParNodes) FreeTree(node);
  FParNodes.clear();
}

// Provisional: trees are not built yet, so nothing past simplification compiles.
void TBuilder::Build(std::string& Expr) {
  Simplify(Expr);
  if (ErrorRaised()) return;
  FCompError = eValExpected;
}

}  // namespace fennic
