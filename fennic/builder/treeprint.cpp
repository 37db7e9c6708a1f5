#include "fennic/builder/treeprint.h"

#include <cstring>

#include "fennic/core/codedtext.h"

namespace fennic {

namespace {

std::string CallArguments(std::string_view Args) {
  std::string out;
  while (!Args.empty()) {
    std::size_t comma = FindComma(Args);
    std::string_view arg = Args.substr(0, comma);
    if (arg.size() == 5 && arg[0] == TreeMarker) out += "t" + std::to_string(ReadInt32(arg, 1));
    else if (arg.size() == 5 && arg[0] == ParMarker) out += "p" + std::to_string(ReadInt32(arg, 1));
    else out += arg;
    if (comma == std::string_view::npos) break;
    out += ',';
    Args.remove_prefix(comma + 1);
  }
  return out;
}

std::string LeafText(const std::string& Text) {
  switch (Text[0]) {
    case ConstMarker: {
      if (Text.size() == 10) {  // integer argument: type byte, 64-bit value
        std::int64_t value;
        std::memcpy(&value, Text.data() + 2, 8);
        return "#" + std::to_string(value);
      }
      static constexpr const char* Kinds[3] = {"s@", "d@", "e@"};
      unsigned type = static_cast<unsigned char>(Text.size() > 1 ? Text[1] : 0);
      std::string kind = type >= vtSingle && type <= vtExtended ? Kinds[type - vtSingle] : "?@";
      return kind + std::to_string(ReadInt32(Text, 2));
    }
    case VarMarker:
      return "v" + std::to_string(ReadInt32(Text, 1));
    case FuncMarker: {
      std::string out = "f" + std::to_string(ReadInt32(Text, 1));
      if (Text.size() > 6) out += "(" + CallArguments(std::string_view(Text).substr(6, Text.size() - 7)) + ")";
      return out;
    }
    default:
      return Text;
  }
}

std::string Label(const TTreeNode* Node) {
  std::string out = "[" + std::to_string(Node->Need) + "/" + std::to_string(Node->Usage) + "]";
  if (Node->Flushed) out += "!";
  return out;
}

}  // namespace

// Iterative, so that a chain of any length prints.
std::string PrintTree(const TTreeNode* Node, bool Labels) {
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
      out += n->Text.empty() ? std::string("<empty>") : LeafText(n->Text);
      if (Labels) out += Label(n);
      continue;
    }
    out += '(';
    tasks.push_back({false, nullptr, ")" + (Labels ? Label(n) : std::string())});
    tasks.push_back({true, n->Right, {}});
    tasks.push_back({false, nullptr, n->Text});
    tasks.push_back({true, n->Left, {}});
  }
  return out;
}

std::string PrintTrees(const std::vector<TTreeNode*>& Trees,
                       const std::vector<TTreeNode*>& ParNodes, bool Labels) {
  std::string out;
  for (std::size_t i = 0; i < Trees.size(); ++i)
    out += "T" + std::to_string(i) + ": " + PrintTree(Trees[i], Labels) + "\n";
  for (std::size_t i = 0; i < ParNodes.size(); ++i)
    out += "P" + std::to_string(i) + ": " + PrintTree(ParNodes[i], Labels) + "\n";
  return out;
}

}  // namespace fennic
