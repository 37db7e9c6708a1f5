// The function pack for the front end; it lives with the pack, so that a
// host linking fennic alone needs no pack.
#include "fennic/codegen/fennic.h"
#include "fennic/expression.h"
#include "fennic/functions/functions.h"

namespace fennic {

void expression::add_standard_functions(pack_accuracy accuracy) {
  RegisterStandardFunctions(component(), accuracy == pack_accuracy::double_precision ? paDouble : paExtended);
}

}  // namespace fennic
