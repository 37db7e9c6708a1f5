// Compilation of expression trees into queued x87 arithmetic.
#include "fennic/codegen/fennic.h"

namespace fennic {

// Provisional until tree compilation exists.
void TFennic::CompileTree(std::int32_t, std::int32_t, TOpType, bool) {
  throw ECodeGenError("expression trees cannot be compiled yet");
}

}  // namespace fennic
