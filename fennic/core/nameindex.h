// The codes of a registry by name: an open-addressing hash table of codes,
// each kept with the hash of its lower-case name, so that a look-up neither
// lowercases into a new string nor scans the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fennic/core/export.h"

namespace fennic {

class FENNIC_API TNameIndex {
 public:
  // Hash of the name in lower case (ASCII letters folded, other bytes as they are).
  static std::uint32_t Hash(std::string_view Name);
  // True when Name in lower case equals Lower (a lower-case name).
  static bool SameName(std::string_view Name, std::string_view Lower);

  // The code whose name (NameOf(code), lower case) is Name in lower case; 0 for none.
  template <class NameOf>
  std::int32_t Find(std::string_view Name, std::uint32_t NameHash, NameOf&& nameOf) const {
    if (FCount == 0) return 0;
    const std::size_t mask = FSlots.size() - 1;
    for (std::size_t i = NameHash & mask;; i = (i + 1) & mask) {
      const TSlot& s = FSlots[i];
      if (s.Code == 0) return 0;
      if (s.Hash == NameHash && SameName(Name, nameOf(s.Code))) return s.Code;
    }
  }
  // Codes are positive and entered once each.
  void Insert(std::uint32_t NameHash, std::int32_t Code);
  void Erase(std::uint32_t NameHash, std::int32_t Code);
  void Clear();
  std::size_t Count() const { return FCount; }

 private:
  struct TSlot {
    std::uint32_t Hash = 0;
    std::int32_t Code = 0;  // 0: empty
  };
  void Grow();

  std::vector<TSlot> FSlots;  // a power of two, at most half full
  std::size_t FCount = 0;
};

}  // namespace fennic
