// The pack's inline x87 code. Each function checks its argument with FUCOMPP
// or FXAM (neither raises an exception for a quiet NaN), computes the fast
// path in a handful of x87 instructions, and hands everything else to the C
// library (LibraryCall).
#include "fennic/functions/x87code.h"

#include <stdexcept>

namespace fennic::functions {

// ---- The code builder --------------------------------------------------------------

TX87Code& TX87Code::operator()(std::initializer_list<std::uint8_t> Bytes) {
  FCode.insert(FCode.end(), Bytes);
  return *this;
}

TX87Code& TX87Code::Append(const TAByte& Bytes) {
  FCode.insert(FCode.end(), Bytes.begin(), Bytes.end());
  return *this;
}

TX87Code& TX87Code::Value(std::uint64_t V, int Bytes) {
  AppendLittleEndian(FCode, V, Bytes);
  return *this;
}

TX87Code& TX87Code::Stack(std::uint8_t Opcode, std::uint8_t Reg, std::uint8_t Disp) {
  return (*this)({Opcode, static_cast<std::uint8_t>(0x44 | Reg << 3), 0x24, Disp});
}

TX87Code::TLabel TX87Code::Label() {
  FLabels.push_back(-1);
  return FLabels.size() - 1;
}

TX87Code& TX87Code::Jump(std::uint8_t Opcode, TLabel Target) {
  // The 32-bit displacement form (0F 8x, E9): the fast paths and the library
  // call run past the reach of a byte.
  if (Opcode == 0xEB) {
    FCode.push_back(0xE9);
  } else {
    FCode.push_back(0x0F);
    FCode.push_back(static_cast<std::uint8_t>(Opcode + 0x10));
  }
  FJumps.emplace_back(FCode.size(), Target);
  FCode.insert(FCode.end(), 4, 0);
  return *this;
}

TX87Code& TX87Code::Bind(TLabel Target) {
  FLabels.at(Target) = static_cast<std::ptrdiff_t>(FCode.size());
  return *this;
}

TAByte TX87Code::Done() const {
  TAByte code = FCode;
  for (const auto& [at, target] : FJumps) {
    const std::ptrdiff_t to = FLabels.at(target);
    if (to < 0) throw std::logic_error("inline code: a jump to an unbound label");
    const auto distance = static_cast<std::uint32_t>(to - static_cast<std::ptrdiff_t>(at + 4));
    for (int i = 0; i < 4; ++i) code[at + i] = static_cast<std::uint8_t>(distance >> (8 * i));
  }
  return code;
}

namespace {

// ---- Constants ---------------------------------------------------------------------

// pi/2 in four parts: the first two of 32 significant bits, so that k times
// either is exact for |k| < 2^32; together about 170 bits.
alignas(8) const double HalfPi1 = 0x1.921fb544p+0;
alignas(8) const double HalfPi2 = 0x1.0b4611a6p-34;
alignas(8) const double HalfPi3 = 0x1.3198a2e037073p-69;
alignas(8) const double HalfPi4 = 0x1.129024e088a68p-123;
alignas(8) const double TwoOverPi = 0x1.45f306dc9c883p-1;
// The reduction's quotient must fit a 32-bit integer.
alignas(8) const double TrigLimit = 0x1p31;
// Below it the instructions take the argument as it is (1 ulp there).
alignas(8) const double QuarterPi = 0x1.921fb54442d18p-1;
// ln 2 in two parts, the first of 49 bits: n times it is exact for |n| < 2^15.
alignas(8) const double Ln2High = 0x1.62e42fefa39e0p-1;
alignas(8) const double Ln2Low = 0x1.e6af278ece601p-50;
// e^x stays a normal extended value within this bound.
alignas(8) const double ExpLimit = 11354.0;
// tanh(x) is 1 to the last bit beyond it.
alignas(8) const double TanhLimit = 22.0;
// Below these, 2^u - 1 (F2XM1, |u| <= 1) serves sinh and tanh.
alignas(8) const double SinhSmall = 0.5;
alignas(8) const double TanhSmall = 0.6875;  // for 2|x|
alignas(8) const double Half = 0.5;
alignas(8) const double Two = 2.0;

// x87 instructions.
constexpr std::uint8_t FldSt0[] = {0xD9, 0xC0}, FldSt1[] = {0xD9, 0xC1};
void Op(TX87Code& C, const std::uint8_t (&Bytes)[2]) { C({Bytes[0], Bytes[1]}); }

// |ST0| < *Limit, else a jump to Slow; ST0 stays. Two registers.
void BelowLimit(TX87Code& C, const double* Limit, TX87Code::TLabel Slow) {
  C.Memory(0xDD, 0, Limit);    // FLD QWORD [limit]      limit, x
  Op(C, FldSt1);               // FLD ST1                x, limit, x
  C({0xD9, 0xE1});             // FABS
  C({0xDA, 0xE9});             // FUCOMPP: |x| against the limit, both popped
  C({0xDF, 0xE0});             // FNSTSW AX
  C({0x80, 0xE4, 0x45});       // AND AH,45h: C3 C2 C0
  C({0x80, 0xFC, 0x01});       // CMP AH,1: below, and not unordered
  C.Jump(0x75, Slow);          // JNE slow
}

// ST0 = x -> ST0 = r, EAX = k with x = k pi/2 + r, |r| about pi/4 at most.
// Two registers.
void ReduceQuadrant(TX87Code& C) {
  Op(C, FldSt0);                             // x, x
  C.Memory(0xDC, 1, &TwoOverPi);             // FMUL QWORD [2/pi]
  C({0xD9, 0xFC});                           // FRNDINT                 k, x
  for (const double* part : {&HalfPi1, &HalfPi2, &HalfPi3, &HalfPi4}) {
    Op(C, FldSt0);                           // k, k, r
    C.Memory(0xDC, 1, part);                 // FMUL QWORD [part]       k*part, k, r
    C({0xDE, 0xEA});                         // FSUBP ST2,ST            k, r - k*part
  }
  C({0x50});                                 // PUSH EAX: a slot
  C({0xDB, 0x1C, 0x24});                     // FISTP DWORD [ESP]       r
  C({0x58});                                 // POP EAX: k
}

// ST0 = a (|a| < ExpLimit) -> e^a. Three registers.
void Exponential(TX87Code& C) {
  C({0xD9, 0xEA});                           // FLDL2E                  log2e, a
  C({0xD8, 0xC9});                           // FMUL ST,ST1             a log2e, a
  C({0xD9, 0xFC});                           // FRNDINT                 n, a
  Op(C, FldSt0);
  C.Memory(0xDC, 1, &Ln2High);               // FMUL QWORD [ln2 high]   n h, n, a
  C({0xDE, 0xEA});                           // FSUBP ST2,ST            n, a - n h (exact)
  Op(C, FldSt0);
  C.Memory(0xDC, 1, &Ln2Low);                // FMUL QWORD [ln2 low]
  C({0xDE, 0xEA});                           // FSUBP ST2,ST            n, r
  C({0xD9, 0xC9});                           // FXCH                    r, n
  C({0xD9, 0xEA});                           // FLDL2E
  C({0xDE, 0xC9});                           // FMULP                   u = r log2e, |u| <= 1/2
  C({0xD9, 0xF0});                           // F2XM1                   2^u - 1, n
  C({0xD9, 0xE8});                           // FLD1
  C({0xDE, 0xC1});                           // FADDP                   2^u, n
  C({0xD9, 0xFD});                           // FSCALE                  2^(u+n), n
  C({0xDD, 0xD9});                           // FSTP ST1
}

// ST0 = a, a * log2(e) within [-1, 1] -> e^a - 1. One register.
void ExponentialMinusOne(TX87Code& C) {
  C({0xD9, 0xEA});  // FLDL2E
  C({0xDE, 0xC9});  // FMULP
  C({0xD9, 0xF0});  // F2XM1
}

// ST0 = f(|x|), ST1 = x -> ST0 = f(|x|) with the sign of x. One register.
void SignOfArgument(TX87Code& C, TX87Code::TLabel Done) {
  C({0xD9, 0xC9});        // FXCH                  x, f
  C({0xD9, 0xE5});        // FXAM: C1 is the sign
  C({0xDF, 0xE0});        // FNSTSW AX
  C({0xDD, 0xD8});        // FSTP ST0              f
  C({0xF6, 0xC4, 0x02});  // TEST AH,2
  C.Jump(0x74, Done);     // JZ done
  C({0xD9, 0xE0});        // FCHS
  C.Jump(0xEB, Done);
}

}  // namespace

// ---- The functions -----------------------------------------------------------------

TInlineCode TangentCode(TUnaryRoutine Fallback) {
  TX87Code C;
  const auto reduce = C.Label(), slow = C.Label(), odd = C.Label(), even = C.Label(), done = C.Label();
  BelowLimit(C, &QuarterPi, reduce);
  C({0xD9, 0xF2});          // FPTAN                   1, tan x
  C.Jump(0xEB, even);
  C.Bind(reduce);
  BelowLimit(C, &TrigLimit, slow);
  ReduceQuadrant(C);
  C({0xD9, 0xF2});          // FPTAN                   1, tan r
  C({0xA8, 0x01});          // TEST AL,1
  C.Jump(0x75, odd);
  C.Bind(even);
  C({0xDD, 0xD8});          // FSTP ST0                tan r
  C.Jump(0xEB, done);
  C.Bind(odd);
  C({0xDE, 0xF1});          // FDIVRP ST1,ST           1 / tan r
  C({0xD9, 0xE0});          // FCHS                    -cot r = tan(r + pi/2)
  C.Jump(0xEB, done);
  C.Bind(slow);
  C.Append(LibraryCall(reinterpret_cast<const void*>(Fallback), 1));
  C.Bind(done);
  return {C.Done(), 2};
}

TInlineCode CoshCode(TUnaryRoutine Fallback) {
  TX87Code C;
  const auto slow = C.Label(), done = C.Label();
  BelowLimit(C, &ExpLimit, slow);
  C({0xD9, 0xE1});               // FABS                   a
  Exponential(C);                // E
  C({0xD9, 0xE8});               // FLD1
  C({0xD8, 0xF1});               // FDIV ST,ST1            1/E, E
  C({0xDE, 0xC1});               // FADDP                  E + 1/E
  C.Memory(0xDC, 1, &Half);      // FMUL QWORD [0.5]
  C.Jump(0xEB, done);
  C.Bind(slow);
  C.Append(LibraryCall(reinterpret_cast<const void*>(Fallback), 1));
  C.Bind(done);
  return {C.Done(), 2};
}

TInlineCode SinhCode(TUnaryRoutine Fallback) {
  TX87Code C;
  const auto slow = C.Label(), large = C.Label(), half = C.Label(), done = C.Label();
  BelowLimit(C, &ExpLimit, slow);
  Op(C, FldSt0);                 // x, x
  C({0xD9, 0xE1});               // FABS                   a, x
  C.Memory(0xDD, 0, &SinhSmall); // FLD QWORD [0.5]        0.5, a, x
  Op(C, FldSt1);                 // a, 0.5, a, x
  C({0xDA, 0xE9});               // FUCOMPP                a, x
  C({0xDF, 0xE0});               // FNSTSW AX
  C({0xF6, 0xC4, 0x01});         // TEST AH,1: C0, a < 0.5
  C.Jump(0x74, large);
  ExponentialMinusOne(C);        // M = e^a - 1, x
  C({0xD9, 0xE8});               // FLD1
  C({0xD8, 0xC1});               // FADD ST,ST1            M + 1, M, x
  C({0xD8, 0xF9});               // FDIVR ST,ST1           M / (M + 1), M, x
  C({0xDE, 0xC1});               // FADDP                  M + M/(M + 1), x
  C.Jump(0xEB, half);
  C.Bind(large);
  Exponential(C);                // E, x
  C({0xD9, 0xE8});               // FLD1
  C({0xD8, 0xF1});               // FDIV ST,ST1            1/E, E, x
  C({0xDE, 0xE9});               // FSUBP ST1,ST           E - 1/E, x
  C.Bind(half);
  C.Memory(0xDC, 1, &Half);      // FMUL QWORD [0.5]
  SignOfArgument(C, done);
  C.Bind(slow);
  C.Append(LibraryCall(reinterpret_cast<const void*>(Fallback), 1));
  C.Bind(done);
  return {C.Done(), 3};
}

TInlineCode TanhCode(TUnaryRoutine Fallback) {
  TX87Code C;
  const auto slow = C.Label(), large = C.Label(), sign = C.Label(), done = C.Label();
  BelowLimit(C, &TanhLimit, slow);
  Op(C, FldSt0);                 // x, x
  C({0xD9, 0xE1});               // FABS
  C({0xD8, 0xC0});               // FADD ST,ST0            b = 2|x|, x
  C.Memory(0xDD, 0, &TanhSmall); // FLD QWORD [small]
  Op(C, FldSt1);                 // b, small, b, x
  C({0xDA, 0xE9});               // FUCOMPP                b, x
  C({0xDF, 0xE0});               // FNSTSW AX
  C({0xF6, 0xC4, 0x01});         // TEST AH,1: b below
  C.Jump(0x74, large);
  ExponentialMinusOne(C);        // M = e^b - 1, x
  Op(C, FldSt0);                 // M, M, x
  C.Memory(0xDC, 0, &Two);       // FADD QWORD [2]         M + 2, M, x
  C({0xDE, 0xF9});               // FDIVP ST1,ST           M / (M + 2), x
  C.Jump(0xEB, sign);
  C.Bind(large);
  Exponential(C);                // E = e^b, x
  C({0xD9, 0xE8});               // FLD1
  C({0xDE, 0xC1});               // FADDP                  E + 1, x
  C.Memory(0xDC, 7, &Two);       // FDIVR QWORD [2]        2 / (E + 1), x
  C({0xD9, 0xE8});               // FLD1
  C({0xDE, 0xE1});               // FSUBRP ST1,ST          1 - 2/(E + 1), x
  C.Bind(sign);
  SignOfArgument(C, done);
  C.Bind(slow);
  C.Append(LibraryCall(reinterpret_cast<const void*>(Fallback), 1));
  C.Bind(done);
  return {C.Done(), 3};
}

}  // namespace fennic::functions
