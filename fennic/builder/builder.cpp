#include "fennic/builder/builder.h"

#include "fennic/simplifier/codedtext.h"

namespace fennic {

TBuilder::TBuilder(TComponent* AOwner) : TSimpler(AOwner) {}

TBuilder::~TBuilder() { ReleaseTrees(); }

void TBuilder::ReleaseTrees() {
  for (TTreeNode* root : FTrees) KillTree(root);
  FTrees.clear();
  for (TTreeNode* node : FParNodes) KillTree(node);
  FParNodes.clear();
}

void TBuilder::BuildNode(TTreeNode*& Node) { Node = new TTreeNode(); }

bool TBuilder::IsLeaf(const TTreeNode* Node) {
  if (Node->Text.empty()) return false;
  char c = Node->Text[0];
  return c == ConstMarker || c == VarMarker || c == FuncMarker;
}

// Trees are walked with an explicit stack: a chain of a megabyte of terms is
// as deep as it is long, far beyond what the machine stack would take.
void TBuilder::KillTree(TTreeNode* Node) {
  std::vector<TTreeNode*> pending;
  if (Node) pending.push_back(Node);
  while (!pending.empty()) {
    TTreeNode* n = pending.back();
    pending.pop_back();
    if (n->Left) pending.push_back(n->Left);
    if (n->Right) pending.push_back(n->Right);
    delete n;
  }
}

namespace {
// Counts leaves and operator nodes below Node.
void CountNodes(const TTreeNode* Node, std::int32_t& Leaves, std::int32_t& Ops) {
  std::vector<const TTreeNode*> pending;
  if (Node) pending.push_back(Node);
  while (!pending.empty()) {
    const TTreeNode* n = pending.back();
    pending.pop_back();
    if (TBuilder::IsLeaf(n)) {
      ++Leaves;
      continue;
    }
    ++Ops;
    if (n->Left) pending.push_back(n->Left);
    if (n->Right) pending.push_back(n->Right);
  }
}
}  // namespace

std::int32_t TBuilder::LeafCount(const TTreeNode* Node) {
  std::int32_t leaves = 0, ops = 0;
  CountNodes(Node, leaves, ops);
  return leaves;
}

std::int32_t TBuilder::OpCount(const TTreeNode* Node) {
  std::int32_t leaves = 0, ops = 0;
  CountNodes(Node, leaves, ops);
  return ops;
}

TTreeNode* TBuilder::Broken(TError Code) {
  if (!ErrorRaised()) {
    // The coded text keeps no source offsets: no place is claimed.
    FCompError = Code;
    FErrorAt = std::string_view::npos;
    FErrorLength = 0;
    FErrorFunc = 0;
  }
  return nullptr;
}

void TBuilder::Build(std::string& Expr) {
  ReleaseTrees();
  Simplify(Expr);
  if (ErrorRaised()) return;
  BuildSimplified(Expr);
}

void TBuilder::BuildSimplified(std::string_view Coded) {
  ReleaseTrees();
  BuildNumbers();
  BuildPairs();
  // The copy of the constants and the lists of distinct values serve only
  // the parse; drop them however it ends.
  struct TParseState {
    TBuilder& B;
    ~TParseState() {
      B.FConstCopy = {};
      B.FSingles = {};
      B.FDoubles = {};
      B.FExtendeds = {};
    }
  } state{*this};

  FConstIndex = 0;
  FConstBytes = 0;
  FTopLevel = 0;
  FNesting = 0;
  if (BuildTree(Coded) < 0) {
    ReleaseTrees();
    return;
  }
  for (std::size_t i = FTrees.size(); i-- > 0;) {
    TTreeNode* root = FTrees[i];
    CalcMinuses(root);
    StackUsage(root);
    if (root->Need == 0) root->Need = 1;
  }
  FLevel = 0;
  FTopLevel = 0;
  FuncStackUsage(FTrees[0], 8);
}

}  // namespace fennic
