#include "fennic/simplifier/simpler.h"

namespace fennic {

TSimpler::TSimpler(TComponent* AOwner) : TCtrlBlck(AOwner) {}

TSimpler::~TSimpler() {
  FConstData.clear();
  FConstSizes.clear();
}

// Provisional: the rewriter is not built yet, so no text yields coded text.
void TSimpler::Simplify(std::string& S) {
  FConstBytes = 0;
  FConstData.clear();
  FConstSizes.clear();
  S.clear();
  FCompError = eValExpected;
}

}  // namespace fennic
