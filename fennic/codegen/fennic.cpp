#include "fennic/codegen/fennic.h"

namespace fennic {

TFennic::TFennic(TComponent* AOwner) : TBuilder(AOwner) { FCompError = eValExpected; }

TFennic::~TFennic() {}

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
