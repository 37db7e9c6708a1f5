// The control block: registries of variables and functions, call frames and
// the seven settings. Base of the component's class chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fennic/core/types.h"
#include "fennic/framework/component.h"

namespace fennic {

class TCtrlBlck : public TComponent {
 public:
  explicit TCtrlBlck(TComponent* AOwner);
  ~TCtrlBlck() override;
  std::string ClassName() const override { return "TCtrlBlck"; }

  // Variable registry. Codes are 1-based positions; 0 means none.
  std::int32_t VarCode(const std::string& Name) const;
  std::int32_t RegisterVar(const TVariable& Variable);
  std::int32_t RegisterVarExt(const std::string& Name, TVarType VarType, void* Address);
  std::int32_t RegisterVarA(const TVariable& Variable, void*& AlignedAddress);
  bool GetVar(TVariable& Variable, std::int32_t Code) const;
  bool RemoveVar(std::int32_t Code);
  void ClearVars();

  // Function registry.
  std::int32_t FuncCode(const std::string& Name) const;
  std::int32_t RegisterFunc(const TFunction& Func);
  std::int32_t RegisterFuncExt(const std::string& Name, const std::string& ParamSpec,
                               TCallType CallType, TFuncResult FuncResult,
                               std::int32_t StackNeeds, void* Address, bool Foldable,
                               const TAByte& Code = {});
  bool GetFunc(TFunction& Func, std::int32_t Code) const;
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
  void SetTrigMode(std::uint8_t Value);
  void SetParallelExecution(std::uint8_t Value);
  void SetEliminateBrackets(std::uint8_t Value);
  void SetOutOfOrder(std::uint8_t Value);
  void SetAlignMode(std::uint8_t Value);
  void SetBackOperation(std::uint8_t Value);
  void SetSmartLoad(std::uint8_t Value);
  void SetAutoConfigure(std::uint8_t Value);

  // Read-only views of the registries, for diagnostics and tools.
  const std::vector<TVariable>& Variables() const { return FVars; }
  const std::vector<TFunction>& Functions() const { return FFuncs; }

 protected:
  void DeclareProperties(TPropertyList& list) const override;
  // What the target's convention makes of a function's declared x87 needs.
  static std::int32_t TargetStackNeeds(const TFunction& Func, std::int32_t Needs);

  std::vector<TFunction> FFuncs;
  std::vector<TVariable> FVars;
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

 private:
  template <class Entry>
  static bool RemoveEntry(std::vector<Entry>& list, std::int32_t Code);
  template <class Entry>
  static std::int32_t StoreEntry(std::vector<Entry>& list, Entry&& entry);
};

}  // namespace fennic
