// Parsing of the coded text into trees, and the gathering of negations at
// the roots.
//
// The coded text comes from the simplifier, but the parser never trusts it:
// every read is bounds-checked and a text that breaks the grammar stops the
// parse with the error code of the nearest simplifier fault (operand missing
// eValExpected, operator missing eOpExpected, unmatched bracket eEdge, code
// naming nothing eUnknown, argument count eParameter, malformed integer
// argument eType, bad by-reference argument eVarParameter, constant without
// table entry eNumFormat). Everything built so far is then freed.
#include <cstring>
#include <utility>

#include "fennic/builder/tree.h"
#include "fennic/builder/treewalk.h"
#include "fennic/core/stackguard.h"
#include "fennic/core/codedtext.h"

namespace fennic {

namespace {

// Nesting beyond MaxTreeNesting, or deeper than the thread's stack allows, is
// refused like an unmatched bracket: the text cannot be followed safely.
constexpr TError TooDeep = eEdge;

// Offset of the ")" matching the "(" at Open, or npos; markers and their
// payloads are skipped as units.
std::size_t ClosingBracket(std::string_view S, std::size_t Open) {
  std::size_t depth = 0;
  for (std::size_t i = Open; i < S.size(); i += ElementLength(S, i)) {
    if (S[i] == '(') ++depth;
    else if (S[i] == ')' && --depth == 0) return i;
  }
  return std::string_view::npos;
}

// Counts one level of brackets or calls for as long as it lives.
class TNestingLevel {
 public:
  explicit TNestingLevel(std::int32_t& Depth) : FDepth(Depth) { ++FDepth; }
  ~TNestingLevel() { --FDepth; }
  TNestingLevel(const TNestingLevel&) = delete;
  TNestingLevel& operator=(const TNestingLevel&) = delete;

 private:
  std::int32_t& FDepth;
};

}  // namespace

std::int32_t TBuilder::BuildTree(std::string_view Text) {
  // The entry is taken before parsing, so argument trees get higher indices.
  const std::size_t index = FTrees.size();
  FTrees.push_back(nullptr);
  std::size_t pos = 0;
  TOwnedNode root(BigTree(Text, pos));
  if (!root) return -1;
  if (pos < Text.size()) {
    Broken(Text[pos] == ')' ? eEdge : eOpExpected);
    return -1;
  }
  FTrees[index] = root.release();
  return static_cast<std::int32_t>(index);
}

TTreeNode* TBuilder::BigTree(std::string_view Text, std::size_t& Pos) {
  const bool negate = Pos < Text.size() && Text[Pos] == '-';
  if (negate) ++Pos;
  TOwnedNode tree(SubTree(Text, Pos));
  if (!tree) return nullptr;
  if (negate) tree->Minus = !tree->Minus;
  // Anything but "+" and "-" ends the sum; the caller judges what follows.
  while (Pos < Text.size() && (Text[Pos] == '+' || Text[Pos] == '-')) {
    TTreeNode* raw;
    BuildNode(raw);
    TOwnedNode node(raw);
    node->Op = static_cast<TOperator>(Text[Pos++]);
    node->Left = tree.release();
    node->Right = SubTree(Text, Pos);
    if (!node->Right) return nullptr;
    tree = std::move(node);
  }
  if (OutOfOrder() != ooStandart) return BalanceBigTree(tree.release());
  return tree.release();
}

TTreeNode* TBuilder::SubTree(std::string_view Text, std::size_t& Pos) {
  TOwnedNode tree(TreeLeaf(Text, Pos));
  if (!tree) return nullptr;
  while (Pos < Text.size() && (Text[Pos] == '*' || Text[Pos] == '/')) {
    TTreeNode* raw;
    BuildNode(raw);
    TOwnedNode node(raw);
    node->Op = static_cast<TOperator>(Text[Pos++]);
    node->Left = tree.release();
    node->Right = TreeLeaf(Text, Pos);
    if (!node->Right) return nullptr;
    tree = std::move(node);
  }
  if (OutOfOrder() != ooStandart) return BalanceSubTree(tree.release());
  return tree.release();
}

TTreeNode* TBuilder::TreeLeaf(std::string_view Text, std::size_t& Pos) {
  if (Pos >= Text.size()) return Broken(eValExpected);
  switch (Text[Pos]) {
    case ConstMarker:
      return NumberLeaf(Text, Pos);
    case VarMarker: {
      if (Text.size() - Pos < 5) return Broken(eValExpected);
      const std::int32_t code = ReadInt32(Text, Pos + 1);
      if (!FindVar(code)) return Broken(eUnknown);
      TTreeNode* node;
      BuildNode(node);
      node->Kind = TNodeKind::Variable;
      node->Code = code;
      Pos += 5;
      return node;
    }
    case FuncMarker:
      return CallLeaf(Text, Pos);
    case '(': {
      if (FNesting >= MaxTreeNesting || !StackHasRoom()) return Broken(TooDeep);
      TNestingLevel level(FNesting);
      ++Pos;
      TOwnedNode sum(BigTree(Text, Pos));
      if (!sum) return nullptr;
      if (Pos >= Text.size()) return Broken(eEdge);
      if (Text[Pos] != ')') return Broken(eOpExpected);
      ++Pos;
      return sum.release();
    }
    default:
      return Broken(eValExpected);
  }
}

TTreeNode* TBuilder::NumberLeaf(std::string_view Text, std::size_t& Pos) {
  // An inline integer belongs only to an integer argument.
  if (ElementLength(Text, Pos) != 1) return Broken(eType);
  if (FConstIndex < 0 || static_cast<std::size_t>(FConstIndex) >= FConstSizes.size())
    return Broken(eNumFormat);
  const std::uint8_t width = FConstSizes[FConstIndex];
  if (FConstBytes < 0 || static_cast<std::size_t>(FConstBytes) > FConstCopy.size() ||
      FConstCopy.size() - static_cast<std::size_t>(FConstBytes) < width)
    return Broken(eNumFormat);
  const std::uint8_t* bytes = FConstCopy.data() + FConstBytes;
  TVarType type;
  std::int32_t offset;
  if (width == 4) {
    TSingleBits s;
    std::memcpy(s.data(), bytes, 4);
    type = vtSingle;
    offset = SearchSingle(s);
  } else if (width == 8) {
    TDoubleBits d;
    std::memcpy(d.data(), bytes, 8);
    type = vtDouble;
    offset = SearchDouble(d);
  } else if (width == 10) {
    TExtendedBits e;
    std::memcpy(e.data(), bytes, 10);
    type = vtExtended;
    offset = SearchExt(e);
  } else {
    return Broken(eNumFormat);
  }
  if (offset < 0) return Broken(eNumFormat);
  TTreeNode* node;
  BuildNode(node);
  node->Kind = TNodeKind::Number;
  node->Type = type;
  node->Offset = offset;
  FConstBytes += width;
  ++FConstIndex;
  ++Pos;
  return node;
}

TTreeNode* TBuilder::CallLeaf(std::string_view Text, std::size_t& Pos) {
  if (Text.size() - Pos < 5) return Broken(eValExpected);
  const std::int32_t code = ReadInt32(Text, Pos + 1);
  const TFunction* found = FindFunc(code);
  if (!found) return Broken(eUnknown);
  const TFunction& fn = *found;
  TTreeNode* raw;
  BuildNode(raw);
  TOwnedNode node(raw);
  node->Kind = TNodeKind::Call;
  node->Code = code;
  Pos += 5;
  if (Pos >= Text.size() || Text[Pos] != '(') {
    if (!fn.Params.empty()) return Broken(eParameter);
    return node.release();
  }
  const std::size_t close = ClosingBracket(Text, Pos);
  if (close == std::string_view::npos) return Broken(eEdge);
  std::string_view args = Text.substr(Pos + 1, close - Pos - 1);
  Pos = close + 1;
  if (FNesting >= MaxTreeNesting || !StackHasRoom()) return Broken(TooDeep);
  TNestingLevel level(FNesting);

  const std::size_t count = fn.Params.size();
  if (count == 0 && !args.empty()) return Broken(eParameter);
  // The call's entries are taken before its arguments are parsed, so that
  // they stay together while the calls inside take theirs.
  const std::size_t first = FCallArgs.size();
  FCallArgs.resize(first + count);
  node->FirstArg = static_cast<std::int32_t>(first);
  node->ArgCount = static_cast<std::int32_t>(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t comma = FindComma(args);
    std::string_view arg = args;
    if (k + 1 < count) {
      if (comma == std::string_view::npos) return Broken(eParameter);
      arg = args.substr(0, comma);
      args.remove_prefix(comma + 1);
    } else if (comma != std::string_view::npos) {
      return Broken(eParameter);
    }
    if (!ParseArgument(first + k, arg, fn.Params[k])) return nullptr;
  }
  return node.release();
}

bool TBuilder::ParseArgument(std::size_t Slot, std::string_view Arg, const TVarDef& Def) {
  if (Arg.empty()) {
    Broken(eValExpected);
    return false;
  }
  if (Def.PushStyle == psReference) {
    // Written as the variable's name.
    std::size_t end = 0;
    const std::string name = ReadIdent(Arg, end);
    const std::int32_t code = name.empty() ? 0 : VarCode(name);
    const TVariable* var = name.empty() ? nullptr : FindVar(code);
    if (!var || end != Arg.size() || var->VarType != Def.VarType) {
      Broken(eVarParameter);
      return false;
    }
    FCallArgs[Slot] = {TArgKind::Reference, code};
    return true;
  }
  if (IsFloatType(Def.VarType)) {
    const std::int32_t index = BuildTree(Arg);
    if (index < 0) return false;
    FCallArgs[Slot] = {TArgKind::Tree, index};
    return true;
  }
  const std::size_t index = FParNodes.size();
  FParNodes.push_back(nullptr);
  TTreeNode* node = IntegerArgument(Arg);
  if (!node) return false;
  FParNodes[index] = node;
  FCallArgs[Slot] = {TArgKind::Integer, static_cast<std::int32_t>(index)};
  return true;
}

// One integer argument: an optional "-" and a single token.
TTreeNode* TBuilder::IntegerArgument(std::string_view Arg) {
  const bool minus = Arg[0] == '-';
  if (minus) Arg.remove_prefix(1);
  if (Arg.empty()) return Broken(eValExpected);
  TTreeNode* raw = nullptr;
  switch (Arg[0]) {
    case ConstMarker: {
      if (ElementLength(Arg, 0) != 10 || Arg.size() != 10) return Broken(eType);
      BuildNode(raw);
      raw->Kind = TNodeKind::Number;
      raw->Type = static_cast<TVarType>(Arg[1]);
      // Number arguments carry their sign in the value.
      std::uint64_t value;
      std::memcpy(&value, Arg.data() + 2, 8);
      if (minus) value = ~value + 1;
      raw->Value = static_cast<std::int64_t>(value);
      return raw;
    }
    case VarMarker: {
      if (Arg.size() != 5) return Broken(eType);
      const std::int32_t code = ReadInt32(Arg, 1);
      const TVariable* var = FindVar(code);
      if (!var) return Broken(eUnknown);
      if (IsFloatType(var->VarType)) return Broken(eType);
      BuildNode(raw);
      raw->Kind = TNodeKind::Variable;
      raw->Code = code;
      raw->Minus = minus;
      return raw;
    }
    case FuncMarker: {
      std::size_t pos = 0;
      TOwnedNode call(CallLeaf(Arg, pos));
      if (!call) return nullptr;
      const TFunction* fn = FindFunc(call->Code);
      if (pos != Arg.size() || IsFloatResult(fn->FuncResult)) return Broken(eType);
      call->Minus = minus;
      return call.release();
    }
    default:
      return Broken(eType);
  }
}

void TBuilder::CalcMinuses(TTreeNode* Node) {
  VisitPostOrder(*FWalks, Node, [](TTreeNode* n) {
    if (IsLeaf(n) || !n->Left || !n->Right) return;
    const TOperator op = n->Op;
    bool l = n->Left->Minus;
    bool r = n->Right->Minus;
    if (op == TOperator::Mul || op == TOperator::Div) {
      n->Minus = l ^ n->Minus ^ r;
    } else if (op == TOperator::Add) {
      if (l && r) {
        n->Minus = !n->Minus;  // (-a)+(-b) = -(a+b)
      } else if (r) {
        n->Op = TOperator::Sub;  // a+(-b) = a-b
      } else if (l) {
        n->Op = TOperator::Sub;  // (-a)+b = b-a
        std::swap(n->Left, n->Right);
      }
    } else {
      if (n->Minus) {
        n->Minus = false;  // -(a-b) = b-a
        std::swap(n->Left, n->Right);
        std::swap(l, r);
      }
      if (l && r) {
        std::swap(n->Left, n->Right);  // (-a)-(-b) = b-a
      } else if (r) {
        n->Op = TOperator::Add;  // a-(-b) = a+b
      } else if (l) {
        n->Op = TOperator::Add;  // (-a)-b = -(b+a)
        n->Minus = true;
        std::swap(n->Left, n->Right);
      }
    }
    n->Left->Minus = false;
    n->Right->Minus = false;
  });
}

}  // namespace fennic
