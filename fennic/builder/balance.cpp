// Regrouping of operator chains into independent pairs for OutOfOrder
// ooSoft and ooAgressive.
#include "fennic/builder/builder.h"

namespace fennic {

// Not regrouped yet: the chain keeps the left-deep shape the parser gave it,
// which computes the same value, only without parallel pairs.
TTreeNode* TBuilder::BalanceBigTree(TTreeNode* Node) { return Node; }

TTreeNode* TBuilder::BalanceSubTree(TTreeNode* Node) { return Node; }

}  // namespace fennic
