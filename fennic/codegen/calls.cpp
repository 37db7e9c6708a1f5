// Function calls from generated code.
#include "fennic/codegen/fennic.h"

namespace fennic {

// Calls are not compiled yet: Compile refuses an expression that still holds
// a call before any code is generated, so reaching this is a defect.
void TFennic::CallFunction(TTreeNode*) {
  throw ECodeGenError("function calls cannot be compiled yet");
}

}  // namespace fennic
