// Compiled expressions against the reference evaluator: random texts over
// host variables of every type, under every combination of the settings.
//
// Each case is determined by the run's seed and its index, so one case can be
// run again by itself. Environment (all optional):
//   FENNIC_DIFF_SEED   seed of the run (default 20240607)
//   FENNIC_DIFF_COUNT  number of random expressions (default 10000; 2000 in
//                      sanitizer builds, whose quarantine would exhaust the
//                      address space of an emulated 32-bit process)
//   FENNIC_DIFF_ONLY   run only the case with this index
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "integration/settings_matrix.h"
#include "support/expr_gen.h"
#include "support/reference_eval.h"

namespace fennic::testing {
namespace {

struct TRun {
  std::uint32_t Seed = 20240607;
#if defined(__SANITIZE_ADDRESS__)
  long long Count = 2000;
#else
  long long Count = 10000;
#endif
  std::optional<long long> Only;
  TRun() {
    if (auto s = EnvNumber("FENNIC_DIFF_SEED")) Seed = static_cast<std::uint32_t>(*s);
    if (auto c = EnvNumber("FENNIC_DIFF_COUNT")) Count = *c;
    Only = EnvNumber("FENNIC_DIFF_ONLY");
  }
  std::string Replay(long long index) const {
    return "replay: FENNIC_DIFF_SEED=" + std::to_string(Seed) +
           " FENNIC_DIFF_ONLY=" + std::to_string(index);
  }
};

std::uint32_t CaseSeed(std::uint32_t seed, long long index) {
  std::seed_seq seq{seed, static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32)};
  std::uint32_t out;
  seq.generate(&out, &out + 1);
  return out;
}

// The text of case `index`: mostly random shapes of every depth; some
// balanced trees of leaves that have no memory form (deep enough that the
// eight registers do not suffice, so the code spills and reloads); some
// balanced trees of any leaves.
std::string CaseText(ExpressionGenerator& gen, long long index) {
  std::mt19937& rng = gen.Rng();
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  if (index % 97 == 13) return gen.Balanced(pick(9, 10), true);
  if (index % 97 == 61) return gen.Balanced(pick(4, 9), false);
  GenOptions o;
  o.MaxDepth = pick(1, 9);
  o.LeafChance = pick(0, 4) * 0.1;
  o.ConstantChance = pick(0, 5) * 0.1;
  o.BracketChance = pick(0, 3) * 0.15;
  o.MinusChance = pick(0, 4) * 0.1;
  o.Divisions = pick(0, 3) != 0;
  return gen.Next(o);
}

// One compiled value, and whether the compilation was accepted.
struct TOutcome {
  TError Error = eNone;
  long double Value = 0;
  bool Ok() const { return Error == eNone || Error == eDomain; }
};

TOutcome CompileAndRun(TFennic& f, const TSettings& s, const std::string& text) {
  s.ApplyTo(f);
  f.SetExprString(text);
  TOutcome out;
  out.Error = f.CompError();
  if (out.Ok()) out.Value = f.Evaluate();
  return out;
}

std::string Show(long double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.21Lg", v);
  return buf;
}

class Differential : public ::testing::Test {
 protected:
  void SetUp() override {
    pool.RegisterAll(ref);
    pool.RegisterAll(a);
    pool.RegisterAll(b);
  }
  // Compiles `text` under two settings, runs both and compares each with the
  // reference and with each other. Returns a description of the first
  // disagreement, or "" when all agree.
  std::string Check(const std::string& text, const TSettings& sa, const TSettings& sb) {
    const std::optional<RefValue> expected = ref.Evaluate(text);
    if (!expected) return "the reference rejects the text";
    // The first compilation is kept while text and settings stay the same.
    const std::string key = text + '\n' + sa.Describe();
    if (key != aKey) {
      aOutcome = CompileAndRun(a, sa, text);
      aKey = key;
    }
    const TOutcome ra = aOutcome;
    if (!ra.Ok()) return "error code " + std::to_string(ra.Error) + " under " + sa.Describe();
    std::string why;
    if (!ReferenceEvaluator::Agrees(ra.Value, *expected, &why)) return why + " under " + sa.Describe();
    const TOutcome rb = CompileAndRun(b, sb, text);
    if (!rb.Ok()) return "error code " + std::to_string(rb.Error) + " under " + sb.Describe();
    if (!ReferenceEvaluator::Agrees(rb.Value, *expected, &why)) return why + " under " + sb.Describe();
    // A change of settings moves the value by no more than the tolerance.
    RefValue around = *expected;
    around.Value = ra.Value;
    if (!ReferenceEvaluator::Agrees(rb.Value, around, &why))
      return "settings disagree: " + Show(ra.Value) + " under " + sa.Describe() + " but " +
             Show(rb.Value) + " under " + sb.Describe() + " (" + why + ")";
    return "";
  }

  VariablePool pool;
  ReferenceEvaluator ref;
  TFennic a, b;
  std::string aKey;
  TOutcome aOutcome;
};

TEST_F(Differential, RandomExpressionsAgreeWithTheReferenceUnderEverySetting) {
  const TRun run;
  const std::vector<TSettings> all = AllSettings();
  const auto n = static_cast<long long>(all.size());
  int failures = 0;
  long long checked = 0;
  for (long long i = run.Only.value_or(0); i < (run.Only ? *run.Only + 1 : run.Count); ++i) {
    ExpressionGenerator gen(pool, CaseSeed(run.Seed, i));
    pool.Randomize(gen.Rng(), i % 2 == 1);
    const std::string text = CaseText(gen, i);
    // Every combination in turn, each against a partner that differs in
    // several settings at once.
    const TSettings& sa = all[i % n];
    const TSettings& sb = all[(i * 173 + 101) % n];
    const std::string why = Check(text, sa, sb);
    ++checked;
    if (why.empty()) continue;
    ADD_FAILURE() << "case " << i << " (" << run.Replay(i) << "): " << text << "\n  " << why;
    if (++failures == 10) break;
  }
  std::printf("checked %lld expressions, seed %u\n", checked, run.Seed);
}

// The extended grammar against the reference's reading of it.
TEST_F(Differential, ExtendedGrammarAgreesWithTheReference) {
  const TRun run;
  const std::vector<TSettings> all = AllSettings();
  const auto n = static_cast<long long>(all.size());
  ref.SetExtended(true);
  a.SetGrammar(grExtended);
  b.SetGrammar(grExtended);
  int failures = 0;
  for (long long i = run.Only.value_or(0); i < (run.Only ? *run.Only + 1 : run.Count / 4); ++i) {
    ExpressionGenerator gen(pool, CaseSeed(run.Seed + 2, i));
    pool.Randomize(gen.Rng(), i % 2 == 1);
    auto pick = [&gen](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen.Rng()); };
    GenOptions o;
    o.Extended = true;
    o.MaxDepth = pick(1, 7);
    o.LeafChance = pick(0, 4) * 0.1;
    o.ConstantChance = pick(0, 5) * 0.1;
    o.MinusChance = pick(0, 4) * 0.1;
    const std::string text = gen.Next(o);
    const std::string why = Check(text, all[i % n], all[(i * 173 + 101) % n]);
    if (why.empty()) continue;
    ADD_FAILURE() << "case " << i << " (" << run.Replay(i) << "): " << text << "\n  " << why;
    if (++failures == 10) break;
  }
}

// A few texts under all 432 combinations: the spread of the values stays
// within the tolerance.
TEST_F(Differential, EveryCombinationOfSettingsGivesTheSameValue) {
  const TRun run;
  const std::vector<TSettings> all = AllSettings();
  std::mt19937 rng(run.Seed);
  pool.Randomize(rng, true);
  ExpressionGenerator gen(pool, run.Seed);
  GenOptions deep;
  deep.MaxDepth = 7;
  deep.LeafChance = 0.1;
  const std::string texts[] = {
      gen.Next(deep),
      gen.Next(deep),
      "-(i8a+u8a)*(i16a-u16a)/(i32a+u32a)-i64a*f32a+f64a/f80a-2.5*0.1",
      "u32a-u32b*(u8a-(i64a-(f80a-(u16b-(i8b*(f64b+(i32b/3)))))))",
      gen.Balanced(8, true),  // nine registers: spills and reloads
  };
  int failures = 0;
  for (const std::string& text : texts) {
    for (std::size_t k = 0; k < all.size() && failures < 10; ++k) {
      const std::string why = Check(text, all[0], all[k]);
      if (why.empty()) continue;
      ADD_FAILURE() << text << "\n  " << why;
      ++failures;
    }
  }
}

// A processor profile changes the code, never the value: under the default
// control word every profile gives the bits of acDefault, for random texts
// under random settings (their extended constants split into double pairs
// under the modern profiles).
TEST_F(Differential, ProfilesChangeTheCodeNeverTheValue) {
  const TRun run;
  const std::vector<TSettings> all = AllSettings();
  const auto n = static_cast<long long>(all.size());
  int failures = 0, changed = 0;
  for (long long i = 0; i < run.Count / 4 && failures < 10; ++i) {
    ExpressionGenerator gen(pool, CaseSeed(run.Seed + 1, i));
    pool.Randomize(gen.Rng(), i % 2 == 1);
    const std::string text = CaseText(gen, i);
    const TSettings& s = all[(i * 37) % n];
    a.SetAutoConfigure(acDefault);
    const TOutcome base = CompileAndRun(a, s, text);
    if (!base.Ok()) continue;
    const std::vector<std::uint8_t> baseCode(a.CodeBytes(), a.CodeBytes() + a.CodeSize());
    for (const TAutoConfigure profile : {acAuto, acP5, acP6, acPIV, acAMD}) {
      b.SetAutoConfigure(profile);
      const TOutcome other = CompileAndRun(b, s, text);
      if (other.Error != base.Error || std::memcmp(&other.Value, &base.Value, 10) != 0) {
        ADD_FAILURE() << "case " << i << ": " << text << "\n  profile " << int(profile) << " gives " << Show(other.Value)
                      << ", acDefault " << Show(base.Value) << " under " << s.Describe();
        ++failures;
      }
      changed += std::vector<std::uint8_t>(b.CodeBytes(), b.CodeBytes() + b.CodeSize()) != baseCode;
    }
  }
  b.SetAutoConfigure(acDefault);
  EXPECT_GT(changed, 0) << "no profile changed any routine";
}

}  // namespace
}  // namespace fennic::testing
