// An independent evaluator of expression text for differential tests: its own
// parser of the expression grammar, evaluating in long double from left to
// right, with a running bound of the rounding error so that results folded or
// reassociated by the compiler can be compared fairly.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fennic/core/types.h"

namespace fennic::testing {

// A value with a bound on its absolute rounding error.
struct RefValue {
  long double Value = 0;
  long double Error = 0;    // bound of |computed - exact|
  bool Comparable = true;   // false when the bound is meaningless (e.g. divisor lost in noise)
};

class ReferenceEvaluator {
 public:
  using Function = std::function<long double(const std::vector<long double>&)>;

  // A host variable, read by its type at every evaluation.
  void AddVariable(const std::string& name, TVarType type, const void* address);
  void AddFunction(const std::string& name, Function f);

  // The value of the text, or nullopt when the text breaks the grammar.
  std::optional<RefValue> Evaluate(const std::string& text) const;
  // The extended grammar: "?:", "||" and "&&" (lazily: an untaken branch or a
  // short-circuited operand calls no function and adds no error), comparisons,
  // "!", "^" with a whole exponent, a sign after "*", "/" and "^".
  void SetExtended(bool on) { FExtended = on; }

  // True when `actual` agrees with `expected` within the error bound (times a
  // safety factor covering the compiler's own rounding and reassociation).
  static bool Agrees(long double actual, const RefValue& expected, std::string* why = nullptr);

 private:
  struct Var {
    TVarType Type;
    const void* Address;
  };
  std::map<std::string, Var> FVars;       // lower-case names
  std::map<std::string, Function> FFuncs;
  bool FExtended = false;
  friend class RefParser;
};

// Reads a host variable of any type as a long double.
long double ReadVariable(TVarType type, const void* address);

}  // namespace fennic::testing
