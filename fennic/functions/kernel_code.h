// Building blocks of the pack's kernels (kernels*.cpp): the frame and the
// checks of a kernel, the paths to the library, rounding to an integer and
// polynomials, written as x87 code that addresses constants of static
// storage.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fennic/functions/x87code.h"

namespace fennic::functions {

struct TCoefficient {
  long double Extended;
  double Double;
  bool Wide;  // needs the 64-bit significand
};

// Extended values in 16-byte slots, in either target, so that a table of
// them is indexed by a shift.
struct TWide {
  alignas(16) long double Value;
};

struct TLogEntry {
  alignas(16) long double Inverse;  // 1/T
  alignas(16) long double LnHigh;   // ln T to 64 bits
  double LnLow;         // the rest
  double T;             // k/256
};

struct TAtanEntry {
  alignas(16) long double High;  // atan c to 64 bits
  double Low;                    // the rest
  double C;
};


alignas(8) inline const double Magic = 0x1.8p52;

// A pool for the 64-bit base register: every constant of the kernels lies
// within reach of a 32-bit displacement from it.
inline const void* Pool() { return &Magic; }

// Frame of the kernels: [ESP] a double or extended scratch, [ESP+16] a
// float, [ESP+20] an integer, [ESP+24] the control word.
constexpr std::uint8_t FrameBytes = 32, ScratchFloat = 16, ScratchInt = 20, ControlWord = 24;

// A polynomial's coefficients, lowest power first, in static storage: the
// code addresses them.
using TPoly = std::vector<const TCoefficient*>;

class TKernel {
 public:
  TKernel(bool Double) : FDouble(Double), FSlow(C.Label()), FDone(C.Label()) { C.Base(Pool()); }

  TX87Code C;

  // |ST0| < *Limit, else to the library (from within the frame after
  // Enter, Pops registers above the arguments dropped); ST0 stays. Two
  // registers, AX.
  void BelowLimit(const double* Limit, int Pops = 0) {
    C.Memory(0xDD, 0, Limit);  // FLD QWORD [limit]
    C({0xD9, 0xC1});           // FLD ST1
    C({0xD9, 0xE1});           // FABS
    C({0xDA, 0xE9});           // FUCOMPP
    C({0xDF, 0xE0});           // FNSTSW AX
    C({0x80, 0xE4, 0x45});     // AND AH,45h
    C({0x80, 0xFC, 0x01});     // CMP AH,1: below, and not unordered
    SlowIf(0x75, Pops);
  }
  // The frame, and the host's control word checked: round to nearest, and
  // 64-bit precision or (unless Full) 53-bit.
  void Enter(bool Full) {
    FEntered = true;
    C.Frame(FrameBytes);
    C.Stack(0xD9, 7, ControlWord);                  // FNSTCW [ESP+cw]
    C({0x8A, 0x44, 0x24, ControlWord + 1});         // MOV AL,[ESP+cw+1]
    C({0x24, static_cast<std::uint8_t>(Full ? 0x0F : 0x0E)});  // AND AL: RC, PC (both bits)
    C({0x3C, static_cast<std::uint8_t>(Full ? 0x03 : 0x02)});  // CMP AL
    SlowIf(0x75);
  }
  // To the library when the jump's condition holds, Pops registers above
  // the arguments dropped and the frame released.
  void SlowIf(std::uint8_t Jcc, int Pops = 0) {
    if (!FEntered) {
      C.Jump(Jcc, FSlow);
      return;
    }
    if (FExits.size() <= static_cast<std::size_t>(Pops)) FExits.resize(Pops + 1, NoLabel);
    if (FExits[Pops] == NoLabel) FExits[Pops] = C.Label();
    C.Jump(Jcc, FExits[Pops]);
  }
  // The result in ST0: the frame released, and the library path behind.
  TInlineCode Finish(const void* Fallback, int Arity, std::int32_t StackNeeds) {
    return Finish(LibraryCall(Fallback, Arity), StackNeeds);
  }
  TInlineCode Finish(const TAByte& Slow, std::int32_t StackNeeds) {
    C.Unframe(FrameBytes);
    C.Jump(0xEB, FDone);
    const auto leave = C.Label();
    for (std::size_t pops = FExits.size(); pops-- > 1;) {
      if (FExits[pops] == NoLabel) continue;
      C.Bind(FExits[pops]);
      for (std::size_t k = 0; k < pops; ++k) C({0xDD, 0xD8});  // FSTP ST0
      C.Jump(0xEB, leave);
    }
    if (!FExits.empty() && FExits[0] != NoLabel) C.Bind(FExits[0]);
    C.Bind(leave);
    C.Unframe(FrameBytes);
    C.Bind(FSlow);
    C.Append(Slow);
    C.Bind(FDone);
    return {C.Done(), StackNeeds};
  }

  // ST0 = v -> ST0 = round(v), EAX its low 32 bits (two's complement).
  void RoundToInteger() {
    C.Memory(0xDC, 0, &Magic);  // FADD QWORD [1.5*2^52]
    C.Stack(0xDD, 3, 0);        // FSTP QWORD [ESP]: rounded to a whole number
    C.Stack(0x8B, 0, 0);        // MOV EAX,[ESP]
    C.Stack(0xDD, 0, 0);        // FLD QWORD [ESP]
    C.Memory(0xDC, 4, &Magic);  // FSUB QWORD [1.5*2^52]
  }

  // Coefficient operations: a QWORD operand, or the 64-bit value loaded.
  bool Wide(const TCoefficient& K) const { return K.Wide && !FDouble; }
  void Load(const TCoefficient& K) {
    if (Wide(K)) C.Memory(0xDB, 5, &K.Extended);  // FLD TBYTE
    else C.Memory(0xDD, 0, &K.Double);            // FLD QWORD
  }
  void Add(const TCoefficient& K) {
    if (Wide(K)) {
      C.Memory(0xDB, 5, &K.Extended);  // FLD TBYTE
      C({0xDE, 0xC1});                 // FADDP
    } else {
      C.Memory(0xDC, 0, &K.Double);    // FADD QWORD
    }
  }

  // ST0 = w -> ST0 = A(w), ST1 = B(w), ST2 = w: two Horner chains
  // interleaved, so that either's multiplication runs beside the other's
  // addition. Two registers beyond w, three while a wide coefficient loads.
  void TwoChains(const TPoly& A, const TPoly& B) {
    Load(*B.back());                                 // b, w
    Load(*A.back());                                 // a, b, w
    const int Rounds = static_cast<int>(std::max(A.size(), B.size())) - 1;
    for (int s = 1; s <= Rounds; ++s) {
      for (int chain = 0; chain < 2; ++chain) {
        const TPoly& P = chain == 0 ? A : B;
        const int count = static_cast<int>(P.size());
        const int step = s - (Rounds - (count - 1));
        if (step >= 1) {
          C({0xD8, 0xCA});                          // FMUL ST,ST2
          Add(*P[count - 1 - step]);
        }
        C({0xD9, 0xC9});                            // FXCH ST1
      }
    }
  }

 private:
  static constexpr TX87Code::TLabel NoLabel = ~TX87Code::TLabel{0};
  bool FDouble;
  bool FEntered = false;
  TX87Code::TLabel FSlow, FDone;
  std::vector<TX87Code::TLabel> FExits;  // by the registers to drop
};

// A polynomial's coefficients from index From on, every other one.
template <std::size_t N>
TPoly Every(const TCoefficient (&K)[N], std::size_t From, const TCoefficient& Lead) {
  TPoly Out = {&Lead};
  for (std::size_t i = From; i < N; i += 2) Out.push_back(&K[i]);
  return Out;
}

alignas(16) inline const TCoefficient One = {1.0L, 1.0, false};
alignas(16) inline const TCoefficient Half = {0.5L, 0.5, false};
alignas(16) inline const TCoefficient MinusHalf = {-0.5L, -0.5, false};

// ST0 = r, ST1 = x (consumed) -> p(r) = r A(z) + z B(z), z = r^2, with
// A = {1, c3, c5, ...}, B = {Second, c4, c6, ...}.
template <std::size_t N>
void OddEven(TKernel& K, const TCoefficient (&Rest)[N], const TCoefficient& Second) {
  const TPoly A = Every(Rest, 0, One), B = Every(Rest, 1, Second);
  TX87Code& C = K.C;
  C({0xD9, 0xC0});                                 // FLD ST0       r, r
  C({0xD8, 0xC8});                                 // FMUL ST,ST0   z, r
  K.TwoChains(A, B);
  // A, B, z, r
  C({0xDE, 0xCB});                                 // FMULP ST3,ST  B, z, rA
  C({0xDE, 0xC9});                                 // FMULP         zB, rA
  C({0xDE, 0xC1});                                 // FADDP         p
}

// ST0 = t (|t| < 11354) [, ST1 = a low part of t] -> e^t, in the frame.
void ExpCore(TKernel& K, bool Double, bool WithLow);

}  // namespace fennic::functions
