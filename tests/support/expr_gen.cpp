#include "expr_gen.h"

#include <cstring>
#include <limits>

#include "fennic/core/ctrlblck.h"
#include "reference_eval.h"

namespace fennic::testing {

namespace {

const char* const kTypeTags[10] = {"i8", "u8", "i16", "u16", "i32", "u32", "i64", "f32", "f64", "f80"};

// Literals of every table width: exact in single, in double, or only in extended.
const char* const kConstants[] = {"3",    "0.5",  "1e10",   "7",      "2",     "1e20",  "0.1",
                                  "1.5e-3", "2.5E+2", "0", "123456789012345678", "0.3333",
                                  "4096", "1.25", "65536.5", "1e-5", "9.75e3", "0.2",
                                  "4503599627370497", "1e15", "16777217", "2.75e-7"};

bool Chance(std::mt19937& rng, double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

template <class T>
void Put(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace

VariablePool::VariablePool() {
  std::memset(FStorage, 0, sizeof FStorage);
  std::size_t offset = 0;
  for (int t = 0; t < 10; ++t) {
    for (int k = 0; k < 3; ++k) {
      std::size_t a = static_cast<std::size_t>(VarAlignments[t]);
      offset = (offset + a - 1) / a * a;
      // The second double and single sit 4 bytes off their natural boundary.
      if (k == 1 && (t == vtDouble || t == vtExtended)) offset += 4;
      if (k == 1 && t == vtSingle) offset += 2;
      FEntries.push_back({std::string(kTypeTags[t]) + static_cast<char>('a' + k),
                          static_cast<TVarType>(t), FStorage + offset});
      offset += static_cast<std::size_t>(VarSizes[t]);
    }
  }
  std::mt19937 rng(1);
  Randomize(rng, false);
}

void VariablePool::RegisterAll(TCtrlBlck& target) const {
  for (const Entry& e : FEntries) target.RegisterVarExt(e.Name, e.Type, e.Address);
}

void VariablePool::RegisterAll(ReferenceEvaluator& target) const {
  for (const Entry& e : FEntries) target.AddVariable(e.Name, e.Type, e.Address);
}

void VariablePool::Randomize(std::mt19937& rng, bool extremes) {
  auto small = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  for (const Entry& e : FEntries) {
    bool edge = extremes && Chance(rng, 0.3);
    switch (e.Type) {
      case vtInt8: Put<std::int8_t>(e.Address, edge ? (Chance(rng, .5) ? -128 : 127) : small(-20, 20)); break;
      case vtUInt8: Put<std::uint8_t>(e.Address, edge ? 255 : small(0, 40)); break;
      case vtInt16: Put<std::int16_t>(e.Address, edge ? (Chance(rng, .5) ? -32768 : 32767) : small(-300, 300)); break;
      case vtUInt16: Put<std::uint16_t>(e.Address, edge ? 65535 : small(0, 500)); break;
      case vtInt32:
        Put<std::int32_t>(e.Address, edge ? (Chance(rng, .5) ? std::numeric_limits<std::int32_t>::min()
                                                             : std::numeric_limits<std::int32_t>::max())
                                          : small(-5000, 5000));
        break;
      case vtUInt32:
        Put<std::uint32_t>(e.Address, edge ? (Chance(rng, .5) ? 4294967295u : 2147483653u)
                                           : static_cast<std::uint32_t>(small(0, 100000)));
        break;
      case vtInt64:
        Put<std::int64_t>(e.Address, edge ? (Chance(rng, .5) ? (std::int64_t{1} << 53) + 1
                                                             : std::numeric_limits<std::int64_t>::min())
                                          : small(-100000, 100000));
        break;
      case vtSingle: Put<float>(e.Address, edge ? (Chance(rng, .5) ? 1e-30f : -3e30f) : static_cast<float>(real(-50, 50))); break;
      case vtDouble: Put<double>(e.Address, edge ? (Chance(rng, .5) ? 1e-300 : -1e200) : real(-1000, 1000)); break;
      case vtExtended: {
        long double v = edge ? (Chance(rng, .5) ? 1e-4000L : -1e3000L) : static_cast<long double>(real(-10, 10)) / 3;
        std::memcpy(e.Address, &v, 10);
        break;
      }
    }
    if (Chance(rng, 0.05)) std::memset(e.Address, 0, static_cast<std::size_t>(VarValueBytes[e.Type]));
  }
}

std::string ExpressionGenerator::Leaf(const GenOptions& o) {
  if (Chance(FRng, o.ConstantChance)) {
    std::size_t n = sizeof kConstants / sizeof kConstants[0];
    return kConstants[std::uniform_int_distribution<std::size_t>(0, n - 1)(FRng)];
  }
  const auto& entries = FPool.Entries();
  return entries[std::uniform_int_distribution<std::size_t>(0, entries.size() - 1)(FRng)].Name;
}

// `parent` is the operator above (0 at the top); brackets are added where the
// grammar needs them and sometimes where it does not.
std::string ExpressionGenerator::Render(const GenOptions& o, int depth, char parent, bool right) {
  std::string text;
  char op = 0;
  if (o.Extended && depth > 0 && Chance(FRng, 0.2)) {
    // Bracketed, so that it stands as an operand anywhere.
    const int kind = std::uniform_int_distribution<int>(0, 8)(FRng);
    if (kind < 6)
      text = "(" + Comparison(o, depth) + ")";
    else if (kind == 6)
      text = "((" + Render(o, depth - 1, 0, false) + ")^" + std::to_string(std::uniform_int_distribution<int>(-3, 4)(FRng)) + ")";
    else if (kind == 7)
      text = "(!(" + Render(o, depth - 1, 0, false) + "))";
    else
      text = "(" + Logic(o, depth - 1, 0) + ")";
  } else if (depth <= 0 || Chance(FRng, o.LeafChance)) {
    text = Leaf(o);
  } else {
    const char* ops = o.Divisions ? "+-*/" : "+-*";
    op = ops[std::uniform_int_distribution<int>(0, o.Divisions ? 3 : 2)(FRng)];
    text = Render(o, depth - 1, op, false) + op + Render(o, depth - 1, op, true);
  }
  // The reference parses the same text, so brackets only have to keep the
  // text grammatical (no sign right after "*" or "/") and give it some shape.
  bool additive = op == '+' || op == '-';
  bool signedTerm = false;
  if (Chance(FRng, o.MinusChance)) {
    text = additive ? "-(" + text + ")" : "-" + text;
    signedTerm = true;
  }
  bool underProduct = parent == '*' || parent == '/';
  // The extended grammar takes a sign right after "*" and "/".
  bool needs = (((signedTerm && !o.Extended) || additive) && underProduct) ||
               (right && op && (parent == '-' || parent == '/'));
  if (needs || (parent && Chance(FRng, o.BracketChance))) text = "(" + text + ")";
  return text;
}

std::string ExpressionGenerator::Comparison(const GenOptions& o, int depth) {
  static const char* const comparisons[] = {"<", "<=", ">", ">=", "==", "!="};
  const char* op = comparisons[std::uniform_int_distribution<int>(0, 5)(FRng)];
  return Render(o, depth - 1, '<', false) + op + Render(o, depth - 1, '<', true);
}

// `loosest` is the loosest operator the text may show without brackets:
// 0 "?:", 1 "||", 2 "&&", 3 none (an operand of "&&").
std::string ExpressionGenerator::Logic(const GenOptions& o, int depth, int loosest) {
  const int kind = depth <= 0 || Chance(FRng, o.LeafChance + 0.3) ? 3 : std::uniform_int_distribution<int>(0, 2)(FRng);
  std::string text;
  switch (kind) {
    case 0:  // right-associative: a conditional needs brackets only as the condition;
             // three operands take two levels, so that texts keep their size
      text = Logic(o, depth - 2, 1) + "?" + Logic(o, depth - 2, 0) + ":" + Logic(o, depth - 2, 0);
      break;
    case 1:  // left-associative
      text = Logic(o, depth - 1, 1) + "||" + Logic(o, depth - 1, 2);
      break;
    case 2:
      text = Logic(o, depth - 1, 2) + "&&" + Logic(o, depth - 1, 3);
      break;
    default:  // a comparison or a sum: tighter than all three
      return Chance(FRng, 0.5) ? Comparison(o, depth) : Render(o, depth - 1, 0, false);
  }
  if (kind < loosest || Chance(FRng, o.BracketChance)) text = "(" + text + ")";
  return text;
}

std::string ExpressionGenerator::Next(const GenOptions& options) {
  // Under the extended grammar some texts are a conditional or a logical
  // operator as a whole, unbracketed.
  std::string text = options.Extended && Chance(FRng, 0.15) ? Logic(options, options.MaxDepth, 0)
                                                             : Render(options, options.MaxDepth, 0, false);
  if (Chance(FRng, options.MinusChance) && text[0] != '-') text = "-" + text;
  return text;
}

std::string ExpressionGenerator::Balanced(int depth, bool extendedOnly) {
  if (depth == 0) {
    if (!extendedOnly) return Leaf(GenOptions{});
    static const char* ext[] = {"f80a", "f80b", "f80c", "i64a", "u32a"};
    return ext[std::uniform_int_distribution<int>(0, 4)(FRng)];
  }
  const char ops[] = "+-*+";
  char op = ops[std::uniform_int_distribution<int>(0, 3)(FRng)];
  return "(" + Balanced(depth - 1, extendedOnly) + op + Balanced(depth - 1, extendedOnly) + ")";
}

}  // namespace fennic::testing
