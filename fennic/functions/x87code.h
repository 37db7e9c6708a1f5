// Inline x87 code of the pack's ctBuilt_in functions.
//
// The functions follow the contract of inline code: arguments on the x87
// stack (the last one in ST0), the result left in ST0; they may change EAX,
// ECX and EDX (in 64-bit code every register a call may change). A fast path
// of x87 instructions serves the arguments it computes to a few units in the
// last place; the others (out of its range, infinities, NaNs) go to the C
// library's long double function, with the whole x87 state saved around it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

#include "fennic/core/encoder.h"
#include "fennic/core/types.h"

namespace fennic::functions {

using TUnaryRoutine = long double (*)(long double);
using TBinaryRoutine = long double (*)(long double, long double);

// Inline code under construction: instructions, instructions whose operand
// is a constant of the pack in memory, and short forward jumps.
class TX87Code {
 public:
  using TLabel = std::size_t;

  TX87Code& operator()(std::initializer_list<std::uint8_t> Bytes);
  TX87Code& operator()(const TEncoder& Code);
  TX87Code& Append(const TAByte& Bytes);
  // Value as Bytes little-endian bytes (an immediate or an address).
  TX87Code& Value(std::uint64_t V, int Bytes);
  // Opcode, then a ModRM byte with the reg field Reg addressing Constant (a
  // constant of static storage): [abs32] on i386; in 64-bit code through RAX
  // (x87code_*.cpp); after Base, through the pool register with a 32-bit
  // displacement.
  TX87Code& Memory(std::uint8_t Opcode, std::uint8_t Reg, const void* Constant);
  // The pool register (RSI) pointed at Pool, near every constant that
  // Memory and Indexed address afterwards; nothing on i386, where the
  // constants' addresses are absolute.
  TX87Code& Base(const void* Pool);
  // Opcode, ModRM addressing Table plus a byte offset in a 32-bit general
  // register (0 EAX, 1 ECX, 2 EDX); in 64-bit code after Base only.
  TX87Code& Indexed(std::uint8_t Opcode, std::uint8_t Reg, const void* Table, std::uint8_t Index);
  // Opcode, ModRM addressing [ESP+Disp], the displacement always a byte
  // (the same bytes in both targets).
  TX87Code& Stack(std::uint8_t Opcode, std::uint8_t Reg, std::uint8_t Disp) { return Stack({Opcode}, Reg, Disp); }
  TX87Code& Stack(std::initializer_list<std::uint8_t> Opcode, std::uint8_t Reg, std::uint8_t Disp);
  // Room of Bytes on the machine stack, and its release (SUB/ADD ESP or RSP;
  // they change the flags).
  TX87Code& Frame(std::uint8_t Bytes);
  TX87Code& Unframe(std::uint8_t Bytes);
  TLabel Label();
  // A jump, named by its short opcode (0x74 JZ, 0x75 JNZ, 0xEB JMP ...), to
  // a label bound later.
  TX87Code& Jump(std::uint8_t Opcode, TLabel Target);
  TX87Code& Bind(TLabel Target);
  // The bytes; every jump bound (std::logic_error if not).
  TAByte Done() const;

 private:
  TAByte FCode;
  const void* FBase = nullptr;
  std::vector<std::ptrdiff_t> FLabels;                // position, -1 while unbound
  std::vector<std::pair<std::size_t, TLabel>> FJumps;  // position of the displacement byte
};

// ST0 -> Fallback(ST0) (Arity 1), or ST1, ST0 -> Fallback(ST1, ST0) (Arity
// 2), the rest of the x87 stack kept: a call of a C library routine from
// inline code by the target's convention, the exception flags it raises
// joined to the saved state (x87code_*.cpp).
TAByte LibraryCall(const void* Fallback, int Arity);

// The pack's functions. Each returns its code and the x87 registers it uses
// beyond its arguments (StackNeeds).
struct TInlineCode {
  TAByte Code;
  std::int32_t StackNeeds;
};

// The pack's own kernels (kernels.cpp), in extended accuracy or, with
// Double, in the fewer terms a double result needs.
// exp: |x| < 11354.
TInlineCode ExpKernel(bool Double, TUnaryRoutine Fallback);
// sinh, cosh (kernels_hyperbolic.cpp): |x| < 11354, from e^|x|; sinh by a
// polynomial below |x| = asinh(1).
TInlineCode SinhKernel(bool Double, TUnaryRoutine Fallback);
TInlineCode CoshKernel(bool Double, TUnaryRoutine Fallback);
// tanh: |x| < 5677, from e^2|x|; by a quotient of polynomials below
// atanh(1/2). sinh and tanh leave zeros and |x| < 2^-32 to the library.
TInlineCode TanhKernel(bool Double, TUnaryRoutine Fallback);
// ln, log2, log10: positive normal x within 2^-125 and 2^126; FYL2X for
// the others.
enum TLogBase : std::uint8_t { lbE, lbTwo, lbTen };
TInlineCode LogKernel(TLogBase Base, bool Double);
// pow: positive normal x within 2^-125 and 2^126, |y| < 2^64 and |y ln x|
// < 11354, under 64-bit precision control.
TInlineCode PowKernel(bool Double, TBinaryRoutine Fallback);
// min, max: FUCOMI and FCMOV, a NaN losing to a number.
TInlineCode MinMaxCode(bool Max);
// hypot: sqrt(x^2 + y^2) where max(|x|, |y|) lies within 2^-8000 and
// 2^8000; the library elsewhere.
TInlineCode HypotKernel(TBinaryRoutine Fallback);
// sin, cos: |x| < 2^31, under 64-bit precision control.
TInlineCode SineKernel(bool Cosine, bool Double, TUnaryRoutine Fallback);
// tan: the same reduction, both polynomials and their quotient; |x| < 2^31,
// under 64-bit precision control.
TInlineCode TangentKernel(bool Double, TUnaryRoutine Fallback);
// atan: 2^-3000 <= |x| < 2^3000; atan2: x and y within 2^-8000 and 2^8000
// and |y/x| within 2^-3000 and 2^3000; asin, acos (with Cosine): 2^-3000
// <= |x| < 1. Under 64-bit precision control (kernels_inverse.cpp).
TInlineCode AtanKernel(bool Double, TUnaryRoutine Fallback);
TInlineCode Atan2Kernel(bool Double, TBinaryRoutine Fallback);
TInlineCode ArcSineKernel(bool Cosine, bool Double, TUnaryRoutine Fallback);

inline void AppendLittleEndian(TAByte& Code, std::uint64_t Value, int Bytes) {
  for (int i = 0; i < Bytes; ++i) Code.push_back(static_cast<std::uint8_t>(Value >> (8 * i)));
}

}  // namespace fennic::functions
