#include "support/codegen_recorder.h"

#include <cstdio>

namespace fennic::testing {

void TRecordingFennic::AddComm(const std::uint8_t* bytes, std::int32_t count) {
  if (count > 0) Emissions.push_back(TEmission{FLevel, FWriting, Bytes(bytes, bytes + count)});
  TFennic::AddComm(bytes, count);
}

Bytes TRecordingFennic::Recorded(std::int32_t level, bool writing) const {
  Bytes out;
  for (const TEmission& e : Emissions)
    if ((level < 0 || e.Level == level) && e.Writing == writing)
      out.insert(out.end(), e.Code.begin(), e.Code.end());
  return out;
}

void TRecordingFennic::StartSizing(std::int32_t treeLevels) {
  FWriting = false;
  FTopLevel = treeLevels + 2;
  FLevels.assign(static_cast<std::size_t>(FTopLevel) + 1, TLevelInfo{});
  FLevel = FLevelBase = 0;
  FLevelCount = FTopLevel + 1;
  FAheadTop = FTopLevel - 2;
  FBase4 = FBase8 = FBase16 = 0;
  FSpilled = FSpilledMax = 0;
  FTemps4 = FTemps8 = FTemps16 = 0;
  FTemps4Max = FTemps8Max = FTemps16Max = 0;
  FIntInfo.clear();
  Emissions.clear();
}

TOpGroup& TRecordingFennic::OpenGroup(std::int32_t leaves, std::int32_t ops, bool store,
                                      std::int32_t dest, TOpType precision) {
  TOpGroup g;
  g.LeavesLeft = leaves;
  g.OpsLeft = ops;
  g.Store = store;
  g.Dest = dest;
  g.Precision = precision;
  Level().Ops.push_back(g);
  return Level().Ops.back();
}

void TRecordingFennic::Generate(std::int32_t treeLevels, const std::function<void()>& body) {
  Emissions.clear();
  FTopLevel = treeLevels;
  GenerateCode(body);
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Le32(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

Bytes Le32(const void* address) {
  return Le32(static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(address)));
}

Bytes Le64(std::uint64_t value) {
  return Le32(static_cast<std::int32_t>(static_cast<std::uint32_t>(value))) +
         Le32(static_cast<std::int32_t>(static_cast<std::uint32_t>(value >> 32)));
}

Bytes Le64(const void* address) { return Le64(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address))); }

std::string Hex(const Bytes& bytes) {
  std::string s;
  char buf[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

}  // namespace fennic::testing
