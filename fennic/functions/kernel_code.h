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


// Added and taken away, they round to a whole number under 53-bit and
// 64-bit precision control (indexed by the precision bit).
alignas(16) inline const double Magic[2] = {0x1.8p52, 0x1.8p63};

// A pool for the 64-bit base register: every constant of the kernels lies
// within reach of a 32-bit displacement from it.
inline const void* Pool() { return Magic; }

// Frame of the kernels: [ESP] a double or extended scratch, [ESP+16] a
// float, [ESP+20] an integer, [ESP+24] the control word, [ESP+28] the
// integer rounded last.
constexpr std::uint8_t FrameBytes = 32, ScratchFloat = 16, ScratchInt = 20, ControlWord = 24, Rounded = 28;

// A polynomial's coefficients, lowest power first, in static storage: the
// code addresses them.
using TPoly = std::vector<const TCoefficient*>;

class TKernel {
 public:
  TKernel(bool Double) : FDouble(Double), FSlow(C.Label()), FDone(C.Label()) { C.Base(Pool()); }

  TX87Code C;

  // |ST0| < *Limit, else to the library (from within the frame after
  // Enter, Pops registers above the arguments dropped); ST0 stays. Two
  // registers. FUCOMIP sets "above" only for an ordered limit > |x|, so
  // that a NaN goes to the library too.
  void BelowLimit(const double* Limit, int Pops = 0) {
    C({0xD9, 0xC0});           // FLD ST0
    C({0xD9, 0xE1});           // FABS                      |x|, x
    C.Memory(0xDD, 0, Limit);  // FLD QWORD [limit]         limit, |x|, x
    C({0xDF, 0xE9});           // FUCOMIP ST,ST1
    C({0xDD, 0xD8});           // FSTP ST0                  x
    SlowIf(0x76, Pops);        // JBE
  }
  // The frame, and the host's control word checked: round to nearest, and
  // 64-bit precision or (unless Full) 53-bit.
  void Enter(bool Full) {
    FEntered = true;
    FFull = Full;
    C.Frame(FrameBytes);
    C.Stack(0xD9, 7, ControlWord);                  // FNSTCW [ESP+cw]
    C.Stack(0x8A, 0, ControlWord + 1);              // MOV AL,[ESP+cw+1]
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

  // ST0 = v -> ST0 = round(v), EAX its low 32 bits (two's complement), in
  // the frame. The rounded value stays in the register, so that the x87
  // chain does not wait for a store and a load; the integer goes through
  // memory beside it.
  void RoundToInteger() {
    if (FFull) {
      C.Memory(0xDC, 0, &Magic[1]);            // FADD QWORD [1.5*2^63]
      C.Memory(0xDC, 4, &Magic[1]);            // FSUB QWORD [1.5*2^63]
    } else {
      C.Stack({0x0F, 0xB6}, 0, ControlWord + 1);     // MOVZX EAX,BYTE [ESP+cw+1]
      C({0x83, 0xE0, 0x01});                   // AND EAX,1: 64-bit precision
      C({0xC1, 0xE0, 0x03});                   // SHL EAX,3
      C.Indexed(0xDC, 0, Magic, 0);            // FADD QWORD [magic+EAX]
      C.Indexed(0xDC, 4, Magic, 0);            // FSUB QWORD [magic+EAX]
    }
    C.Stack(0xDB, 2, Rounded);                 // FIST DWORD [ESP+r]
    C.Stack(0x8B, 0, Rounded);                 // MOV EAX,[ESP+r]
  }

  // Coefficients addressed with a byte offset in a register (0 EAX, 1 ECX,
  // 2 EDX) from now on, choosing among tables of equal shape; NoIndex ends it.
  static constexpr int NoIndex = -1;
  void IndexCoefficients(int Register) { FIndex = Register; }

  // Coefficient operations: a QWORD operand, or the 64-bit value loaded.
  bool Wide(const TCoefficient& K) const { return K.Wide && !FDouble; }
  void Load(const TCoefficient& K) {
    if (Wide(K)) Operand(0xDB, 5, &K.Extended);  // FLD TBYTE
    else Operand(0xDD, 0, &K.Double);            // FLD QWORD
  }
  void Add(const TCoefficient& K) {
    if (Wide(K)) {
      Operand(0xDB, 5, &K.Extended);  // FLD TBYTE
      C({0xDE, 0xC1});                // FADDP
    } else {
      Operand(0xDC, 0, &K.Double);    // FADD QWORD
    }
  }

  // ST0 = w -> ST0 = A(w), ST1 = w^2, ST2 = w, by Estrin's scheme: pairs
  // a(2i) + a(2i+1) w, joined by w^2 into blocks of four, the blocks by w^4
  // (Levels 2; with Levels 1 the pairs by w^2 in Horner's way). The chain is
  // a handful of operations deep instead of one per coefficient. Registers
  // beyond w: Levels, one per part waiting (two with Levels 2, else one),
  // and one for a pair (two while a wide coefficient loads).
  void Estrin(const TPoly& A, int Levels) {
    FPowers = Levels;
    for (int j = 0; j < Levels; ++j) {
      C({0xD9, 0xC0});                         // FLD ST0
      C({0xD8, 0xC8});                         // FMUL ST,ST0: w^2, w^4
    }
    const std::size_t Block = std::size_t{2} << (Levels - 1);
    std::size_t lo = (A.size() - 1) / Block * Block;
    Estrin(A, lo, A.size() - lo, 0);
    while (lo > 0) {
      lo -= Block;
      MulPower(Levels, 1);                     // FMUL ST,w^Block
      Estrin(A, lo, Block, 1);
      C({0xDE, 0xC1});                         // FADDP
    }
    for (int j = Levels; j > 1; --j) C({0xDD, 0xD9});  // FSTP ST1: the higher powers
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
  // A coefficient's operand: at its address, or indexed.
  void Operand(std::uint8_t Opcode, std::uint8_t Reg, const void* At) {
    if (FIndex == NoIndex) C.Memory(Opcode, Reg, At);
    else C.Indexed(Opcode, Reg, At, static_cast<std::uint8_t>(FIndex));
  }
  // ST0 times w^(2^Power), Depth registers above the powers beneath ST0.
  void MulPower(int Power, int Depth) {
    C({0xD8, static_cast<std::uint8_t>(0xC8 + Depth + FPowers - Power)});  // FMUL ST,ST(i)
  }
  // A(w) over a[Lo .. Lo+N) / w^Lo onto the stack, Depth registers above
  // the powers.
  void Estrin(const TPoly& A, std::size_t Lo, std::size_t N, int Depth) {
    if (N == 1) {
      Load(*A[Lo]);
      return;
    }
    std::size_t half = 1;
    int power = 0;
    while (half * 2 < N) half *= 2, ++power;
    Estrin(A, Lo + half, N - half, Depth);     // the upper part first
    MulPower(power, Depth + 1);
    if (half == 1) {
      Add(*A[Lo]);
    } else {
      Estrin(A, Lo, half, Depth + 1);
      C({0xDE, 0xC1});                         // FADDP
    }
  }

  static constexpr TX87Code::TLabel NoLabel = ~TX87Code::TLabel{0};
  bool FDouble;
  bool FEntered = false;
  bool FFull = false;
  int FIndex = NoIndex;
  int FPowers = 0;
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

// ST0 = r -> ST0 = p(r) = r + r^2 Q(r), Q = {Second, Rest...}: a series
// whose first term is exact, with Estrin's scheme for the rest.
template <std::size_t N>
void SquareSeries(TKernel& K, const TCoefficient (&Rest)[N], const TCoefficient& Second, int Levels) {
  TPoly Q = {&Second};
  for (const TCoefficient& k : Rest) Q.push_back(&k);
  K.Estrin(Q, Levels);                             // Q, z, r
  K.C({0xDE, 0xC9});                               // FMULP         z Q, r
  K.C({0xDE, 0xC1});                               // FADDP         p
}

// ST0 = t (|t| < 11354) [, ST1 = a low part of t] -> e^t, in the frame;
// its polynomial by Estrin's scheme of Levels (2, or 1 where arguments stay
// beneath and registers are short).
void ExpCore(TKernel& K, bool Double, bool WithLow, int Levels);

}  // namespace fennic::functions
