// A compilation's error state explained for people: where in the host's text
// it was found and what to write instead.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "fennic/core/export.h"
#include "fennic/core/types.h"

namespace fennic {

struct TDiagnostic {
  static constexpr std::size_t NoPosition = std::string::npos;

  TError Error = eNone;
  // Byte offset in the text as the host gave it, or NoPosition when no
  // single place is the cause (brackets nested too deeply, a state of the
  // generator). An operand missing at the end is placed right after the
  // last byte that is not a blank ("x +   ": 3, after the '+').
  std::size_t Position = NoPosition;
  // Bytes of the offending token from Position (0 at a missing operand).
  std::size_t Length = 0;
  // One line in English; empty for eNone.
  std::string Message;

  bool HasPosition() const { return Position != NoPosition; }
};

// The message of a code with nothing known about where it arose.
FENNIC_API std::string ErrorCodeMessage(TError Error);

// Edits (insertions, deletions, substitutions, swaps of neighbours) that
// turn A into B, or Limit + 1 when more than Limit are needed. Time
// O(length x Limit), memory O(length of B).
std::size_t EditDistance(std::string_view A, std::string_view B, std::size_t Limit);

}  // namespace fennic
