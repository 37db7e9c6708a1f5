// The --dump listing: the compiled routine disassembled, and its constant pool.
#pragma once

#include <cstdio>

#include "fennic/codegen/fennic.h"

namespace fennic::cli {

// Writes the listing of F's current routine to Out; false where it shows
// bytes without instructions (a build without Capstone).
bool DumpRoutine(const TFennic& F, std::FILE* Out);

}  // namespace fennic::cli
