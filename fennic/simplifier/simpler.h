// The simplifier: rewrites expression text into coded text, folds constants
// and records them in the constant table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fennic/core/ctrlblck.h"

namespace fennic {

class TSimpler : public TCtrlBlck {
 public:
  explicit TSimpler(TComponent* AOwner);
  ~TSimpler() override;
  std::string ClassName() const override { return "TSimpler"; }

  // Resets the error state and the constant table, then replaces S by its coded text.
  void Simplify(std::string& S);

  // True for every error state but eNone and eDomain.
  bool ErrorRaised() const { return FCompError != eNone && FCompError != eDomain; }

 protected:
  std::int32_t FConstIndex = 0;        // tree builder's cursor into the table
  TError FCompError = eNone;           // error state of the current compilation
  std::int32_t FConstBytes = 0;        // table: total bytes (builder: read offset)
  std::vector<std::uint8_t> FConstData;   // table: packed values
  std::vector<std::uint8_t> FConstSizes;  // table: width of each value (4, 8 or 10)
};

}  // namespace fennic
