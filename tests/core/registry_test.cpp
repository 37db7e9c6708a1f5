#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fennic/core/ctrlblck.h"

namespace fennic {
namespace {

// An entry point for the records; the registry never calls it.
double Zero() { return 0; }
void* const Routine = reinterpret_cast<void*>(&Zero);
const TAByte LoadOne = {0xD9, 0xE8};  // FLD1

class Registry : public ::testing::Test {
 protected:
  TCtrlBlck blk{nullptr};
  double x = 1, y = 2, z = 3;
};

TEST_F(Registry, VariableCodesAreCaseInsensitivePositions) {
  EXPECT_EQ(blk.RegisterVarExt("X", vtDouble, &x), 1);
  EXPECT_EQ(blk.VarCode("x"), 1);
  EXPECT_EQ(blk.RegisterVarExt("x", vtDouble, &y), 0);
  EXPECT_EQ(blk.RegisterFuncExt("X", "", ctCdecl, frDouble, 0, Routine, false), 0);
  TVariable v;
  ASSERT_TRUE(blk.GetVar(v, 1));
  EXPECT_EQ(v.Name, "x");
  EXPECT_EQ(v.Address, &x);
}

TEST_F(Registry, FreeSlotsAreReusedAndTrailingOnesTrimmed) {
  EXPECT_EQ(blk.RegisterVarExt("a", vtDouble, &x), 1);
  EXPECT_EQ(blk.RegisterVarExt("b", vtDouble, &y), 2);
  EXPECT_EQ(blk.RegisterVarExt("c", vtDouble, &z), 3);
  EXPECT_TRUE(blk.RemoveVar(2));
  EXPECT_EQ(blk.VarCode("a"), 1);
  EXPECT_EQ(blk.VarCode("c"), 3);
  EXPECT_EQ(blk.VarCode("b"), 0);
  EXPECT_EQ(blk.RegisterVarExt("d", vtDouble, &y), 2);
  EXPECT_TRUE(blk.RemoveVar(2));
  EXPECT_TRUE(blk.RemoveVar(3));  // trims the free slot 2 as well
  EXPECT_EQ(blk.Variables().size(), 1u);
  EXPECT_EQ(blk.RegisterVarExt("e", vtDouble, &z), 2);
}

TEST_F(Registry, BadCodesAreRefused) {
  blk.RegisterVarExt("a", vtDouble, &x);
  blk.RegisterVarExt("b", vtDouble, &y);
  blk.RegisterVarExt("c", vtDouble, &z);
  blk.RemoveVar(2);
  TVariable v{"untouched", vtInt8, nullptr};
  for (std::int32_t code : {0, -1, 2, 4, 1999999, ReservedVarCode + 1}) {
    EXPECT_FALSE(blk.GetVar(v, code)) << code;
    EXPECT_FALSE(blk.RemoveVar(code)) << code;
  }
  EXPECT_FALSE(blk.RemoveVar(ReservedVarCode));
  EXPECT_EQ(v.Name, "untouched");
  TFunction f;
  f.Name = "untouched";
  for (std::int32_t code : {0, -1, 1}) {
    EXPECT_FALSE(blk.GetFunc(f, code));
    EXPECT_FALSE(blk.RemoveFunc(code));
    EXPECT_EQ(blk.FuncStackNeeds(code), 2147483647);
  }
  EXPECT_EQ(f.Name, "untouched");
}

TEST_F(Registry, ReservedVariableInAnyCase) {
  for (const char* name : {"fennicid", "FENNICID", "FennicId"}) {
    EXPECT_EQ(blk.VarCode(name), ReservedVarCode) << name;
    EXPECT_EQ(blk.RegisterVarExt(name, vtDouble, &x), 0) << name;
    EXPECT_EQ(blk.RegisterFuncExt(name, "", ctCdecl, frDouble, 0, Routine, false), 0) << name;
  }
  TVariable v;
  ASSERT_TRUE(blk.GetVar(v, ReservedVarCode));
  EXPECT_EQ(v.Name, "fennicid");
  EXPECT_EQ(v.VarType, vtInt32);
  EXPECT_EQ(*static_cast<std::int32_t*>(v.Address), 1);
}

// Registration refuses what no routine could use, with code 0 and nothing
// registered; the same record made usable is taken.
TEST_F(Registry, RefusesWhatCannotWork) {
  const auto function = [](void (*Change)(TFunction&)) {
    TFunction f{"f", {{vtDouble, psValue}, {vtInt32, psReference}}, ctCdecl, frDouble, 0, Routine, false, {}};
    Change(f);
    return f;
  };
  struct TCase {
    const char* What;
    std::function<std::int32_t(TCtrlBlck&)> Register;
  };
  const TCase cases[] = {
      {"variable without address", [](TCtrlBlck& b) { return b.RegisterVarExt("v", vtDouble, nullptr); }},
      {"variable type 77", [this](TCtrlBlck& b) { return b.RegisterVarExt("v", TVarType(77), &x); }},
      {"variable type 10", [this](TCtrlBlck& b) { return b.RegisterVar(TVariable{"v", TVarType(10), &x}); }},
      {"aligned without address",
       [](TCtrlBlck& b) {
         void* at = nullptr;
         return b.RegisterVarA(TVariable{"v", vtDouble, nullptr}, at);
       }},
      {"aligned non-identifier",
       [this](TCtrlBlck& b) {
         void* at = nullptr;
         return b.RegisterVarA(TVariable{"v w", vtDouble, &x}, at);
       }},
      {"empty name", [this](TCtrlBlck& b) { return b.RegisterVarExt("", vtDouble, &x); }},
      {"name a b", [this](TCtrlBlck& b) { return b.RegisterVarExt("a b", vtDouble, &x); }},
      {"name 1a", [this](TCtrlBlck& b) { return b.RegisterVarExt("1a", vtDouble, &x); }},
      {"name (", [this](TCtrlBlck& b) { return b.RegisterVarExt("(", vtDouble, &x); }},
      {"name x-y", [this](TCtrlBlck& b) { return b.RegisterVarExt("x-y", vtDouble, &x); }},
      {"name with NUL", [this](TCtrlBlck& b) { return b.RegisterVarExt(std::string("a\0b", 3), vtDouble, &x); }},
      {"function name f-g", [](TCtrlBlck& b) { return b.RegisterFuncExt("f-g", "", ctCdecl, frDouble, 0, Routine, false); }},
      {"routine without address",
       [](TCtrlBlck& b) { return b.RegisterFuncExt("f", "vf64", ctStdcall, frDouble, 0, nullptr, false); }},
      {"register routine without address",
       [](TCtrlBlck& b) { return b.RegisterFuncExt("f", "vi32", ctRegister, frInt32, 0, nullptr, true, LoadOne); }},
      {"built-in without code",
       [](TCtrlBlck& b) { return b.RegisterFuncExt("f", "vf80", ctBuilt_in, frExtended, 0, Routine, true); }},
      {"call type 9", [](TCtrlBlck& b) { return b.RegisterFuncExt("f", "", TCallType(9), frDouble, 0, Routine, false); }},
      {"result type 55",
       [](TCtrlBlck& b) { return b.RegisterFuncExt("f", "", ctCdecl, TFuncResult(55), 0, Routine, false); }},
      {"record without address", [&](TCtrlBlck& b) { return b.RegisterFunc(function([](TFunction& f) { f.Address = nullptr; })); }},
      {"record call type 5", [&](TCtrlBlck& b) { return b.RegisterFunc(function([](TFunction& f) { f.CallType = TCallType(5); })); }},
      {"record result type 10",
       [&](TCtrlBlck& b) { return b.RegisterFunc(function([](TFunction& f) { f.FuncResult = TFuncResult(10); })); }},
      {"record parameter type 99",
       [&](TCtrlBlck& b) { return b.RegisterFunc(function([](TFunction& f) { f.Params[1].VarType = TVarType(99); })); }},
      {"record push style 7",
       [&](TCtrlBlck& b) { return b.RegisterFunc(function([](TFunction& f) { f.Params[0].PushStyle = TPushStyle(7); })); }},
      {"record built-in without code",
       [&](TCtrlBlck& b) { return b.RegisterFunc(function([](TFunction& f) { f.CallType = ctBuilt_in; })); }},
  };
  for (const TCase& c : cases) {
    TCtrlBlck b(nullptr);
    EXPECT_EQ(c.Register(b), 0) << c.What;
    EXPECT_TRUE(b.Variables().empty()) << c.What;
    EXPECT_TRUE(b.Functions().empty()) << c.What;
  }
  // Variadic: two by-value parameters of one floating type, a floating result.
  const struct {
    TAVarDef Params;
    TFuncResult Result;
    TVariadic Variadic;
  } shapes[] = {{{{vtDouble, psValue}, {vtDouble, psValue}}, frDouble, TVariadic(3)},
                {{{vtDouble, psValue}, {vtDouble, psReference}}, frDouble, vaBalanced},
                {{{vtInt32, psValue}, {vtInt32, psValue}}, frDouble, vaInOrder},
                {{{vtDouble, psValue}, {vtSingle, psValue}}, frDouble, vaBalanced},
                {{{vtDouble, psValue}}, frDouble, vaBalanced},
                {{{vtDouble, psValue}, {vtDouble, psValue}}, frInt32, vaBalanced}};
  for (const auto& shape : shapes) {
    TFunction f{"f", shape.Params, ctCdecl, shape.Result, 0, Routine, false, {}};
    f.Variadic = shape.Variadic;
    EXPECT_EQ(TCtrlBlck(nullptr).RegisterFunc(f), 0) << &shape - shapes;
  }
  TFunctionSet set;
  EXPECT_FALSE(set.Add("f", "vf80", ctBuilt_in, frExtended, 0, nullptr, true));
  EXPECT_FALSE(set.Add("g", "vf80", ctCdecl, frExtended, 0, nullptr, true));
  EXPECT_FALSE(set.Add("h", "vf80", ctBuilt_in, frExtended, 0, nullptr, true, LoadOne, vaBalanced));
  EXPECT_EQ(set.Size(), 0u);
  EXPECT_TRUE(set.Add("h", "vf32vf32", ctBuilt_in, frSingle, 0, nullptr, true, LoadOne, vaInOrder));

  // The usable neighbours of the refused records.
  void* at = nullptr;
  EXPECT_EQ(blk.RegisterVarExt("v", vtExtended, &x), 1);
  EXPECT_EQ(blk.RegisterVarA(TVariable{"w", vtInt8, &x}, at), 2);
  EXPECT_EQ(blk.RegisterFunc(function([](TFunction&) {})), 1);
  EXPECT_EQ(blk.RegisterFuncExt("g", "vf80", ctBuilt_in, frExtended, 0, nullptr, true, LoadOne), 2);
  EXPECT_EQ(blk.RegisterFuncExt("h", "rf64", ctRegister, frExtended, 0, Routine, false), 3);
  EXPECT_EQ(blk.RegisterFunc(function([](TFunction& f) {
              f.Name = "s";
              f.Params[1] = f.Params[0];
              f.Variadic = vaInOrder;
            })),
            4);
  EXPECT_EQ(blk.Functions()[3].Variadic, vaInOrder);
}

TEST_F(Registry, ClearEmptiesBothRegistries) {
  blk.RegisterVarExt("a", vtDouble, &x);
  blk.RegisterFuncExt("f", "", ctCdecl, frDouble, 0, Routine, false);
  blk.ClearVars();
  blk.ClearFuncs();
  EXPECT_EQ(blk.VarCode("a"), 0);
  EXPECT_EQ(blk.FuncCode("f"), 0);
  EXPECT_EQ(blk.RegisterVarExt("f", vtDouble, &x), 1);
}

TEST_F(Registry, FunctionsShareTheNameSpaceAndReuseSlots) {
  blk.RegisterVarExt("v", vtDouble, &x);
  EXPECT_EQ(blk.RegisterFuncExt("V", "", ctCdecl, frDouble, 0, Routine, false), 0);
  EXPECT_EQ(blk.RegisterFuncExt("f", "", ctCdecl, frDouble, 0, Routine, false), 1);
  EXPECT_EQ(blk.RegisterFuncExt("G", "", ctCdecl, frDouble, 0, Routine, false), 2);
  EXPECT_EQ(blk.RegisterFuncExt("h", "", ctCdecl, frDouble, 0, Routine, false), 3);
  EXPECT_EQ(blk.FuncCode("g"), 2);
  EXPECT_EQ(blk.RegisterVarExt("g", vtDouble, &x), 0);
  EXPECT_TRUE(blk.RemoveFunc(2));
  EXPECT_EQ(blk.RegisterFuncExt("k", "", ctCdecl, frDouble, 12, Routine, false), 2);
  TFunction f;
  ASSERT_TRUE(blk.GetFunc(f, 2));
  EXPECT_EQ(f.StackNeeds, 8);  // clamped also when landing in a free slot
  EXPECT_TRUE(blk.RemoveFunc(3));
  EXPECT_TRUE(blk.RemoveFunc(2));
  EXPECT_EQ(blk.Functions().size(), 1u);
}

TEST_F(Registry, ParameterSpecifications) {
  struct Case {
    const char* paramText;
    bool ok;
    TAVarDef params;
  } cases[] = {
      {"", true, {}},
      {"vf64vi32", true, {{vtDouble, psValue}, {vtInt32, psValue}}},
      {"rf80", true, {{vtExtended, psReference}}},
      {"vi08vu08vi16vu16vi32vu32vi64vf32", true,
       {{vtInt8, psValue}, {vtUInt8, psValue}, {vtInt16, psValue}, {vtUInt16, psValue},
        {vtInt32, psValue}, {vtUInt32, psValue}, {vtInt64, psValue}, {vtSingle, psValue}}},
      {"vf6", false, {}},
      {"xf64", false, {}},
      {"vF64", false, {}},
      {"Vf64", false, {}},
      {"vf64vi33", false, {}},
      {"vf64 ", false, {}},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string name = "f" + std::to_string(n++);
    std::int32_t code = blk.RegisterFuncExt(name, c.paramText, ctStdcall, frDouble, 0, Routine, true,
                                            TAByte{0xD9, 0xE8});
    if (!c.ok) {
      EXPECT_EQ(code, 0) << c.paramText;
      EXPECT_EQ(blk.FuncCode(name), 0) << c.paramText;
      continue;
    }
    TFunction f;
    ASSERT_TRUE(blk.GetFunc(f, code)) << c.paramText;
    ASSERT_EQ(f.Params.size(), c.params.size()) << c.paramText;
    for (std::size_t i = 0; i < f.Params.size(); ++i) {
      EXPECT_EQ(f.Params[i].VarType, c.params[i].VarType) << c.paramText << " " << i;
      EXPECT_EQ(f.Params[i].PushStyle, c.params[i].PushStyle) << c.paramText << " " << i;
    }
    EXPECT_EQ(f.Code, (TAByte{0xD9, 0xE8}));
    EXPECT_TRUE(f.Foldable);
  }
}

TEST_F(Registry, StackNeedsAndFrames) {
  // In a 64-bit process every routine but inline code follows the System V
  // convention: it needs all eight x87 registers, and its frame holds only
  // what the argument registers do not (extended values always).
  struct Case {
    const char* paramText;
    TCallType call;
    TFuncResult result;
    std::int32_t needs;
    std::int32_t expectNeeds, expectFrame;      // i386
    std::int32_t expectNeeds64, expectFrame64;  // x86-64
  } cases[] = {
      {"vf64vi32rf80", ctBuilt_in, frDouble, 2, 4, 0, 4, 0},
      {"", ctStdcall, frDouble, 0, 1, 0, 8, 0},
      {"", ctStdcall, frInt32, 0, 0, 0, 8, 0},
      {"vi32vi16vi08vi32", ctRegister, frInt32, 0, 0, 4, 8, 0},
      {"vi64vf80", ctRegister, frDouble, 0, 1, 20, 8, 16},
      {"vi32vf64", ctStdcall, frDouble, 0, 1, 12, 8, 0},
      {"vf64vf64", ctBuilt_in, frDouble, 7, 8, 8, 8, 8},
      {"vi08vi32vi32vi32", ctCdecl, frInt8, 0, 0, 16, 8, 0},
      {"rf64ri32vi32vi32", ctRegister, frInt8, 0, 0, 4, 8, 0},
      {"vf32vf64vf80", ctPascal, frSingle, 3, 3, 24, 8, 16},
      {"vf80vf80vf80vf80vf80vf80vf80vf80vf80", ctBuilt_in, frExtended, 0, 8, 12, 8, 12},
      {"vf32vi64", ctBuilt_in, frInt64, 8, 8, 12, 8, 12},
      {"vi32vi32vi32vi32rf64", ctBuilt_in, frInt32, 8, 8, 8, 8, 12},
      {"vi64vi64vi64vi64vi64vi64vi32vf64", ctCdecl, frInt32, 0, 0, 60, 8, 8},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string name = "g" + std::to_string(n++);
    std::int32_t code = blk.RegisterFuncExt(name, c.paramText, c.call, c.result, c.needs, Routine, false, LoadOne);
    ASSERT_NE(code, 0) << c.paramText;
    TFunction f;
    blk.GetFunc(f, code);
    EXPECT_EQ(blk.FuncStackNeeds(code), Target64 ? c.expectNeeds64 : c.expectNeeds) << c.paramText;
    EXPECT_EQ(blk.StackFrame(f), Target64 ? c.expectFrame64 : c.expectFrame) << c.paramText;
  }
}

TEST_F(Registry, StackNeedsAreClampedIntoZeroToEight) {
  EXPECT_NE(blk.RegisterFuncExt("big", "", ctCdecl, frInt32, 12, Routine, false), 0);
  EXPECT_NE(blk.RegisterFuncExt("neg", "", ctCdecl, frInt32, -3, Routine, false), 0);
  TFunction f;
  blk.GetFunc(f, blk.FuncCode("big"));
  EXPECT_EQ(f.StackNeeds, 8);
  blk.GetFunc(f, blk.FuncCode("neg"));
  EXPECT_EQ(f.StackNeeds, 0);
}

// Aligned storage: every type, from an aligned and a misaligned source.
TEST_F(Registry, AlignedStorageCopiesTheValueToANaturalBoundary) {
  alignas(32) std::uint8_t source[64];
  for (int i = 0; i < 64; ++i) source[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (int t = 0; t <= vtExtended; ++t) {
    const std::uintptr_t a = VarAlignments[t];
    int k = 0;
    for (std::uintptr_t offset : {std::uintptr_t{0}, std::uintptr_t{1}, a / 2, a + 4}) {
      void* from = source + offset;
      std::string name = "v" + std::to_string(t) + "_" + std::to_string(k++);
      void* aligned = reinterpret_cast<void*>(0x1234);
      std::int32_t code = blk.RegisterVarA(TVariable{name, static_cast<TVarType>(t), from}, aligned);
      ASSERT_NE(code, 0) << name;
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % a, 0u) << name;
      EXPECT_EQ(std::memcmp(aligned, from, VarValueBytes[t]), 0) << name;
      if (reinterpret_cast<std::uintptr_t>(from) % a == 0) EXPECT_EQ(aligned, from) << name;
      else EXPECT_NE(aligned, from) << name;
      TVariable v;
      blk.GetVar(v, code);
      EXPECT_EQ(v.Address, aligned) << name;
    }
  }
}

TEST_F(Registry, AlignedStorageStaysInPlaceAndRefusalLeavesTheOutputAlone) {
  alignas(16) double cell[2] = {0, 0};
  double* misaligned = reinterpret_cast<double*>(reinterpret_cast<char*>(cell) + 4);
  std::memcpy(reinterpret_cast<char*>(cell) + 4, &x, sizeof x);
  void* first = nullptr;
  ASSERT_NE(blk.RegisterVarA(TVariable{"m", vtDouble, misaligned}, first), 0);
  for (int i = 0; i < 100; ++i) {  // many more blocks must not move the first one
    void* other = nullptr;
    blk.RegisterVarA(TVariable{"m" + std::to_string(i), vtDouble, misaligned}, other);
  }
  TVariable v;
  blk.GetVar(v, blk.VarCode("m"));
  EXPECT_EQ(v.Address, first);
  EXPECT_EQ(*static_cast<double*>(first), 1.0);
  blk.RemoveVar(blk.VarCode("m"));  // blocks outlive the registry entry
  EXPECT_EQ(*static_cast<double*>(first), 1.0);

  void* untouched = reinterpret_cast<void*>(0x42);
  EXPECT_EQ(blk.RegisterVarA(TVariable{"m1", vtDouble, misaligned}, untouched), 0);
  EXPECT_EQ(blk.RegisterVarA(TVariable{"fennicid", vtDouble, misaligned}, untouched), 0);
  EXPECT_EQ(untouched, reinterpret_cast<void*>(0x42));
}


// Codes by name stay those of a plain scan of the slots, in any case of the
// name, through registrations, refusals, removals and reused slots.
TEST_F(Registry, NameLookUpFollowsEveryChange) {
  std::vector<std::string> vars, funcs;  // the model: lower-case names, "" a free slot
  auto store = [](std::vector<std::string>& list, const std::string& name) {
    for (std::size_t i = 0; i < list.size(); ++i)
      if (list[i].empty()) {
        list[i] = name;
        return static_cast<std::int32_t>(i + 1);
      }
    list.push_back(name);
    return static_cast<std::int32_t>(list.size());
  };
  auto remove = [](std::vector<std::string>& list, std::int32_t code) {
    if (code < 1 || static_cast<std::size_t>(code) > list.size() || list[code - 1].empty()) return false;
    list[code - 1].clear();
    while (!list.empty() && list.back().empty()) list.pop_back();
    return true;
  };
  auto find = [](const std::vector<std::string>& list, const std::string& name) {
    for (std::size_t i = 0; i < list.size(); ++i)
      if (list[i] == name) return static_cast<std::int32_t>(i + 1);
    return 0;
  };
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  auto name = [&next](std::string& lower) {
    lower = "n" + std::to_string(next(60));
    std::string written = lower;
    for (char& c : written)
      if (next(2)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return written;
  };
  for (int step = 0; step < 4000; ++step) {
    std::string lower;
    const std::string written = name(lower);
    const bool taken = find(vars, lower) != 0 || find(funcs, lower) != 0;
    switch (next(4)) {
      case 0:
        ASSERT_EQ(blk.RegisterVarExt(written, vtDouble, &x), taken ? 0 : store(vars, lower)) << step;
        break;
      case 1:
        ASSERT_EQ(blk.RegisterFuncExt(written, "", ctCdecl, frDouble, 0, Routine, false),
                  taken ? 0 : store(funcs, lower)) << step;
        break;
      case 2: {
        const auto code = static_cast<std::int32_t>(next(static_cast<std::uint32_t>(vars.size() + 2)));
        ASSERT_EQ(blk.RemoveVar(code), remove(vars, code)) << step;
        break;
      }
      default: {
        const auto code = static_cast<std::int32_t>(next(static_cast<std::uint32_t>(funcs.size() + 2)));
        ASSERT_EQ(blk.RemoveFunc(code), remove(funcs, code)) << step;
      }
    }
    for (int k = 0; k < 4; ++k) {
      const std::string probe = name(lower);
      ASSERT_EQ(blk.VarCode(probe), find(vars, lower)) << step << " " << probe;
      ASSERT_EQ(blk.FuncCode(probe), find(funcs, lower)) << step << " " << probe;
    }
  }
}

// A prepared set registers as its functions would one by one: same codes,
// same order, same refusals.
TEST_F(Registry, AFunctionSetRegistersAsOneByOne) {
  TFunctionSet set;
  for (const char* n : {"one", "TWO", "three", "Four"})
    ASSERT_TRUE(set.Add(n, "", ctCdecl, frDouble, 0, Routine, true));
  EXPECT_FALSE(set.Add("two", "", ctCdecl, frDouble, 0, Routine, true));
  EXPECT_FALSE(set.Add("fennicid", "", ctCdecl, frDouble, 0, Routine, true));
  EXPECT_FALSE(set.Add("1x", "", ctCdecl, frDouble, 0, Routine, true));
  const std::vector<std::function<void(TCtrlBlck&)>> before = {
      [](TCtrlBlck&) {},
      [this](TCtrlBlck& b) {
        b.RegisterVarExt("two", vtDouble, &x);
        b.RegisterFuncExt("f1", "", ctCdecl, frDouble, 0, Routine, false);
        b.RegisterFuncExt("f2", "", ctCdecl, frDouble, 0, Routine, false);
        b.RemoveFunc(1);
      },
      [](TCtrlBlck& b) { b.RegisterFuncExt("FOUR", "", ctCdecl, frDouble, 0, Routine, false); },
  };
  for (std::size_t c = 0; c < before.size(); ++c) {
    TCtrlBlck whole(nullptr), single(nullptr);
    before[c](whole);
    before[c](single);
    std::size_t registered = 0;
    for (const char* n : {"one", "TWO", "three", "Four"})
      registered += single.RegisterFuncExt(n, "", ctCdecl, frDouble, 0, Routine, true) != 0;
    EXPECT_EQ(whole.RegisterFuncs(set), registered) << c;
    ASSERT_EQ(whole.Functions().size(), single.Functions().size()) << c;
    for (std::size_t i = 0; i < single.Functions().size(); ++i)
      EXPECT_EQ(whole.Functions()[i].Name, single.Functions()[i].Name) << c << " " << i;
    for (const char* n : {"ONE", "two", "three", "four", "f2"})
      EXPECT_EQ(whole.FuncCode(n), single.FuncCode(n)) << c << " " << n;
  }
}

}  // namespace
}  // namespace fennic
