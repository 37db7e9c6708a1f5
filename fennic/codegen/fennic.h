// The component the host creates: compiles expression text into native x87
// code and runs it.
#pragma once

#include <string>

#include "fennic/builder/builder.h"

namespace fennic {

class TFennic : public TBuilder {
 public:
  explicit TFennic(TComponent* AOwner = nullptr);
  ~TFennic() override;
  std::string ClassName() const override { return "TFennic"; }

  TError CompError() const { return FCompError; }
  bool AutoCompile() const { return FAutoCompile; }
  void SetAutoCompile(std::uint8_t Value) {
    if (Value <= 1) FAutoCompile = Value;
  }

 protected:
  void DeclareProperties(TPropertyList& list) const override;

 private:
  bool FAutoCompile = true;
};

// Registers TFennic on the design-time palette page "VELTA".
void Register();

}  // namespace fennic
