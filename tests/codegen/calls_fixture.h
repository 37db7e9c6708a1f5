// A component for call tests: compiles coded text written by hand (the
// markers the simplifier would write), so that call sequences can be checked
// byte for byte and run without the argument analysis; and opens the call
// operations to direct use.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "fennic/core/codedtext.h"
#include "support/codegen_recorder.h"

namespace fennic::testing {

class TCallFennic : public TRecordingFennic {
 public:
  using TFennic::CallFunction;
  using TFennic::CompileTree;
  using TFennic::ProcessPar;
  using TFennic::PushAll;
  using TFennic::PushPar;
  using TFennic::SearchFunc;
  using TFennic::SendToReg;
  using TFennic::SortRegs;
  using TBuilder::FParNodes;
  using TBuilder::FTrees;

  // Starts a coded text: empties the constant table that Num fills.
  void Begin() {
    FCompError = eNone;
    FConstBytes = 0;
    FConstIndex = 0;
    FConstData.clear();
    FConstSizes.clear();
  }
  // Pieces of coded text.
  std::string Num(long double value) { return PushNum(value); }
  std::string Var(const std::string& name) { return MarkerWithCode(VarMarker, VarCode(name)); }
  static std::string Int(TVarType type, std::int64_t value) {
    std::string s{ConstMarker, static_cast<char>(type)};
    s.append(reinterpret_cast<const char*>(&value), 8);
    return s;
  }
  std::string Call(const std::string& name, std::initializer_list<std::string> args = {}) {
    std::string s = MarkerWithCode(FuncMarker, FuncCode(name));
    if (args.size() == 0) return s;
    s += '(';
    bool first = true;
    for (const std::string& a : args) {
      if (!first) s += ',';
      s += a;
      first = false;
    }
    return s + ')';
  }

  // An integer argument from one coded element (a call without arguments,
  // a variable or an inline integer), as the parser enters it into FParNodes.
  TCallArg IntegerNode(const std::string& coded, bool minus = false) {
    auto* n = new TTreeNode;
    if (coded.size() == 10 && coded[0] == ConstMarker) {
      n->Kind = TNodeKind::Number;
      n->Type = static_cast<TVarType>(coded[1]);
      std::memcpy(&n->Value, coded.data() + 2, 8);
    } else {
      n->Kind = coded[0] == FuncMarker ? TNodeKind::Call : TNodeKind::Variable;
      n->Code = ReadInt32(coded, 1);
    }
    n->Minus = minus;
    FParNodes.push_back(n);
    return {TArgKind::Integer, static_cast<std::int32_t>(FParNodes.size() - 1)};
  }
  TCallArg Reference(const std::string& name) const { return {TArgKind::Reference, VarCode(name)}; }

  // Compiles coded text as Compile compiles simplified text; false (with a
  // test failure) when the builder refuses it.
  bool CompileCoded(const std::string& coded) {
    BuildSimplified(coded);
    if (ErrorRaised()) {
      ADD_FAILURE() << "coded text refused with error " << int(FCompError);
      ReleaseTrees();
      return false;
    }
    Emissions.clear();
    struct TCleanUp {
      TCallFennic& F;
      ~TCleanUp() {
        F.ReleaseTrees();
        F.FLevels.clear();
        F.FIntInfo.clear();
      }
    } cleanUp{*this};
    GenerateCode([this] { CompileTree(0, 0, otExtended, false); });
    return true;
  }
};

inline Bytes Addr(const void* p, std::int32_t displacement = 0) {
  return Le32(static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(p)) + displacement);
}

// Bytes of the call of a host routine: CALL rel32 in i386 code, MOV R11,
// imm64 and CALL R11 in 64-bit code.
inline constexpr std::size_t CallLength = Target64 ? 13 : 5;

// The relative displacement of a CALL whose 4 displacement bytes start at
// `at` in the routine.
inline Bytes CallTo(const std::uint8_t* routine, std::size_t at, const void* target) {
  return Le32(static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(target) -
                                        reinterpret_cast<std::uintptr_t>(routine + at + 4)));
}

}  // namespace fennic::testing
