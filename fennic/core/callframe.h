// Where the arguments of a call of a host routine travel, by target. On i386
// every convention's arrangement follows from StackFrame and the call
// sequences; in a 64-bit process every routine but inline code follows the
// System V convention, laid out here once for the code generator and the
// compile-time calls alike.
#pragma once

#include <cstdint>
#include <vector>

#include "fennic/core/types.h"

namespace fennic {

enum class TArgHome : std::uint8_t {
  IntRegister,     // Index: 0 to 5 for RDI, RSI, RDX, RCX, R8, R9
  VectorRegister,  // Index: 0 to 7 for XMM0 to XMM7
  Stack            // Index: byte offset from the stack top at the call
};

struct TArgPlace {
  TArgHome Home = TArgHome::Stack;
  std::int32_t Index = 0;
};

struct TSystemVFrame {
  std::vector<TArgPlace> Places;  // one per parameter, in the parameter order of the registration
  std::int32_t StackBytes = 0;    // a multiple of 8
};

// The C++ declaration of a routine lists the parameters in the order its
// i386 convention wants them: ctCdecl and ctStdcall as registered, ctPascal
// reversed, ctRegister the register parameters (the first three integers of
// up to 32 bits or by-reference ones) first and the rest reversed. The same
// declaration compiled for x86-64 receives them by the System V rules:
// integers and addresses in RDI, RSI, RDX, RCX, R8, R9; singles and doubles
// in XMM0 to XMM7; beyond those, and every extended value, on the stack, in
// 8-byte slots (16-byte aligned slots of 16 for extended values) in
// declaration order. Not for ctBuilt_in.
TSystemVFrame SystemVFrame(const TFunction& Func);

// Parameter indices in the order of the routine's C++ declaration.
std::vector<std::int32_t> DeclarationOrder(const TFunction& Func);

// An integer argument as its register holds it: widened to 32 bits by the
// parameter's type when that is narrower (the compilers of the System V
// world read the whole register), the upper half clear, a 64-bit one whole.
std::uint64_t WidenedArgument(TVarType Param, std::int64_t Value);

}  // namespace fennic
