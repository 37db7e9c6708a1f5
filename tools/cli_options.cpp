#include "cli_options.h"

#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <strings.h>
#include <limits>

namespace fennic::cli {
namespace {

const char* const Suffixes[10] = {"i8", "u8", "i16", "u16", "i32", "u32", "i64", "f32", "f64", "f80"};

// Value spellings accept the component's enumeration names and plain English.
const std::vector<TSettingFlag> Flags = {
    {"trig-mode", {"safe", "nothing", "delphi"}},
    {"parallel-execution", {"off", "on"}},
    {"eliminate-brackets", {"standard", "soft", "aggressive"}},
    {"out-of-order", {"standard", "soft", "aggressive"}},
    {"align-mode", {"off", "on"}},
    {"back-operation", {"off", "on"}},
    {"smart-load", {"off", "on"}},
    {"compute-once", {"profile", "off", "on"}},
    {"grammar", {"standard", "extended"}},
};

std::optional<std::uint8_t> SettingValue(const TSettingFlag& Flag, const std::string& Text) {
  for (std::size_t i = 0; i < Flag.Values.size(); ++i) {
    const std::string Name = Flag.Values[i];
    if (Text == Name) return static_cast<std::uint8_t>(i);
    // The component's own spellings of the enumerations.
    if (Name == "standard" && Text == "standart") return static_cast<std::uint8_t>(i);
    if (Name == "aggressive" && Text == "agressive") return static_cast<std::uint8_t>(i);
  }
  if (Flag.Values.size() == 2 && std::strcmp(Flag.Values[0], "off") == 0) {
    if (Text == "false" || Text == "0" || Text == "no") return 0;
    if (Text == "true" || Text == "1" || Text == "yes") return 1;
  }
  return std::nullopt;
}

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// NAME or NAME:TYPE before the first '='; nullopt if Arg is not a variable.
std::optional<std::size_t> AssignmentAt(const std::string& Arg) {
  const std::size_t Eq = Arg.find('=');
  // "x==1" is a comparison, not an assignment.
  if (Eq == std::string::npos || Eq == 0 || !IsIdentStart(Arg[0]) || Arg[Eq + 1] == '=') return std::nullopt;
  std::size_t i = 1;
  while (i < Eq && IsIdentChar(Arg[i])) ++i;
  if (i == Eq) return Eq;
  if (Arg[i] != ':') return std::nullopt;
  for (++i; i < Eq; ++i)
    if (!std::isalnum(static_cast<unsigned char>(Arg[i]))) return std::nullopt;
  return Eq;
}

TVarArg ParseVariable(const std::string& Arg, std::size_t Eq) {
  TVarArg Var;
  std::string Left = Arg.substr(0, Eq);
  const std::size_t Colon = Left.find(':');
  if (Colon != std::string::npos) {
    const auto Type = TypeFromSuffix(Left.substr(Colon + 1));
    if (!Type)
      throw TUsageError{"unknown type '" + Left.substr(Colon + 1) + "' in '" + Arg +
                        "' (types: i8 u8 i16 u16 i32 u32 i64 f32 f64 f80)"};
    Var.Type = *Type;
    Left.resize(Colon);
  }
  Var.Name = Left;
  if (!ParseValue(Arg.substr(Eq + 1), Var.Type, Var))
    throw TUsageError{"'" + Arg.substr(Eq + 1) + "' is not a value of type " + TypeSuffix(Var.Type) +
                      " (variable " + Var.Name + ")"};
  return Var;
}

int ParseDigits(const std::string& Text) {
  char* End = nullptr;
  const long N = Text.empty() || !std::isdigit(static_cast<unsigned char>(Text[0]))
                     ? 0 : std::strtol(Text.c_str(), &End, 10);
  if (End == nullptr || *End || N < 1 || N > 21)
    throw TUsageError{"--digits takes a count from 1 to 21, not '" + Text + "'"};
  return static_cast<int>(N);
}

std::uint64_t ParseCount(const std::string& Text) {
  errno = 0;
  char* End = nullptr;
  const unsigned long long N = Text.empty() || Text[0] == '-' ? 0 : std::strtoull(Text.c_str(), &End, 10);
  if (Text.empty() || End == nullptr || *End || errno || N == 0)
    throw TUsageError{"--repeat needs a positive whole number, not '" + Text + "'"};
  return N;
}

}  // namespace

const char* TypeSuffix(TVarType Type) { return Type <= vtExtended ? Suffixes[Type] : "?"; }

std::optional<TVarType> TypeFromSuffix(const std::string& Suffix) {
  for (int i = 0; i < 10; ++i)
    if (Suffix == Suffixes[i]) return static_cast<TVarType>(i);
  return std::nullopt;
}

const std::vector<TSettingFlag>& SettingFlags() { return Flags; }

bool ParseValue(const std::string& Text, TVarType Type, TVarArg& Var) {
  if (Text.empty() || std::isspace(static_cast<unsigned char>(Text[0]))) return false;
  static const locale_t C = newlocale(LC_ALL_MASK, "C", nullptr);
  char* End = nullptr;
  errno = 0;
  if (IsFloatType(Type)) {
    const long double V = strtold_l(Text.c_str(), &End, C);
    if (*End) return false;
    Var.Value = V;
    if (Type == vtSingle) {
      const float F = static_cast<float>(V);
      std::memcpy(Var.Bytes, &F, sizeof F);
    } else if (Type == vtDouble) {
      const double D = static_cast<double>(V);
      std::memcpy(Var.Bytes, &D, sizeof D);
    } else {
      std::memcpy(Var.Bytes, &V, 10);
    }
    return true;
  }
  // Integers: decimal or 0x hexadecimal, within the type's range.
  long long V = 0;
  if (Type == vtInt64 || Text[0] == '-') {
    V = strtoll_l(Text.c_str(), &End, 0, C);
  } else {
    const unsigned long long U = strtoull_l(Text.c_str(), &End, 0, C);
    if (U > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) return false;
    V = static_cast<long long>(U);
  }
  if (*End || errno == ERANGE) return false;
  static const long long Lo[7] = {-128, 0, -32768, 0, -2147483648LL, 0, std::numeric_limits<long long>::min()};
  static const long long Hi[7] = {127, 255, 32767, 65535, 2147483647LL, 4294967295LL,
                                  std::numeric_limits<long long>::max()};
  if (V < Lo[Type] || V > Hi[Type]) return false;
  Var.Value = static_cast<long double>(V);
  std::memcpy(Var.Bytes, &V, static_cast<std::size_t>(VarValueBytes[Type]));  // little-endian
  return true;
}

TOptions ParseArguments(const std::vector<std::string>& Args) {
  TOptions O;
  bool OptionsEnd = false;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& A = Args[i];
    if (!OptionsEnd && A.starts_with("--")) {
      if (A == "--") {
        OptionsEnd = true;
        continue;
      }
      const std::size_t Eq = A.find('=');
      const std::string Name = A.substr(2, Eq == std::string::npos ? std::string::npos : Eq - 2);
      const bool HasValue = Eq != std::string::npos;
      const std::string Value = HasValue ? A.substr(Eq + 1) : "";
      auto NoValue = [&] {
        if (HasValue) throw TUsageError{"--" + Name + " takes no value"};
      };
      if (Name == "help") {
        NoValue();
        O.Help = true;
      } else if (Name == "dump") {
        NoValue();
        O.Dump = true;
      } else if (Name == "library-trig") {
        NoValue();
        O.Trig = tcLibrary;
      } else if (Name == "version") {
        NoValue();
        O.Version = true;
      } else if (Name == "repeat" || Name == "digits") {
        std::string Count = Value;
        if (!HasValue) {
          if (i + 1 >= Args.size()) throw TUsageError{"--" + Name + " needs a count"};
          Count = Args[++i];
        }
        if (Name == "repeat") O.Repeat = ParseCount(Count);
        else O.Digits = ParseDigits(Count);
      } else {
        const TSettingFlag* Flag = nullptr;
        for (const TSettingFlag& F : Flags)
          if (Name == F.Flag) Flag = &F;
        if (!Flag) throw TUsageError{"unknown option --" + Name};
        if (!HasValue) throw TUsageError{"--" + Name + " needs a value: --" + Name + "=" + Flag->Values[1]};
        const auto V = SettingValue(*Flag, Value);
        if (!V) {
          std::string Allowed;
          for (const char* S : Flag->Values) Allowed += std::string(Allowed.empty() ? "" : ", ") + S;
          throw TUsageError{"--" + Name + " takes " + Allowed + ", not '" + Value + "'"};
        }
        O.Settings.push_back({Name, *V});
      }
      continue;
    }
    if (!OptionsEnd && A == "-h") {
      O.Help = true;
      continue;
    }
    if (const auto Eq = AssignmentAt(A)) {
      TVarArg Var = ParseVariable(A, *Eq);
      for (const TVarArg& Other : O.Vars)
        if (strcasecmp(Other.Name.c_str(), Var.Name.c_str()) == 0)
          throw TUsageError{"variable " + Var.Name + " is given twice"};
      O.Vars.push_back(std::move(Var));
      continue;
    }
    if (O.Expr && IsIdentifier(A))
      throw TUsageError{"variable " + A + " needs a value: " + A + "=VALUE or " + A + ":TYPE=VALUE"};
    if (O.Expr) throw TUsageError{"more than one expression: '" + *O.Expr + "' and '" + A + "'"};
    O.Expr = A;
  }
  return O;
}

std::string UsageText() {
  std::string Text =
      "usage: fennic [OPTIONS] ['EXPR'] [NAME[:TYPE]=VALUE ...]\n"
      "\n"
      "Compiles EXPR into x87 code with the given variables and the standard\n"
      "functions, evaluates it once and prints the result at full extended\n"
      "precision. Without EXPR, reads one expression per line from standard\n"
      "input and prints one line for each: the value, an empty line for an\n"
      "empty one, or 'error: CODE' (the message goes to standard error).\n"
      "\n"
      "Variables: NAME=VALUE is a double; NAME:TYPE=VALUE picks the type, one of\n"
      "  i8 u8 i16 u16 i32 u32 i64 f32 f64 f80 (e.g. n:i32=5 k:u8=200 t:f80=0.1).\n"
      "  A variable hides a standard function or constant of the same name.\n"
      "\n"
      "Options:\n"
      "  --digits N           print N significant digits (1 to 21; default 21)\n"
      "  --dump               print the routine (offset, bytes, disassembly) and\n"
      "                       the constant pool\n"
      "  --repeat N           evaluate N times and report the time per evaluation\n"
      "  --library-trig       sin, cos, tan through the C library instead of\n"
      "                       the pack's kernels\n";
  for (const TSettingFlag& F : Flags) {
    std::string Values;
    for (const char* V : F.Values) Values += std::string(Values.empty() ? "" : "|") + V;
    Text += "  --" + std::string(F.Flag) + "=" + Values + "\n";
  }
  Text +=
      "  --                   end of options (for an expression beginning with --)\n"
      "  --version            the version and target of this build\n"
      "  -h, --help           this text\n"
      "\n"
      "The grammar is the extended one unless --grammar=standard; in it min, max\n"
      "and sum take 2 to 32 arguments.\n"
      "\n"
      "Functions and constants:";
  std::size_t Column = 80;
  for (const TStandardEntry& E : StandardEntries()) {
    if (Column + E.Name.size() + 1 > 76) {
      Text += "\n ";
      Column = 1;
    }
    Text += " " + E.Name;
    Column += E.Name.size() + 1;
  }
  Text +=
      "\n\n"
      "Exit status: 0 success, 1 an expression did not compile, 2 usage error.\n";
  return Text;
}

}  // namespace fennic::cli
