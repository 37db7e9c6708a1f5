// Processor profiles: the shape of the generated code for a processor
// family. A profile changes the code, never its value under the default
// control word; acDefault keeps the code as it always was.
#pragma once

#include "fennic/core/export.h"
#include "fennic/core/types.h"

namespace fennic {

struct TCodeShape {
  // An extended constant that is the exact sum of two normal doubles hi + lo
  // is loaded as FLD QWORD [hi]; FADD QWORD [lo] instead of FLD TBYTE, which
  // today's processors run as microcode several times slower.
  bool SplitConstants = false;
};

// The family of the processor this runs on, from CPUID: acP5, acP6, acPIV
// or acAMD.
FENNIC_API TAutoConfigure DetectProcessor();

// The code shape of a profile; acAuto is the detected family's.
FENNIC_API TCodeShape CodeShape(TAutoConfigure Profile);

}  // namespace fennic
