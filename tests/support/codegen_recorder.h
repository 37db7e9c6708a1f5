// A TFennic that records every byte it emits (through the virtual AddComm)
// and opens the code generator's state to tests, so that the primitives and
// the two passes can be driven directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fennic/codegen/levels.h"

// A golden test pins the bytes of one target's routine and runs in that
// target's build only: PINS_BYTES_OF(i386) or PINS_BYTES_OF(x86_64) opens
// its body, and the other build reports it skipped.
#define PINS_BYTES_OF(TARGET)                                \
  if (::fennic::testing::BuildTarget() != std::string_view{#TARGET}) \
  GTEST_SKIP() << "pins the bytes of the " #TARGET " routine"

namespace fennic::testing {

using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view BuildTarget() { return Target64 ? "x86_64" : "i386"; }

// One AddComm call.
struct TEmission {
  std::int32_t Level;
  bool Writing;
  Bytes Code;
};

class TRecordingFennic : public TFennic {
 public:
  explicit TRecordingFennic(TComponent* owner = nullptr) : TFennic(owner) {}

  using TFennic::FldVar;
  using TFennic::ReleaseTrees;
  using TFennic::FldVal;
  using TFennic::ProcFXCH;
  using TFennic::FldSt;
  using TFennic::FlushRes;
  using TFennic::AddCommAndI8;
  using TFennic::AddCommAndI32;
  using TFennic::AddCommAndI8AndI32;
  using TFennic::AddCommAndI32AndI32;
  using TFennic::AddCommAndVar;
  using TFennic::ExecuteCommand;
  using TFennic::AddFuncCall;
  using TFennic::AddVal;
  using TFennic::GetVal;
  using TFennic::ProcessInt;
  using TFennic::ProcessIntVar;
  using TFennic::AddOp;
  using TFennic::Emit;
  using TFennic::EmitI8;
  using TFennic::EmitI32;
  using TFennic::StoreTemp;
  using TFennic::TotalOps;
  using TFennic::PerformOperation;
  using TFennic::NeedStack;
  using TFennic::NeedExecute;
  using TFennic::OpWasLoaded;
  using TFennic::PushModel;
  using TFennic::PopModel;
  using TFennic::Level;
  using TFennic::GenerateCode;
  using TFennic::StackWorks;

  using TFennic::FTemps4Max;
  using TFennic::FTemps8Max;
  using TFennic::FTemps16Max;
  using TFennic::FTemps4;
  using TFennic::FTemps8;
  using TFennic::FTemps16;
  using TFennic::FSpilled;
  using TFennic::FSpilledMax;
  using TFennic::FWriting;
  using TFennic::FLevels;
  using TFennic::FIntInfo;
  using TFennic::FLevel;
  using TFennic::FTopLevel;
  using TFennic::FBase4;
  using TFennic::FBase8;
  using TFennic::FBase16;
  using TFennic::FConstData;
  using TFennic::FCompError;

  void AddComm(const std::uint8_t* bytes, std::int32_t count) override;

  // Everything recorded so far, in order.
  std::vector<TEmission> Emissions;
  // The bytes recorded in one level (all levels when level < 0), sizing or writing pass.
  Bytes Recorded(std::int32_t level = -1, bool writing = false) const;
  void ClearRecord() { Emissions.clear(); }

  // Sets up a sizing pass by hand, as the driver does before it compiles:
  // levels 0 to treeLevels + 2, bases 0, empty counters and model.
  void StartSizing(std::int32_t treeLevels = 0);
  // Appends an operation group to the current level.
  TOpGroup& OpenGroup(std::int32_t leaves, std::int32_t ops = 0, bool store = false,
                      std::int32_t dest = 0, TOpType precision = otExtended);
  // Runs both passes with `body` as the expression's code (tree levels as given).
  void Generate(std::int32_t treeLevels, const std::function<void()>& body);
  // The constant pool, as the builder would leave it.
  void SetPool(const Bytes& pool) { FConstData = pool; }
  // Bytes of the routine as now held by the component.
  Bytes Routine() const { return Bytes(CodeBytes(), CodeBytes() + CodeSize()); }
};

// Little-endian helpers for golden byte strings.
Bytes operator+(Bytes a, const Bytes& b);
Bytes Le32(std::int32_t value);
Bytes Le32(const void* address);
Bytes Le64(std::uint64_t value);
Bytes Le64(const void* address);
// "D9 05 ..." style rendering for failure messages.
std::string Hex(const Bytes& bytes);

}  // namespace fennic::testing
