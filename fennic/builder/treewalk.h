// Post-order walk of a tree with an explicit stack, so that the depth of a
// tree (a chain is as deep as it is long) never reaches the machine stack.
#pragma once

#include <vector>

namespace fennic {

// Calls Visit(node) for every node below and at Root, Left subtree first,
// each node after both of its operands. Visit may change the node itself
// (exchange its operands, relabel it) but not the links of other nodes.
template <class Node, class Visit>
void VisitPostOrder(Node* Root, Visit&& visit) {
  struct TEntry {
    Node* At;
    bool Expanded;
  };
  std::vector<TEntry> pending;
  if (Root) pending.push_back({Root, false});
  while (!pending.empty()) {
    TEntry& top = pending.back();
    Node* at = top.At;
    if (!top.Expanded && (at->Left || at->Right)) {
      top.Expanded = true;  // before the pushes, which may move the entries
      if (at->Right) pending.push_back({at->Right, false});
      if (at->Left) pending.push_back({at->Left, false});
      continue;
    }
    pending.pop_back();
    visit(at);
  }
}

}  // namespace fennic
