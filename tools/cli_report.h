// Compile errors as the tool reports them: the code's name beside the
// component's own message and position.
#pragma once

#include "fennic/core/types.h"

namespace fennic::cli {

const char* ErrorName(TError Error);

}  // namespace fennic::cli
