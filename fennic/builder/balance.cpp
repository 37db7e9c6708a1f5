// Regrouping of operator chains into independent pairs for OutOfOrder
// ooSoft and ooAgressive.
//
// The parser builds a chain of one rank as a left-deep tree: every spine
// node applies its operator to everything below it and its own Right. A
// balancing pass pairs neighbouring spine nodes from the bottom up, so that
// two consecutive operands become one subtree that does not wait for the
// rest of the chain; further passes pair the pairs while the chain is long
// enough to gain from it. Only spine links and operators change: operands,
// and the Minus of every node, stay as they are.
#include <cstddef>
#include <utility>

#include "fennic/builder/tree.h"

namespace fennic {

namespace {

// The spine nodes, root first, on a walk stack of the builder.
class TSpine {
 public:
  explicit TSpine(TWalkStorage& Storage) : FStack(Storage) {}
  std::ptrdiff_t size() const { return static_cast<std::ptrdiff_t>(FStack.size()); }
  void clear() { FStack.clear(); }
  void push_back(TTreeNode* Node) { FStack.push_back(Node); }
  TTreeNode*& operator[](std::ptrdiff_t Index) { return FStack[static_cast<std::size_t>(Index)].Node; }
  TTreeNode* back() { return FStack.back().Node; }

 private:
  TWalkStack FStack;
};

bool IsOperator(const TTreeNode* Node, TOperator A, TOperator B) {
  return Node->Kind == TNodeKind::Operator && (Node->Op == A || Node->Op == B);
}

// A negated sum is a single operand of the chain around it: regrouping
// across its sign would change the value. A product's sign can sit anywhere
// in it, so a negated product stays part of the spine.
bool IsSumStep(const TTreeNode* Node) { return !Node->Minus && IsOperator(Node, TOperator::Add, TOperator::Sub); }
bool IsProductStep(const TTreeNode* Node) { return IsOperator(Node, TOperator::Mul, TOperator::Div); }
bool IsDivision(const TTreeNode* Node) { return Node->Op == TOperator::Div; }

// The spine of the chain at Root, root first; empty when Root is an operand.
template <class InRank>
void CollectSpine(TTreeNode* Root, InRank inRank, TSpine& S) {
  S.clear();
  for (TTreeNode* n = Root; n && inRank(n); n = n->Left) S.push_back(n);
}

// Makes the spine nodes at J and J - 1 one subtree, which takes position J - 1.
void PairAt(TSpine& S, std::ptrdiff_t J) {
  TTreeNode* a = S[J];
  TTreeNode* b = S[J - 1];
  b->Left = a->Right;
  a->Right = b;
  a->Left = S[J + 1];
  S[J - 1] = a;
}

// Another pass pays off only while enough pairs remain above the untouched bottom.
bool AnotherPass(std::ptrdiff_t Length, std::ptrdiff_t Pass) {
  return (Length + 1) / 2 - (Pass + 1) >= 3;
}

// Puts the divisions among positions 0 to Last below the multiplications.
void DivisionsDown(TSpine& S, std::ptrdiff_t Last) {
  std::ptrdiff_t top = 0;
  std::ptrdiff_t bottom = Last;
  for (;;) {
    while (top < bottom && IsDivision(S[bottom])) --bottom;
    while (top < bottom && !IsDivision(S[top])) ++top;
    if (bottom <= top) return;
    std::swap(S[top], S[bottom]);
  }
}

}  // namespace

TTreeNode* TBuilder::BalanceBigTree(TTreeNode* Node) {
  TSpine spine(*FWalks);
  for (std::ptrdiff_t pass = 0;; ++pass) {
    CollectSpine(Node, IsSumStep, spine);
    const std::ptrdiff_t length = spine.size();
    if (length == 0) return Node;
    std::ptrdiff_t j = length - pass - 2;
    for (; j > 0; j -= 2) {
      // x-a+b = x-(a-b), x-a-b = x-(a+b)
      if (spine[j]->Op == TOperator::Sub)
        spine[j - 1]->Op = spine[j - 1]->Op == TOperator::Add ? TOperator::Sub : TOperator::Add;
      PairAt(spine, j);
    }
    if (j == 0) spine[0]->Left = spine[1];
    Node = spine[0];
    if (!AnotherPass(length, pass)) return Node;
  }
}

TTreeNode* TBuilder::BalanceSubTree(TTreeNode* Node) {
  TSpine spine(*FWalks);
  for (std::ptrdiff_t pass = 0;; ++pass) {
    CollectSpine(Node, IsProductStep, spine);
    const std::ptrdiff_t length = spine.size();
    if (length == 0) return Node;
    TTreeNode* const first = spine.back()->Left;
    // Positions below Deepest are left alone in this pass.
    const std::ptrdiff_t deepest = length - pass - 1;
    if (deepest < 1) return Node;

    // The first operation a multiplication when there is one, then the
    // divisions, the multiplications last.
    if (IsDivision(spine[deepest])) {
      for (std::ptrdiff_t k = 0; k < deepest; ++k) {
        if (!IsDivision(spine[k])) {
          std::swap(spine[k], spine[deepest]);
          break;
        }
      }
    }
    DivisionsDown(spine, deepest - 1);
    for (std::ptrdiff_t k = 0; k <= deepest; ++k) spine[k]->Left = k + 1 < length ? spine[k + 1] : first;

    std::ptrdiff_t j = deepest - 1;
    if (j == 0 && IsDivision(spine[0]) && IsDivision(spine[1])) {
      // x/a/b = x/(a*b)
      TTreeNode* upper = spine[0];
      TTreeNode* lower = spine[1];
      upper->Op = TOperator::Mul;
      upper->Left = lower->Right;
      lower->Right = upper;
      spine[0] = lower;
      j = -1;
    }
    for (; j > 0; j -= 2) {
      if (IsDivision(spine[j])) {
        if (IsDivision(spine[j - 1])) spine[j - 1]->Op = TOperator::Mul;  // x/a/b = x/(a*b)
        else std::swap(spine[j], spine[j - 1]);                      // x/a*b = x*(b/a)
      }
      // x*a*b = x*(a*b), x*a/b = x*(a/b)
      PairAt(spine, j);
    }
    if (j == 0) spine[0]->Left = spine[1];
    Node = spine[0];
    if (!AnotherPass(length, pass)) return Node;
  }
}

}  // namespace fennic
