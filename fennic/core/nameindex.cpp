#include "fennic/core/nameindex.h"

namespace fennic {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::uint32_t TNameIndex::Hash(std::string_view Name) {
  std::uint32_t h = 2166136261u;  // FNV-1a
  for (char c : Name) {
    h ^= static_cast<unsigned char>(Lower(c));
    h *= 16777619u;
  }
  return h;
}

bool TNameIndex::SameName(std::string_view Name, std::string_view Lower) {
  if (Name.size() != Lower.size()) return false;
  for (std::size_t i = 0; i < Name.size(); ++i)
    if (fennic::Lower(Name[i]) != Lower[i]) return false;
  return true;
}

void TNameIndex::Insert(std::uint32_t NameHash, std::int32_t Code) {
  if (2 * (FCount + 1) > FSlots.size()) Grow();
  const std::size_t mask = FSlots.size() - 1;
  std::size_t i = NameHash & mask;
  while (FSlots[i].Code != 0) i = (i + 1) & mask;
  FSlots[i] = TSlot{NameHash, Code};
  ++FCount;
}

// Linear probing without tombstones: the entries after the hole that could
// not sit at their home slot move back into it.
void TNameIndex::Erase(std::uint32_t NameHash, std::int32_t Code) {
  if (FCount == 0) return;
  const std::size_t mask = FSlots.size() - 1;
  std::size_t hole = NameHash & mask;
  while (FSlots[hole].Code != Code) {
    if (FSlots[hole].Code == 0) return;
    hole = (hole + 1) & mask;
  }
  for (std::size_t i = (hole + 1) & mask; FSlots[i].Code != 0; i = (i + 1) & mask) {
    const std::size_t home = FSlots[i].Hash & mask;
    // The entry may fill the hole unless its home lies cyclically in (hole, i].
    const bool homeBetween = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
    if (homeBetween) continue;
    FSlots[hole] = FSlots[i];
    hole = i;
  }
  FSlots[hole] = TSlot{};
  --FCount;
}

void TNameIndex::Clear() {
  FSlots.clear();
  FCount = 0;
}

void TNameIndex::Grow() {
  std::vector<TSlot> old;
  old.swap(FSlots);
  FSlots.assign(old.empty() ? 16 : 2 * old.size(), TSlot{});
  FCount = 0;
  for (const TSlot& s : old)
    if (s.Code != 0) Insert(s.Hash, s.Code);
}

}  // namespace fennic
