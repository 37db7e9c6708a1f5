// Compile errors as the tool reports them: name, explanation, position.
#pragma once

#include <optional>
#include <string>

#include "fennic/core/ctrlblck.h"

namespace fennic::cli {

const char* ErrorName(TError Error);
const char* ErrorExplanation(TError Error);

// 0-based position in Text of what most likely caused Error, when the tool
// can tell; the component reports only the code.
std::optional<std::size_t> ErrorPosition(const std::string& Text, TError Error,
                                         const TCtrlBlck& Names);

}  // namespace fennic::cli
