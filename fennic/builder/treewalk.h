// Post-order walk of a tree with an explicit stack, so that the depth of a
// tree (a chain is as deep as it is long) never reaches the machine stack.
#pragma once

#include <cstddef>
#include <vector>

namespace fennic {

// The stack of a walk: one per thread and entry type, shared by nested
// walks (each works above the entries of the walk it runs in, and takes
// references anew after anything that may nest), so that a walk allocates
// nothing once the stack has grown. What a huge tree made it grow to is
// given back when the outermost walk ends.
template <class Entry>
class TWalkStack {
 public:
  TWalkStack() : FStack(Shared()), FBottom(FStack.size()) {}
  ~TWalkStack() {
    FStack.resize(FBottom);
    if (FBottom == 0 && FStack.capacity() > KeptEntries) FStack.shrink_to_fit();
  }
  TWalkStack(const TWalkStack&) = delete;
  TWalkStack& operator=(const TWalkStack&) = delete;

  bool empty() const { return FStack.size() == FBottom; }
  std::size_t size() const { return FStack.size() - FBottom; }
  Entry& back() { return FStack.back(); }
  Entry& operator[](std::size_t Index) { return FStack[FBottom + Index]; }
  void push_back(const Entry& Item) { FStack.push_back(Item); }
  void pop_back() { FStack.pop_back(); }

 private:
  static constexpr std::size_t KeptEntries = 4096;
  static std::vector<Entry>& Shared() {
    static thread_local std::vector<Entry> stack;
    return stack;
  }
  std::vector<Entry>& FStack;
  const std::size_t FBottom;
};

// Calls Visit(node) for every node below and at Root, Left subtree first,
// each node after both of its operands. Visit may change the node itself
// (exchange its operands, relabel it) but not the links of other nodes.
template <class Node, class Visit>
void VisitPostOrder(Node* Root, Visit&& visit) {
  struct TEntry {
    Node* At;
    bool Expanded;
  };
  TWalkStack<TEntry> pending;
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
