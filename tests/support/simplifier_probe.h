// Test access to the simplifier: a TSimpler that exposes its stages and its
// constant table, renders coded text readably, and scopes x87 control words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "fennic/simplifier/simpler.h"

namespace fennic {
// Error codes by name in test messages.
void PrintTo(TError Error, std::ostream* Out);
}  // namespace fennic

namespace fennic::testing {

class TSimplerProbe : public TSimpler {
 public:
  TSimplerProbe() : TSimpler(nullptr) {}

  using TSimpler::AddLittle;
  using TSimpler::Diagnose;
  using TSimpler::Simplify;
  using TSimpler::AnalysePar;
  using TSimpler::CalculateFunc;
  using TSimpler::FindFirstNum;
  using TSimpler::FuncPars;
  using TSimpler::KillLittle;
  using TSimpler::PopNum;
  using TSimpler::PushNum;
  using TSimpler::Simp1Jump;
  using TSimpler::Simpler1;
  using TSimpler::Simpler2;
  using TSimpler::Term;

  using TSimpler::FCompError;
  using TSimpler::FConstBytes;
  using TSimpler::FConstData;
  using TSimpler::FConstSizes;

  struct TEntry {
    long double Value;
    int Width;
  };
  // The table entries, widened to 80 bits, in order.
  std::vector<TEntry> Table() const;
  std::vector<long double> Values() const;
  std::vector<int> Widths() const;

  // Coded text made readable: K for a table constant, #type:value for an
  // inline integer constant, a variable by its name in upper case, a call as
  // @name; every other byte as itself. Unknown codes show as <v:n> / <f:n>.
  std::string Render(std::string_view Coded) const;

  // Simplifies a copy of Text; returns the rendered coded text.
  std::string Simplified(std::string_view Text);
};

// Runs Work on a thread of its own with a machine stack of StackBytes, and
// waits for it. The deepest texts are simplified so, which shows how much
// stack the descent takes (AddressSanitizer frames are several times larger).
void RunWithStack(std::size_t StackBytes, const std::function<void()>& Work);
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t DeepTextStack = 16u << 20;
#else
inline constexpr std::size_t DeepTextStack = 3u << 20;
#endif

// Sets the x87 control word for the scope; restores the previous one and
// clears the flags on exit.
class TScopedControlWord {
 public:
  explicit TScopedControlWord(std::uint16_t ControlWord);
  ~TScopedControlWord();
  TScopedControlWord(const TScopedControlWord&) = delete;
  TScopedControlWord& operator=(const TScopedControlWord&) = delete;

 private:
  std::uint16_t FSaved;
};

// The Linux default: every exception masked, 64-bit precision, to nearest.
inline constexpr std::uint16_t DefaultControlWord = 0x037F;
// The default with the given exception masks cleared (x87 flag bits).
inline constexpr std::uint16_t Unmasked(std::uint16_t Flags) {
  return static_cast<std::uint16_t>(DefaultControlWord & ~Flags);
}

}  // namespace fennic::testing
