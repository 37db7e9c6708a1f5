// The code generator found itself inconsistent: a defect of the library,
// never a fault of the expression. Out of line, so that the functions that
// trees and calls nest through carry no message strings.
#pragma once

#include <string>

#include "fennic/codegen/levels.h"

namespace fennic {

[[noreturn, gnu::noinline, gnu::cold]] inline void Defect(const char* What) { throw ECodeGenError(What); }
[[noreturn, gnu::noinline, gnu::cold]] inline void Defect(const std::string& What) { throw ECodeGenError(What); }

}  // namespace fennic
