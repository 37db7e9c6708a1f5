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
std::size_t ElementLength(std::string_view S, std::size_t Pos);

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
// Offset of the first "," at bracket depth 0, or npos.
std::size_t FindComma(std::string_view Text);

}  // namespace fennic
