// The control block: registries of variables and functions, call frames and
// the settings. Base of the component's class chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fennic/core/export.h"
#include "fennic/core/nameindex.h"
#include "fennic/core/operators.h"
#include "fennic/core/types.h"
#include "fennic/framework/component.h"

namespace fennic {

// A registered function's record. Records never change once registered, so
// registries share them (a function pack's records serve every component).
using TFunctionRecord = std::shared_ptr<const TFunction>;

// Functions registered together, such as a function pack: their records,
// made once and shared by every registry that takes them, and the hashes of
// their names.
class FENNIC_API TFunctionSet {
 public:
  // Adds the function as RegisterFuncExt takes it, with Variadic as the
  // field of TFunction; false, and nothing added, where registration would
  // refuse it or the set has the name already.
  bool Add(const std::string& Name, const std::string& ParamSpec, TCallType CallType,
           TFuncResult FuncResult, std::int32_t StackNeeds, void* Address, bool Foldable,
           const TAByte& Code = {}, TVariadic Variadic = vaNone);
  std::size_t Size() const { return FRecords.size(); }

 private:
  friend class TCtrlBlck;
  std::vector<TFunctionRecord> FRecords;
  std::vector<std::uint32_t> FHashes;
  TNameIndex FIndex;  // codes 1.. in the order of FRecords
};

// Read-only view of the function registry: one TFunction per code, a free
// slot as a record with an empty Name.
class FENNIC_API TFunctionList {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = TFunction;
    using difference_type = std::ptrdiff_t;
    using pointer = const TFunction*;
    using reference = const TFunction&;
    const_iterator() = default;
    explicit const_iterator(const TFunctionRecord* At) : FAt(At) {}
    reference operator*() const { return *FAt ? **FAt : FreeSlot(); }
    pointer operator->() const { return &**this; }
    const_iterator& operator++() {
      ++FAt;
      return *this;
    }
    const_iterator operator++(int) { return const_iterator(FAt++); }
    bool operator==(const const_iterator& Other) const { return FAt == Other.FAt; }

   private:
    const TFunctionRecord* FAt = nullptr;
  };

  explicit TFunctionList(const std::vector<TFunctionRecord>& Records) : FRecords(Records) {}
  std::size_t size() const { return FRecords.size(); }
  bool empty() const { return FRecords.empty(); }
  const TFunction& operator[](std::size_t Index) const { return *const_iterator(&FRecords[Index]); }
  const_iterator begin() const { return const_iterator(FRecords.data()); }
  const_iterator end() const { return const_iterator(FRecords.data() + FRecords.size()); }
  // The record of a free slot.
  static const TFunction& FreeSlot();

 private:
  const std::vector<TFunctionRecord>& FRecords;
};

class FENNIC_API TCtrlBlck : public TComponent {
 public:
  explicit TCtrlBlck(TComponent* AOwner);
  ~TCtrlBlck() override;
  std::string ClassName() const override { return "TCtrlBlck"; }

  // Variable registry. Codes are 1-based positions; 0 means none.
  // Registration refuses (code 0) a name that is not an identifier or is
  // taken (by a variable, a function or "fennicid"), a type outside
  // vtInt8..vtExtended and a null address.
  std::int32_t VarCode(const std::string& Name) const;
  std::int32_t RegisterVar(const TVariable& Variable);
  std::int32_t RegisterVarExt(const std::string& Name, TVarType VarType, void* Address);
  std::int32_t RegisterVarA(const TVariable& Variable, void*& AlignedAddress);
  bool GetVar(TVariable& Variable, std::int32_t Code) const;
  bool RemoveVar(std::int32_t Code);
  void ClearVars();

  // Function registry. Registration refuses (code 0) a name that is not an
  // identifier or is taken, a parameter string outside the table, a call
  // type, result type, parameter type or push style outside its range, a
  // host routine (every call type but ctBuilt_in) without an address, a
  // ctBuilt_in function without code and a Variadic function of another
  // shape than two by-value parameters of one floating type and a floating
  // result (RegisterFunc takes the field; RegisterFuncExt registers vaNone).
  std::int32_t FuncCode(const std::string& Name) const;
  std::int32_t RegisterFunc(const TFunction& Func);
  std::int32_t RegisterFuncExt(const std::string& Name, const std::string& ParamSpec,
                               TCallType CallType, TFuncResult FuncResult,
                               std::int32_t StackNeeds, void* Address, bool Foldable,
                               const TAByte& Code = {});
  bool GetFunc(TFunction& Func, std::int32_t Code) const;
  // Registers every function of the set as RegisterFunc would, one after the
  // other in the set's order; returns how many were registered.
  std::size_t RegisterFuncs(const TFunctionSet& Set);
  bool RemoveFunc(std::int32_t Code);
  void ClearFuncs();
  // x87 registers a call needs (0 to 8); 2147483647 for a code naming no function.
  std::int32_t FuncStackNeeds(std::int32_t Code) const;
  // Bytes the arguments of one call occupy on the CPU stack.
  std::int32_t StackFrame(const TFunction& Func) const;
  // The frame by the rule of inline code: integers of up to 32 bits and
  // addresses in the first three registers (ctRegister, ctBuilt_in), floats
  // on the x87 stack while StackNeeds leaves room (ctBuilt_in), the rest in
  // slots of their size (an address takes a pointer's width).
  static std::int32_t InlineStackFrame(const TFunction& Func);

  // Settings. Readers return the stored value; setters take the raw byte and
  // ignore a value outside the type's range.
  // EliminateBrackets (but ebStandart) merges bracketed sums and products
  // into the enclosing ones, and OutOfOrder (but ooStandart) regroups
  // operator chains into balanced trees. Both reassociate, so cancellation
  // and overflow can differ from the written order: under the defaults
  // y+y+y+y+x-x (x = 1e20, y = 1) gives 4, not 0; a/a*a (a = 1e4000) inf,
  // not 1e4000; x followed by 40,000 times *x/x (x = 2) NaN, not 2 (these by
  // OutOfOrder); x-(x-y) (x = 1e20, y = 1) 1, not 0 (by EliminateBrackets).
  // ooStandart with ebStandart keeps the written order, but for the
  // constants of one sum or product, which are folded together under every
  // setting (1e20+x-1e20 gives x). The other settings keep the order.
  TTrigMode TrigMode() const { return FTrigMode; }
  bool ParallelExecution() const { return FParallelExecution; }
  TEliminateBrackets EliminateBrackets() const { return FEliminateBrackets; }
  TOutOfOrder OutOfOrder() const { return FOutOfOrder; }
  bool AlignMode() const { return FAlignMode; }
  bool BackOperation() const { return FBackOperation; }
  bool SmartLoad() const { return FSmartLoad; }
  // The processor profile that shapes the code (fennic/core/profile.h):
  // acDefault keeps it as it always was. A profile never changes a value
  // under the default control word; under a precision control of 53 or 24
  // bits a split extended constant arrives rounded to that precision.
  TAutoConfigure AutoConfigure() const { return FAutoConfigure; }
  // ComputeOnce computes each repeated subexpression once per evaluation and
  // reuses its 80-bit value; only pure calls (Foldable, ctBuilt_in) merge.
  // The value is the same bit for bit. coProfile: on unless acDefault.
  TComputeOnce ComputeOnce() const { return FComputeOnce; }
  bool ComputesOnce() const {
    return FComputeOnce == coOn || (FComputeOnce == coProfile && FAutoConfigure != acDefault);
  }
  // grStandart accepts + - * /, brackets, numbers, variables and calls;
  // grExtended adds ^, signs after operators, comparisons and !.
  TGrammar Grammar() const { return FGrammar; }
  void SetTrigMode(std::uint8_t Value);
  void SetParallelExecution(std::uint8_t Value);
  void SetEliminateBrackets(std::uint8_t Value);
  void SetOutOfOrder(std::uint8_t Value);
  void SetAlignMode(std::uint8_t Value);
  void SetBackOperation(std::uint8_t Value);
  void SetSmartLoad(std::uint8_t Value);
  void SetAutoConfigure(std::uint8_t Value);
  void SetComputeOnce(std::uint8_t Value);
  void SetGrammar(std::uint8_t Value);

  // Read-only views of the registries, for diagnostics and tools.
  const std::vector<TVariable>& Variables() const { return FVars; }
  TFunctionList Functions() const { return TFunctionList(FFuncs); }

  // The registered entry of a code without a copy (the reserved variable
  // included); null for a code naming none. Valid until the registry changes.
  // The extended grammar's comparisons are functions of reserved codes.
  const TVariable* FindVar(std::int32_t Code) const;
  const TFunction* FindFunc(std::int32_t Code) const {
    if (Code >= LogicFuncBase) [[unlikely]] return LogicFunction(Code);
    return Code >= 1 && static_cast<std::size_t>(Code) <= FFuncs.size() ? FFuncs[Code - 1].get() : nullptr;
  }

 protected:
  void DeclareProperties(TPropertyList& list) const override;
  // What the target's convention makes of a function's declared x87 needs.
  static std::int32_t TargetStackNeeds(const TFunction& Func, std::int32_t Needs);

  std::vector<TFunctionRecord> FFuncs;  // null: a free slot
  std::vector<TVariable> FVars;          // empty Name: a free slot
  TNameIndex FFuncIndex, FVarIndex;
  std::size_t FFreeFuncs = 0, FFreeVars = 0;
  // Storage blocks of relocated variables; kept (and never moved) until destruction.
  std::vector<TAByte> FAligned;

  TTrigMode FTrigMode;
  bool FParallelExecution;
  TEliminateBrackets FEliminateBrackets;
  TOutOfOrder FOutOfOrder;
  bool FAlignMode;
  bool FBackOperation;
  bool FSmartLoad;
  TAutoConfigure FAutoConfigure = acDefault;
  TComputeOnce FComputeOnce = coProfile;
  TGrammar FGrammar = grStandart;

  // Whether a variable or function may take the (lower-case) name.
  bool VarNameFree(const std::string& LowerName, std::uint32_t Hash) const;
  bool FuncNameFree(const std::string& LowerName, std::uint32_t Hash) const;
  // Codes by name, 0 for none; Name in any case, identifier or not.
  std::int32_t FuncByName(std::string_view Name, std::uint32_t Hash) const;
  std::int32_t VarByName(std::string_view Name, std::uint32_t Hash) const;

 private:
  // Puts the entry into the first free slot, or appends it; returns its code.
  template <class Entry>
  static std::int32_t StoreEntry(std::vector<Entry>& List, std::size_t& Free, Entry&& Item);
  std::int32_t StoreFunc(TFunctionRecord Record, std::uint32_t Hash);
};

}  // namespace fennic
