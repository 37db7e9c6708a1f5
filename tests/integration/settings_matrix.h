// Every combination of the seven settings of a component, for tests that
// compile the same text under all of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fennic/codegen/fennic.h"

namespace fennic::testing {

struct TSettings {
  std::uint8_t Parallel = 1;    // ParallelExecution
  std::uint8_t Brackets = 1;    // EliminateBrackets
  std::uint8_t OutOfOrder = 1;  // OutOfOrder
  std::uint8_t Align = 1;       // AlignMode
  std::uint8_t Back = 1;        // BackOperation
  std::uint8_t Smart = 1;       // SmartLoad
  std::uint8_t Trig = 1;        // TrigMode

  void ApplyTo(TFennic& f) const {
    f.SetParallelExecution(Parallel);
    f.SetEliminateBrackets(Brackets);
    f.SetOutOfOrder(OutOfOrder);
    f.SetAlignMode(Align);
    f.SetBackOperation(Back);
    f.SetSmartLoad(Smart);
    f.SetTrigMode(Trig);
  }
  std::string Describe() const {
    return "ParallelExecution=" + std::to_string(Parallel) + " EliminateBrackets=" +
           std::to_string(Brackets) + " OutOfOrder=" + std::to_string(OutOfOrder) +
           " AlignMode=" + std::to_string(Align) + " BackOperation=" + std::to_string(Back) +
           " SmartLoad=" + std::to_string(Smart) + " TrigMode=" + std::to_string(Trig);
  }
};

// All 2 * 3 * 3 * 2 * 2 * 2 * 3 = 432 combinations; the defaults come first.
inline std::vector<TSettings> AllSettings() {
  std::vector<TSettings> all;
  for (std::uint8_t trig : {1, 0, 2})
    for (std::uint8_t brackets : {1, 0, 2})
      for (std::uint8_t ooo : {1, 0, 2})
        for (std::uint8_t parallel : {1, 0})
          for (std::uint8_t align : {1, 0})
            for (std::uint8_t back : {1, 0})
              for (std::uint8_t smart : {1, 0})
                all.push_back(TSettings{parallel, brackets, ooo, align, back, smart, trig});
  return all;
}

}  // namespace fennic::testing
