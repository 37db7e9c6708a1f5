// The pack's own kernels of exp, ln, log2, log10, sin and cos: argument
// reduction and polynomials in plain x87 arithmetic, without the microcoded
// transcendental instructions. Integers are rounded by adding and taking
// away 1.5 * 2^52 or 1.5 * 2^63, as the precision control asks; powers of two
// are built from the integer's bits as a single float; polynomials run by
// Estrin's scheme, so that their chains stay short. The coefficients and
// tables are generated (kernel_tables.inc) and addressed in static storage.
//
// A kernel serves the arguments its fast path is accurate for, under round
// to nearest (and 64-bit precision for sin and cos, whose reduction needs
// it); anything else, and any other control word, goes to the C library.
#include "fennic/functions/kernel_code.h"

namespace fennic::functions {
namespace {

#include "fennic/functions/kernel_tables.inc"

alignas(8) const double ExpLimitValue = 11354.0;  // e^x stays normal and finite
alignas(8) const double TrigLimitValue = 0x1p31;  // the quadrant fits 32 bits
alignas(8) const double TwoOverPiValue = 0x1.45f306dc9c883p-1;
// pi/2 in four parts, the first two of 32 bits: k times them is exact.
alignas(8) const double HalfPiParts[4] = {0x1.921fb544p+0, 0x1.0b4611a6p-34, 0x1.3198a2e037073p-69,
                                          0x1.129024e088a68p-123};
alignas(4) const float Signs[2] = {1.0f, -1.0f};
alignas(8) const double SplitFactor = 0x1.00000001p32;  // 2^32 + 1
alignas(8) const double PowExponentLimit = 0x1p64;
alignas(16) const long double HypotHigh = 0x1p8000L, HypotLow = 0x1p-8000L;

// ST0 = p = e^r - 1, ECX = j -> 2^(j/32) (1 + p). The table's values keep
// 64 bits at either accuracy: a double's rounding would take half of the
// double result's unit.
void ExpTablePart(TKernel& K) {
  TX87Code& C = K.C;
  C({0xC1, 0xE1, 0x04});                  // SHL ECX,4
  C.Indexed(0xDB, 5, ExpTable, 1);        // FLD TBYTE [table+ECX]  T, p
  C({0xDC, 0xC9});                        // FMUL ST1,ST            T, T p
  C({0xDE, 0xC1});                        // FADDP                  T + T p
}

}  // namespace

void ExpCore(TKernel& K, bool Double, bool WithLow, int Levels) {
  TX87Code& C = K.C;
  C({0xD9, 0xC0});                                  // FLD ST0                t, t
  C.Memory(0xDC, 1, &ExpScale);                     // FMUL QWORD [32/ln2]
  K.RoundToInteger();                               // n, t; EAX = n
  C({0xD9, 0xC0});                                  // FLD ST0                n, n, t
  C.Memory(0xDC, 1, &ExpLn2High);                   // FMUL QWORD [ln2/32 high]
  C({0xDE, 0xEA});                                  // FSUBP ST2,ST           n, t - n h (exact)
  C.Memory(0xDC, 1, &ExpLn2Low);                    // FMUL QWORD [ln2/32 low]
  C({0xDE, 0xE9});                                  // FSUBP ST1,ST           r
  if (WithLow) C({0xDE, 0xC1});                     // FADDP                  r + t low
  C({0x89, 0xC1});                                  // MOV ECX,EAX
  C({0x83, 0xE1, 0x1F});                            // AND ECX,31: j
  C({0xC1, 0xF8, 0x05});                            // SAR EAX,5: m
  C({0x05}).Value(126, 4);                          // ADD EAX,126
  C({0x3D}).Value(253, 4);                          // CMP EAX,253: a normal float's exponent less one
  if (Double) SquareSeries(K, ExpPolyDouble, Half, Levels);
  else SquareSeries(K, ExpPoly, Half, Levels);      // p = e^r - 1
  // The comparison's flags survive the x87 arithmetic.
  const auto wide = C.Label(), out = C.Label();
  C.Jump(0x73, wide);                               // JAE: 2^m beyond a float (|t| > 86)
  C({0xFF, 0xC0});                                  // INC EAX
  C({0xC1, 0xE0, 0x17});                            // SHL EAX,23
  C.Stack(0x89, 0, ScratchFloat);                   // MOV [ESP+f],EAX: the float 2^m
  ExpTablePart(K);                                  // 2^(j/32) e^r
  C.Stack(0xD8, 1, ScratchFloat);                   // FMUL DWORD [ESP+f]
  C.Jump(0xEB, out);
  C.Bind(wide);                                     // 2^m as an extended value
  C({0x05}).Value(16383 - 126, 4);                  // ADD EAX,16257: its biased exponent
  C.Stack(0xC7, 0, 0).Value(0, 4);                  // MOV DWORD [ESP],0
  C.Stack(0xC7, 0, 4).Value(0x80000000u, 4);        // MOV DWORD [ESP+4],80000000h
  C({0x66}).Stack(0x89, 0, 8);                      // MOV [ESP+8],AX
  ExpTablePart(K);
  C.Stack(0xDB, 5, 0);                              // FLD TBYTE [ESP]
  C({0xDE, 0xC9});                                  // FMULP
  C.Bind(out);
}

namespace {

// The entry of T = k/256 for k in [192, 384], addressed by EDX = 48 k.
const void* LogEntry(const void* Field) {
  static_assert(sizeof(TLogEntry) == 48);
  return reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(Field) - 192 * sizeof(TLogEntry));
}

// ST0 = x -> ST0 = p = ln(1 + u) with x = 2^e T (1 + u), EDX the entry of
// T, [ESP+i] = e; to the library (Pops dropped) unless x is positive,
// normal and within 2^-125 and 2^126 (and of 53 significant bits under
// 53-bit precision control). In the frame.
void LogReduce(TKernel& K, bool Double, int Pops, int Levels) {
  TX87Code& C = K.C;
  C({0xD9, 0xC0});                          // FLD ST0
  C.Stack(0xDB, 7, 0);                      // FSTP TBYTE [ESP]          x
  // Under 53-bit precision the scaling below would round away the bits a
  // double lacks: such an argument goes to the library.
  C.Stack(0x8B, 0, 0);                      // MOV EAX,[ESP]: the significand's bottom
  C({0x25}).Value(0x7FF, 4);                // AND EAX,7FFh
  C.Stack({0x0F, 0xB6}, 1, ControlWord + 1);  // MOVZX ECX,BYTE [ESP+cw+1]
  C({0x83, 0xE1, 0x01});                    // AND ECX,1: 64-bit precision
  C({0xFF, 0xC9});                          // DEC ECX
  C({0x21, 0xC8});                          // AND EAX,ECX
  K.SlowIf(0x75, Pops);                     // JNZ
  C.Stack(0x8B, 2, 4);                      // MOV EDX,[ESP+4]: the significand's top
  C({0x89, 0xD1});                          // MOV ECX,EDX
  C({0xC1, 0xE9, 0x1E});                    // SHR ECX,30
  C({0x83, 0xE9, 0x02});                    // SUB ECX,2: s = 1 for a significand >= 1.5
  C({0x83, 0xF9, 0x01});                    // CMP ECX,1: else no integer bit (zero,
  K.SlowIf(0x77, Pops);                     // JA         denormal, unnormal)
  C.Stack({0x0F, 0xB7}, 0, 8);              // MOVZX EAX,WORD [ESP+8]: sign, exponent
  C({0x01, 0xC8});                          // ADD EAX,ECX: x = 2^e m, m in [0.75, 1.5)
  C({0x2D}).Value(16383 - 125, 4);          // SUB EAX,16258: e + 125
  C({0x3D}).Value(250, 4);                  // CMP EAX,250: positive, |e| <= 125
  K.SlowIf(0x77, Pops);                     // JA
  C({0x80, 0xC1, 0x16});                    // ADD CL,22
  C({0xD3, 0xEA});                          // SHR EDX,CL
  C({0xFF, 0xC2});                          // INC EDX
  C({0xD1, 0xEA});                          // SHR EDX,1: k = round(256 m)
  C({0x6B, 0xD2, 0x30});                    // IMUL EDX,EDX,48
  C({0xB9}).Value(252, 4);                  // MOV ECX,252
  C({0x29, 0xC1});                          // SUB ECX,EAX
  C({0xC1, 0xE1, 0x17});                    // SHL ECX,23
  C.Stack(0x89, 1, ScratchFloat);           // MOV [ESP+f],ECX: the float 2^-e
  C({0x83, 0xE8, 0x7D});                    // SUB EAX,125
  C.Stack(0x89, 0, ScratchInt);             // MOV [ESP+i],EAX: e
  C.Stack(0xD8, 1, ScratchFloat);           // FMUL DWORD [ESP+f]        m
  C.Indexed(0xDC, 4, LogEntry(&LogTable[0].T), 2);        // FSUB QWORD [T]   m - T (exact)
  C.Indexed(0xDB, 5, LogEntry(&LogTable[0].Inverse), 2);  // FLD TBYTE [1/T]
  C({0xDE, 0xC9});                          // FMULP                     u
  if (Double) SquareSeries(K, LogPolyDouble, MinusHalf, Levels);
  else SquareSeries(K, LogPoly, MinusHalf, Levels);  // p = ln(1 + u)
}

// ST0 = p -> ST0 = S = e ln2 high + ln T high, ST1 = e ln2 low + ln T low
// + p: the first sum is exact where e and ln T cancel; with Exact, its
// rounding error joins the second (|e ln2| >= ln2 > |ln T| unless e = 0).
void LogParts(TKernel& K, bool Exact) {
  TX87Code& C = K.C;
  C.Stack(0xDB, 0, ScratchInt);             // FILD DWORD [ESP+i]        e, p
  C({0xD9, 0xC0});                          // FLD ST0
  C.Memory(0xDC, 1, &LogLn2High);           // FMUL QWORD [ln2 high]     a = e h, e, p
  C.Indexed(0xDB, 5, LogEntry(&LogTable[0].LnHigh), 2);  // FLD TBYTE [ln T high]  b, a, e, p
  if (Exact) {
    C({0xD9, 0xC1});                        // FLD ST1                   a, b, a, e, p
    C({0xD8, 0xC1});                        // FADD ST,ST1               S, b, a, e, p
    C({0xDC, 0xEA});                        // FSUB ST2,ST               S, b, a - S, e, p
    C({0xD9, 0xCA});                        // FXCH ST2                  a - S, b, S, e, p
    C({0xDE, 0xC1});                        // FADDP                     (a - S) + b, S, e, p
    C({0xDE, 0xC3});                        // FADDP ST3,ST              S, e, p + error
  } else {
    C({0xDE, 0xC1});                        // FADDP                     S, e, p
  }
  C({0xD9, 0xC9});                          // FXCH                      e, S, p
  C.Memory(0xDC, 1, &LogLn2Low);            // FMUL QWORD [ln2 low]
  C.Indexed(0xDC, 0, LogEntry(&LogTable[0].LnLow), 2);   // FADD QWORD [ln T low]
  C({0xDE, 0xC2});                          // FADDP ST2,ST              S, p + t
}

}  // namespace

TInlineCode ExpKernel(bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  K.BelowLimit(&ExpLimitValue);
  K.Enter(false);
  ExpCore(K, Double, false, 2);
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 6);
}

// The logarithms' slow path: FYL2X by the constant of the base, which
// raises the x87's own flags for zeros, negative numbers and NaNs (the C
// library of a 64-bit process raises them in the SSE unit instead).
TAByte LogInstruction(TLogBase Base) {
  const std::uint8_t constant = Base == lbE ? 0xED : Base == lbTwo ? 0xE8 : 0xEC;  // FLDLN2, FLD1, FLDLG2
  return {0xD9, constant, 0xD9, 0xC9, 0xD9, 0xF1};  // FXCH; FYL2X
}

TInlineCode LogKernel(TLogBase Base, bool Double) {
  TKernel K(Double);
  TX87Code& C = K.C;
  K.Enter(false);
  LogReduce(K, Double, 0, 2);
  if (Base == lbE) {
    LogParts(K, false);
    C({0xDE, 0xC1});                        // FADDP
  } else {
    C.Indexed(0xDC, 0, LogEntry(&LogTable[0].LnLow), 2);   // FADD QWORD [ln T low]
    C.Indexed(0xDB, 5, LogEntry(&LogTable[0].LnHigh), 2);  // FLD TBYTE [ln T high]
    C({0xDE, 0xC1});                        // FADDP                     ln m
    C.Memory(0xDB, 5, Base == lbTwo ? &Log2E : &Log10E);  // FLD TBYTE
    C({0xDE, 0xC9});                        // FMULP
    if (Base == lbTwo) {
      C.Stack(0xDA, 0, ScratchInt);         // FIADD DWORD [ESP+i]: + e, exact for a power of two
    } else {
      C.Stack(0xDB, 0, ScratchInt);         // FILD DWORD [ESP+i]
      C.Memory(0xDB, 5, &Log10Two);         // FLD TBYTE [log10 2]
      C({0xDE, 0xC9});                      // FMULP
      C({0xDE, 0xC1});                      // FADDP
    }
  }
  return K.Finish(LogInstruction(Base), 6);
}

TInlineCode PowKernel(bool Double, TBinaryRoutine Fallback) {
  // ST1 = x, ST0 = y; both stay until the result is there, for the library.
  TKernel K(Double);
  TX87Code& C = K.C;
  K.BelowLimit(&PowExponentLimit);          // |y| < 2^64, else y x can be beyond the exponent's reach
  K.Enter(true);
  C({0xD9, 0xC1});                          // FLD ST1                   x, y, x
  LogReduce(K, Double, 1, 1);               // one level: two arguments stay beneath
  LogParts(K, true);                        // S, L, y, x: ln x = S + L
  // y ln x = yh Sh + (yl Sh + y (S - Sh + L)), with yh and Sh of 32 bits
  // (split by 2^32 + 1): the first product exact, the rest small.
  C({0xD9, 0xC0});                          // FLD ST0                   S, S, L, y, x
  C.Memory(0xDC, 1, &SplitFactor);          // FMUL QWORD [2^32+1]       Sc, S, L, y, x
  C({0xD9, 0xC0});                          // FLD ST0
  C({0xD8, 0xE2});                          // FSUB ST,ST2               Sc - S, Sc, S, L, y, x
  C({0xDE, 0xE9});                          // FSUBP ST1,ST              Sh, S, L, y, x
  C({0xDC, 0xE9});                          // FSUB ST1,ST               Sh, S - Sh, L, y, x
  C({0xD9, 0xC9});                          // FXCH
  C({0xDE, 0xC2});                          // FADDP ST2,ST              Sh, Sl, y, x
  C({0xD9, 0xC2});                          // FLD ST2                   y, Sh, Sl, y, x
  C.Memory(0xDC, 1, &SplitFactor);          // FMUL QWORD [2^32+1]       yc, Sh, Sl, y, x
  C({0xD9, 0xC0});                          // FLD ST0
  C({0xD8, 0xE4});                          // FSUB ST,ST4               yc - y, yc, Sh, Sl, y, x
  C({0xDE, 0xE9});                          // FSUBP ST1,ST              yh, Sh, Sl, y, x
  C({0xD9, 0xC3});                          // FLD ST3                   y, yh, Sh, Sl, y, x
  C({0xD8, 0xE1});                          // FSUB ST,ST1               yl, yh, Sh, Sl, y, x
  C({0xD8, 0xCA});                          // FMUL ST,ST2               yl Sh, yh, Sh, Sl, y, x
  C({0xD9, 0xCB});                          // FXCH ST3                  Sl, yh, Sh, yl Sh, y, x
  C({0xD8, 0xCC});                          // FMUL ST,ST4               y Sl, yh, Sh, yl Sh, y, x
  C({0xDE, 0xC3});                          // FADDP ST3,ST              yh, Sh, T low, y, x
  C({0xDE, 0xC9});                          // FMULP                     th, tl, y, x
  // Renormalised (ln T and ln(1 + u) are apart in S and L, so tl is not
  // small yet): th + tl rounded, and its error.
  C({0xD9, 0xC0});                          // FLD ST0
  C({0xD8, 0xC2});                          // FADD ST,ST2               t, th, tl, y, x
  C({0xDC, 0xE9});                          // FSUB ST1,ST               t, th - t, tl, y, x
  C({0xD9, 0xC9});                          // FXCH
  C({0xDE, 0xC2});                          // FADDP ST2,ST              t, (th - t) + tl, y, x
  K.BelowLimit(&ExpLimitValue, 2);
  ExpCore(K, Double, true, 1);              // x^y, y, x
  C({0xDD, 0xDA});                          // FSTP ST2                  y, x^y
  C({0xDD, 0xD8});                          // FSTP ST0
  return K.Finish(reinterpret_cast<const void*>(Fallback), 2, 5);
}

namespace {

// ST0 = x (|x| < 2^31) -> ST0 = r = x - k pi/2, EAX = k, in the frame.
void QuadrantReduce(TKernel& K) {
  TX87Code& C = K.C;
  C({0xD9, 0xC0});                          // FLD ST0                   x, x
  C.Memory(0xDC, 1, &TwoOverPiValue);       // FMUL QWORD [2/pi]
  K.RoundToInteger();                       // k, x; EAX = k
  for (int i = 0; i < 3; ++i) {
    C({0xD9, 0xC0});                        // FLD ST0
    C.Memory(0xDC, 1, &HalfPiParts[i]);     // FMUL QWORD [part]
    C({0xDE, 0xEA});                        // FSUBP ST2,ST              k, r
  }
  C.Memory(0xDC, 1, &HalfPiParts[3]);       // FMUL QWORD [part]
  C({0xDE, 0xE9});                          // FSUBP ST1,ST              r
}

// The sine's or the cosine's set of coefficients (Set 0 or 1), or the
// first set with the offset of the second.
TPoly SineSet(bool Double, int Set) {
  TPoly P;
  const auto take = [&](const auto& Sets) {
    for (const TCoefficient& k : Sets[Set]) P.push_back(&k);
  };
  if (Double) take(SinePolyDouble);
  else take(SinePoly);
  return P;
}
constexpr std::int32_t SineSetBytes(bool Double) {
  return static_cast<std::int32_t>(Double ? sizeof(SinePolyDouble[0]) : sizeof(SinePoly[0]));
}

}  // namespace

TInlineCode SineKernel(bool Cosine, bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  TX87Code& C = K.C;
  K.BelowLimit(&TrigLimitValue);
  K.Enter(true);
  QuadrantReduce(K);
  if (Cosine) C({0xFF, 0xC0});              // INC EAX: cos x = sin(x + pi/2)
  // The quadrant's parity picks the sine's or the cosine's coefficients,
  // so that one polynomial serves either without a branch.
  C({0x89, 0xC2});                          // MOV EDX,EAX
  C({0x83, 0xE2, 0x01});                    // AND EDX,1
  C({0x69, 0xD2}).Value(SineSetBytes(Double), 4);  // IMUL EDX,EDX,set: its offset
  C({0xD9, 0xC0});                          // FLD ST0
  C({0xD8, 0xC8});                          // FMUL ST,ST0               z, r
  K.IndexCoefficients(2);
  K.Estrin(SineSet(Double, 0), 2);          // P, z^2, z, r
  K.IndexCoefficients(TKernel::NoIndex);
  C({0xDD, 0xD9});                          // FSTP ST1                  P, z, r
  // sin r = r + r z P, cos r = 1 + z P: a + a z P with a = r or 1, signed
  // by the half-turn.
  C({0xD9, 0xE8});                          // FLD1                      1, P, z, r
  C({0xD9, 0xC3});                          // FLD ST3                   r, 1, P, z, r
  C({0xA8, 0x01});                          // TEST AL,1
  C({0xDB, 0xC9});                          // FCMOVNE ST,ST1: odd quadrants take 1
  C({0xDD, 0xD9});                          // FSTP ST1                  a, P, z, r
  C({0x83, 0xE0, 0x02});                    // AND EAX,2
  C({0x01, 0xC0});                          // ADD EAX,EAX
  C.Indexed(0xD8, 1, Signs, 0);             // FMUL DWORD [signs+EAX]: the lower half-turn
  C({0xDC, 0xCA});                          // FMUL ST2,ST               a, P, a z, r
  C({0xD9, 0xC9});                          // FXCH                      P, a, a z, r
  C({0xDE, 0xCA});                          // FMULP ST2,ST              a, a z P, r
  C({0xDE, 0xC1});                          // FADDP                     f, r
  C({0xDD, 0xD9});                          // FSTP ST1                  f
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 7);
}

TInlineCode TangentKernel(bool Double, TUnaryRoutine Fallback) {
  TKernel K(Double);
  TX87Code& C = K.C;
  K.BelowLimit(&TrigLimitValue);
  K.Enter(true);
  QuadrantReduce(K);
  // sin r and cos r both; tan x = sin r / cos r, or -cos r / sin r in the
  // odd quadrants.
  C({0xD9, 0xC0});                          // FLD ST0
  C({0xD8, 0xC8});                          // FMUL ST,ST0               z, r
  K.Estrin(SineSet(Double, 0), 2);          // P, z^2, z, r
  C({0xDD, 0xD9});                          // FSTP ST1                  P, z, r
  C({0xD8, 0xC9});                          // FMUL ST,ST1               z P, z, r
  C({0xD8, 0xCA});                          // FMUL ST,ST2               r z P, z, r
  C({0xDE, 0xC2});                          // FADDP ST2,ST              z, s
  K.Estrin(SineSet(Double, 1), 2);          // Q, z^2, z, s
  C({0xDD, 0xD9});                          // FSTP ST1                  Q, z, s
  C({0xDE, 0xC9});                          // FMULP                     z Q, s
  C({0xD9, 0xE8});                          // FLD1
  C({0xDE, 0xC1});                          // FADDP                     c, s
  C({0xD9, 0xC0});                          // FLD ST0                   c, c, s
  C({0xD9, 0xC2});                          // FLD ST2                   s, c, c, s
  C({0xA8, 0x01});                          // TEST AL,1
  C({0xDB, 0xC9});                          // FCMOVNE ST,ST1            n, c, c, s
  C({0xD9, 0xCB});                          // FXCH ST3                  s, c, c, n
  C({0xDA, 0xC9});                          // FCMOVE ST,ST1             d, c, c, n
  C({0xDD, 0xD9});                          // FSTP ST1
  C({0xDD, 0xD9});                          // FSTP ST1                  d, n
  C({0xDE, 0xF9});                          // FDIVP ST1,ST              n / d
  C({0x83, 0xE0, 0x01});                    // AND EAX,1
  C({0xC1, 0xE0, 0x02});                    // SHL EAX,2
  C.Indexed(0xD8, 1, Signs, 0);             // FMUL DWORD [signs+EAX]: odd quadrants negated
  return K.Finish(reinterpret_cast<const void*>(Fallback), 1, 7);
}

TInlineCode MinMaxCode(bool Max) {
  // ST1 = x, ST0 = y, the C library's rule: a NaN loses to a number. FUCOMI
  // is unordered for a NaN (raising nothing for a quiet one), and an
  // unordered comparison moves nothing under "above" or leaves the number.
  TX87Code C;
  C({0xDB, 0xE8});                          // FUCOMI ST,ST0: y a NaN?
  C({0xDA, 0xD9});                          // FCMOVU ST,ST1: then x        y', x
  if (Max) {
    C({0xD9, 0xC9});                        // FXCH                      x, y'
    C({0xDB, 0xE9});                        // FUCOMI ST,ST1
    C({0xDA, 0xD1});                        // FCMOVBE ST,ST1: y' unless x > y'
  } else {
    C({0xDB, 0xE9});                        // FUCOMI ST,ST1
    C({0xDB, 0xD1});                        // FCMOVNBE ST,ST1: x where y' > x
  }
  C({0xDD, 0xD9});                          // FSTP ST1
  return {C.Done(), 0};
}

TInlineCode HypotKernel(TBinaryRoutine Fallback) {
  // ST1 = x, ST0 = y: sqrt(x^2 + y^2) directly where the larger magnitude
  // lies within 2^-8000 and 2^8000, so that neither square nor their sum
  // overflows or loses bits below the normal range; the library elsewhere.
  TX87Code C;
  const auto drop = C.Label(), done = C.Label();
  C({0xD9, 0xC1});                          // FLD ST1
  C({0xD9, 0xE1});                          // FABS                      |x|, y, x
  C({0xD9, 0xC1});                          // FLD ST1
  C({0xD9, 0xE1});                          // FABS                      |y|, |x|, y, x
  C({0xDB, 0xE9});                          // FUCOMI ST,ST1
  C({0xDA, 0xC1});                          // FCMOVB ST,ST1             m = max, |x|, y, x
  C({0xDD, 0xD9});                          // FSTP ST1                  m, y, x
  C.Memory(0xDB, 5, &HypotHigh);            // FLD TBYTE [2^8000]
  C({0xDF, 0xE9});                          // FUCOMIP ST,ST1            m, y, x
  C.Jump(0x76, drop);                       // JBE: 2^8000 <= m, or a NaN
  C.Memory(0xDB, 5, &HypotLow);             // FLD TBYTE [2^-8000]
  C({0xDF, 0xE9});                          // FUCOMIP ST,ST1
  C.Jump(0x77, drop);                       // JA: m < 2^-8000
  C({0xDD, 0xD8});                          // FSTP ST0                  y, x
  C({0xD8, 0xC8});                          // FMUL ST,ST0               y^2, x
  C({0xD9, 0xC9});                          // FXCH
  C({0xD8, 0xC8});                          // FMUL ST,ST0               x^2, y^2
  C({0xDE, 0xC1});                          // FADDP
  C({0xD9, 0xFA});                          // FSQRT
  C.Jump(0xEB, done);
  C.Bind(drop);
  C({0xDD, 0xD8});                          // FSTP ST0                  y, x
  C.Append(LibraryCall(reinterpret_cast<const void*>(Fallback), 2));
  C.Bind(done);
  return {C.Done(), 2};
}

}  // namespace fennic::functions
