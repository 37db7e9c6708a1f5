// Values computed once: value numbering over the finished trees finds the
// subtrees that compute the same value; the repeated ones that call costly
// pure functions become Common leaves, computed once ahead of the expression.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "fennic/builder/tree.h"
#include "fennic/builder/treewalk.h"

namespace fennic {

namespace {

// A value is stored and loaded as an extended temporary; measured on x86-64
// processors that round trip costs some 4 ns, more than arithmetic alone or
// a few bytes of inline code (sqrt, abs, min, max) cost to compute again.
// Values that call a host routine or longer inline code are kept.
constexpr std::size_t MinCostlyCode = 32;

// A routine that is not Foldable may have effects or read state: each of
// its calls is a value of its own.
bool IsPure(const TFunction& Fn) { return Fn.Foldable || Fn.CallType == ctBuilt_in; }
bool IsCostly(const TFunction& Fn) { return !RunsCodeInLine(Fn) || Fn.Code.size() >= MinCostlyCode; }

// What makes two nodes compute the same value: the node's own fields and
// the value numbers of its operands. A call's arguments are in a side list.
struct TValueKey {
  std::int64_t A = 0, B = 0;  // operands' numbers, a leaf's value, a call's argument range
  std::int32_t Code = 0;
  std::uint8_t Kind = 0, Op = 0, Type = 0, Minus = 0;
  bool operator==(const TValueKey&) const = default;
};

struct TValueInfo {
  std::int64_t Size = 0;   // nodes, those of call arguments included
  bool Worth = false;      // a costly pure call inside: worth computing once
  std::int32_t Uses = 0;   // places that compute it, repeats inside repeats not counted
  std::int32_t Common = -1;
};


class TValueNumbers {
 public:
  // Number 0 stands for none: a node not numbered yet.
  explicit TValueNumbers(const std::vector<std::int32_t>& Args) : Info(1), FArgs(Args) {}

  // The number of a value with this key; a new one when it is new.
  std::int32_t Find(const TValueKey& Key, bool& IsNew) {
    auto [it, inserted] = FTable.try_emplace(TKeyRef{Key, &FArgs}, 0);
    IsNew = inserted;
    if (inserted) it->second = Fresh();
    return it->second;
  }
  std::int32_t Fresh() {
    Info.emplace_back();
    return static_cast<std::int32_t>(Info.size() - 1);
  }
  std::vector<TValueInfo> Info;

 private:
  struct TKeyRef {
    TValueKey Key;
    const std::vector<std::int32_t>* Args;
    bool operator==(const TKeyRef& Other) const {
      if (Key.Kind != static_cast<std::uint8_t>(TNodeKind::Call)) return Key == Other.Key;
      // A and B: first entry and count of the argument numbers.
      const TValueKey& o = Other.Key;
      return Key.Code == o.Code && Key.Minus == o.Minus && Key.B == o.B &&
             std::equal(Args->begin() + Key.A, Args->begin() + Key.A + Key.B, Args->begin() + o.A);
    }
  };
  struct THash {
    std::size_t operator()(const TKeyRef& R) const {
      const TValueKey& k = R.Key;
      std::uint64_t h = 0x9E3779B97F4A7C15u;
      auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 0xFF51AFD7ED558CCDu; h ^= h >> 29; };
      mix(static_cast<std::uint64_t>(k.Kind) | std::uint64_t{k.Op} << 8 | std::uint64_t{k.Type} << 16 |
          std::uint64_t{k.Minus} << 24 | std::uint64_t{static_cast<std::uint32_t>(k.Code)} << 32);
      if (k.Kind == static_cast<std::uint8_t>(TNodeKind::Call)) {
        for (std::int64_t i = k.A; i < k.A + k.B; ++i)
          mix(static_cast<std::uint32_t>((*R.Args)[static_cast<std::size_t>(i)]));
      } else {
        mix(static_cast<std::uint64_t>(k.A));
        mix(static_cast<std::uint64_t>(k.B));
      }
      return static_cast<std::size_t>(h);
    }
  };
  const std::vector<std::int32_t>& FArgs;
  std::unordered_map<TKeyRef, std::int32_t, THash> FTable;
};

}  // namespace

void TBuilder::FindCommonValues() {
  FCommons.clear();
  FCommonLevels.clear();
  FCommonUses.clear();
  if (FTrees.empty() || !FTrees[0]) return;
  // Nothing to find below two costly pure calls: most texts stop here.
  std::int32_t costly = 0;
  for (TTreeNode* root : FTrees)
    VisitPostOrder(*FWalks, root, [&](TTreeNode* n) {
      if (n->Kind != TNodeKind::Call) return;
      const TFunction* fn = FindFunc(n->Code);
      costly += fn && IsPure(*fn) && IsCostly(*fn);
    });
  if (costly < 2) return;

  // Numbering, argument trees first: they have higher indices than the
  // trees whose calls take them.
  std::vector<std::int32_t> callArgs;  // argument numbers of the calls, by key range
  TValueNumbers numbers(callArgs);
  auto number = [&](TTreeNode* n) {
    TValueKey key;
    key.Kind = static_cast<std::uint8_t>(n->Kind);
    key.Minus = n->Minus;
    TValueInfo made;
    made.Size = 1;
    switch (n->Kind) {
      case TNodeKind::Operator: {
        if (!n->Left || !n->Right || !n->Left->ValueId || !n->Right->ValueId) {
          n->ValueId = numbers.Fresh();
          return;
        }
        const TValueInfo& l = numbers.Info[n->Left->ValueId];
        const TValueInfo& r = numbers.Info[n->Right->ValueId];
        key.Op = static_cast<std::uint8_t>(n->Op);
        key.A = n->Left->ValueId;
        key.B = n->Right->ValueId;
        made.Size += l.Size + r.Size;
        made.Worth = l.Worth || r.Worth;
        break;
      }
      case TNodeKind::Number:
        key.Type = n->Type;
        key.A = IsFloatType(n->Type) ? n->Offset : n->Value;
        break;
      case TNodeKind::Variable:
        key.Code = n->Code;
        break;
      case TNodeKind::Call: {
        const TFunction* fn = FindFunc(n->Code);
        // A conditional computes what its condition picks: never a value of
        // its own.
        if (!fn || !IsPure(*fn) || IsConditionalCode(n->Code)) {
          n->ValueId = numbers.Fresh();
          return;
        }
        key.Code = n->Code;
        key.A = static_cast<std::int64_t>(callArgs.size());
        for (const TCallArg& arg : ArgumentsOf(n)) {
          if (arg.Kind == TArgKind::Reference) {
            callArgs.push_back(0);  // no number is 0: the variable's code follows
            callArgs.push_back(arg.Index);
            continue;
          }
          const TTreeNode* of = nullptr;
          if (arg.Kind == TArgKind::Tree && static_cast<std::size_t>(arg.Index) < FTrees.size())
            of = FTrees[arg.Index];
          if (arg.Kind == TArgKind::Integer && static_cast<std::size_t>(arg.Index) < FParNodes.size())
            of = FParNodes[arg.Index];
          if (!of || !of->ValueId) {
            callArgs.resize(static_cast<std::size_t>(key.A));
            n->ValueId = numbers.Fresh();
            return;
          }
          callArgs.push_back(of->ValueId);
          made.Size += numbers.Info[of->ValueId].Size;
          made.Worth = made.Worth || numbers.Info[of->ValueId].Worth;
        }
        key.B = static_cast<std::int64_t>(callArgs.size()) - key.A;
        made.Worth = made.Worth || IsCostly(*fn);
        break;
      }
      case TNodeKind::Common:
        n->ValueId = numbers.Fresh();
        return;
    }
    bool isNew = false;
    n->ValueId = numbers.Find(key, isNew);
    if (!isNew) {
      if (n->Kind == TNodeKind::Call) callArgs.resize(static_cast<std::size_t>(key.A));
      return;
    }
    numbers.Info[n->ValueId] = made;
  };
  // Integer arguments: their leaves only (an integer expression stays a
  // value of its own).
  for (TTreeNode* par : FParNodes) {
    if (!par) continue;
    if (par->Kind == TNodeKind::Number || par->Kind == TNodeKind::Variable)
      number(par);
    else
      par->ValueId = numbers.Fresh();
  }
  for (std::size_t i = FTrees.size(); i-- > 0;)
    if (FTrees[i]) VisitPostOrder(*FWalks, FTrees[i], number);

  // The places that compute each value, from the expression down through
  // call arguments; a repeat is not entered, so what lies inside it counts
  // only in the computation that is kept.
  auto walk = [&](auto&& Visit) {
    TWalkStack pending(*FWalks);
    pending.push_back(FTrees[0]);
    while (!pending.empty()) {
      TTreeNode* n = pending.Pop();
      TTreeNode* into = Visit(n);
      if (!into) continue;
      if (into->Kind == TNodeKind::Operator) {
        if (into->Right) pending.push_back(into->Right);
        if (into->Left) pending.push_back(into->Left);
      } else if (into->Kind == TNodeKind::Call) {
        // A branch of a conditional may not run: nothing in it is computed
        // ahead.
        const TArgumentList all = ArgumentsOf(into);
        const TArgumentList args =
            IsConditionalCode(into->Code) && !all.empty() ? TArgumentList(all.data(), 1) : all;
        for (std::size_t k = args.size(); k-- > 0;)
          if (args[k].Kind == TArgKind::Tree && static_cast<std::size_t>(args[k].Index) < FTrees.size() &&
              FTrees[args[k].Index])
            pending.push_back(FTrees[args[k].Index]);
      }
    }
  };
  walk([&](TTreeNode* n) -> TTreeNode* {
    TValueInfo& info = numbers.Info[n->ValueId];
    if (!info.Worth) return n;
    return info.Uses++ == 0 ? n : nullptr;
  });

  // Values that contain others come first.
  std::vector<std::int32_t> kept;
  for (std::size_t v = 0; v < numbers.Info.size(); ++v)
    if (numbers.Info[v].Worth && numbers.Info[v].Uses >= 2) kept.push_back(static_cast<std::int32_t>(v));
  if (kept.empty()) return;
  std::stable_sort(kept.begin(), kept.end(), [&](std::int32_t a, std::int32_t b) {
    return numbers.Info[a].Size > numbers.Info[b].Size;
  });
  for (std::size_t c = 0; c < kept.size(); ++c) {
    numbers.Info[kept[c]].Common = static_cast<std::int32_t>(c);
    FCommonUses.push_back(numbers.Info[kept[c]].Uses);
  }
  FCommons.assign(kept.size(), nullptr);

  // The first place keeps the computation (moved to a node of its own);
  // every place becomes a load.
  walk([&](TTreeNode* n) -> TTreeNode* {
    const std::int32_t c = numbers.Info[n->ValueId].Common;
    if (c < 0 || numbers.Info[n->ValueId].Uses < 2) return n;
    TTreeNode* computation = nullptr;
    if (!FCommons[c]) {
      BuildNode(computation);
      *computation = *n;
      computation->InArena = true;
      FCommons[c] = computation;
    }
    const bool inArena = n->InArena;
    *n = TTreeNode{};
    n->InArena = inArena;
    n->Kind = TNodeKind::Common;
    n->Code = c;
    n->Type = vtExtended;
    return computation;
  });
}

void TBuilder::LabelCommonValues() {
  FCommonLevels.assign(FCommons.size(), 0);
  for (std::size_t c = 0; c < FCommons.size(); ++c) {
    // Above every level used so far: the values inside this one are
    // labelled later, on higher levels, and so run before it.
    FLevel = FTopLevel + 1;
    FTopLevel = FLevel;
    FCommonLevels[c] = FLevel;
    FuncStackUsage(FCommons[c], 8);
  }
  FLevel = 0;
}

namespace {

// The shortest text that reads back as the constant.
template <class T>
std::string ShortestText(T Value, int MaxDigits, T (*Read)(const char*, char**)) {
  char buffer[64];
  for (int digits = 1; digits <= MaxDigits; ++digits) {
    std::snprintf(buffer, sizeof buffer, "%.*Lg", digits, static_cast<long double>(Value));
    if (Read(buffer, nullptr) == Value) break;
  }
  return buffer;
}

}  // namespace

std::string TBuilder::ValueText(const TTreeNode* Root) const {
  std::string out;
  struct TTask {
    const TTreeNode* Node;
    const char* Literal;
    bool Bare = false;  // a whole value or argument: no brackets of its own
  };
  std::vector<TTask> tasks{{Root, nullptr, true}};
  auto tree = [this](const TCallArg& Arg) -> const TTreeNode* {
    const auto index = static_cast<std::size_t>(Arg.Index);
    if (Arg.Kind == TArgKind::Tree) return index < FTrees.size() ? FTrees[index] : nullptr;
    return index < FParNodes.size() ? FParNodes[index] : nullptr;
  };
  static constexpr const char* Operators[] = {"+", "-", "*", "/"};
  while (!tasks.empty()) {
    const TTask task = tasks.back();
    tasks.pop_back();
    if (task.Literal) {
      out += task.Literal;
      continue;
    }
    const TTreeNode* n = task.Node;
    if (!n) {
      out += '?';
      continue;
    }
    if (n->Minus) out += '-';
    switch (n->Kind) {
      case TNodeKind::Operator: {
        const bool bare = task.Bare && !n->Minus;
        if (!bare) out += '(';
        if (!bare) tasks.push_back({nullptr, ")"});
        tasks.push_back({n->Right, nullptr});
        const char op = static_cast<char>(n->Op);
        tasks.push_back({nullptr, Operators[op == '+' ? 0 : op == '-' ? 1 : op == '*' ? 2 : 3]});
        tasks.push_back({n->Left, nullptr});
        break;
      }
      case TNodeKind::Number: {
        if (!IsFloatType(n->Type)) {
          out += std::to_string(n->Value);
          break;
        }
        const std::uint8_t* at = PoolBase() + n->Offset;
        if (n->Type == vtSingle) {
          float v;
          std::memcpy(&v, at, sizeof v);
          out += ShortestText<float>(v, 9, std::strtof);
        } else if (n->Type == vtDouble) {
          double v;
          std::memcpy(&v, at, sizeof v);
          out += ShortestText<double>(v, 17, std::strtod);
        } else {
          long double v = 0;
          std::memcpy(&v, at, 10);
          out += ShortestText<long double>(v, 21, std::strtold);
        }
        break;
      }
      case TNodeKind::Variable: {
        const TVariable* var = FindVar(n->Code);
        out += var ? var->Name : "?";
        break;
      }
      case TNodeKind::Call: {
        const TFunction* fn = FindFunc(n->Code);
        out += fn ? fn->Name : "?";
        out += '(';
        tasks.push_back({nullptr, ")"});
        const TArgumentList args = ArgumentsOf(n);
        for (std::size_t k = args.size(); k-- > 0;) {
          if (args[k].Kind == TArgKind::Reference) {
            const TVariable* var = FindVar(args[k].Index);
            tasks.push_back({nullptr, var ? var->Name.c_str() : "?"});
          } else {
            tasks.push_back({tree(args[k]), nullptr, true});
          }
          if (k > 0) tasks.push_back({nullptr, ", "});
        }
        break;
      }
      case TNodeKind::Common:
        out += "#" + std::to_string(n->Code + 1);
        break;
    }
  }
  return out;
}

}  // namespace fennic
