// Command line of the fennic tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fennic/core/types.h"
#include "fennic/functions/functions.h"

namespace fennic::cli {

// A host variable given as NAME=VALUE or NAME:TYPE=VALUE.
struct TVarArg {
  std::string Name;
  TVarType Type = vtDouble;
  // The value in the variable's own type, little-endian (10 bytes at most).
  std::uint8_t Bytes[16] = {};
  long double Value = 0;  // for messages
};

// One of the component's settings, as the flag sets it.
struct TSettingArg {
  std::string Flag;  // without the leading "--"
  std::uint8_t Value = 0;
};

struct TOptions {
  std::optional<std::string> Expr;  // none: read expressions from standard input
  std::vector<TVarArg> Vars;
  std::vector<TSettingArg> Settings;
  TTrigCode Trig = tcX87;
  bool Dump = false;
  std::uint64_t Repeat = 0;  // 0: evaluate once, no timing
  int Digits = 21;           // significant digits of a printed value
  bool Help = false;
  bool Version = false;
};

// Thrown for a command line the tool cannot use; main exits with status 2.
struct TUsageError {
  std::string Message;
};

TOptions ParseArguments(const std::vector<std::string>& Args);

// Parses Text as a value of Type into Var; false if it is not one.
bool ParseValue(const std::string& Text, TVarType Type, TVarArg& Var);

// The type suffix ("i8" ... "f80") of a variable type, and back.
const char* TypeSuffix(TVarType Type);
std::optional<TVarType> TypeFromSuffix(const std::string& Suffix);

// Settings flags with their values, for the help text and the dump header.
struct TSettingFlag {
  const char* Flag;
  std::vector<const char*> Values;  // index = stored ordinal; first spelling shown
};
const std::vector<TSettingFlag>& SettingFlags();

std::string UsageText();

}  // namespace fennic::cli
