#include "cli_report.h"

namespace fennic::cli {

const char* ErrorName(TError Error) {
  static const char* const Names[] = {"eNone",       "eDomain",  "eNumFormat",  "eValExpected",
                                      "eOpExpected", "eEdge",    "eUnknown",    "eOutOfRange",
                                      "eType",       "eVarParameter", "eParameter"};
  return Error <= eParameter ? Names[Error] : "e?";
}

}  // namespace fennic::cli
