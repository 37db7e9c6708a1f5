#include "fennic/builder/treeprint.h"

#include "fennic/core/operators.h"

namespace fennic {

namespace {

std::string CallArguments(std::span<const TCallArg> Args) {
  std::string out;
  for (std::size_t k = 0; k < Args.size(); ++k) {
    if (k > 0) out += ',';
    switch (Args[k].Kind) {
      case TArgKind::Tree: out += "t"; break;
      case TArgKind::Integer: out += "p"; break;
      case TArgKind::Reference: out += "&v"; break;
    }
    out += std::to_string(Args[k].Index);
  }
  return out;
}

std::string LeafText(const TTreeNode* Node, std::span<const TCallArg> Args) {
  switch (Node->Kind) {
    case TNodeKind::Number: {
      if (!IsFloatType(Node->Type)) return "#" + std::to_string(Node->Value);
      static constexpr const char* Kinds[3] = {"s@", "d@", "e@"};
      return Kinds[Node->Type - vtSingle] + std::to_string(Node->Offset);
    }
    case TNodeKind::Variable:
      return "v" + std::to_string(Node->Code);
    case TNodeKind::Call: {
      // The extended grammar's operators by their own names.
      const TFunction* op = LogicFunction(Node->Code);
      std::string out = op ? op->Name : "f" + std::to_string(Node->Code);
      const auto first = static_cast<std::size_t>(Node->FirstArg);
      const auto count = static_cast<std::size_t>(Node->ArgCount);
      if (count == 0) return out;
      if (Node->FirstArg < 0 || Node->ArgCount < 0 || first + count > Args.size()) return out + "(?)";
      return out + "(" + CallArguments(Args.subspan(first, count)) + ")";
    }
    case TNodeKind::Common:
      return "c" + std::to_string(Node->Code);
    case TNodeKind::Operator:
      break;
  }
  return std::string(1, static_cast<char>(Node->Op));
}

std::string Label(const TTreeNode* Node) {
  std::string out = "[" + std::to_string(Node->Need) + "/" + std::to_string(Node->Usage) + "]";
  if (Node->Flushed) out += "!";
  return out;
}

}  // namespace

// Iterative, so that a chain of any length prints.
std::string PrintTree(const TTreeNode* Node, std::span<const TCallArg> Args, bool Labels) {
  struct TTask {
    bool IsNode;
    const TTreeNode* Node;
    std::string Literal;
  };
  std::string out;
  std::vector<TTask> tasks;
  tasks.push_back({true, Node, {}});
  while (!tasks.empty()) {
    TTask task = std::move(tasks.back());
    tasks.pop_back();
    if (!task.IsNode) {
      out += task.Literal;
      continue;
    }
    const TTreeNode* n = task.Node;
    if (!n) {
      out += "<nil>";
      continue;
    }
    if (n->Minus) out += '-';
    if (TBuilder::IsLeaf(n) || (!n->Left && !n->Right)) {
      out += LeafText(n, Args);
      if (Labels) out += Label(n);
      continue;
    }
    out += '(';
    tasks.push_back({false, nullptr, ")" + (Labels ? Label(n) : std::string())});
    tasks.push_back({true, n->Right, {}});
    tasks.push_back({false, nullptr, std::string(1, static_cast<char>(n->Op))});
    tasks.push_back({true, n->Left, {}});
  }
  return out;
}

std::string PrintTrees(const std::vector<TTreeNode*>& Trees, const std::vector<TTreeNode*>& ParNodes,
                       std::span<const TCallArg> Args, bool Labels) {
  std::string out;
  for (std::size_t i = 0; i < Trees.size(); ++i)
    out += "T" + std::to_string(i) + ": " + PrintTree(Trees[i], Args, Labels) + "\n";
  for (std::size_t i = 0; i < ParNodes.size(); ++i)
    out += "P" + std::to_string(i) + ": " + PrintTree(ParNodes[i], Args, Labels) + "\n";
  return out;
}

}  // namespace fennic
