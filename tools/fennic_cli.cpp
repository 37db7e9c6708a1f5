// fennic: compiles an expression with the standard functions and the
// variables of the command line, evaluates it and prints the result.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli_dump.h"
#include "cli_options.h"
#include "fennic/fennic.h"
#include "fennic/functions/functions.h"

using namespace fennic;
using namespace fennic::cli;

namespace {

constexpr int ExitCompileError = 1;
constexpr int ExitUsage = 2;

void ApplySetting(TFennic& F, const TSettingArg& S) {
  using Setter = void (TCtrlBlck::*)(std::uint8_t);
  static const std::pair<const char*, Setter> Setters[] = {
      {"trig-mode", &TCtrlBlck::SetTrigMode},
      {"parallel-execution", &TCtrlBlck::SetParallelExecution},
      {"eliminate-brackets", &TCtrlBlck::SetEliminateBrackets},
      {"out-of-order", &TCtrlBlck::SetOutOfOrder},
      {"align-mode", &TCtrlBlck::SetAlignMode},
      {"back-operation", &TCtrlBlck::SetBackOperation},
      {"smart-load", &TCtrlBlck::SetSmartLoad},
      {"compute-once", &TCtrlBlck::SetComputeOnce},
      {"grammar", &TCtrlBlck::SetGrammar},
  };
  for (const auto& [Flag, Set] : Setters)
    if (S.Flag == Flag) (F.*Set)(S.Value);
}

// The text around Pos, short enough for one line, and where Pos is in it.
std::pair<std::string, std::size_t> Excerpt(const std::string& Text, std::size_t Pos) {
  constexpr std::size_t Before = 36, After = 36;
  const std::size_t From = Pos > Before ? Pos - Before : 0;
  std::string S = From > 0 ? "..." : "";
  const std::size_t Caret = S.size() + (Pos - From);
  S += Text.substr(From, Before + After);
  if (From + Before + After < Text.size()) S += "...";
  for (char& c : S)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return {S, Caret};
}

void ReportError(const TFennic& F, const std::string& Text, long Line) {
  const TDiagnostic D = F.Diagnostic();
  std::string Where = Line > 0 ? "line " + std::to_string(Line) + ": " : "";
  std::fprintf(stderr, "fennic: %s%s: %s\n", Where.c_str(), ErrorName(D.Error), D.Message.c_str());
  if (D.HasPosition()) {
    const auto [Shown, Caret] = Excerpt(Text, D.Position);
    std::fprintf(stderr, "  %s\n  %s^ column %zu\n", Shown.c_str(), std::string(Caret, ' ').c_str(),
                 D.Position + 1);
  }
}

// Compiles and evaluates one expression; the process exit status it earns.
// Standard input gets one line of output for each line, a failure too.
int Run(TFennic& F, const TOptions& O, const std::string& Text, long Line) {
  try {
    F.SetExprString(Text);
    if (!F.AutoCompile()) F.Compile();
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "fennic: %scompilation failed: %s\n",
                 Line > 0 ? ("line " + std::to_string(Line) + ": ").c_str() : "", Error.what());
    if (Line > 0) std::printf("error: compilation failed\n");
    return ExitCompileError;
  }
  if (F.CompError() != eNone) {
    ReportError(F, Text, Line);
    if (Line > 0) std::printf("error: %s\n", ErrorName(F.CompError()));
    return ExitCompileError;
  }
  if (O.Dump && !DumpRoutine(F, stdout)) std::fprintf(stderr, "fennic: no disassembler in this build: bytes only\n");
  std::printf("%.*Lg\n", O.Digits, F.Evaluate());
  if (O.Repeat > 0) {
    const auto Start = std::chrono::steady_clock::now();
    volatile long double Sink = 0;
    for (std::uint64_t i = 0; i < O.Repeat; ++i) Sink = F.Evaluate();
    (void)Sink;
    const double Nanoseconds =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - Start).count();
#if defined(FENNIC_EMULATED)
    const char* Note = " (emulated)";
#else
    const char* Note = "";
#endif
    std::printf("%llu evaluations: %.3g ns per evaluation%s\n", static_cast<unsigned long long>(O.Repeat),
                Nanoseconds / static_cast<double>(O.Repeat), Note);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace

#if defined(FENNIC_EMULATED) && defined(__SANITIZE_ADDRESS__)
// Under qemu-i386 the leak checker's stop-the-world never returns.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

int main(int argc, char** argv) {
  TOptions O;
  try {
    O = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const TUsageError& Error) {
    std::fprintf(stderr, "fennic: %s\nTry 'fennic --help'.\n", Error.Message.c_str());
    return ExitUsage;
  }
  if (O.Help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (O.Version) {
    std::printf("fennic %s (%s)\n", FENNIC_VERSION, Target64 ? "x86-64" : "i386");
    return 0;
  }

  TFennic F(nullptr);
  F.SetGrammar(grExtended);  // the tool's default; --grammar=standard for the other
  for (const TSettingArg& S : O.Settings) ApplySetting(F, S);
  // The variables' storage, aligned for every type; a deque never moves it.
  struct alignas(16) TSlot {
    std::uint8_t Bytes[16];
  };
  std::deque<TSlot> Storage;
  for (const TVarArg& V : O.Vars) {
    TSlot& Slot = Storage.emplace_back();
    std::memcpy(Slot.Bytes, V.Bytes, sizeof Slot.Bytes);
    if (F.RegisterVarExt(V.Name, V.Type, Slot.Bytes) == 0) {
      std::fprintf(stderr, "fennic: '%s' cannot be a variable name\nTry 'fennic --help'.\n", V.Name.c_str());
      return ExitUsage;
    }
  }
  // Registered after the variables: a variable hides a pack name.
  RegisterStandardFunctions(F, O.Trig);

  if (O.Expr) return Run(F, O, *O.Expr, 0);

  int Status = 0;
  std::string Line;
  long Number = 0;
  while (std::getline(std::cin, Line)) {
    ++Number;
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Line.find_first_not_of(" \t") == std::string::npos) {
      std::printf("\n");
      continue;
    }
    if (Run(F, O, Line, Number) != 0) Status = ExitCompileError;
  }
  return Status;
}
