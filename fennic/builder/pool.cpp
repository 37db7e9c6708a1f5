// The constant pool: every distinct constant once, in the narrowest exact
// format, aligned to its natural boundary when AlignMode is on.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "fennic/builder/tree.h"
#include "fennic/core/profile.h"
#include "fennic/core/x87guard.h"

namespace fennic {

static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 4,
              "the leading gap of the pool presumes a 4-aligned block");

namespace {

// Equal as floating-point values of the format, except that NaNs match by
// bit pattern: bitwise equal, or both zeros of either sign. (The simplifier
// stores values through the FPU, so every non-zero value has one encoding.)
template <std::size_t N>
bool SameConstant(const std::array<std::uint8_t, N>& A, const std::array<std::uint8_t, N>& B) {
  if (A == B) return true;
  // The sign is the top bit of the last byte in all three formats.
  for (std::size_t i = 0; i < N; ++i) {
    std::uint8_t mask = i + 1 == N ? 0x7F : 0xFF;
    if ((A[i] & mask) != 0 || (B[i] & mask) != 0) return false;
  }
  return true;
}

template <std::size_t N>
std::int32_t IndexOf(const std::vector<std::array<std::uint8_t, N>>& List,
                     const std::array<std::uint8_t, N>& Value) {
  for (std::size_t i = 0; i < List.size(); ++i)
    if (SameConstant(List[i], Value)) return static_cast<std::int32_t>(i);
  return -1;
}

template <std::size_t N>
void AddDistinct(std::vector<std::array<std::uint8_t, N>>& List, const std::uint8_t* Bytes) {
  std::array<std::uint8_t, N> value;
  std::memcpy(value.data(), Bytes, N);
  if (IndexOf(List, value) < 0) List.push_back(value);
}

}  // namespace

std::int32_t TBuilder::PoolSlackSize(std::int32_t Singles, std::int32_t Doubles,
                                     std::int32_t Extendeds, bool Aligned) {
  if (!Aligned) return 8 * Doubles + 12 * Extendeds + 4 * Singles;
  std::int32_t size = 8 * Doubles + 16 * Extendeds + 4 * std::max(Singles - Extendeds, 0);
  if (Extendeds > 0) size += 12;
  else if (Doubles > 0) size += 4;
  return size;
}

TPoolLayout TBuilder::PoolLayout(std::int32_t Singles, std::int32_t Doubles, std::int32_t Extendeds,
                                 bool Aligned, std::uintptr_t Address) {
  TPoolLayout layout;
  layout.Size = PoolSlackSize(Singles, Doubles, Extendeds, Aligned);
  if (Aligned) {
    if (Extendeds > 0) {
      std::int32_t m = static_cast<std::int32_t>(Address % 16);
      layout.Pad = m == 0 ? 0 : 16 - m;
      layout.Size -= 12 - layout.Pad;
    } else if (Doubles > 0) {
      if (Address % 8 == 0) layout.Size -= 4;
      else layout.Pad = 4;
    }
  }
  layout.Base16 = layout.Pad;
  layout.Base8 = layout.Base16 + (Aligned ? 16 : 12) * Extendeds;
  layout.Base4 = layout.Base8 + 8 * Doubles;
  return layout;
}

void TBuilder::BuildNumbers() {
  FBase4 = FBase8 = FBase16 = 0;
  FSingles.clear();
  FDoubles.clear();
  FExtendeds.clear();

  // Collect the distinct values; a table entry that would reach past the
  // data (never left by the simplifier) ends the walk.
  std::size_t offset = 0;
  for (std::uint8_t width : FConstSizes) {
    if (offset + width > FConstData.size()) break;
    const std::uint8_t* bytes = FConstData.data() + offset;
    if (width == 4) AddDistinct(FSingles, bytes);
    else if (width == 8) AddDistinct(FDoubles, bytes);
    else if (width == 10) AddDistinct(FExtendeds, bytes);
    offset += width;
  }

  // The recorded bytes move to the copy the parser reads; the pool gets a
  // block of its own (the copy's buffer of the last compilation). Shrinking
  // a vector never moves it, so the gap chosen from the block's address
  // stays right after the final resize.
  FConstCopy.swap(FConstData);
  const bool aligned = AlignMode();
  const std::int32_t nS = static_cast<std::int32_t>(FSingles.size());
  const std::int32_t nD = static_cast<std::int32_t>(FDoubles.size());
  const std::int32_t nE = static_cast<std::int32_t>(FExtendeds.size());
  FConstData.assign(static_cast<std::size_t>(PoolSlackSize(nS, nD, nE, aligned)), 0);
  const TPoolLayout layout =
      PoolLayout(nS, nD, nE, aligned, reinterpret_cast<std::uintptr_t>(FConstData.data()));
  FConstData.resize(static_cast<std::size_t>(layout.Size));

  FPoolPad = layout.Pad;
  FBase16 = layout.Base16;
  FBase8 = layout.Base8;
  FBase4 = layout.Base4;
  std::uint8_t* pool = FConstData.data();
  for (std::int32_t i = 0; i < nE; ++i)
    std::memcpy(pool + FBase16 + (aligned ? 16 : 12) * i, FExtendeds[i].data(), 10);
  for (std::int32_t i = 0; i < nD; ++i) std::memcpy(pool + FBase8 + 8 * i, FDoubles[i].data(), 8);
  for (std::int32_t i = 0; i < nS; ++i) {
    std::uint8_t* at = pool + FBase4 + 4 * i;
    if (aligned) at = i < nE ? pool + FBase16 + 16 * i + 12 : pool + FBase4 + 4 * (i - nE);
    std::memcpy(at, FSingles[i].data(), 4);
  }
}

std::int32_t TBuilder::SearchSingle(const TSingleBits& S) const {
  std::int32_t i = IndexOf(FSingles, S);
  if (i < 0) return -1;
  const std::int32_t nE = static_cast<std::int32_t>(FExtendeds.size());
  if (!AlignMode()) return FBase4 + 4 * i;
  return i < nE ? FBase16 + 16 * i + 12 : FBase4 + 4 * (i - nE);
}

std::int32_t TBuilder::SearchDouble(const TDoubleBits& D) const {
  std::int32_t i = IndexOf(FDoubles, D);
  return i < 0 ? -1 : FBase8 + 8 * i;
}

std::int32_t TBuilder::SearchExt(const TExtendedBits& E) const {
  std::int32_t i = IndexOf(FExtendeds, E);
  return i < 0 ? -1 : FBase16 + (AlignMode() ? 16 : 12) * i;
}

// Under a code shape that splits extended constants: each one that is the
// exact sum of two normal doubles gets its pair, in pool order.
void TBuilder::BuildPairs() {
  FPairs.clear();
  FPairOffsets.clear();
  if (!CodeShape(AutoConfigure()).SplitConstants) return;
  TX87Guard guard;  // the conversions round; no flag of theirs reaches the host
  for (const TExtendedBits& bits : FExtendeds) {
    Extended value = 0;
    std::memcpy(&value, bits.data(), 10);
    const double hi = StoreDouble(value);
    const double lo = StoreDouble(value - hi);
    const double least = std::numeric_limits<double>::min(), most = std::numeric_limits<double>::max();
    const bool normal = std::fabs(hi) >= least && std::fabs(hi) <= most && std::fabs(lo) >= least &&
                        std::fabs(lo) <= most;
    if (!normal || static_cast<Extended>(hi) + static_cast<Extended>(lo) != value) continue;
    FPairOffsets.push_back(SearchExt(bits));
    FPairs.push_back(hi);
    FPairs.push_back(lo);
  }
  guard.Clear();
}

const double* TBuilder::PairOf(std::int32_t PoolOffset) const {
  const auto at = std::lower_bound(FPairOffsets.begin(), FPairOffsets.end(), PoolOffset);
  if (at == FPairOffsets.end() || *at != PoolOffset) return nullptr;
  return FPairs.data() + 2 * (at - FPairOffsets.begin());
}

}  // namespace fennic
