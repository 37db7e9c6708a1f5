// Code buffer and instruction emission: every byte of the routine passes
// through AddComm; loads, stores, frame temporaries and integer widening.
#include <algorithm>
#include <cstring>

#include "fennic/codegen/defect.h"
#include "fennic/codegen/levels.h"
#include "fennic/core/encoder.h"

namespace fennic {

namespace {

void PutI32(std::uint8_t* at, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
  at[2] = static_cast<std::uint8_t>(v >> 16);
  at[3] = static_cast<std::uint8_t>(v >> 24);
}

TAddress AddressOf(const void* p, std::int32_t displacement = 0) {
  return static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(p) +
                               static_cast<std::uintptr_t>(static_cast<TAddress>(displacement)));
}

// Aligned single and double variables are read from memory even when a
// register holds them (SmartLoad).
bool NaturallyAligned(TVarType type, TAddress address) {
  const auto a = static_cast<std::uintptr_t>(address);
  return (type == vtDouble && a % 8 == 0) || (type == vtSingle && a % 4 == 0);
}

// Frame temporaries come in three classes by size: 4, 8 and 16 bytes.
std::int32_t TempClass(TVarType type) {
  const std::int32_t size = (VarSizes[type] + 3) & ~3;
  return size == 12 ? 16 : size;
}

constexpr std::int32_t OpTypeArea[3] = {4, 8, 16};

}  // namespace

// ---- AddComm and its variants ------------------------------------------------

void TFennic::NoLevel() const {
  Defect("level " + std::to_string(FLevel) + " does not exist");
}

void TFennic::AddComm(const std::uint8_t* Bytes, std::int32_t Count) {
  if (Count < 0) Defect("negative byte count");
  TLevelInfo& L = Level();
  if (FWriting) {
    // A level never writes past the end the sizing pass measured for it.
    if (static_cast<std::int64_t>(L.CodePos) + Count > FLevelEnds[static_cast<std::size_t>(FLevelBase + FLevel)])
      Defect("level " + std::to_string(FLevel) + " outgrows its measured size");
    if (Count > 0) std::memcpy(FOut + L.CodePos, Bytes, static_cast<std::size_t>(Count));
  }
  L.CodePos += Count;
}

void TFennic::AddCommAndI8(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t Value) {
  std::uint8_t buf[16];
  if (Count < 0 || Count > 15) {
    AddComm(Bytes, Count);
    buf[0] = static_cast<std::uint8_t>(Value);
    AddComm(buf, 1);
    return;
  }
  std::memcpy(buf, Bytes, static_cast<std::size_t>(Count));
  buf[Count] = static_cast<std::uint8_t>(Value);
  AddComm(buf, Count + 1);
}

void TFennic::AddCommAndI32(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t Value) {
  std::uint8_t buf[16];
  if (Count < 0 || Count > 12) {
    AddComm(Bytes, Count);
    PutI32(buf, Value);
    AddComm(buf, 4);
    return;
  }
  std::memcpy(buf, Bytes, static_cast<std::size_t>(Count));
  PutI32(buf + Count, Value);
  AddComm(buf, Count + 4);
}

void TFennic::AddCommAndI8AndI32(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t First,
                                 std::int32_t Second) {
  std::uint8_t buf[5];
  buf[0] = static_cast<std::uint8_t>(First);
  PutI32(buf + 1, Second);
  AddComm(Bytes, Count);
  AddComm(buf, 5);
}

void TFennic::AddCommAndI32AndI32(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t First,
                                  std::int32_t Second) {
  std::uint8_t buf[8];
  PutI32(buf, First);
  PutI32(buf + 4, Second);
  AddComm(Bytes, Count);
  AddComm(buf, 8);
}

void TFennic::AddCommAndVar(const std::uint8_t* Bytes, std::int32_t Count, const TVariable& Variable,
                            std::int32_t Displacement) {
  EmitAbs(Bytes, Count, AddressOf(Variable.Address, Displacement));
}

void TFennic::EmitAbs(TInstr Instr, TAddress Address) {
  EmitAbs(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, Address);
}

void TFennic::Emit(TInstr Instr) {
  AddComm(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count);
}

void TFennic::EmitI8(TInstr Instr, std::int32_t Value) {
  AddCommAndI8(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, Value);
}

void TFennic::EmitI32(TInstr Instr, std::int32_t Value) {
  AddCommAndI32(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, Value);
}

void TFennic::EmitI8I32(TInstr Instr, std::int32_t First, std::int32_t Second) {
  AddCommAndI8AndI32(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, First, Second);
}

void TFennic::EmitI32I32(TInstr Instr, std::int32_t First, std::int32_t Second) {
  AddCommAndI32AndI32(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, First, Second);
}

void TFennic::EmitVar(TInstr Instr, const TVariable& Variable, std::int32_t Displacement) {
  AddCommAndVar(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, Variable, Displacement);
}

void TFennic::CheckDisplacement(std::int32_t Displacement) const {
  // The sizing pass may carry the -1 marker (a non-zero offset); written
  // code never addresses below ESP.
  if (FWriting && Displacement < 0)
    Defect("negative ESP displacement " + std::to_string(Displacement));
}

void TFennic::Emit(const TEncoder& Code) { AddComm(Code.Data(), Code.Size()); }

void TFennic::EmitAbs(const TEncoder& Form, TAddress Address) { EmitAbs(Form.Data(), Form.Size(), Address); }

void TFennic::EmitFrame(const std::uint8_t* Bytes, std::int32_t Count, std::int32_t Offset, std::int32_t Area) {
  if (Offset == 0) {
    TLevelInfo& L = Level();
    (Area == 4 ? L.Short4 : Area == 8 ? L.Short8 : L.Short16) += 1;
  } else {
    CheckDisplacement(Offset);
  }
  Emit(TEncoder().Reform(Bytes, Count, TOperand::Frame(Offset)));
}

void TFennic::EmitFrame(TInstr Instr, std::int32_t Offset, std::int32_t Area) {
  EmitFrame(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, Offset, Area);
}

void TFennic::EmitEsp(TInstr Instr, std::int32_t Displacement) {
  CheckDisplacement(Displacement);
  Emit(TEncoder().Reform(InstrTemplates[Instr].Bytes, InstrTemplates[Instr].Count, TOperand::Esp(Displacement)));
}

void TFennic::StoreTemp(TOpType OpType, std::int32_t Offset) {
  EmitFrame(FstpEsp[OpType], Offset, OpTypeArea[OpType]);
}

void TFennic::AddFuncCall(const TFunction& Func) {
  if (RunsCodeInLine(Func)) {
    if (Func.Code.empty()) return;
    AddComm(Func.Code.data(), static_cast<std::int32_t>(Func.Code.size()));
  } else if (Func.Address) {
    NotePushed(PushWidth);
    EmitCallTo(Func.Address);
  } else {
    return;
  }
  // The routine or the inline code may change every scratch register.
  Level().ScratchBase = 0;
}

void TFennic::NotePushed(std::int32_t Below) {
  FPushedPeak = std::max(FPushedPeak, Level().Pushed + Below);
}

// ---- Register model -------------------------------------------------------------

void TFennic::PushModel(TSlotKey Key) {
  TLevelInfo& L = Level();
  if (L.Depth < 0 || L.Depth >= 8) Defect("x87 stack overflow in the level model");
  for (std::int32_t i = L.Depth - 1; i >= 0; --i) L.Slots[i + 1] = std::move(L.Slots[i]);
  L.Slots[0] = TFPUSlot{L.Depth, Key};
}

void TFennic::PopModel() {
  TLevelInfo& L = Level();
  if (L.Depth <= 0 || L.Depth > 8) Defect("x87 stack underflow in the level model");
  // Values that stood above the removed one move down a position, so that
  // the Orders stay 0 to Depth - 1 and a later load's Order is unique.
  const std::int32_t removed = L.Slots[0].Order;
  L.Depth -= 1;
  for (std::int32_t i = 0; i < L.Depth; ++i) {
    L.Slots[i] = std::move(L.Slots[i + 1]);
    if (L.Slots[i].Order > removed) L.Slots[i].Order -= 1;
  }
}

std::int32_t TFennic::FindKey(TSlotKey Key) {
  TLevelInfo& L = Level();
  if (Key.IsNone()) return -1;
  // FLD ST(i) reaches ST(0) to ST(6) only: a seventh register is the last free one.
  for (std::int32_t i = std::min(L.Depth, 7) - 1; i >= 0; --i)
    if (L.Slots[i].Key == Key) return i;
  return -1;
}

void TFennic::FldSt(std::int32_t I) {
  if (I < 0 || I > 6) return;
  Emit(TEncoder().Op({0xD9}, 0, TOperand::Register(static_cast<std::uint8_t>(I))));  // FLD ST(i)
}

void TFennic::ProcFXCH(std::int32_t I, std::int32_t J) {
  TLevelInfo& L = Level();
  if (I < 0 || J < 0 || I >= L.Depth || J >= L.Depth || I == J) return;
  if (I == 0) std::swap(I, J);
  auto fxch = [this](std::int32_t i) {
    Emit(TEncoder().Op({0xD9}, 1, TOperand::Register(static_cast<std::uint8_t>(i))));  // FXCH ST(i)
  };
  fxch(I);
  if (J != 0) {
    // Neither is ST0: swap through it and put the old ST0 back.
    fxch(J);
    fxch(I);
  }
  std::swap(L.Slots[I], L.Slots[J]);
}

// ---- Loads and stores -----------------------------------------------------------

void TFennic::FldVar(const TVariable& Variable, bool Negate) {
  NeedStack(1);
  const std::int32_t code = VarCode(Variable.Name);
  // An unregistered variable has no identity that a later load could share.
  const TSlotKey key = code != 0 ? TSlotKey::Variable(code) : NoKey;
  const TAddress address = AddressOf(Variable.Address);
  const std::int32_t reg =
      SmartLoad() && NaturallyAligned(Variable.VarType, address) ? -1 : FindKey(key);
  if (reg >= 0) {
    FldSt(reg);
  } else {
    switch (Variable.VarType) {
      case vtInt16: EmitVar(insFildWordAbs, Variable); break;
      case vtInt32: EmitVar(insFildDwordAbs, Variable); break;
      case vtInt64: EmitVar(insFildQwordAbs, Variable); break;
      case vtSingle: EmitVar(insFldDwordAbs, Variable); break;
      case vtDouble: EmitVar(insFldQwordAbs, Variable); break;
      case vtExtended: EmitVar(insFldTbyteAbs, Variable); break;
      case vtInt8:
      case vtUInt8:
      case vtUInt16:
        EmitFrame(insFildDwordEsp, ProcessIntVar(Variable), 4);
        break;
      case vtUInt32:
        EmitFrame(insFildQwordEsp, ProcessIntVar(Variable), 8);
        break;
    }
  }
  PushModel(Negate ? NoKey : key);
  if (Negate) Emit(insFchs);
  OpWasLoaded();
}

void TFennic::FldVal(TVarType VarType, std::int32_t Value, bool Negate, bool InFrame) {
  NeedStack(1);
  TSlotKey key = NoKey;
  std::int32_t reg = -1;
  TAddress address = 0;
  const bool poolConstant = !InFrame && IsFloatType(VarType);
  if (poolConstant) {
    key = TSlotKey::PoolConstant(VarType, Value);
    address = AddressOf(PoolBase(), Value);
    if (!(SmartLoad() && NaturallyAligned(VarType, address))) reg = FindKey(key);
  }
  if (reg >= 0) {
    FldSt(reg);
  } else if (const double* pair = poolConstant && VarType == vtExtended ? PairOf(Value) : nullptr) {
    // FLD QWORD [hi]; FADD QWORD [lo]: the same value, no microcoded load.
    EmitAbs(insFldQwordAbs, AddressOf(pair));
    EmitAbs(insFaddQwordAbs, AddressOf(pair + 1));
  } else if (poolConstant) {
    EmitAbs(VarType == vtSingle ? insFldDwordAbs : VarType == vtDouble ? insFldQwordAbs : insFldTbyteAbs,
            address);
  } else {
    switch (VarType) {
      case vtInt16: EmitFrame(insFildWordEsp, Value, 4); break;
      case vtUInt32:
      case vtInt64: EmitFrame(insFildQwordEsp, Value, 8); break;
      case vtSingle: EmitFrame(insFldDwordEsp, Value, 4); break;
      case vtDouble: EmitFrame(insFldQwordEsp, Value, 8); break;
      case vtExtended: EmitFrame(insFldTbyteEsp, Value, 16); break;
      default: EmitFrame(insFildDwordEsp, Value, 4); break;
    }
  }
  if (Negate) Emit(insFchs);
  PushModel(poolConstant && !Negate ? key : NoKey);
  OpWasLoaded();
}

void TFennic::FlushRes(TOpType OpType, std::int32_t Offset, std::int32_t I) {
  ProcFXCH(I, 0);
  EmitEsp(FstpEsp[OpType], Offset);
  PopModel();
}

// ---- Frame temporaries ----------------------------------------------------------

std::int32_t TFennic::AddVal(TVarType VarType) {
  const std::int32_t cls = TempClass(VarType);
  std::int32_t offset;
  if (AlignMode()) {
    if (cls == 4) {
      // The first ones fill the spare tails of the 16-byte slots.
      const std::int32_t n = FTemps16Max + FSpilledMax;
      offset = n > FTemps4 ? 16 * FTemps4 + 12 : FBase4 + 4 * (FTemps4 - n);
      FTemps4 += 1;
      FTemps4Max = std::max(FTemps4Max, FTemps4);
    } else if (cls == 8) {
      offset = FBase8 + 8 * FTemps8;
      FTemps8 += 1;
      FTemps8Max = std::max(FTemps8Max, FTemps8);
    } else {
      offset = FBase16 + 16 * FTemps16;
      FTemps16 += 1;
      FTemps16Max = std::max(FTemps16Max, FTemps16);
    }
  } else {
    offset = FBase4 + FTemps4;
    FTemps4 += cls == 16 ? 12 : cls;
  }
  offset += Level().Pushed;
  const std::int32_t below = cls == 4 ? FTemps8 + FTemps16 + FSpilled : cls == 8 ? FTemps16 + FSpilled : FSpilled;
  // Not really 0 once the areas below exist: -1 selects the long form.
  if (offset == 0 && below > 0) offset = -1;
  if (!AlignMode()) FTemps4Max = std::max(FTemps4Max, FTemps4);
  return offset;
}

std::int32_t TFennic::GetVal(TVarType VarType) {
  const std::int32_t cls = TempClass(VarType);
  std::int32_t offset;
  if (AlignMode()) {
    const std::int32_t count = cls == 4 ? FTemps4 : cls == 8 ? FTemps8 : FTemps16;
    if (count <= 0) Defect("no temporary of this class to fetch");
    const std::int32_t k = count - 1;
    if (cls == 4) {
      const std::int32_t n = FTemps16Max + FSpilledMax;
      offset = n > k ? 16 * k + 12 : FBase4 + 4 * (k - n);
    } else {
      offset = (cls == 8 ? FBase8 : FBase16) + cls * k;
    }
  } else {
    const std::int32_t size = cls == 16 ? 12 : cls;
    if (FTemps4 < size) Defect("no temporary of this class to fetch");
    offset = FBase4 + FTemps4 - size;
  }
  return offset + Level().Pushed;
}

// ---- Integer widening -----------------------------------------------------------

std::int32_t TFennic::ProcessInt(TVarType VarType) {
  std::int32_t o;
  switch (VarType) {
    case vtInt8:
    case vtUInt8:
    case vtInt16:
    case vtUInt16:
    case vtInt32:
      o = AddVal(vtSingle);
      if (VarType == vtInt8) Emit(insMovsxEaxAl);
      if (VarType == vtUInt8) Emit(insMovzxEaxAl);
      if (VarType == vtInt16) Emit(insMovsxEaxAx);
      if (VarType == vtUInt16) Emit(insMovzxEaxAx);
      EmitFrame(insMovEspEax, o, 4);
      return o;
    case vtUInt32:
    case vtInt64:
      o = AddVal(vtDouble);
      if (VarType == vtUInt32) Emit(insXorEdxEdx);
      EmitFrame(insMovEspEax, o, 8);
      EmitI32(insMovEspDEdx, o + 4);
      return o;
    default:
      Defect("no integer to widen");
  }
}

std::int32_t TFennic::ProcessIntVar(const TVariable& Variable) {
  // The copy lives in the frame at an offset that no level's Pushed is part
  // of; each use adds the Pushed of the level that reads it.
  const std::int32_t pushed = Level().Pushed;
  auto seenFromHere = [pushed](std::int32_t o) { return o == -1 ? -1 : o + pushed; };
  for (const TIntInfo& info : FIntInfo)
    if (info.Name == Variable.Name) return seenFromHere(info.Offset);

  TInstr load;
  switch (Variable.VarType) {
    case vtInt8: load = insMovsxEaxByteAbs; break;
    case vtUInt8: load = insMovzxEaxByteAbs; break;
    case vtUInt16: load = insMovzxEaxWordAbs; break;
    case vtUInt32: load = insMovEaxAbs; break;
    default: Defect("variable " + Variable.Name + " needs no widening");
  }

  // Emitted once, in the level that runs before all level code and pushes nothing.
  const std::int32_t saved = FLevel, savedBase = FLevelBase, savedCount = FLevelCount;
  FLevelBase = 0;
  FLevelCount = FTopLevel + 1;
  FLevel = FTopLevel - 1;
  const std::int32_t o = AddVal(Variable.VarType == vtUInt32 ? vtDouble : Variable.VarType);
  FIntInfo.push_back(TIntInfo{Variable.Name, o});
  if (Variable.VarType == vtUInt32) {
    Emit(insXorEdxEdx);
    EmitVar(load, Variable);
    EmitI32(insMovEspDEdx, o + 4);
    EmitFrame(insMovEspEax, o, 8);
  } else {
    EmitVar(load, Variable);
    EmitFrame(insMovEspEax, o, 4);
  }
  FLevel = saved;
  FLevelBase = savedBase;
  FLevelCount = savedCount;
  return seenFromHere(o);
}

// ---- Queueing -------------------------------------------------------------------

void TFennic::AddOp(std::uint8_t Command) {
  const std::int32_t form = (Command & ocForm) >> 2;
  if ((form == 0 || form == 3) && NeedExecute()) Command ^= ocReversed;
  TLevelInfo& L = Level();
  if (L.Ops.empty()) Defect("no operation group to queue into");
  TOpGroup& g = L.Ops.back();
  if (g.Queued >= TOpGroup::Capacity) Defect("operation queue overflow");
  g.Queue[g.Queued] = TQueuedOp{L.Depth, Command};
  g.Queued += 1;
}

}  // namespace fennic
