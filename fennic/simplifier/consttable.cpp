// The constant table: values at their narrowest exact width, packed in the
// order of their markers in the coded text.
#include "fennic/simplifier/consttable.h"

#include <cmath>
#include <cstring>

#include "fennic/core/codedtext.h"
#include "fennic/simplifier/simpler.h"
#include "fennic/core/x87guard.h"

namespace fennic {

void InsertBytes(const void* Source, std::vector<std::uint8_t>& Arr, std::int32_t Offset, std::int32_t Count) {
  if (Offset < 0 || static_cast<std::size_t>(Offset) > Arr.size() || Count < 0) return;
  const auto* bytes = static_cast<const std::uint8_t*>(Source);
  Arr.insert(Arr.begin() + Offset, bytes, bytes + Count);
}

void DeleteBytes(std::vector<std::uint8_t>& Arr, std::int32_t Offset, std::int32_t Count) {
  if (Offset < 0 || Count < 0 || static_cast<std::size_t>(Offset) + static_cast<std::size_t>(Count) > Arr.size()) return;
  Arr.erase(Arr.begin() + Offset, Arr.begin() + Offset + Count);
}

namespace {
// x87 equality in which an unordered result counts as equal.
bool SameOrUnordered(Extended a, Extended b) { return std::isunordered(a, b) || a == b; }
}  // namespace

void TSimpler::AddLittle(Extended Value, std::int32_t ByteOffset, std::int32_t Index) {
  float s = 0;
  double d = 0;
  {
    // A conversion that faults under the host's control word does not
    // complete, and the step ends there.
    TX87Guard guard;
    float s1 = StoreSingle(Value);
    if (!guard.Faults()) {
      s = s1;
      double d1 = StoreDouble(Value);
      if (!guard.Faults()) d = d1;
    }
    guard.Clear();
  }
  std::uint8_t width;
  std::uint8_t bytes[10];
  if (SameOrUnordered(Value, s)) {
    width = 4;
    std::memcpy(bytes, &s, 4);
  } else if (SameOrUnordered(Value, d)) {
    width = 8;
    std::memcpy(bytes, &d, 8);
  } else {
    width = 10;
    std::memcpy(bytes, &Value, 10);
  }
  InsertBytes(bytes, FConstData, ByteOffset, width);
  FConstBytes += width;
  InsertBytes(&width, FConstSizes, Index, 1);
}

Extended TSimpler::KillLittle(std::int32_t ByteOffset, std::int32_t Index) {
  const std::uint8_t w = FConstSizes[static_cast<std::size_t>(Index)];
  FConstBytes -= w;
  const std::uint8_t* p = FConstData.data() + ByteOffset;
  Extended value;
  if (w == 4) {
    float s;
    std::memcpy(&s, p, 4);
    value = s;
  } else if (w == 8) {
    double d;
    std::memcpy(&d, p, 8);
    value = d;
  } else {
    value = 0;
    std::memcpy(&value, p, 10);
  }
  DeleteBytes(FConstData, ByteOffset, w);
  DeleteBytes(FConstSizes, Index, 1);
  return value;
}

std::string TSimpler::PushNum(Extended Value) {
  AddLittle(Value, FConstBytes, static_cast<std::int32_t>(FConstSizes.size()));
  return std::string(1, ConstMarker);
}

Extended TSimpler::PopNum() {
  const auto i = static_cast<std::int32_t>(FConstSizes.size()) - 1;
  return KillLittle(FConstBytes - FConstSizes.back(), i);
}

void TSimpler::TruncateTable(std::int32_t ByteOffset, std::int32_t Index) {
  FConstData.resize(static_cast<std::size_t>(ByteOffset));
  FConstSizes.resize(static_cast<std::size_t>(Index));
  FConstBytes = ByteOffset;
}

}  // namespace fennic
