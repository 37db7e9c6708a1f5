// The pack's inline x87 code. Each function checks its argument with FUCOMPP
// (which raises no exception for a quiet NaN), computes the fast path in a
// handful of x87 instructions, and hands everything else to the C library
// (LibraryCall).
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

}  // namespace fennic::functions
