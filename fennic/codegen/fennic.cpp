#include "fennic/codegen/fennic.h"
#include "fennic/simplifier/x87guard.h"

namespace fennic {

namespace {

// The routine of a component without a compiled expression: a single RET.
// One read+execute page serves every component, so falling back to it
// never allocates.
const ExecutableBlock& RetRoutine() {
  static const ExecutableBlock block = ExecutableBlock::WithCode(InstrTemplates[insRet].Bytes, 1);
  return block;
}

}  // namespace

TFennic::TFennic(TComponent* AOwner) : TBuilder(AOwner) {
  UseRetRoutine();
  FCompError = eValExpected;
  FDiagnostic.Error = eValExpected;
  FDiagnostic.Message = "no expression has been compiled yet";
}

TFennic::~TFennic() {}

void TFennic::UseRetRoutine() {
  const ExecutableBlock& ret = RetRoutine();
  FCodeStart = ret.Data();
  FRoutine = reinterpret_cast<TRoutine>(reinterpret_cast<std::uintptr_t>(FCodeStart));
  FCodeSize = ret.Size();
  FCodeBlock = ExecutableBlock();
  FStackNeed = PushWidth;
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
  err.ValueNames = {"eNone",  "eDomain",     "eNumFormat", "eValExpected",  "eOpExpected", "eEdge",
                    "eUnknown", "eOutOfRange", "eType",     "eVarParameter", "eParameter"};
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
