// The coded text: operators, brackets and commas as themselves; numbers,
// variables, calls and tree references as marker bytes with binary payloads.
// Positions are 0-based byte offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fennic {

inline constexpr char ConstMarker = 10;  // table constant; or + type byte 0..6 + int64
inline constexpr char TreeMarker = 11;   // + int32 index into the tree list
inline constexpr char VarMarker = 12;    // + int32 variable code
inline constexpr char ParMarker = 13;    // + int32 index into the parameter nodes
inline constexpr char FuncMarker = 31;   // + int32 function code

// Bytes of the element at Pos under the payload rule: a marker with its
// payload is one unit (5 bytes after 11, 12, 13, 31; 10 for a constant marker
// followed by a byte 0..6), anything else one byte. Never reaches past the end.
inline std::size_t ElementLength(std::string_view S, std::size_t Pos) {
  std::size_t n = 1;
  switch (S[Pos]) {
    case TreeMarker:
    case VarMarker:
    case ParMarker:
    case FuncMarker:
      n = 5;
      break;
    case ConstMarker:
      if (Pos + 1 < S.size() && static_cast<unsigned char>(S[Pos + 1]) <= 6) n = 10;
      break;
    default:
      break;
  }
  return Pos + n <= S.size() ? n : S.size() - Pos;
}

// Little-endian 32-bit payloads.
void AppendInt32(std::string& S, std::int32_t Value);
std::int32_t ReadInt32(std::string_view S, std::size_t Pos);
// A marker followed by its 32-bit payload.
std::string MarkerWithCode(char Marker, std::int32_t Code);

// The identifier at Pos (Pos moves past it), or empty with Pos unchanged.
std::string ReadIdent(std::string_view S, std::size_t& Pos);
// On entry S[Pos] is "("; Pos ends just after the matching ")", or at the end
// of the text when there is none.
void SkipBrackets(std::string_view S, std::size_t& Pos);
// As SkipBrackets; true when the matching ")" was found.
bool SkipBracketGroup(std::string_view S, std::size_t& Pos);
// Offset of the first "," at bracket depth 0, or npos.
std::size_t FindComma(std::string_view Text);

// Character classes of expression text.
inline bool IsIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsIdentChar(char c) { return IsIdentStart(c) || IsDigit(c); }
// Bytes 1 to 32. A NUL byte is no blank: where a C string would end, a text
// that goes on is an error there.
inline bool IsBlank(char c) { return c != 0 && static_cast<unsigned char>(c) <= 32; }

// Calls Keep(c, i) for each byte c that stays of S once blanks go, i its
// offset in S: blanks go, except one between two identifier characters,
// which stays as a plain blank.
template <class TKeep>
void StripBlanks(std::string_view S, TKeep&& Keep) {
  std::size_t b = 0, e = S.size();
  while (b < e && IsBlank(S[b])) ++b;
  while (e > b && IsBlank(S[e - 1])) --e;
  char last = 0;
  for (std::size_t i = b; i < e; ++i) {
    const char c = S[i];
    if (!IsBlank(c)) Keep(last = c, i);
    else if (IsIdentChar(last) && IsIdentChar(S[i + 1])) Keep(last = ' ', i);
  }
}

// The literal at Pos (Pos moves past it): number characters ("0" to "9",
// "."), then, after an "E" or "e", the run of signs and number characters
// that follows. 1e+-5 is taken whole (and fails to convert later).
std::string ScanNumber(std::string_view S, std::size_t& Pos);

// Helpers on coded text; each honours the payload rule.
// True when R holds no "+" or "-" outside brackets.
bool HasNoTopLevelSign(std::string_view R);
// True when the bracket that opens R closes at its last element.
bool WholeBracket(std::string_view R);
// R with a leading sign ("+", or "-" when Negate) unless it has one, and with
// its top-level signs exchanged when Negate.
std::string FlipSigns(std::string_view R, bool Negate);
// R with its top-level "*" and "/" exchanged.
std::string FlipMulDiv(std::string_view R);
// The same, appended to Out.
void AppendFlipSigns(std::string& Out, std::string_view R, bool Negate);
void AppendFlipMulDiv(std::string& Out, std::string_view R);
// True when R is exactly one table-form constant marker.
bool IsTableConstant(std::string_view R);

}  // namespace fennic
