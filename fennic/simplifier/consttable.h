// Byte-array helpers of the constant table.
#pragma once

#include <cstdint>
#include <vector>

namespace fennic {

// Inserts Count bytes copied from Source at Offset of Arr; ignored when
// Offset lies outside 0..size or Count is negative.
void InsertBytes(const void* Source, std::vector<std::uint8_t>& Arr, std::int32_t Offset, std::int32_t Count);
// Removes Count bytes at Offset of Arr; ignored when the range does not lie
// within Arr or Count is negative.
void DeleteBytes(std::vector<std::uint8_t>& Arr, std::int32_t Offset, std::int32_t Count);

}  // namespace fennic
