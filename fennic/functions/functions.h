// The standard function pack: the common mathematical functions and the
// constants pi and e, registered on a component on request. The component
// itself predefines nothing; a host that wants these calls
// RegisterStandardFunctions once after creating it.
#pragma once

#include <string>
#include <vector>

#include "fennic/core/export.h"
#include "fennic/core/ctrlblck.h"

namespace fennic {

// Where sin, cos and tan come from.
enum TTrigCode : std::uint8_t {
  tcX87,      // the pack's kernels in line; arguments with |x| >= 2^31 (and
              // infinities) go through the C library instead
  tcLibrary   // host routines over the C library's sinl, cosl, tanl
};

// How accurate the pack's kernels are, chosen when the pack is registered.
enum TPackAccuracy : std::uint8_t {
  paExtended,  // the 80-bit result within a few units in its last place
  paDouble     // within one unit in the last place of a double: for hosts
               // whose variables and results are doubles anyway
};

// One entry of the pack, for tools and documentation.
struct TStandardEntry {
  std::string Name;
  std::string ParamSpec;  // "vf80", "vf80vf80"; empty for a constant
  bool Inline;            // x87 code copied in line (ctBuilt_in)
  std::string Summary;    // one line
  TVariadic Variadic = vaNone;  // how a call may list more arguments
};

// Registers every function and constant of the pack on Target. A name the
// host has already taken keeps the host's meaning and is skipped; the result
// is true when every entry of the pack was registered.
FENNIC_API bool RegisterStandardFunctions(TCtrlBlck& Target, TTrigCode Trig = tcX87);
// The same at the accuracy chosen.
FENNIC_API bool RegisterStandardFunctions(TCtrlBlck& Target, TPackAccuracy Accuracy, TTrigCode Trig = tcX87);

// The entries of the pack as tcX87 registers them (functions, then constants).
FENNIC_API const std::vector<TStandardEntry>& StandardEntries();

// The values of pi and e that the pack folds into expressions.
extern const long double StandardPi;
extern const long double StandardE;

}  // namespace fennic
