// Variable and function registries of the control block.
#include <algorithm>
#include <cstring>

#include "fennic/core/ctrlblck.h"
#include "fennic/core/x87guard.h"

namespace fennic {

namespace {

// The reserved variable "fennicid": a vtInt32 inside the library holding 1.
std::int32_t ReservedValue = 1;
const TVariable ReservedVariable{ReservedVarName, vtInt32, &ReservedValue};

bool IsReserved(std::string_view Name) { return TNameIndex::SameName(Name, ReservedVarName); }

bool IsFree(const TVariable& Entry) { return Entry.Name.empty(); }

// What a compiled routine can use: every enumeration within its range, the
// storage of a variable, the entry point of a host routine, the bytes of
// inline code.
bool Usable(const TVariable& V) { return V.VarType <= vtExtended && V.Address != nullptr; }

bool Usable(const TFunction& F) {
  if (F.CallType > ctBuilt_in || F.FuncResult > frExtended) return false;
  for (const TVarDef& p : F.Params)
    if (p.VarType > vtExtended || p.PushStyle > psReference) return false;
  if (F.Variadic > vaInOrder) return false;
  // Nested calls pass a result on as an argument of the same type.
  if (F.Variadic != vaNone &&
      (F.Params.size() != 2 || F.Params[0].PushStyle != psValue || F.Params[1].PushStyle != psValue ||
       F.Params[0].VarType != F.Params[1].VarType || !IsFloatType(F.Params[0].VarType) ||
       !IsFloatResult(F.FuncResult)))
    return false;
  return F.CallType == ctBuilt_in ? !F.Code.empty() : F.Address != nullptr;
}
bool IsFree(const TFunctionRecord& Entry) { return !Entry; }

// Removing the last entry trims every free slot that becomes last; removing
// another one only frees its slot, so no other code changes.
template <class Entry>
void FreeSlot(std::vector<Entry>& List, std::size_t& Free, std::int32_t Code) {
  if (static_cast<std::size_t>(Code) == List.size()) {
    List.pop_back();
    while (!List.empty() && IsFree(List.back())) {
      List.pop_back();
      --Free;
    }
  } else {
    List[Code - 1] = Entry{};
    ++Free;
  }
}

}  // namespace

template <class Entry>
std::int32_t TCtrlBlck::StoreEntry(std::vector<Entry>& List, std::size_t& Free, Entry&& Item) {
  if (Free > 0)
    for (std::size_t i = 0; i < List.size(); ++i)
      if (IsFree(List[i])) {
        List[i] = std::move(Item);
        --Free;
        return static_cast<std::int32_t>(i + 1);
      }
  List.push_back(std::move(Item));
  return static_cast<std::int32_t>(List.size());
}

std::int32_t TCtrlBlck::FuncByName(std::string_view Name, std::uint32_t Hash) const {
  return FFuncIndex.Find(Name, Hash, [this](std::int32_t Code) -> std::string_view { return FFuncs[Code - 1]->Name; });
}

std::int32_t TCtrlBlck::VarByName(std::string_view Name, std::uint32_t Hash) const {
  return FVarIndex.Find(Name, Hash, [this](std::int32_t Code) -> std::string_view { return FVars[Code - 1].Name; });
}

// ------------------------------------------------------------------ variables

bool TCtrlBlck::VarNameFree(const std::string& LowerName, std::uint32_t Hash) const {
  if (!IsIdentifier(LowerName) || IsReserved(LowerName) || FuncByName(LowerName, Hash) != 0 ||
      VarByName(LowerName, Hash) != 0)
    return false;
  // The registry never hands out the reserved code or beyond.
  return FVars.size() < static_cast<std::size_t>(ReservedVarCode - 1);
}

std::int32_t TCtrlBlck::VarCode(const std::string& Name) const {
  if (!IsIdentifier(Name)) return 0;
  if (IsReserved(Name)) return ReservedVarCode;
  return VarByName(Name, TNameIndex::Hash(Name));
}

std::int32_t TCtrlBlck::RegisterVar(const TVariable& Variable) {
  TX87Entry x87;
  TVariable v = Variable;
  v.Name = LowerCase(v.Name);
  const std::uint32_t hash = TNameIndex::Hash(v.Name);
  if (!Usable(v) || !VarNameFree(v.Name, hash)) return 0;
  const std::int32_t code = StoreEntry(FVars, FFreeVars, std::move(v));
  FVarIndex.Insert(hash, code);
  return code;
}

std::int32_t TCtrlBlck::RegisterVarExt(const std::string& Name, TVarType VarType, void* Address) {
  TX87Entry x87;
  return RegisterVar(TVariable{Name, VarType, Address});
}

std::int32_t TCtrlBlck::RegisterVarA(const TVariable& Variable, void*& AlignedAddress) {
  TX87Entry x87;
  TVariable v = Variable;
  v.Name = LowerCase(v.Name);
  const std::uint32_t hash = TNameIndex::Hash(v.Name);
  if (!Usable(v) || !VarNameFree(v.Name, hash)) return 0;

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
  const std::int32_t code = StoreEntry(FVars, FFreeVars, std::move(v));
  FVarIndex.Insert(hash, code);
  return code;
}

const TVariable* TCtrlBlck::FindVar(std::int32_t Code) const {
  if (Code == ReservedVarCode) return &ReservedVariable;
  if (Code < 1 || static_cast<std::size_t>(Code) > FVars.size() || IsFree(FVars[Code - 1])) return nullptr;
  return &FVars[Code - 1];
}

bool TCtrlBlck::GetVar(TVariable& Variable, std::int32_t Code) const {
  const TVariable* v = FindVar(Code);
  if (!v) return false;
  Variable = *v;
  return true;
}

bool TCtrlBlck::RemoveVar(std::int32_t Code) {
  if (Code < 1 || static_cast<std::size_t>(Code) > FVars.size() || IsFree(FVars[Code - 1])) return false;
  FVarIndex.Erase(TNameIndex::Hash(FVars[Code - 1].Name), Code);
  FreeSlot(FVars, FFreeVars, Code);
  return true;
}

void TCtrlBlck::ClearVars() {
  FVars.clear();
  FVarIndex.Clear();
  FFreeVars = 0;
}

// ------------------------------------------------------------------ functions

std::int32_t TCtrlBlck::FuncCode(const std::string& Name) const {
  if (!IsIdentifier(Name)) return 0;
  return FuncByName(Name, TNameIndex::Hash(Name));
}

bool TCtrlBlck::FuncNameFree(const std::string& LowerName, std::uint32_t Hash) const {
  return IsIdentifier(LowerName) && !IsReserved(LowerName) && FuncByName(LowerName, Hash) == 0 &&
         VarByName(LowerName, Hash) == 0;
}

std::int32_t TCtrlBlck::StoreFunc(TFunctionRecord Record, std::uint32_t Hash) {
  const std::int32_t code = StoreEntry(FFuncs, FFreeFuncs, std::move(Record));
  FFuncIndex.Insert(Hash, code);
  return code;
}

std::int32_t TCtrlBlck::RegisterFunc(const TFunction& Func) {
  TX87Entry x87;
  auto f = std::make_shared<TFunction>(Func);
  f->Name = LowerCase(f->Name);
  const std::uint32_t hash = TNameIndex::Hash(f->Name);
  if (!Usable(*f) || !FuncNameFree(f->Name, hash)) return 0;
  f->StackNeeds = std::clamp(f->StackNeeds, 0, 8);
  return StoreFunc(std::move(f), hash);
}

std::size_t TCtrlBlck::RegisterFuncs(const TFunctionSet& Set) {
  TX87Entry x87;
  const std::size_t n = Set.FRecords.size();
  if (FFuncs.empty() && FVarIndex.Count() == 0) {
    // Nothing to collide with: the set's registry is copied whole.
    FFuncs = Set.FRecords;
    FFuncIndex = Set.FIndex;
    return n;
  }
  std::size_t registered = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const TFunctionRecord& f = Set.FRecords[i];
    if (!FuncNameFree(f->Name, Set.FHashes[i])) continue;
    StoreFunc(f, Set.FHashes[i]);
    ++registered;
  }
  return registered;
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

// The record RegisterFuncExt registers, or null for a refused parameter
// string or a record no routine could use.
std::shared_ptr<TFunction> MakeRecord(const std::string& Name, const std::string& ParamSpec,
                                      TCallType CallType, TFuncResult FuncResult, std::int32_t StackNeeds,
                                      void* Address, bool Foldable, const TAByte& Code,
                                      TVariadic Variadic = vaNone) {
  auto f = std::make_shared<TFunction>();
  if (!ParseParameterString(ParamSpec, f->Params)) return nullptr;
  f->Name = LowerCase(Name);
  f->CallType = CallType;
  f->FuncResult = FuncResult;
  f->StackNeeds = std::clamp(StackNeeds, 0, 8);
  f->Address = Address;
  f->Foldable = Foldable;
  f->Code = Code;
  f->Variadic = Variadic;
  if (!Usable(*f)) return nullptr;
  return f;
}

}  // namespace

std::int32_t TCtrlBlck::RegisterFuncExt(const std::string& Name, const std::string& ParamSpec,
                                        TCallType CallType, TFuncResult FuncResult,
                                        std::int32_t StackNeeds, void* Address, bool Foldable,
                                        const TAByte& Code) {
  TX87Entry x87;
  auto f = MakeRecord(Name, ParamSpec, CallType, FuncResult, StackNeeds, Address, Foldable, Code);
  if (!f) return 0;
  const std::uint32_t hash = TNameIndex::Hash(f->Name);
  if (!FuncNameFree(f->Name, hash)) return 0;
  return StoreFunc(std::move(f), hash);
}

bool TFunctionSet::Add(const std::string& Name, const std::string& ParamSpec, TCallType CallType,
                       TFuncResult FuncResult, std::int32_t StackNeeds, void* Address, bool Foldable,
                       const TAByte& Code, TVariadic Variadic) {
  auto f = MakeRecord(Name, ParamSpec, CallType, FuncResult, StackNeeds, Address, Foldable, Code, Variadic);
  if (!f || !IsIdentifier(f->Name) || IsReserved(f->Name)) return false;
  const std::uint32_t hash = TNameIndex::Hash(f->Name);
  const auto nameOf = [this](std::int32_t Code) -> std::string_view { return FRecords[Code - 1]->Name; };
  if (FIndex.Find(f->Name, hash, nameOf) != 0) return false;
  FRecords.push_back(std::move(f));
  FHashes.push_back(hash);
  FIndex.Insert(hash, static_cast<std::int32_t>(FRecords.size()));
  return true;
}

const TFunction& TFunctionList::FreeSlot() {
  static const TFunction free;
  return free;
}

bool TCtrlBlck::GetFunc(TFunction& Func, std::int32_t Code) const {
  const TFunction* f = FindFunc(Code);
  if (!f) return false;
  Func = *f;
  return true;
}

bool TCtrlBlck::RemoveFunc(std::int32_t Code) {
  const TFunction* f = FindFunc(Code);
  if (!f || IsLogicFuncCode(Code)) return false;
  FFuncIndex.Erase(TNameIndex::Hash(f->Name), Code);
  FreeSlot(FFuncs, FFreeFuncs, Code);
  return true;
}

void TCtrlBlck::ClearFuncs() {
  FFuncs.clear();
  FFuncIndex.Clear();
  FFreeFuncs = 0;
}

std::int32_t TCtrlBlck::FuncStackNeeds(std::int32_t Code) const {
  const TFunction* found = FindFunc(Code);
  if (!found) return 2147483647;
  const TFunction& f = *found;
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
