#include "fennic/builder/tree.h"

#include "fennic/builder/treewalk.h"
#include "fennic/core/stackguard.h"
#include "fennic/core/codedtext.h"

namespace fennic {

TBuilder::TBuilder(TComponent* AOwner)
    : TSimpler(AOwner), FNodes(std::make_unique<TNodeArena>()), FWalks(std::make_unique<TWalkStorage>()) {}

TBuilder::~TBuilder() { ReleaseTrees(); }

TTreeNode* TNodeArena::New() {
  const std::size_t chunk = FUsed / ChunkSize;
  if (chunk == FChunks.size()) FChunks.push_back(std::make_unique<TTreeNode[]>(ChunkSize));
  TTreeNode& node = FChunks[chunk][FUsed % ChunkSize];
  ++FUsed;
  node = TTreeNode{};
  node.InArena = true;
  return &node;
}

void TNodeArena::Reset() {
  FUsed = 0;
  if (FChunks.size() > KeptChunks) FChunks.resize(KeptChunks);
}

void TBuilder::ReleaseTrees() {
  for (TTreeNode* root : FTrees) KillTree(root);
  FTrees.clear();
  for (TTreeNode* node : FParNodes) KillTree(node);
  FParNodes.clear();
  FCallArgs.clear();
  FCommons.clear();
  FCommonLevels.clear();
  FCommonUses.clear();
  FNodes->Reset();
}

void TBuilder::BuildNode(TTreeNode*& Node) { Node = FNodes->New(); }

TArgumentList TBuilder::ArgumentsOf(const TTreeNode* Call) const {
  if (Call->Kind != TNodeKind::Call || Call->FirstArg < 0 || Call->ArgCount < 0 ||
      static_cast<std::size_t>(Call->FirstArg) + static_cast<std::size_t>(Call->ArgCount) > FCallArgs.size())
    return {};
  return TArgumentList(FCallArgs.data() + Call->FirstArg, static_cast<std::size_t>(Call->ArgCount));
}

// Trees are walked with an explicit stack: a chain of a megabyte of terms is
// as deep as it is long, far beyond what the machine stack would take.
void TBuilder::KillTree(TTreeNode* Node) {
  if (!Node || Node->InArena) return;
  std::vector<TTreeNode*> pending{Node};
  while (!pending.empty()) {
    TTreeNode* n = pending.back();
    pending.pop_back();
    if (n->Left && !n->Left->InArena) pending.push_back(n->Left);
    if (n->Right && !n->Right->InArena) pending.push_back(n->Right);
    delete n;
  }
}

namespace {
// Counts leaves and operator nodes below Node.
void CountNodes(TWalkStorage& Storage, const TTreeNode* Node, std::int32_t& Leaves, std::int32_t& Ops) {
  TWalkStack pending(Storage);
  // The walk only reads the nodes.
  if (Node) pending.push_back(const_cast<TTreeNode*>(Node));
  while (!pending.empty()) {
    const TTreeNode* n = pending.Pop();
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

std::int32_t TBuilder::LeafCount(const TTreeNode* Node) const {
  std::int32_t leaves = 0, ops = 0;
  CountNodes(*FWalks, Node, leaves, ops);
  return leaves;
}

std::int32_t TBuilder::OpCount(const TTreeNode* Node) const {
  std::int32_t leaves = 0, ops = 0;
  CountNodes(*FWalks, Node, leaves, ops);
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
  // the parse; empty them however it ends (their buffers serve the next).
  struct TParseState {
    TBuilder& B;
    ~TParseState() {
      B.FConstCopy.clear();
      B.FSingles.clear();
      B.FDoubles.clear();
      B.FExtendeds.clear();
    }
  } state{*this};

  FConstIndex = 0;
  FConstBytes = 0;
  FTopLevel = 0;
  FNesting = 0;
  TStackEntry stack;  // the parse descends as deep as the text nests
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
  if (ComputesOnce()) {
    FindCommonValues();
    if (!FCommons.empty()) {
      // The loads of common values change the labels above them.
      for (TTreeNode* root : FTrees) StackUsage(root);
      for (TTreeNode* root : FCommons) StackUsage(root);
      for (TTreeNode* root : FTrees)
        if (root && root->Need == 0) root->Need = 1;
    }
  }
  FLevel = 0;
  FTopLevel = 0;
  FuncStackUsage(FTrees[0], 8);
  LabelCommonValues();
}

}  // namespace fennic
