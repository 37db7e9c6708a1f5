#include "fennic/simplifier/codedtext.h"

#include <cstring>

namespace fennic {

namespace {
bool IsIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }
}  // namespace

std::size_t ElementLength(std::string_view S, std::size_t Pos) {
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

void SkipBrackets(std::string_view S, std::size_t& Pos) {
  int depth = 1;
  ++Pos;
  while (depth > 0 && Pos < S.size()) {
    if (S[Pos] == ')') --depth;
    else if (S[Pos] == '(') ++depth;
    Pos += ElementLength(S, Pos);
  }
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

}  // namespace fennic
