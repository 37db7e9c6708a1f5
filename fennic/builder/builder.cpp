#include "fennic/builder/builder.h"

namespace fennic {

TBuilder::TBuilder(TComponent* AOwner) : TSimpler(AOwner) {}

TBuilder::~TBuilder() {}

// Provisional: trees are not built yet, so nothing past simplification compiles.
void TBuilder::Build(std::string& Expr) {
  Simplify(Expr);
  if (ErrorRaised()) return;
  FCompError = eValExpected;
}

}  // namespace fennic
