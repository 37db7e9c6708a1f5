#include "fennic/core/types.h"

namespace fennic {

namespace {
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool IsIdentifier(std::string_view name) {
  if (name.empty() || !IsLetter(name[0])) return false;
  for (char c : name.substr(1))
    if (!IsLetter(c) && !IsDigit(c)) return false;
  return true;
}

const char* ErrorName(TError Error) {
  static constexpr const char* Names[] = {"eNone",       "eDomain",      "eNumFormat",    "eValExpected",
                                          "eOpExpected", "eEdge",        "eUnknown",      "eOutOfRange",
                                          "eType",       "eVarParameter", "eParameter"};
  return Error <= eParameter ? Names[Error] : "e?";
}

std::string LowerCase(std::string_view name) {
  std::string s(name);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace fennic
