// The pack's kernels of atan, atan2, asin and acos: one arc tangent core
// and its callers. The core takes q = 2^e (1 + f) and the centre c of the
// sixteenth of the binade q lies in (0 below 2^-6, 2^1000 beyond 2^6), so
// that atan q = atan c + atan t with t = (q - c)/(1 + q c), |t| <= 2^-6:
// one division, no second one for |q| > 1. atan2 divides y by x and adds
// the half-turn the signs ask for; asin and acos divide by sqrt((1 - x)(1 +
// x)). Everything is computed under round to nearest and 64-bit precision;
// zeros, infinities, NaNs, |x| >= 1 for asin and acos, and ratios beyond
// 2^-3000 .. 2^3000 (where t^5 would leave the normal range) go to the C
// library.
#include <iterator>

#include "fennic/functions/kernel_code.h"

namespace fennic::functions {
namespace {

#include "fennic/functions/kernel_tables.inc"

constexpr std::uint32_t ExponentBias = 16383;
constexpr std::uint32_t RatioRange = 3000;  // |q| within 2^-3000 and 2^3000
constexpr std::uint32_t ArgumentRange = 8000;  // atan2's x and y: their ratio normal
constexpr int TableLow = -6, TableBits = 4;  // the first binade of the table, its parts
const std::uint32_t TableLast = std::size(AtanTable) - 1;
alignas(4) const float Signs[2] = {1.0f, -1.0f};

static_assert(sizeof(TAtanEntry) == 32);

// ST(From) = v -> EAX = v's sign and exponent, ECX = the exponent less
// (bias - Below), [ESP] v as an extended value. One register.
void Exponent(TKernel& K, std::uint32_t Below, std::uint8_t From = 0) {
  TX87Code& C = K.C;
  C({0xD9, static_cast<std::uint8_t>(0xC0 + From)});  // FLD ST(from)
  C.Stack(0xDB, 7, 0);                          // FSTP TBYTE [ESP]
  C({0x0F, 0xB7, 0x44, 0x24, 0x08});            // MOVZX EAX,WORD [ESP+8]
  C({0x89, 0xC1});                              // MOV ECX,EAX
  C({0x81, 0xE1}).Value(0x7FFF, 4);             // AND ECX,7FFFh
  C({0x81, 0xE9}).Value(ExponentBias - Below, 4);  // SUB ECX
}

// After Exponent: to the library (Pops dropped) unless the exponent lies
// in [bias - Below, bias + Above): zeros, denormals, infinities and NaNs
// fail too.
void ExponentWithin(TKernel& K, std::uint32_t Below, std::uint32_t Above, int Pops, std::uint8_t From = 0) {
  Exponent(K, Below, From);
  K.C({0x81, 0xF9}).Value(Below + Above, 4);   // CMP ECX
  K.SlowIf(0x73, Pops);                         // JAE
}

// EAX = x's sign -> EDX = 64 times it, kept in [ESP+i]: x < 0 adds a
// half-turn.
void SaveHalfTurn(TKernel& K) {
  TX87Code& C = K.C;
  C({0x89, 0xC2});                              // MOV EDX,EAX
  C({0xC1, 0xEA, 0x0F});                        // SHR EDX,15
  C({0xC1, 0xE2, 0x06});                        // SHL EDX,6
  C.Stack(0x89, 2, ScratchInt);                 // MOV [ESP+i],EDX
}

// ST0 = w, ST1 = z, ST2 = t -> t z c0, t w R(z), t; R = A(w) + z B(w) of
// c1, c2, ... Three registers beyond w while the chains run.
template <std::size_t N>
void AtanTail(TKernel& K, const TCoefficient (&P)[N]) {
  TX87Code& C = K.C;
  K.TwoChains(Every(P, 3, P[1]), Every(P, 4, P[2]));  // A, B, w, z, t
  C({0xD9, 0xC9});                              // FXCH                    B, A, w, z, t
  C({0xD8, 0xCB});                              // FMUL ST,ST3             z B, A, w, z, t
  C({0xDE, 0xC1});                              // FADDP                   R, w, z, t
  C({0xD9, 0xC9});                              // FXCH                    w, R, z, t
  C({0xD8, 0xCB});                              // FMUL ST,ST3             t w, R, z, t
  C({0xDE, 0xC9});                              // FMULP                   t w R, z, t
  C({0xD9, 0xC9});                              // FXCH                    z, t w R, t
  C({0xD8, 0xCA});                              // FMUL ST,ST2             t z, t w R, t
  K.Load(P[0]);                                 //                         c0, t z, t w R, t
  C({0xDE, 0xC9});                              // FMULP                   t z c0, t w R, t
}

// ST0 = q, with EAX and ECX from Exponent(RatioRange) -> ST0 = t + the
// polynomial's tail + s (atan c low), s the sign of q; EAX = 4 [q < 0],
// ECX the entry of c. Four registers beyond q.
void AtanCore(TKernel& K, bool Double) {
  TX87Code& C = K.C;
  constexpr std::uint32_t Skew = (RatioRange + TableLow) * (1u << TableBits) + (1u << TableBits) - 1;
  C.Stack(0x8B, 2, 4);                          // MOV EDX,[ESP+4]: the significand's top
  C({0xC1, 0xEA, 32 - 1 - TableBits});          // SHR EDX,27: 16 + the sixteenth
  C({0xC1, 0xE1, TableBits});                   // SHL ECX,4
  C({0x01, 0xD1});                              // ADD ECX,EDX
  C({0x81, 0xE9}).Value(Skew, 4);               // SUB ECX: the entry, 0 below 2^-6
  C({0x31, 0xD2});                              // XOR EDX,EDX
  C({0x85, 0xC9});                              // TEST ECX,ECX
  C({0x0F, 0x48, 0xCA});                        // CMOVS ECX,EDX
  C({0xBA}).Value(TableLast, 4);                // MOV EDX,last
  C({0x39, 0xD1});                              // CMP ECX,EDX
  C({0x0F, 0x4F, 0xCA});                        // CMOVG ECX,EDX: the entry beyond 2^6
  C({0xC1, 0xE1, 0x05});                        // SHL ECX,5
  C({0xC1, 0xE8, 0x0F});                        // SHR EAX,15
  C({0xC1, 0xE0, 0x02});                        // SHL EAX,2
  C.Indexed(0xDD, 0, &AtanTable[0].C, 1);       // FLD QWORD [c]           c, q
  C.Indexed(0xD8, 1, Signs, 0);                 // FMUL DWORD [signs+EAX]  s c, q
  C({0xD9, 0xC1});                              // FLD ST1                 q, s c, q
  C({0xD8, 0xE1});                              // FSUB ST,ST1             q - s c (exact), s c, q
  C({0xD9, 0xCA});                              // FXCH ST2                q, s c, n
  C({0xDE, 0xC9});                              // FMULP                   |q| c, n
  C({0xD9, 0xE8});                              // FLD1
  C({0xDE, 0xC1});                              // FADDP                   d, n
  C({0xDE, 0xF9});                              // FDIVP ST1,ST            t = s |t|
  // atan t = t + t z c0 + t w R(z), z = t^2, w = z^2, R = A(w) + z B(w).
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xC8});                              // FMUL ST,ST0             z, t
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xC8});                              // FMUL ST,ST0             w, z, t
  if (Double) AtanTail(K, AtanPolyDouble);
  else AtanTail(K, AtanPoly);                   // t z c0, t w R, t
  C.Indexed(0xDD, 0, &AtanTable[0].Low, 1);     // FLD QWORD [low]
  C.Indexed(0xD8, 1, Signs, 0);                 // FMUL DWORD [signs+EAX]  s low, t z c0, t w R, t
  C({0xDE, 0xC1});                              // FADDP
  C({0xDE, 0xC1});                              // FADDP                   tail, t
  C({0xDE, 0xC1});                              // FADDP                   L
}

// ST0 = L -> L + s (atan c high) = atan q.
void AddSignedHigh(TKernel& K) {
  TX87Code& C = K.C;
  C.Indexed(0xDB, 5, &AtanTable[0].High, 1);    // FLD TBYTE [high]
  C.Indexed(0xD8, 1, Signs, 0);                 // FMUL DWORD [signs+EAX]
  C({0xDE, 0xC1});                              // FADDP
}

// ST0 = L -> the half-turn H of [ESP+i] + atan q, H + s high summed with
// its rounding error kept (|H| >= pi > |high|, or H = 0 and it is exact).
// Four registers.
void AddHalfTurn(TKernel& K) {
  TX87Code& C = K.C;
  C.Stack(0x8B, 2, ScratchInt);                 // MOV EDX,[ESP+i]
  C.Indexed(0xDB, 5, &AtanTable[0].High, 1);    // FLD TBYTE [high]
  C.Indexed(0xD8, 1, Signs, 0);                 // FMUL DWORD [signs+EAX]  h, L
  C.Indexed(0xDB, 5, &HalfTurns[0].High, 2);    // FLD TBYTE [turn]        H, h, L
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xC2});                              // FADD ST,ST2             S, H, h, L
  C({0xDC, 0xE9});                              // FSUB ST1,ST             S, H - S, h, L
  C({0xD9, 0xCA});                              // FXCH ST2                h, H - S, S, L
  C({0xDE, 0xC1});                              // FADDP                   error, S, L
  C.Indexed(0xDC, 0, &HalfTurns[0].Low, 2);     // FADD QWORD [turn low]
  C({0xDE, 0xC2});                              // FADDP ST2,ST            S, L + rest
  C({0xDE, 0xC1});                              // FADDP
}

// ST0 = x, |x| in [2^-3000, 1) -> ST0 = sqrt((1 - x)(1 + x)), ST1 = x.
void RootOfOneLessSquare(TKernel& K) {
  TX87Code& C = K.C;
  C({0xD9, 0xE8});                              // FLD1
  C({0xD8, 0xE1});                              // FSUB ST,ST1             1 - x, x
  C({0xD9, 0xE8});                              // FLD1
  C({0xD8, 0xC2});                              // FADD ST,ST2             1 + x, 1 - x, x
  C({0xDE, 0xC9});                              // FMULP
  C({0xD9, 0xFA});                              // FSQRT                   v, x
}

}  // namespace

TInlineCode AtanKernel(bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  K.Enter(true);
  ExponentWithin(K, RatioRange, RatioRange, 0);
  AtanCore(K, Double);
  AddSignedHigh(K);
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 4);
}

TInlineCode Atan2Kernel(bool Double, TBinaryRoutine Fallback) {
  // ST1 = y, ST0 = x: both stay for the library until their ratio passed.
  TKernel K(Double);
  TX87Code& C = K.C;
  K.Enter(true);
  ExponentWithin(K, ArgumentRange, ArgumentRange, 0);  // x
  SaveHalfTurn(K);
  ExponentWithin(K, ArgumentRange, ArgumentRange, 0, 1);  // y
  C({0xC1, 0xE8, 0x0F});                        // SHR EAX,15
  C({0xC1, 0xE0, 0x05});                        // SHL EAX,5
  C.Stack(0x01, 0, ScratchInt);                 // ADD [ESP+i],EAX: the half-turn's sign is y's
  C({0xD9, 0xC1});                              // FLD ST1
  C({0xD8, 0xF1});                              // FDIV ST,ST1             q, x, y
  ExponentWithin(K, RatioRange, RatioRange, 1);
  C({0xDD, 0xD9});                              // FSTP ST1
  C({0xDD, 0xD9});                              // FSTP ST1                q
  AtanCore(K, Double);
  AddHalfTurn(K);
  return K.Finish(reinterpret_cast<const void*>(Fallback), 2, 3);
}

TInlineCode ArcSineKernel(bool Cosine, bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  TX87Code& C = K.C;
  K.Enter(true);
  ExponentWithin(K, RatioRange, 0, 0);          // 2^-3000 <= |x| < 1
  if (Cosine) SaveHalfTurn(K);
  RootOfOneLessSquare(K);
  if (Cosine) C({0xDE, 0xF1});                 // FDIVRP ST1,ST           q = v/x
  else C({0xDE, 0xF9});                         // FDIVP ST1,ST            q = x/v
  // |q| lies within 2^-3000 and 2^3000 already.
  Exponent(K, RatioRange);
  AtanCore(K, Double);
  if (Cosine) AddHalfTurn(K);
  else AddSignedHigh(K);
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 4);
}

}  // namespace fennic::functions
