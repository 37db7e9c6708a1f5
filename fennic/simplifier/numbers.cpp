#include "fennic/simplifier/numbers.h"

#include <locale.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <limits>
#include <string>

#include "fennic/core/x87guard.h"

namespace fennic {

namespace {

// The "C" numeric locale, whatever locale the host process has chosen.
class TCLocale {
 public:
  TCLocale() : FLocale(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr))) {}
  ~TCLocale() {
    if (FLocale) freelocale(FLocale);
  }
  locale_t Get() const { return FLocale; }

 private:
  locale_t FLocale;
};

locale_t CLocale() {
  static const TCLocale locale;
  return locale.Get();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct TIntRange {
  std::int64_t Low, High;
};
constexpr TIntRange IntRanges[7] = {
    {-128, 127},
    {0, 255},
    {-32768, 32767},
    {0, 65535},
    {-2147483647 - 1, 2147483647},
    {0, 4294967295},
    {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()},
};

}  // namespace

bool TextToExtended(std::string_view Text, Extended& Value) {
  // Only the literal's own characters reach here; anything strtold would
  // read differently (blanks, signs, hex, inf, nan) starts with another byte.
  if (Text.empty() || !(IsDigit(Text[0]) || Text[0] == '.')) return false;
  const std::string text(Text);
  locale_t c = CLocale();
  if (!c) return false;
  char* end = nullptr;
  Extended v;
  {
    TX87Guard guard;  // overflow and inexactness of the conversion raise nothing
    int savedErrno = errno;
    errno = 0;
    v = strtold_l(text.c_str(), &end, c);
    errno = savedErrno;
    guard.Clear();
  }
  if (end != text.c_str() + text.size()) return false;
  // By the exponent's bits: an x87 test would raise the denormal-operand
  // exception on a literal that small.
  std::uint16_t signAndExponent;
  std::memcpy(&signAndExponent, reinterpret_cast<const std::uint8_t*>(&v) + 8, 2);
  if ((signAndExponent & 0x7FFF) == 0x7FFF) return false;
  Value = v;
  return true;
}

bool TextToInt64(std::string_view Text, std::int64_t& Value) {
  bool negative = !Text.empty() && Text[0] == '-';
  if (negative) Text.remove_prefix(1);
  if (Text.empty()) return false;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  for (char ch : Text) {
    if (!IsDigit(ch)) return false;
    unsigned digit = static_cast<unsigned>(ch - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  Value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool IntOutOfRange(std::string_view Text, TVarType VarType) {
  std::int64_t v;
  if (!TextToInt64(Text, v)) return true;
  if (VarType > vtInt64) return true;
  return v < IntRanges[VarType].Low || v > IntRanges[VarType].High;
}

}  // namespace fennic
