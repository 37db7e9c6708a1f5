// x87 register labels: Need (calls as plain operands), Usage (calls as
// compiled), which calls run ahead of their expression (Flushed call leaves)
// and which argument trees are computed on a level of their own (Flushed
// argument roots), and FTopLevel, the highest code level the code needs.
#include <algorithm>
#include <array>
#include <utility>

#include "fennic/builder/tree.h"
#include "fennic/builder/treewalk.h"

namespace fennic {

namespace {

std::int32_t Combined(std::int32_t L, std::int32_t R) { return std::max(L, R) + (L == R ? 1 : 0); }

std::int32_t Excess(const TTreeNode* Node) { return Node->Usage - Node->Need; }

bool IsOperator(const TTreeNode* Node) {
  return !TBuilder::IsLeaf(Node) && Node->Left && Node->Right;
}

bool IsCall(const TTreeNode* Node) { return Node->Kind == TNodeKind::Call; }

}  // namespace

void TBuilder::CombineUsage(TTreeNode* Node) {
  Node->Usage = Combined(Node->Left->Usage, Node->Right->Usage);
}

bool TBuilder::IsCallWithIntegerResult(const TTreeNode* Node) const {
  if (!IsCall(Node)) return false;
  const TFunction* fn = FindFunc(Node->Code);
  return fn && !IsFloatResult(fn->FuncResult);
}

bool TBuilder::RunsAhead(const TTreeNode* Node) const {
  return IsCallWithIntegerResult(Node) || (IsCall(Node) && IsConditionalCode(Node->Code));
}

void TBuilder::StackUsage(TTreeNode* Node) {
  VisitPostOrder(*FWalks, Node, [this](TTreeNode* n) {
    // Unsigned 32-bit and 64-bit integers and extended values have no x87
    // memory operand form: they are loaded into a register first.
    switch (n->Kind) {
      case TNodeKind::Operator:
        if (IsOperator(n)) n->Need = Combined(n->Left->Need, n->Right->Need);
        break;
      case TNodeKind::Number:
        n->Need = n->Type == vtExtended ? 1 : 0;
        break;
      case TNodeKind::Variable: {
        const TVariable* var = FindVar(n->Code);
        n->Need = !var || var->VarType == vtUInt32 || var->VarType == vtInt64 ||
                          var->VarType == vtExtended
                      ? 1
                      : 0;
        break;
      }
      case TNodeKind::Common:  // an extended temporary: no memory operand form
        n->Need = 1;
        break;
      case TNodeKind::Call: {
        const TFunction* fn = FindFunc(n->Code);
        n->Need = !fn || fn->FuncResult == frUInt32 ||
                          fn->FuncResult == frInt64 || fn->FuncResult == frExtended
                      ? 1
                      : 0;
        break;
      }
    }
  });
}

// Runs ParameterNeeds for a call leaf at the current FLevel and records in
// the leaf how many levels above FLevel its arguments reach.
std::int32_t TBuilder::AnalyseArguments(TTreeNode* Node) {
  const std::int32_t outerTop = FTopLevel;
  FTopLevel = FLevel;
  const std::int32_t needs = ParameterNeeds(Node, 8);
  Node->Levels = FTopLevel - FLevel;
  FTopLevel = std::max(outerTop, FTopLevel);
  return needs;
}

void TBuilder::AnalyseConditional(TTreeNode* Node) {
  Node->Flushed = true;
  Node->Usage = Node->Need;
  const std::span<const TCallArg> args = ArgumentsOf(Node);
  auto treeOf = [&](std::size_t k) -> TTreeNode* {
    if (k >= args.size() || args[k].Kind != TArgKind::Tree) return nullptr;
    const auto index = static_cast<std::size_t>(args[k].Index);
    return index < FTrees.size() ? FTrees[index] : nullptr;
  };
  // Labels a root that its level compiles in place (not as a tree of its
  // own); the levels above Level it reaches.
  auto label = [&](TTreeNode* Tree, std::int32_t Level) {
    const std::int32_t outerLevel = FLevel, outerTop = FTopLevel;
    FLevel = FTopLevel = Level;
    FuncStackUsage(Tree, 8);
    if (!RunsAhead(Tree)) Tree->Flushed = false;
    const std::int32_t levels = FTopLevel - Level;
    FLevel = outerLevel;
    FTopLevel = outerTop;
    return levels;
  };
  TTreeNode* condition = treeOf(0);
  Node->Levels = condition ? label(condition, FLevel + 1) : 0;
  FTopLevel = std::max(FTopLevel, FLevel + 1 + Node->Levels);
  for (std::size_t k = 1; k <= 2; ++k)
    if (TTreeNode* branch = treeOf(k)) Node->BranchLevels[k - 1] = label(branch, 0);
}

// The call runs one level up, ahead of the expression, its arguments with
// it. The labels of the arguments do not depend on the level, so the
// analysis already done stands; only the levels it reaches move up.
std::int32_t TBuilder::FlushCallLeaf(TTreeNode* Node) {
  Node->Flushed = true;
  Node->Usage = Node->Need;
  FTopLevel = std::max(FTopLevel, FLevel + 1 + Node->Levels);
  return Node->Usage;
}

void TBuilder::FuncStackUsage(TTreeNode* Node, std::int32_t Free) {
  VisitPostOrder(*FWalks, Node, [this, Free](TTreeNode* n) {
    if (IsOperator(n)) {
      CombineUsage(n);
      while (n->Usage > Free && n->Usage > n->Need) {
        TTreeNode* target = n->Left->Usage < Free    ? n->Right
                            : n->Right->Usage < Free ? n->Left
                                                     : n;
        if (!FlushBelow(target)) break;
        CombineUsage(n);
      }
      return;
    }
    if (!IsCall(n)) {
      n->Usage = n->Need;
      return;
    }
    if (IsConditionalCode(n->Code)) {
      AnalyseConditional(n);
      return;
    }
    if (IsCallWithIntegerResult(n)) {
      // An integer result reaches the x87 only through a temporary.
      n->Flushed = true;
      n->Usage = n->Need;
      ++FLevel;
      AnalyseArguments(n);
      --FLevel;
      return;
    }
    const std::int32_t args = AnalyseArguments(n);
    n->Usage = std::min(8, std::max(args, FuncStackNeeds(n->Code)));
    n->Flushed = false;
  });
}

// Flushes the call below Node whose Usage exceeds its Need most (a tie goes
// right) and brings Usage up to date on the way back. False when no call
// was flushed.
bool TBuilder::FlushBelow(TTreeNode* Node) {
  TWalkStack path(*FWalks);
  TTreeNode* n = Node;
  while (IsOperator(n)) {
    path.push_back(n);
    n = Excess(n->Left) > Excess(n->Right) ? n->Left : n->Right;
  }
  bool flushed = false;
  if (IsCall(n) && !n->Flushed) {
    FlushCallLeaf(n);
    flushed = true;
  }
  for (std::size_t i = path.size(); i-- > 0;) CombineUsage(path[i].Node);
  return flushed;
}

std::int32_t TBuilder::FlushFunction(TTreeNode* Node) {
  FlushBelow(Node);
  return Node->Usage;
}

void TBuilder::IntStackUsage(TTreeNode* Node) {
  VisitPostOrder(*FWalks, Node, [this](TTreeNode* n) {
    if (IsOperator(n)) {
      n->Usage = std::max(n->Left->Usage, n->Right->Usage);
    } else if (IsCall(n)) {
      n->Usage = std::max(AnalyseArguments(n), FuncStackNeeds(n->Code));
    } else {
      n->Usage = 0;
    }
  });
}

std::int32_t TBuilder::ParameterNeeds(const TTreeNode* Call, std::int32_t Free) {
  const TFunction* found = IsCall(Call) ? FindFunc(Call->Code) : nullptr;
  if (!found) return 0;
  const TFunction& fn = *found;
  const std::span<const TCallArg> args = ArgumentsOf(Call);

  // Levels above FLevel that running Work reaches.
  auto levelsOf = [this](auto&& Work) {
    const std::int32_t outerTop = FTopLevel;
    FTopLevel = FLevel;
    Work();
    const std::int32_t levels = FTopLevel - FLevel;
    FTopLevel = std::max(outerTop, FTopLevel);
    return levels;
  };

  // The x87 arguments of a built-in function, each with the levels its
  // computation reaches.
  struct TFpuArg {
    TTreeNode* Tree;
    std::int32_t Levels;
  };
  std::array<TFpuArg, 8> list{};
  std::int32_t count = 0;
  const std::int32_t room = fn.CallType == ctBuilt_in ? 8 - fn.StackNeeds : 0;

  std::int32_t result = 0;
  for (std::size_t k = 0; k < fn.Params.size() && k < args.size(); ++k) {
    // A by-reference argument costs nothing.
    const std::int32_t index = args[k].Index;
    if (args[k].Kind == TArgKind::Tree && index >= 0 && static_cast<std::size_t>(index) < FTrees.size() &&
        FTrees[index]) {
      TTreeNode* tree = FTrees[index];
      const std::int32_t levels = levelsOf([&] { FuncStackUsage(tree, Free); });
      // A root marked by an earlier decision starts unmarked, but for what
      // always runs ahead.
      if (!RunsAhead(tree)) tree->Flushed = false;
      std::int32_t cost = tree->Usage;
      if (tree->Kind == TNodeKind::Number) {
        cost = 0;
      } else if (tree->Kind == TNodeKind::Variable && !tree->Minus) {
        const TVariable* var = FindVar(tree->Code);
        if (var && var->VarType == fn.Params[k].VarType) cost = 0;
      }
      result = std::max(result, cost);
      if (fn.CallType == ctBuilt_in && count < room) list[count++] = {tree, levels};
    } else if (args[k].Kind == TArgKind::Integer && index >= 0 &&
               static_cast<std::size_t>(index) < FParNodes.size() && FParNodes[index]) {
      TTreeNode* par = FParNodes[index];
      IntStackUsage(par);
      par->Flushed = false;
      result = std::max(result, par->Usage);
    }
  }
  if (count <= 1) return result;

  // Argument i is loaded above the i loaded before it. Flush calls out of
  // the arguments that would not fit, the costliest call first.
  for (;;) {
    for (std::int32_t i = 0; i < count; ++i)
      for (std::int32_t j = i + 1; j < count; ++j)
        if (list[i].Tree->Usage < list[j].Tree->Usage) std::swap(list[i], list[j]);
    std::int32_t best = -1;
    for (std::int32_t i = 0; i < count; ++i)
      if (list[i].Tree->Usage > Free - i && (best < 0 || Excess(list[i].Tree) > Excess(list[best].Tree)))
        best = i;
    if (best < 0 || Excess(list[best].Tree) <= 0) break;
    bool flushed = false;
    const std::int32_t levels = levelsOf([&] { flushed = FlushBelow(list[best].Tree); });
    list[best].Levels = std::max(list[best].Levels, levels);
    if (!flushed) break;
  }

  // Arguments that still do not fit are computed ahead on a level of their
  // own and reloaded last; position 0 always fits.
  std::int32_t unmoved = count;
  for (std::int32_t i = 1; i < unmoved;) {
    if (list[i].Tree->Usage > Free - i) {
      list[i].Tree->Flushed = true;
      FTopLevel = std::max(FTopLevel, FLevel + 1 + list[i].Levels);
      for (std::int32_t j = i; j + 1 < count; ++j) std::swap(list[j], list[j + 1]);
      --unmoved;
    } else {
      ++i;
    }
  }
  for (std::int32_t i = 0; i < count; ++i)
    result = std::max(result, list[i].Tree->Flushed ? i + 1 : list[i].Tree->Usage + i);
  return result;
}

}  // namespace fennic
