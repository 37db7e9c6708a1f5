#include <iterator>
#include <limits>

#include "fennic/codegen/levels.h"
#include "fennic/core/x87guard.h"

namespace fennic {

namespace {

// The code of a component without a compiled expression: a single RET.
// One read+execute page serves every component, so falling back to it
// never allocates.
const ExecutableBlock& RetRoutine() {
  static const ExecutableBlock block = ExecutableBlock::WithCode(InstrTemplates[insRet].Bytes, 1);
  return block;
}

// What Evaluate runs instead: the bare RET would leave the caller popping a
// register never pushed (an x87 stack fault, and TOP moved for good). A
// quiet NaN loaded from memory raises no flag, and is the one value in ST0
// that the caller takes.
Extended FENNIC_ROUTINE_ABI NoRoutine(void*) { return std::numeric_limits<Extended>::quiet_NaN(); }

}  // namespace

TFennic::TFennic(TComponent* AOwner) : TBuilder(AOwner) {
  UseNoRoutine();
  FCompError = eValExpected;
  FDiagnostic.Error = eValExpected;
  FDiagnostic.Message = "no expression has been compiled yet";
}

TFennic::~TFennic() {}

void TFennic::UseNoRoutine() {
  const ExecutableBlock& ret = RetRoutine();
  FCodeStart = ret.Data();
  FRoutine = FCompiling ? &EvaluateWhileCompiling : &NoRoutine;
  FCodeSize = ret.Size();
  FCodeBlock = ExecutableBlock();
  FStackNeed = PushWidth;
  FReusedInRoutine.clear();
}

// Inside a compile-time call the component is half way through a
// compilation: its text, tables and routine belong to the compilation.
void TFennic::Reentered() {
  FReentered = true;
  FCompError = eReentered;
}

Extended FENNIC_ROUTINE_ABI TFennic::EvaluateWhileCompiling(void* Self) {
  static_cast<TFennic*>(Self)->Reentered();
  return NoRoutine(Self);
}

TDiagnostic TFennic::Diagnostic() const {
  if (FDiagnostic.Error == FCompError) return FDiagnostic;
  // A compilation that left through an exception explained nothing.
  TDiagnostic d;
  d.Error = FCompError;
  if (FCompError != eNone) d.Message = ErrorCodeMessage(FCompError);
  return d;
}

void TFennic::SetExprString(const std::string& Value) {
  if (FCompiling) return Reentered();
  TX87Entry x87;
  FExprString = Value;
  if (FAutoCompile) Compile();
}

void TFennic::DeclareProperties(TPropertyList& list) const {
  TBuilder::DeclareProperties(list);
  using C = TFennic;
  list.push_back(BoolProperty<C>("AutoCompile", true, &C::AutoCompile, &C::SetAutoCompile));
  // Published read-only: readable by the host, never streamed.
  TPropertyInfo err;
  err.Name = "CompError";
  err.ValueNames.assign(std::begin(ErrorNames), std::end(ErrorNames));
  err.Default = eValExpected;
  err.Stored = false;
  err.Get = [](const TComponent& c) -> std::uint8_t { return static_cast<const C&>(c).CompError(); };
  err.Set = [](TComponent&, std::uint8_t) {};
  list.push_back(std::move(err));
}

void Register() {
  RegisterComponents("VELTA", {TComponentClass{"TFennic", [](TComponent* owner) -> TComponent* {
                                                 return new TFennic(owner);
                                               }}});
}

}  // namespace fennic
