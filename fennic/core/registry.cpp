// Variable and function registries of the control block.
#include <cstring>

#include "fennic/core/ctrlblck.h"
#include "fennic/simplifier/x87guard.h"

namespace fennic {

namespace {

// The reserved variable "fennicid": a vtInt32 inside the library holding 1.
std::int32_t ReservedValue = 1;

template <class Entry>
std::int32_t FindByName(const std::vector<Entry>& list, const std::string& lowerName) {
  for (std::size_t i = 0; i < list.size(); ++i)
    if (!list[i].Name.empty() && list[i].Name == lowerName) return static_cast<std::int32_t>(i + 1);
  return 0;
}

template <class Entry>
bool IsOccupied(const std::vector<Entry>& list, std::int32_t Code) {
  return Code >= 1 && static_cast<std::size_t>(Code) <= list.size() && !list[Code - 1].Name.empty();
}

}  // namespace

// Puts the entry into the first free slot, or appends it; returns its code.
template <class Entry>
std::int32_t TCtrlBlck::StoreEntry(std::vector<Entry>& list, Entry&& entry) {
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i].Name.empty()) {
      list[i] = std::move(entry);
      return static_cast<std::int32_t>(i + 1);
    }
  list.push_back(std::move(entry));
  return static_cast<std::int32_t>(list.size());
}

// Removing the last entry trims every free slot that becomes last; removing
// another one only frees its slot, so no other code changes.
template <class Entry>
bool TCtrlBlck::RemoveEntry(std::vector<Entry>& list, std::int32_t Code) {
  if (!IsOccupied(list, Code)) return false;
  if (static_cast<std::size_t>(Code) == list.size()) {
    list.pop_back();
    while (!list.empty() && list.back().Name.empty()) list.pop_back();
  } else {
    list[Code - 1].Name.clear();
  }
  return true;
}

// ------------------------------------------------------------------ variables

std::int32_t TCtrlBlck::VarCode(const std::string& Name) const {
  std::string name = LowerCase(Name);
  if (!IsIdentifier(name)) return 0;
  if (name == ReservedVarName) return ReservedVarCode;
  return FindByName(FVars, name);
}

std::int32_t TCtrlBlck::RegisterVar(const TVariable& Variable) {
  TX87Entry x87;
  TVariable v = Variable;
  v.Name = LowerCase(v.Name);
  if (v.Name.empty() || FuncCode(v.Name) != 0 || VarCode(v.Name) != 0) return 0;
  if (FindByName(FVars, v.Name) != 0) return 0;  // a name that is no identifier, twice
  // The registry never hands out the reserved code or beyond.
  if (FVars.size() >= static_cast<std::size_t>(ReservedVarCode - 1)) return 0;
  return StoreEntry(FVars, std::move(v));
}

std::int32_t TCtrlBlck::RegisterVarExt(const std::string& Name, TVarType VarType, void* Address) {
  TX87Entry x87;
  return RegisterVar(TVariable{Name, VarType, Address});
}

std::int32_t TCtrlBlck::RegisterVarA(const TVariable& Variable, void*& AlignedAddress) {
  TX87Entry x87;
  TVariable v = Variable;
  v.Name = LowerCase(v.Name);
  if (v.Name.empty() || FuncCode(v.Name) != 0 || VarCode(v.Name) != 0) return 0;
  if (FindByName(FVars, v.Name) != 0) return 0;
  if (FVars.size() >= static_cast<std::size_t>(ReservedVarCode - 1)) return 0;
  if (v.VarType > vtExtended) return 0;

  const std::uintptr_t a = static_cast<std::uintptr_t>(VarAlignments[v.VarType]);
  const std::uintptr_t addr = reinterpret_cast<std::uintptr_t>(v.Address);
  if (addr % a != 0) {
    // 2a bytes hold a aligned bytes whatever the heap's own alignment; the
    // block's buffer is never resized, so the address stays valid.
    FAligned.emplace_back(2 * a, 0);
    std::uint8_t* block = FAligned.back().data();
    std::uintptr_t aligned = (reinterpret_cast<std::uintptr_t>(block) + a - 1) / a * a;
    std::memcpy(reinterpret_cast<void*>(aligned), v.Address, VarValueBytes[v.VarType]);
    v.Address = reinterpret_cast<void*>(aligned);
  }
  AlignedAddress = v.Address;
  return StoreEntry(FVars, std::move(v));
}

bool TCtrlBlck::GetVar(TVariable& Variable, std::int32_t Code) const {
  if (Code == ReservedVarCode) {
    Variable.Name = ReservedVarName;
    Variable.VarType = vtInt32;
    Variable.Address = &ReservedValue;
    return true;
  }
  if (!IsOccupied(FVars, Code)) return false;
  Variable = FVars[Code - 1];
  return true;
}

bool TCtrlBlck::RemoveVar(std::int32_t Code) { return RemoveEntry(FVars, Code); }

void TCtrlBlck::ClearVars() { FVars.clear(); }

// ------------------------------------------------------------------ functions

std::int32_t TCtrlBlck::FuncCode(const std::string& Name) const {
  std::string name = LowerCase(Name);
  if (!IsIdentifier(name)) return 0;
  return FindByName(FFuncs, name);
}

std::int32_t TCtrlBlck::RegisterFunc(const TFunction& Func) {
  TX87Entry x87;
  TFunction f = Func;
  f.Name = LowerCase(f.Name);
  if (!IsIdentifier(f.Name) || FuncCode(f.Name) != 0 || VarCode(f.Name) != 0) return 0;
  if (f.StackNeeds > 8) f.StackNeeds = 8;
  if (f.StackNeeds < 0) f.StackNeeds = 0;
  return StoreEntry(FFuncs, std::move(f));
}

namespace {

// Parameter string: four characters a parameter, style then type.
bool ParseParameterString(const std::string& text, TAVarDef& params) {
  static constexpr const char* TypeCodes[10] = {"i08", "u08", "i16", "u16", "i32",
                                                "u32", "i64", "f32", "f64", "f80"};
  if (text.size() % 4 != 0) return false;
  for (std::size_t k = 0; k < text.size(); k += 4) {
    TVarDef def;
    if (text[k] == 'v') def.PushStyle = psValue;
    else if (text[k] == 'r') def.PushStyle = psReference;
    else return false;
    int type = -1;
    for (int t = 0; t < 10; ++t)
      if (text.compare(k + 1, 3, TypeCodes[t]) == 0) type = t;
    if (type < 0) return false;
    def.VarType = static_cast<TVarType>(type);
    params.push_back(def);
  }
  return true;
}

}  // namespace

std::int32_t TCtrlBlck::RegisterFuncExt(const std::string& Name, const std::string& ParamSpec,
                                        TCallType CallType, TFuncResult FuncResult,
                                        std::int32_t StackNeeds, void* Address, bool Foldable,
                                        const TAByte& Code) {
  TX87Entry x87;
  if (ParamSpec.size() % 4 != 0) return 0;
  TFunction f;
  f.Name = Name;
  f.CallType = CallType;
  f.FuncResult = FuncResult;
  f.StackNeeds = StackNeeds;
  f.Address = Address;
  f.Foldable = Foldable;
  f.Code = Code;
  if (!ParseParameterString(ParamSpec, f.Params)) return 0;
  return RegisterFunc(f);
}

bool TCtrlBlck::GetFunc(TFunction& Func, std::int32_t Code) const {
  if (!IsOccupied(FFuncs, Code)) return false;
  Func = FFuncs[Code - 1];
  return true;
}

bool TCtrlBlck::RemoveFunc(std::int32_t Code) { return RemoveEntry(FFuncs, Code); }

void TCtrlBlck::ClearFuncs() { FFuncs.clear(); }

std::int32_t TCtrlBlck::FuncStackNeeds(std::int32_t Code) const {
  if (!IsOccupied(FFuncs, Code)) return 2147483647;
  const TFunction& f = FFuncs[Code - 1];
  std::int32_t n = f.StackNeeds;
  if (f.CallType == ctBuilt_in)
    for (const TVarDef& p : f.Params)
      if (IsFloatType(p.VarType)) ++n;
  if (n == 0 && IsFloatResult(f.FuncResult)) n = 1;
  n = TargetStackNeeds(f, n);
  return n < 8 ? n : 8;
}

std::int32_t TCtrlBlck::InlineStackFrame(const TFunction& Func) {
  std::int32_t fpuRoom = Func.CallType == ctBuilt_in ? 8 - Func.StackNeeds : 0;
  std::int32_t regRoom = (Func.CallType == ctRegister || Func.CallType == ctBuilt_in) ? 3 : 0;
  std::int32_t bytes = 0;
  for (const TVarDef& p : Func.Params) {
    if (p.PushStyle == psReference || p.VarType <= vtUInt32) {
      if (regRoom > 0) --regRoom;
      else bytes += p.PushStyle == psReference ? PushWidth : 4;
    } else if (p.VarType == vtInt64) {
      bytes += 8;
    } else if (fpuRoom > 0) {
      --fpuRoom;
    } else {
      bytes += VarSizes[p.VarType];
    }
  }
  return bytes;
}

}  // namespace fennic
