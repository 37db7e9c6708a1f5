// The whole pipeline on one input: two bytes of settings, then the text,
// compiled against variables of every type, host routines of every
// convention, inline code and (by a settings bit) the function pack. Where
// the text compiles it is run. Any broken rule aborts with a description:
//   - the x87 state after compiling and after running is one a processor
//     can go on from;
//   - a second compilation gives the same bytes, but for the absolute
//     addresses of the constant pool, the double pairs and the code;
//   - the value agrees with the text's value under the default settings,
//     within the reference evaluator's bound of the rounding error.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fennic/fennic.h"
#include "fennic/functions/functions.h"
#include "support/reference_eval.h"
#include "support/x87_state.h"

using namespace fennic;
using fennic::testing::CallFromX87State;
using fennic::testing::ReferenceEvaluator;
using fennic::testing::RefValue;
using fennic::testing::X87StateFaults;

namespace {

constexpr std::uint16_t HostControlWord = 0x037F;

// Host routines: deterministic, never faulting (the arithmetic on integers
// wraps through unsigned types; floating values are only added and scaled).
FENNIC_CDECL double HostCdecl(double x, std::int32_t n) { return x * 0.5 + n; }
FENNIC_STDCALL long double HostStdcall(float a, std::uint16_t b, long double c) { return a - b + c; }
// Pascal: parameters "vi64vf64", declared in reverse.
FENNIC_PASCAL float HostPascal(double x, std::int64_t a) { return static_cast<float>(x - 0.25 * static_cast<double>(a)); }
// Register: a, b and c travel in EAX, EDX and ECX, x on the stack.
FENNIC_REGISTER std::int32_t HostRegister(std::int32_t a, std::int16_t b, std::uint8_t c, double x) {
  const std::uint32_t r = static_cast<std::uint32_t>(a) * 3u + static_cast<std::uint32_t>(b) + c;
  return static_cast<std::int32_t>(x < 0 ? ~r : r);
}
FENNIC_CDECL std::int64_t HostWide(std::uint32_t a, std::int64_t b) {
  return static_cast<std::int64_t>(a + static_cast<std::uint64_t>(b));
}
FENNIC_STDCALL std::uint16_t HostNarrow(std::int8_t a) { return static_cast<std::uint16_t>(a * 7); }
FENNIC_CDECL double HostByReference(const double* v) { return *v * 2; }
FENNIC_CDECL long double HostNone() { return 0.125L; }

struct THostEntry {
  const char* Name;
  const char* Params;
  TCallType Call;
  TFuncResult Result;
  void* Address;
  TAByte Code;
  std::int32_t StackNeeds;
};

const std::vector<THostEntry>& HostEntries() {
  static const std::vector<THostEntry> entries = {
      {"hc", "vf64vi32", ctCdecl, frDouble, reinterpret_cast<void*>(&HostCdecl), {}, 8},
      {"hs", "vf32vu16vf80", ctStdcall, frExtended, reinterpret_cast<void*>(&HostStdcall), {}, 8},
      {"hp", "vi64vf64", ctPascal, frSingle, reinterpret_cast<void*>(&HostPascal), {}, 8},
      {"hr", "vi32vi16vu08vf64", ctRegister, frInt32, reinterpret_cast<void*>(&HostRegister), {}, 8},
      {"hw", "vu32vi64", ctCdecl, frInt64, reinterpret_cast<void*>(&HostWide), {}, 8},
      {"hn", "vi08", ctStdcall, frUInt16, reinterpret_cast<void*>(&HostNarrow), {}, 8},
      {"hv", "rf64", ctCdecl, frDouble, reinterpret_cast<void*>(&HostByReference), {}, 8},
      {"hz", "", ctCdecl, frExtended, reinterpret_cast<void*>(&HostNone), {}, 8},
      // Inline code: FADD ST0, ST0; and v * 2^k with k in EAX (PUSH EAX;
      // FILD dword [ESP]; POP EAX; FXCH; FSCALE; FSTP ST1), the same bytes in
      // both targets.
      {"twice", "vf80", ctBuilt_in, frExtended, nullptr, {0xD8, 0xC0}, 0},
      {"scale", "vf80vi32", ctBuilt_in, frExtended, nullptr,
       {0x50, 0xDB, 0x04, 0x24, 0x58, 0xD9, 0xC9, 0xD9, 0xFD, 0xDD, 0xD9}, 1},
  };
  return entries;
}

// Variables of all ten types, two of each, and the usual short names.
struct TVariables {
  std::int8_t I8[2] = {-7, 127};
  std::uint8_t U8[2] = {200, 0};
  std::int16_t I16[2] = {-300, 32767};
  std::uint16_t U16[2] = {65535, 1};
  std::int32_t I32[2] = {-100000, 2147483647};
  std::uint32_t U32[2] = {4000000000u, 3};
  std::int64_t I64[2] = {-5000000000000LL, 9007199254740993LL};
  float F32[2] = {0.1f, -3.25e38f};
  double F64[2] = {2.5, 1e-300};
  long double F80[2] = {-0.3L, 1e4000L};
  double Short[8] = {2, 3, 0.5, -1.25, 10, 7, 1e6, 4};
  std::int32_t N[2] = {10, -3};
};
TVariables Vars;

template <class Target>
void RegisterVariables(Target&& add) {
  static const char* const prefix[10] = {"i8", "u8", "i16", "u16", "i32", "u32", "i64", "f32", "f64", "f80"};
  void* addr[10][2] = {{&Vars.I8[0], &Vars.I8[1]},   {&Vars.U8[0], &Vars.U8[1]},   {&Vars.I16[0], &Vars.I16[1]},
                       {&Vars.U16[0], &Vars.U16[1]}, {&Vars.I32[0], &Vars.I32[1]}, {&Vars.U32[0], &Vars.U32[1]},
                       {&Vars.I64[0], &Vars.I64[1]}, {&Vars.F32[0], &Vars.F32[1]}, {&Vars.F64[0], &Vars.F64[1]},
                       {&Vars.F80[0], &Vars.F80[1]}};
  for (int t = 0; t < 10; ++t)
    for (int k = 0; k < 2; ++k)
      add(std::string(prefix[t]) + (k ? "b" : "a"), static_cast<TVarType>(t), addr[t][k]);
  static const char* const shortNames[8] = {"x", "y", "z", "t", "a", "b", "c", "r"};
  for (int k = 0; k < 8; ++k) add(shortNames[k], vtDouble, &Vars.Short[k]);
  add("n", vtInt32, &Vars.N[0]);
  add("k", vtInt32, &Vars.N[1]);
}

// The pack: absent, with FSIN and co. in line, or with the library's routines.
enum TPack { pkNone, pkX87, pkLibrary, pkCount };

void RegisterEverything(TFennic& f, TPack pack) {
  RegisterVariables([&f](const std::string& name, TVarType type, void* address) {
    if (f.RegisterVarExt(name, type, address) == 0) std::abort();
  });
  for (const THostEntry& e : HostEntries())
    if (f.RegisterFuncExt(e.Name, e.Params, e.Call, e.Result, e.StackNeeds, e.Address, true, e.Code) == 0)
      std::abort();
  if (pack != pkNone && !RegisterStandardFunctions(f, pack == pkX87 ? tcX87 : tcLibrary)) std::abort();
}

// Three components per pack: the fuzzed settings twice, and the defaults.
struct TComponents {
  TFennic First, Second, Default;
  explicit TComponents(TPack pack) {
    for (TFennic* f : {&First, &Second, &Default}) RegisterEverything(*f, pack);
  }
};

TComponents& Components(TPack pack) {
  static std::unique_ptr<TComponents> all[pkCount];
  if (!all[pack]) all[pack] = std::make_unique<TComponents>(pack);
  return *all[pack];
}

// Settings from the first two bytes; zeros are the defaults with the pack
// in line.
struct TFuzzSettings {
  std::uint8_t Parallel, Align, Back, Smart, Brackets, OutOfOrder, Auto, Trig, Once, Grammar;
  TPack Pack;
  explicit TFuzzSettings(const std::uint8_t* d) {
    Parallel = !(d[0] & 1);
    Align = !(d[0] & 2);
    Back = !(d[0] & 4);
    Smart = !(d[0] & 8);
    Brackets = (ebSoft + (d[0] >> 4 & 3)) % 3;
    OutOfOrder = (ooSoft + (d[0] >> 6)) % 3;
    Auto = (d[1] & 7) % 6;
    Trig = (tmNothing + (d[1] >> 3 & 3)) % 3;
    Pack = (d[1] & 0x20) ? pkNone : (d[1] & 0x40) ? pkLibrary : pkX87;
    // The two byte values beyond the six profiles: acDefault and acAuto
    // with ComputeOnce on.
    Once = (d[1] & 7) >= 6 ? coOn : coProfile;
    Grammar = d[1] >> 7 ? grExtended : grStandart;
  }
  void ApplyTo(TFennic& f) const {
    f.SetParallelExecution(Parallel);
    f.SetAlignMode(Align);
    f.SetBackOperation(Back);
    f.SetSmartLoad(Smart);
    f.SetEliminateBrackets(Brackets);
    f.SetOutOfOrder(OutOfOrder);
    f.SetAutoConfigure(Auto);
    f.SetTrigMode(Trig);
    f.SetComputeOnce(Once);
    f.SetGrammar(Grammar);
  }
  std::string Describe() const {
    char s[192];
    std::snprintf(s, sizeof s,
                  "Parallel=%d Align=%d Back=%d Smart=%d Brackets=%d OutOfOrder=%d AutoConfigure=%d Trig=%d "
                  "ComputeOnce=%d pack=%d Grammar=%d",
                  Parallel, Align, Back, Smart, Brackets, OutOfOrder, Auto, Trig, Once, static_cast<int>(Pack),
                  Grammar);
    return s;
  }
};

[[noreturn]] void Finding(const std::string& text, const TFuzzSettings& s, const std::string& what) {
  std::fprintf(stderr, "FINDING: %s\n  settings: %s\n  text (%zu bytes): %.300s\n", what.c_str(), s.Describe().c_str(),
               text.size(), text.c_str());
  std::abort();
}

struct TRun {
  TError Error = eNone;
  long double Value = 0;
};

// Compiles and, where that succeeds, runs; both from the host's x87 state,
// which each must leave continuable.
TRun CompileAndRun(TFennic& f, const std::string& text, bool run, const TFuzzSettings& s) {
  TRun r;
  auto state = CallFromX87State(HostControlWord, 0, [&] { f.SetExprString(text); });
  std::string faults = X87StateFaults(state, HostControlWord);
  if (!faults.empty()) Finding(text, s, "x87 state after compiling: " + faults);
  r.Error = f.CompError();
  if (r.Error != eNone || !run) return r;
  state = CallFromX87State(HostControlWord, 0, [&] { r.Value = f.Evaluate(); });
  faults = X87StateFaults(state, HostControlWord);
  if (!faults.empty()) Finding(text, s, "x87 state after running: " + faults);
  return r;
}

// Equal bytes, but where a 4- or 8-byte field differs by exactly how far
// the pool, the double pairs or the code moved (as an absolute address, or
// as a relative one for a call out of the code).
std::string CompareRoutines(const TFennic& a, const TFennic& b) {
  if (a.CodeSize() != b.CodeSize())
    return "sizes " + std::to_string(a.CodeSize()) + " and " + std::to_string(b.CodeSize());
  const auto delta = [](const void* x, const void* y) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(y) - reinterpret_cast<std::uintptr_t>(x));
  };
  const std::uint64_t code = delta(a.CodeBytes(), b.CodeBytes());
  const std::uint64_t moves[] = {delta(a.PoolBase(), b.PoolBase()), delta(a.PairsBase(), b.PairsBase()), code,
                                 0 - code};
  const std::uint8_t* x = a.CodeBytes();
  const std::uint8_t* y = b.CodeBytes();
  const std::size_t n = a.CodeSize();
  for (std::size_t i = 0; i < n;) {
    if (x[i] == y[i]) {
      ++i;
      continue;
    }
    bool moved = false;
    for (std::size_t width : {std::size_t{4}, std::size_t{8}}) {
      for (std::size_t start = i + 1 >= width ? i + 1 - width : 0; start <= i && !moved; ++start) {
        if (start + width > n) break;
        std::uint64_t u = 0, v = 0;
        std::memcpy(&u, x + start, width);
        std::memcpy(&v, y + start, width);
        const std::uint64_t mask = width == 8 ? ~std::uint64_t{0} : 0xFFFFFFFFu;
        for (std::uint64_t m : moves)
          if (m != 0 && ((v - u) & mask) == (m & mask)) moved = true;
        if (moved) i = start + width;
      }
      if (moved) break;
    }
    if (!moved) return "byte " + std::to_string(i) + " of " + std::to_string(n);
  }
  return "";
}

// The reference's functions: the call compiled with extended variables for
// its arguments (under the default settings and the pack as in line), so
// that a function's value matches what the routine computes; a NaN (not
// comparable) for a call the component refuses.
class TCalls {
 public:
  long double Call(const std::string& name, const std::vector<long double>& args) {
    if (args.size() > 4) return NAN;
    std::string text = name;
    for (std::size_t k = 0; k < args.size(); ++k) text += (k ? ",p" : "(p") + std::to_string(k);
    if (!args.empty()) text += ")";
    std::unique_ptr<TFennic>& routine = FRoutines[text];
    if (!routine) {
      routine = std::make_unique<TFennic>(nullptr);
      RegisterEverything(*routine, pkX87);
      for (int k = 0; k < 4; ++k) routine->RegisterVarExt("p" + std::to_string(k), vtExtended, &FArgs[k]);
      routine->SetExprString(text);
    }
    if (routine->CompError() != eNone) return NAN;
    for (std::size_t k = 0; k < args.size(); ++k) FArgs[k] = args[k];
    return routine->Evaluate();
  }

 private:
  long double FArgs[4] = {};
  std::map<std::string, std::unique_ptr<TFennic>> FRoutines;
};

ReferenceEvaluator& Reference() {
  static ReferenceEvaluator* ref = [] {
    auto* r = new ReferenceEvaluator;
    static TCalls calls;
    RegisterVariables([r](const std::string& name, TVarType type, void* address) { r->AddVariable(name, type, address); });
    std::vector<std::string> names;
    for (const THostEntry& e : HostEntries()) names.push_back(e.Name);
    for (const TStandardEntry& e : StandardEntries()) names.push_back(e.Name);
    for (const std::string& name : names) {
      // A by-reference parameter takes a variable, not a value.
      if (name == "hv") {
        r->AddFunction(name, [](const std::vector<long double>&) -> long double { return NAN; });
        continue;
      }
      r->AddFunction(name, [name](const std::vector<long double>& args) { return calls.Call(name, args); });
    }
    return r;
  }();
  return *ref;
}

// How far the inputs went, for the replay's report.
struct TCounts {
  long Inputs = 0, Compiled = 0, Compared = 0;
} Counts;

}  // namespace

std::string FuzzPipelineCounts() {
  return std::to_string(Counts.Inputs) + " inputs, " + std::to_string(Counts.Compiled) + " compiled, " +
         std::to_string(Counts.Compared) + " values compared with the default settings'";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t none[2] = {0, 0};
  const TFuzzSettings settings(size >= 2 ? data : none);
  const std::string text = size >= 2 ? std::string(reinterpret_cast<const char*>(data) + 2, size - 2) : std::string();
  TComponents& c = Components(settings.Pack);
  ++Counts.Inputs;
  settings.ApplyTo(c.First);
  settings.ApplyTo(c.Second);

  const TRun first = CompileAndRun(c.First, text, true, settings);
  const TRun second = CompileAndRun(c.Second, text, false, settings);
  if (first.Error != second.Error)
    Finding(text, settings, "error codes " + std::to_string(first.Error) + " and " + std::to_string(second.Error));
  if (const std::string why = CompareRoutines(c.First, c.Second); !why.empty())
    Finding(text, settings, "two compilations differ: " + why);
  if (first.Error != eNone) return 0;
  ++Counts.Compiled;

  // The defaults but the grammar, which decides what the text means.
  c.Default.SetGrammar(settings.Grammar);
  const TRun plain = CompileAndRun(c.Default, text, true, settings);
  if (plain.Error != eNone) return 0;
  Reference().SetExtended(settings.Grammar == grExtended);
  const std::optional<RefValue> expected = Reference().Evaluate(text);
  if (!expected) return 0;
  if (expected->Comparable) ++Counts.Compared;
  RefValue around = *expected;
  around.Value = plain.Value;
  std::string why;
  if (!ReferenceEvaluator::Agrees(first.Value, around, &why))
    Finding(text, settings, "value differs from the default settings': " + why);
  return 0;
}
