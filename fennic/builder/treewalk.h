// Walks over trees with an explicit stack, so that the depth of a tree (a
// chain is as deep as it is long) never reaches the machine stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fennic {

struct TTreeNode;

// One entry of a walk's stack: a node and what the walk keeps about it.
struct TWalkEntry {
  TTreeNode* Node = nullptr;
  TTreeNode* Second = nullptr;  // an operator's operand compiled second (tree compilation)
  std::uint8_t Command = 0;     // the operator's command (tree compilation)
  bool Done = false;            // operands pushed (post-order), first operand compiled (tree compilation)
};

class TWalkStack;

// The working storage of a component's walks: one stack that nested walks
// share (a walk inside a walk, as calls nest), each working above the
// entries of the walk it runs in, so that a walk allocates nothing once the
// stack has grown. What a huge tree made it grow to is given back when the
// outermost walk ends. Serves one thread at a time, as its component does.
class TWalkStorage {
 public:
  // Capacity kept between walks: what typical texts need.
  static constexpr std::size_t KeptEntries = 4096;
  std::size_t Capacity() const { return FEntries.capacity(); }

 private:
  friend class TWalkStack;
  std::vector<TWalkEntry> FEntries;
};

// The stack of one walk, above the entries of the walks it runs in.
// References to entries are taken anew after anything that may nest.
class TWalkStack {
 public:
  explicit TWalkStack(TWalkStorage& Storage)
      : FEntries(Storage.FEntries), FBottom(Storage.FEntries.size()) {}
  ~TWalkStack() {  // after a throw too
    FEntries.resize(FBottom);
    if (FBottom == 0 && FEntries.capacity() > TWalkStorage::KeptEntries) FEntries.shrink_to_fit();
  }
  TWalkStack(const TWalkStack&) = delete;
  TWalkStack& operator=(const TWalkStack&) = delete;

  bool empty() const { return FEntries.size() == FBottom; }
  std::size_t size() const { return FEntries.size() - FBottom; }
  void clear() { FEntries.resize(FBottom); }
  TWalkEntry& back() { return FEntries.back(); }
  TWalkEntry& operator[](std::size_t Index) { return FEntries[FBottom + Index]; }
  void push_back(const TWalkEntry& Entry) { FEntries.push_back(Entry); }
  void push_back(TTreeNode* Node) { FEntries.push_back(TWalkEntry{Node}); }
  void pop_back() { FEntries.pop_back(); }
  // The node of the top entry, which leaves the stack.
  TTreeNode* Pop() {
    TTreeNode* node = FEntries.back().Node;
    FEntries.pop_back();
    return node;
  }

 private:
  std::vector<TWalkEntry>& FEntries;
  const std::size_t FBottom;
};

// Calls Visit(node) for every node below and at Root, Left subtree first,
// each node after both of its operands. Visit may change the node itself
// (exchange its operands, relabel it) but not the links of other nodes, and
// may walk again on the same storage.
template <class Node, class Visit>
void VisitPostOrder(TWalkStorage& Storage, Node* Root, Visit&& visit) {
  TWalkStack pending(Storage);
  if (Root) pending.push_back(Root);
  while (!pending.empty()) {
    TWalkEntry& top = pending.back();
    Node* at = top.Node;
    if (!top.Done && (at->Left || at->Right)) {
      top.Done = true;  // before the pushes, which may move the entries
      if (at->Right) pending.push_back(at->Right);
      if (at->Left) pending.push_back(at->Left);
      continue;
    }
    pending.pop_back();
    visit(at);
  }
}

}  // namespace fennic
