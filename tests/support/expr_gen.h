// Seeded random expressions over host variables of every type, for
// differential tests against the reference evaluator.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fennic/core/types.h"

namespace fennic {
class TCtrlBlck;
}

namespace fennic::testing {

// A whole number from the environment variable Name (decimal, or 0x hex),
// for reruns of seeded tests with another seed, count or single case.
inline std::optional<long long> EnvNumber(const char* Name) {
  const char* text = std::getenv(Name);
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 0);
  if (*end) return std::nullopt;
  return v;
}

class ReferenceEvaluator;

// Host storage for variables of all ten types (several of each), including a
// double and a single at addresses that are not naturally aligned.
class VariablePool {
 public:
  VariablePool();
  struct Entry {
    std::string Name;
    TVarType Type;
    void* Address;
  };
  const std::vector<Entry>& Entries() const { return FEntries; }
  void RegisterAll(TCtrlBlck& target) const;
  void RegisterAll(ReferenceEvaluator& target) const;
  // New values: zeros, negatives, unsigned extremes, large and tiny magnitudes.
  void Randomize(std::mt19937& rng, bool extremes);

 private:
  alignas(16) std::uint8_t FStorage[1024];
  std::vector<Entry> FEntries;
};

struct GenOptions {
  int MaxDepth = 6;
  double LeafChance = 0.3;      // chance that an inner position becomes a leaf early
  double ConstantChance = 0.25; // chance that a leaf is a number
  double BracketChance = 0.2;   // extra brackets where none are needed
  double MinusChance = 0.15;    // unary minus on a term
  bool Divisions = true;
  // The extended grammar: "?:", "||" and "&&", comparisons, "!", powers with
  // whole exponents and signs right after "*" and "/".
  bool Extended = false;
};

class ExpressionGenerator {
 public:
  ExpressionGenerator(const VariablePool& pool, std::uint32_t seed) : FPool(pool), FRng(seed) {}
  std::string Next(const GenOptions& options);
  // A perfectly balanced tree of 2^depth leaves: needs depth + 1 x87 registers.
  std::string Balanced(int depth, bool extendedOnly);
  std::mt19937& Rng() { return FRng; }

 private:
  std::string Render(const GenOptions& o, int depth, char parent, bool rightOfParent);
  std::string Leaf(const GenOptions& o);
  std::string Comparison(const GenOptions& o, int depth);
  std::string Logic(const GenOptions& o, int depth, int loosest);
  const VariablePool& FPool;
  std::mt19937 FRng;
};

}  // namespace fennic::testing
