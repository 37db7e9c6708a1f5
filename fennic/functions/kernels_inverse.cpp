// The pack's kernels of atan, atan2, asin and acos: one arc tangent core
// and its callers. The core takes q = 2^e (1 + f) and the centre c of the
// sixteenth of the binade q lies in (0 below 2^-6, 2^1000 beyond 2^6), so
// that atan q = atan c + atan t with t = (q - c)/(1 + q c), |t| <= 2^-6:
// one division, no second one for |q| > 1. atan2 divides y by x and adds
// the half-turn the signs ask for; asin and acos divide by sqrt(1 - x^2).
// In extended accuracy the rounding of that division (and of the square
// root) is measured exactly and added back as a correction of atan q.
// Everything is computed under round to nearest and 64-bit precision;
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
alignas(8) const double HalvingFactor = 0x1.00000001p32;  // 2^32 + 1: splits 64 bits in two halves

static_assert(sizeof(TAtanEntry) == 32);

// ST(From) = v -> EAX = v's sign and exponent, ECX = the exponent less
// (bias - Below), [ESP] v as an extended value. One register.
void Exponent(TKernel& K, std::uint32_t Below, std::uint8_t From = 0) {
  TX87Code& C = K.C;
  C({0xD9, static_cast<std::uint8_t>(0xC0 + From)});  // FLD ST(from)
  C.Stack(0xDB, 7, 0);                          // FSTP TBYTE [ESP]
  C.Stack({0x0F, 0xB7}, 0, 8);                  // MOVZX EAX,WORD [ESP+8]
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

// ST0 = q [, ST1 = d, a correction of atan q, consumed], with EAX and ECX
// from Exponent(RatioRange) -> ST0 = t + the polynomial's tail + s (atan c
// low) [+ d], s the sign of q; EAX = 4 [q < 0], ECX the entry of c. Four
// registers beyond q [and d].
void AtanCore(TKernel& K, bool Double, bool Corrected) {
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
  C({0xDE, 0xC1});                              // FADDP                   tail, t [, d]
  if (Corrected) C({0xDE, 0xC2});               // FADDP ST2,ST            t, d + tail
  C({0xDE, 0xC1});                              // FADDP                   L
}

// Which of the division's operands is a square root w = sqrt(S) whose
// residual e = S - w^2 lies below them.
enum TRoot : std::uint8_t { rtNone, rtDivisor, rtDividend };

// ST0 = q = u/v rounded, ST1 = v, ST2 = u [, ST3 = e] -> ST0 = q, ST1 = d,
// what the roundings take from atan q: d = (u - q v)/(v + q u), with u - q
// v exact from q and v split in halves of 32 bits (u - qh vh is exact, the
// other products are); a root w is short of sqrt(S) by e/(2w), which joins
// u - q v (times -q for the divisor). Four registers beyond u, v (five with
// e).
void DivisionCorrection(TKernel& K, TRoot Root) {
  TX87Code& C = K.C;
  C({0xD9, 0xC0});                              // FLD ST0
  C.Memory(0xDC, 1, &HalvingFactor);            // FMUL QWORD [2^32+1]     qc, q, v, u
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xE2});                              // FSUB ST,ST2             qc - q, qc, q, v, u
  C({0xDE, 0xE9});                              // FSUBP ST1,ST            qh, q, v, u
  C({0xD9, 0xC2});                              // FLD ST2
  C.Memory(0xDC, 1, &HalvingFactor);            // FMUL QWORD [2^32+1]     vc, qh, q, v, u
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xE4});                              // FSUB ST,ST4             vc - v, vc, qh, q, v, u
  C({0xDE, 0xE9});                              // FSUBP ST1,ST            vh, qh, q, v, u
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xCA});                              // FMUL ST,ST2             qh vh, vh, qh, q, v, u
  C({0xD8, 0xED});                              // FSUBR ST,ST5            a = u - qh vh, vh, qh, q, v, u
  C({0xD9, 0xC9});                              // FXCH                    vh, a, qh, q, v, u
  C({0xD8, 0xEC});                              // FSUBR ST,ST4            vl, a, qh, q, v, u
  C({0xD8, 0xCA});                              // FMUL ST,ST2             qh vl, a, qh, q, v, u
  C({0xDE, 0xE9});                              // FSUBP ST1,ST            b, qh, q, v, u
  C({0xD9, 0xC9});                              // FXCH                    qh, b, q, v, u
  C({0xD8, 0xEA});                              // FSUBR ST,ST2            ql, b, q, v, u
  C({0xD8, 0xCB});                              // FMUL ST,ST3             ql v, b, q, v, u
  C({0xDE, 0xE9});                              // FSUBP ST1,ST            r = u - q v, q, v, u
  if (Root == rtNone) {
    C({0xD9, 0xC1});                            // FLD ST1
    C({0xD8, 0xCC});                            // FMUL ST,ST4             q u, r, q, v, u
    C({0xD8, 0xC3});                            // FADD ST,ST3             v + q u, r, q, v, u
    C({0xDE, 0xF9});                            // FDIVP ST1,ST            d, q, v, u
    C({0xDD, 0xDA});                            // FSTP ST2                q, d, u
    C({0xD9, 0xCA});                            // FXCH ST2                u, d, q
    C({0xDD, 0xD8});                            // FSTP ST0                d, q
    C({0xD9, 0xC9});                            // FXCH                    q, d
    return;
  }
  // d = (2 w r -+ ...) / (2 w (v + q u)), one division.
  C({0xD9, static_cast<std::uint8_t>(Root == rtDivisor ? 0xC2 : 0xC3)});  // FLD v or u   w, r, q, v, u, e
  C({0xD8, 0xC0});                              // FADD ST,ST0             2w, r, q, v, u, e
  C({0xDC, 0xC9});                              // FMUL ST1,ST             2w, 2w r, q, v, u, e
  C({0xD9, 0xC2});                              // FLD ST2
  C({0xD8, 0xCD});                              // FMUL ST,ST5             q u, 2w, 2w r, q, v, u, e
  C({0xD8, 0xC4});                              // FADD ST,ST4             v + q u, 2w, ...
  C({0xDE, 0xC9});                              // FMULP                   m, 2w r, q, v, u, e
  C({0xD9, 0xCD});                              // FXCH ST5                e, 2w r, q, v, u, m
  if (Root == rtDivisor) {
    C({0xD8, 0xCA});                            // FMUL ST,ST2             q e, 2w r, q, v, u, m
    C({0xDE, 0xE9});                            // FSUBP ST1,ST            2w r - q e, q, v, u, m
  } else {
    C({0xDE, 0xC1});                            // FADDP                   2w r + e, q, v, u, m
  }
  C({0xDE, 0xF4});                              // FDIVRP ST4,ST           q, v, u, d
  C({0xDD, 0xD9});                              // FSTP ST1
  C({0xDD, 0xD9});                              // FSTP ST1                q, d
}

// ST0 = q, ST1 = v, ST2 = u [, ST3 = e] -> ST0 = q [, ST1 = d]: the
// correction in extended accuracy, where the roundings of q and of a root
// would be most of the error.
void DropOrCorrect(TKernel& K, bool Double, TRoot Root) {
  TX87Code& C = K.C;
  if (!Double) return DivisionCorrection(K, Root);
  C({0xDD, 0xD9});                              // FSTP ST1
  C({0xDD, 0xD9});                              // FSTP ST1                q
  if (Root != rtNone) C({0xDD, 0xD9});          // FSTP ST1
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

// ST0 = x, |x| in [2^-3000, 1) -> ST0 = v = sqrt(S), S = 1 - x^2 as 2d -
// d^2, d = 1 - |x| (exact from |x| = 0.5 on, and where it is not, its
// error counts with the factor 2|x| < 1), ST1 = x [, ST2 = S - v^2 from v
// in halves, with Residual]. Four registers beyond x.
void RootOfOneLessSquare(TKernel& K, bool Residual) {
  TX87Code& C = K.C;
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD9, 0xE1});                              // FABS
  C({0xD9, 0xE8});                              // FLD1
  C({0xDE, 0xE1});                              // FSUBRP ST1,ST           d, x
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xC8});                              // FMUL ST,ST0             d^2, d, x
  C({0xD9, 0xC9});                              // FXCH
  C({0xD8, 0xC0});                              // FADD ST,ST0             2d, d^2, x
  C({0xDE, 0xE1});                              // FSUBRP ST1,ST           S, x
  if (!Residual) {
    C({0xD9, 0xFA});                            // FSQRT                   v, x
    return;
  }
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD9, 0xFA});                              // FSQRT                   v, S, x
  C({0xD9, 0xC0});                              // FLD ST0
  C.Memory(0xDC, 1, &HalvingFactor);            // FMUL QWORD [2^32+1]     vc, v, S, x
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xE2});                              // FSUB ST,ST2             vc - v, vc, v, S, x
  C({0xDE, 0xE9});                              // FSUBP ST1,ST            vh, v, S, x
  C({0xD9, 0xC0});                              // FLD ST0
  C({0xD8, 0xC8});                              // FMUL ST,ST0             vh^2, vh, v, S, x
  C({0xDE, 0xEB});                              // FSUBP ST3,ST            vh, v, S - vh^2 (exact), x
  C({0xD9, 0xC1});                              // FLD ST1
  C({0xD8, 0xE1});                              // FSUB ST,ST1             vl, vh, v, S', x
  C({0xDC, 0xC9});                              // FMUL ST1,ST             vl, vh vl, v, S', x
  C({0xD8, 0xC8});                              // FMUL ST,ST0             vl^2, vh vl, v, S', x
  C({0xD9, 0xC9});                              // FXCH
  C({0xD8, 0xC0});                              // FADD ST,ST0             2 vh vl, vl^2, v, S', x
  C({0xDE, 0xEB});                              // FSUBP ST3,ST            vl^2, v, S'', x
  C({0xDE, 0xEA});                              // FSUBP ST2,ST            v, e, x
  C({0xD9, 0xC9});                              // FXCH                    e, v, x
  C({0xD9, 0xCA});                              // FXCH ST2                x, v, e
  C({0xD9, 0xC9});                              // FXCH                    v, x, e
}

}  // namespace

TInlineCode AtanKernel(bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  K.Enter(true);
  ExponentWithin(K, RatioRange, RatioRange, 0);
  AtanCore(K, Double, false);
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
  DropOrCorrect(K, Double, rtNone);             // q [, d]
  AtanCore(K, Double, !Double);
  AddHalfTurn(K);
  return K.Finish(reinterpret_cast<const void*>(Fallback), 2, Double ? 3 : 4);
}

TInlineCode ArcSineKernel(bool Cosine, bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  TX87Code& C = K.C;
  K.Enter(true);
  ExponentWithin(K, RatioRange, 0, 0);          // 2^-3000 <= |x| < 1
  if (Cosine) SaveHalfTurn(K);
  RootOfOneLessSquare(K, !Double);              // v, x [, e]
  if (Cosine) C({0xD9, 0xC9});                  // FXCH                    x, v: q = v/x
  C({0xD9, 0xC1});                              // FLD ST1
  C({0xD8, 0xF1});                              // FDIV ST,ST1             q, divisor, dividend [, e]
  DropOrCorrect(K, Double, Double ? rtNone : Cosine ? rtDividend : rtDivisor);
  // |q| lies within 2^-3000 and 2^3000 already.
  Exponent(K, RatioRange);
  AtanCore(K, Double, !Double);
  if (Cosine) AddHalfTurn(K);
  else AddSignedHigh(K);
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, Double ? 4 : 6);
}

}  // namespace fennic::functions
