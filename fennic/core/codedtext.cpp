#include "fennic/core/codedtext.h"

#include <cstring>

namespace fennic {

namespace {
bool IsNumberChar(char c) { return IsDigit(c) || c == '.'; }
bool IsSign(char c) { return c == '+' || c == '-'; }
}  // namespace

void AppendInt32(std::string& S, std::int32_t Value) {
  char bytes[4];
  std::memcpy(bytes, &Value, 4);
  S.append(bytes, 4);
}

std::int32_t ReadInt32(std::string_view S, std::size_t Pos) {
  std::int32_t v = 0;
  if (Pos + 4 <= S.size()) std::memcpy(&v, S.data() + Pos, 4);
  return v;
}

std::string MarkerWithCode(char Marker, std::int32_t Code) {
  std::string s(1, Marker);
  AppendInt32(s, Code);
  return s;
}

std::string ReadIdent(std::string_view S, std::size_t& Pos) {
  if (Pos >= S.size() || !IsIdentStart(S[Pos])) return {};
  std::size_t start = Pos;
  while (Pos < S.size() && IsIdentChar(S[Pos])) ++Pos;
  return std::string(S.substr(start, Pos - start));
}

void SkipBrackets(std::string_view S, std::size_t& Pos) { SkipBracketGroup(S, Pos); }

bool SkipBracketGroup(std::string_view S, std::size_t& Pos) {
  int depth = 1;
  ++Pos;
  while (depth > 0 && Pos < S.size()) {
    if (S[Pos] == ')') --depth;
    else if (S[Pos] == '(') ++depth;
    Pos += ElementLength(S, Pos);
  }
  return depth == 0;
}

std::size_t FindComma(std::string_view Text) {
  int depth = 0;
  for (std::size_t i = 0; i < Text.size(); i += ElementLength(Text, i)) {
    char c = Text[i];
    if (c == ',' && depth == 0) return i;
    if (c == '(') ++depth;
    else if (c == ')') --depth;
  }
  return std::string_view::npos;
}

std::string ScanNumber(std::string_view S, std::size_t& Pos) {
  const std::size_t start = Pos;
  while (Pos < S.size() && IsNumberChar(S[Pos])) ++Pos;
  if (Pos < S.size() && (S[Pos] == 'E' || S[Pos] == 'e')) {
    ++Pos;
    while (Pos < S.size() && IsSign(S[Pos])) ++Pos;
    while (Pos < S.size() && IsNumberChar(S[Pos])) ++Pos;
  }
  return std::string(S.substr(start, Pos - start));
}

bool HasNoTopLevelSign(std::string_view R) {
  int depth = 0;
  for (std::size_t i = 0; i < R.size(); i += ElementLength(R, i)) {
    char c = R[i];
    if (c == '(') ++depth;
    else if (c == ')') --depth;
    else if (depth == 0 && IsSign(c)) return false;
  }
  return true;
}

bool WholeBracket(std::string_view R) {
  if (R.empty() || R[0] != '(') return false;
  int depth = 1;
  for (std::size_t i = 1; i < R.size(); i += ElementLength(R, i)) {
    if (depth == 0) return false;
    if (R[i] == '(') ++depth;
    else if (R[i] == ')') --depth;
  }
  return true;
}

namespace {
// Rewrites in place the one-byte elements at bracket depth 0 that Flip maps.
template <class Flip>
void FlipTopLevel(std::string& R, std::size_t From, Flip flip) {
  int depth = 0;
  for (std::size_t i = From; i < R.size();) {
    const std::size_t n = ElementLength(R, i);
    char& c = R[i];
    if (c == '(') ++depth;
    else if (c == ')') --depth;
    else if (n == 1 && depth == 0) c = flip(c);
    i += n;
  }
}
}  // namespace

void AppendFlipSigns(std::string& Out, std::string_view R, bool Negate) {
  const bool sign = !R.empty() && IsSign(R[0]);
  if (!sign) Out += Negate ? '-' : '+';
  const std::size_t from = Out.size();
  Out += R;
  if (Negate) FlipTopLevel(Out, from, [](char c) { return c == '+' ? '-' : c == '-' ? '+' : c; });
}

void AppendFlipMulDiv(std::string& Out, std::string_view R) {
  const std::size_t from = Out.size();
  Out += R;
  FlipTopLevel(Out, from, [](char c) { return c == '*' ? '/' : c == '/' ? '*' : c; });
}

std::string FlipSigns(std::string_view R, bool Negate) {
  std::string out;
  AppendFlipSigns(out, R, Negate);
  return out;
}

std::string FlipMulDiv(std::string_view R) {
  std::string out;
  AppendFlipMulDiv(out, R);
  return out;
}

bool IsTableConstant(std::string_view R) { return R.size() == 1 && R[0] == ConstMarker; }

}  // namespace fennic
