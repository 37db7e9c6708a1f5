// The type vocabulary shared by the host and every stage of the compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fennic/core/export.h"
#include "fennic/core/target.h"

namespace fennic {

// The x87 80-bit extended value (12 bytes of storage on i386, 16 on x86-64,
// returned in ST0 on both).
using Extended = long double;
static_assert(sizeof(Extended) == ExtendedStorage && __LDBL_MANT_DIG__ == 64,
              "long double must be the x87 extended format");

// Every enumeration is one byte; stages compare ordinals by range, so the
// order of the values is binding.
enum TVarType : std::uint8_t {
  vtInt8, vtUInt8, vtInt16, vtUInt16, vtInt32, vtUInt32, vtInt64,
  vtSingle, vtDouble, vtExtended
};
enum TFuncResult : std::uint8_t {
  frInt8, frUInt8, frInt16, frUInt16, frInt32, frUInt32, frInt64,
  frSingle, frDouble, frExtended
};
enum TCallType : std::uint8_t { ctRegister, ctPascal, ctCdecl, ctStdcall, ctBuilt_in };
enum TPushStyle : std::uint8_t { psValue, psReference };
// The outcome of a compilation. After eNone and eDomain (a computation on
// constants faulted while compiling and counts as 0) the component holds a
// routine; after every other code it holds none, and Evaluate returns a
// quiet NaN. eReentered: Compile, SetExprString or Evaluate was called on
// the component from inside one of its own compile-time calls (a Foldable
// function run while folding); the inner call does nothing, and the outer
// compilation ends with this code. eAborted: an exception left Compile (a
// fault while adding up the constants of a sum, an exhausted heap, a defect
// of the code generator).
enum TError : std::uint8_t {
  eNone, eDomain, eNumFormat, eValExpected, eOpExpected, eEdge, eUnknown,
  eOutOfRange, eType, eVarParameter, eParameter, eReentered, eAborted
};
// The name of each code, as written above, indexed by its ordinal.
inline constexpr const char* ErrorNames[] = {
    "eNone",   "eDomain",     "eNumFormat", "eValExpected",  "eOpExpected", "eEdge",     "eUnknown",
    "eOutOfRange", "eType", "eVarParameter", "eParameter", "eReentered", "eAborted"};
inline constexpr std::size_t ErrorCount = std::size(ErrorNames);
static_assert(ErrorCount == eAborted + 1, "a name for every error code");
// The name of Error, or "e?" for a byte that names no code. Its message for
// people is ErrorCodeMessage (fennic/simplifier/diagnostic.h).
constexpr const char* ErrorName(TError Error) { return Error < ErrorCount ? ErrorNames[Error] : "e?"; }
enum TOpType : std::uint8_t { otSingle, otDouble, otExtended };
enum TIOpType : std::uint8_t { itInt16, itInt32, itInt64 };
enum TPushed : std::uint8_t { pInt64, pMemory, pECX, pEDX, pEAX, pSt0 };
enum TTrigMode : std::uint8_t { tmSafe, tmNothing, tmDelphi };
enum TOutOfOrder : std::uint8_t { ooStandart, ooSoft, ooAgressive };
enum TEliminateBrackets : std::uint8_t { ebStandart, ebSoft, ebAgressive };
enum TAutoConfigure : std::uint8_t { acDefault, acAuto, acP5, acP6, acPIV, acAMD };
// coProfile follows AutoConfigure: off under acDefault, on under every other profile.
enum TComputeOnce : std::uint8_t { coProfile, coOff, coOn };
enum TGrammar : std::uint8_t { grStandart, grExtended };
// Whether a call may list more arguments than the function's two, under
// grExtended only: from 2 to MaxVariadicArguments, each a value of the first
// parameter's type, the call standing for nested calls of the two-argument
// form. Open to functions of two by-value parameters of one floating type
// with a floating result; registration refuses it for any other.
enum TVariadic : std::uint8_t {
  vaNone,      // exactly the parameters
  vaBalanced,  // f(a, b, c, d) is f(f(a, b), f(c, d)), nested ceil(log2 n)
               // deep: for a function whose grouping never changes its value
               // (min, max)
  vaInOrder    // f(a, b, c, d) is f(f(f(a, b), c), d), as written (sum)
};
inline constexpr std::size_t MaxVariadicArguments = 32;

// One parameter of a registered function.
struct TVarDef {
  TVarType VarType = vtDouble;
  TPushStyle PushStyle = psValue;
};
static_assert(sizeof(TVarDef) == 2 && offsetof(TVarDef, VarType) == 0);

using TAVarDef = std::vector<TVarDef>;
using TAByte = std::vector<std::uint8_t>;

// One registered variable; an empty Name marks a free registry slot.
struct TVariable {
  std::string Name;
  TVarType VarType = vtDouble;
  void* Address = nullptr;
};

// One registered function; an empty Name marks a free registry slot.
struct TFunction {
  std::string Name;
  TAVarDef Params;
  TCallType CallType = ctRegister;
  TFuncResult FuncResult = frExtended;
  std::int32_t StackNeeds = 0;
  void* Address = nullptr;
  bool Foldable = false;
  TAByte Code;
  TVariadic Variadic = vaNone;
};

// Bytes reserved for a value of each type; extended is padded to 12.
inline constexpr std::int32_t VarSizes[10] = {1, 1, 2, 2, 4, 4, 8, 4, 8, 12};
inline constexpr std::int32_t ResultSizes[10] = {1, 1, 2, 2, 4, 4, 8, 4, 8, 12};
// Natural alignment of each type, used for aligned variable storage.
inline constexpr std::int32_t VarAlignments[10] = {1, 1, 2, 2, 4, 4, 8, 4, 8, 16};
// Bytes of the value itself (an extended value is 10 bytes long).
inline constexpr std::int32_t VarValueBytes[10] = {1, 1, 2, 2, 4, 4, 8, 4, 8, 10};

inline constexpr bool IsFloatType(TVarType t) { return t >= vtSingle; }
inline constexpr bool IsFloatResult(TFuncResult r) { return r >= frSingle; }
// A call runs the function's code in line (a built-in always, whatever its
// Address; another convention only without an address), in the generated
// routine and when folded alike; otherwise it calls the Address.
inline bool RunsCodeInLine(const TFunction& F) {
  return F.CallType == ctBuilt_in || (!F.Address && !F.Code.empty());
}

// Code of the reserved variable "fennicid" (a vtInt32 inside the library holding 1).
inline constexpr std::int32_t ReservedVarCode = 2000000;
inline constexpr char ReservedVarName[] = "fennicid";

// A letter or '_' first, then letters, digits and '_' (ASCII only).
FENNIC_API bool IsIdentifier(std::string_view name);
// ASCII letters to lower case; every other byte unchanged.
FENNIC_API std::string LowerCase(std::string_view name);

}  // namespace fennic
