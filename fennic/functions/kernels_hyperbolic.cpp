// The pack's kernels of sinh, cosh and tanh: e^|x| from the exp kernel's
// core and one division, and near zero, where e^x - e^-x and 1 - 2/(e^2x +
// 1) would cancel, polynomials in x^2 run as two interleaved chains. The
// library takes NaNs, infinities, the arguments whose exponential leaves
// the core's range, for sinh and tanh zeros and arguments below 2^-32
// (where the value is x and the library decides the flags and the sign of
// a zero), and any control word other than round to nearest under 53- or
// 64-bit precision.
#include "fennic/functions/kernel_code.h"

namespace fennic::functions {
namespace {

#include "fennic/functions/kernel_tables.inc"

alignas(8) const double HyperLimitValue = 11354.0;  // e^|x| within the core's reach
alignas(8) const double TanhLimitValue = 5677.0;    // e^2|x| within the core's reach
// Below it x^2/6 is under 2^-66: sinh x and tanh x round to x.
alignas(8) const double TinyValue = 0x1p-32;
// The constants that carry the sign of x into the result, indexed by 4
// when x > 0.
alignas(4) const float SignedHalf[2] = {-0.5f, 0.5f};
alignas(4) const float SignedOne[2] = {-1.0f, 1.0f};
alignas(4) const float SignedTwo[2] = {-2.0f, 2.0f};

// ST0 = |x|, ST1 = x -> ST0 = |x|, EDX = 4 if x > 0 else 0, for the
// signed constants.
void SplitSign(TX87Code& C) {
  C({0xD9, 0xEE});        // FLDZ                   0, |x|, x
  C({0xDF, 0xEA});        // FUCOMIP ST,ST2         |x|, x: CF = 0 < x
  C({0x19, 0xD2});        // SBB EDX,EDX
  C({0x83, 0xE2, 0x04});  // AND EDX,4
  C({0xDD, 0xD9});        // FSTP ST1               |x|
}

// ST0 = x -> ST0 = x: on to Large for |x| >= *Small, to the library for
// |x| < 2^-32 (zeros included), else on. Two registers.
void SmallOrLarge(TKernel& K, const double* Small, TX87Code::TLabel Large) {
  TX87Code& C = K.C;
  C({0xD9, 0xC0});                  // FLD ST0                      x, x
  C({0xD9, 0xE1});                  // FABS                         |x|, x
  C.Memory(0xDD, 0, Small);         // FLD QWORD [small]
  C({0xDF, 0xE9});                  // FUCOMIP ST,ST1               |x|, x
  C.Jump(0x76, Large);              // JBE: small <= |x|
  C.Memory(0xDD, 0, &TinyValue);    // FLD QWORD [2^-32]
  C({0xDF, 0xE9});                  // FUCOMIP ST,ST1
  C({0xDD, 0xD8});                  // FSTP ST0                     x; the flags stay
  K.SlowIf(0x77);                   // JA: |x| < 2^-32
}

// The coefficients from index From on, every other one.
template <std::size_t N>
TPoly Alternate(const TCoefficient (&Table)[N], std::size_t From) {
  TPoly Out;
  for (std::size_t i = From; i < N; i += 2) Out.push_back(&Table[i]);
  return Out;
}

template <std::size_t N>
TPoly All(const TCoefficient (&Table)[N]) {
  TPoly Out;
  for (const TCoefficient& k : Table) Out.push_back(&k);
  return Out;
}

}  // namespace

TInlineCode CoshKernel(bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  TX87Code& C = K.C;
  K.BelowLimit(&HyperLimitValue);
  K.Enter(false);
  C({0xD9, 0xE1});                  // FABS                         a = |x|
  ExpCore(K, Double, false, 2);        // E = e^a
  C.Memory(0xDD, 0, &Half.Double);  // FLD QWORD [0.5]
  C({0xD8, 0xF1});                  // FDIV ST,ST1                  0.5/E, E
  C({0xD9, 0xC9});                  // FXCH                         E, 0.5/E
  C.Memory(0xDC, 1, &Half.Double);  // FMUL QWORD [0.5]             E/2, 0.5/E
  C({0xDE, 0xC1});                  // FADDP                        cosh
  // The exp core's registers, as the exp kernel counts them.
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 5);
}

TInlineCode SinhKernel(bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  TX87Code& C = K.C;
  const auto large = C.Label(), out = C.Label();
  K.BelowLimit(&HyperLimitValue);
  K.Enter(false);
  SmallOrLarge(K, &SinhSmall, large);
  // sinh x = x + x z P(z), P = A(w) + z B(w), w = z^2.
  const TPoly A = Double ? Alternate(SinhPolyDouble, 0) : Alternate(SinhPoly, 0);
  const TPoly B = Double ? Alternate(SinhPolyDouble, 1) : Alternate(SinhPoly, 1);
  C({0xD9, 0xC0});                  // FLD ST0                      x, x
  C({0xD8, 0xC8});                  // FMUL ST,ST0                  z, x
  C({0xD9, 0xC0});                  // FLD ST0
  C({0xD8, 0xC8});                  // FMUL ST,ST0                  w, z, x
  K.TwoChains(A, B);                // A, B, w, z, x
  C({0xD9, 0xC9});                  // FXCH                         B, A, w, z, x
  C({0xD8, 0xCB});                  // FMUL ST,ST3                  z B, A, w, z, x
  C({0xDE, 0xC1});                  // FADDP                        P, w, z, x
  C({0xDD, 0xD9});                  // FSTP ST1                     P, z, x
  C({0xDE, 0xC9});                  // FMULP                        z P, x
  C({0xD8, 0xC9});                  // FMUL ST,ST1                  x z P, x
  C({0xDE, 0xC1});                  // FADDP                        sinh x
  C.Jump(0xEB, out);
  C.Bind(large);                    // |x|, x
  SplitSign(C);                     // a = |x|
  ExpCore(K, Double, false, 2);        // E = e^a
  // With the sign of x in the halves: s = +-1/2.
  C.Indexed(0xD9, 0, SignedHalf, 2);  // FLD DWORD [halves+EDX]     s, E
  C({0xD8, 0xF1});                  // FDIV ST,ST1                  s/E, E
  C({0xD9, 0xC9});                  // FXCH                         E, s/E
  C.Indexed(0xD8, 1, SignedHalf, 2);  // FMUL DWORD [halves+EDX]    s E, s/E
  C({0xDE, 0xE1});                  // FSUBRP ST1,ST                sinh x
  C.Bind(out);
  // The polynomial's two chains over w, z and x, a wide coefficient
  // loading; the exp core's five.
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 5);
}

TInlineCode TanhKernel(bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  TX87Code& C = K.C;
  const auto large = C.Label(), out = C.Label();
  K.BelowLimit(&TanhLimitValue);
  K.Enter(false);
  SmallOrLarge(K, &TanhSmall, large);
  // tanh x = x + x z N(z) / (1 + z D(z)): the quotient is a tenth of x at
  // most, so that its errors count a tenth.
  C({0xD9, 0xC0});                  // FLD ST0                      x, x
  C({0xD8, 0xC8});                  // FMUL ST,ST0                  z, x
  if (Double) K.TwoChains(All(TanhNumeratorDouble), All(TanhDenominatorDouble));
  else K.TwoChains(All(TanhNumerator), All(TanhDenominator));
  // N, D, z, x
  C({0xD9, 0xC9});                  // FXCH                         D, N, z, x
  C({0xD8, 0xCA});                  // FMUL ST,ST2                  z D, N, z, x
  C.Memory(0xDC, 0, &One.Double);   // FADD QWORD [1]               1 + z D, N, z, x
  C({0xD9, 0xCA});                  // FXCH ST2                     z, N, 1 + z D, x
  C({0xD8, 0xCB});                  // FMUL ST,ST3                  x z, N, 1 + z D, x
  C({0xDE, 0xC9});                  // FMULP                        x z N, 1 + z D, x
  C({0xDE, 0xF1});                  // FDIVRP ST1,ST                q, x
  C({0xDE, 0xC1});                  // FADDP                        tanh x
  C.Jump(0xEB, out);
  C.Bind(large);                    // |x|, x
  SplitSign(C);                     // a = |x|
  C({0xD8, 0xC0});                  // FADD ST,ST0                  2a (exact)
  ExpCore(K, Double, false, 2);        // E = e^2a
  C.Memory(0xDC, 0, &One.Double);   // FADD QWORD [1]
  C.Indexed(0xD8, 7, SignedTwo, 2);  // FDIVR DWORD [twos+EDX]     +-2/(E + 1)
  C.Indexed(0xD8, 5, SignedOne, 2);  // FSUBR DWORD [ones+EDX]      tanh x
  C.Bind(out);
  // The exp core's registers, as the exp kernel counts them.
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 5);
}

}  // namespace fennic::functions
