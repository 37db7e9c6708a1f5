// Construction of the control block, its settings and their publication.
#include "fennic/core/ctrlblck.h"

namespace fennic {

TCtrlBlck::TCtrlBlck(TComponent* AOwner)
    : TComponent(AOwner),
      FTrigMode(tmNothing),
      FParallelExecution(true),
      FEliminateBrackets(ebSoft),
      FOutOfOrder(ooSoft),
      FAlignMode(true),
      FBackOperation(true),
      FSmartLoad(true) {}

TCtrlBlck::~TCtrlBlck() {
  ClearVars();
  ClearFuncs();
  FAligned.clear();
}

void TCtrlBlck::SetTrigMode(std::uint8_t Value) {
  if (Value <= tmDelphi) FTrigMode = static_cast<TTrigMode>(Value);
}
void TCtrlBlck::SetEliminateBrackets(std::uint8_t Value) {
  if (Value <= ebAgressive) FEliminateBrackets = static_cast<TEliminateBrackets>(Value);
}
void TCtrlBlck::SetOutOfOrder(std::uint8_t Value) {
  if (Value <= ooAgressive) FOutOfOrder = static_cast<TOutOfOrder>(Value);
}
void TCtrlBlck::SetParallelExecution(std::uint8_t Value) {
  if (Value <= 1) FParallelExecution = Value;
}
void TCtrlBlck::SetAlignMode(std::uint8_t Value) {
  if (Value <= 1) FAlignMode = Value;
}
void TCtrlBlck::SetBackOperation(std::uint8_t Value) {
  if (Value <= 1) FBackOperation = Value;
}
void TCtrlBlck::SetAutoConfigure(std::uint8_t Value) {
  if (Value <= acAMD) FAutoConfigure = static_cast<TAutoConfigure>(Value);
}
void TCtrlBlck::SetComputeOnce(std::uint8_t Value) {
  if (Value <= coOn) FComputeOnce = static_cast<TComputeOnce>(Value);
}
void TCtrlBlck::SetGrammar(std::uint8_t Value) {
  if (Value <= grExtended) FGrammar = static_cast<TGrammar>(Value);
}
void TCtrlBlck::SetSmartLoad(std::uint8_t Value) {
  if (Value <= 1) FSmartLoad = Value;
}

void TCtrlBlck::DeclareProperties(TPropertyList& list) const {
  TComponent::DeclareProperties(list);
  using C = TCtrlBlck;
  list.push_back(EnumProperty<C>("TrigMode", {"tmSafe", "tmNothing", "tmDelphi"}, tmNothing,
                                 &C::TrigMode, &C::SetTrigMode));
  list.push_back(BoolProperty<C>("ParallelExecution", true, &C::ParallelExecution,
                                 &C::SetParallelExecution));
  list.push_back(EnumProperty<C>("EliminateBrackets", {"ebStandart", "ebSoft", "ebAgressive"},
                                 ebSoft, &C::EliminateBrackets, &C::SetEliminateBrackets));
  list.push_back(EnumProperty<C>("OutOfOrder", {"ooStandart", "ooSoft", "ooAgressive"}, ooSoft,
                                 &C::OutOfOrder, &C::SetOutOfOrder));
  list.push_back(BoolProperty<C>("AlignMode", true, &C::AlignMode, &C::SetAlignMode));
  list.push_back(BoolProperty<C>("BackOperation", true, &C::BackOperation, &C::SetBackOperation));
  list.push_back(BoolProperty<C>("SmartLoad", true, &C::SmartLoad, &C::SetSmartLoad));
  list.push_back(EnumProperty<C>("AutoConfigure", {"acDefault", "acAuto", "acP5", "acP6", "acPIV", "acAMD"},
                                 acDefault, &C::AutoConfigure, &C::SetAutoConfigure));
  list.push_back(EnumProperty<C>("ComputeOnce", {"coProfile", "coOff", "coOn"}, coProfile,
                                 &C::ComputeOnce, &C::SetComputeOnce));
  list.push_back(EnumProperty<C>("Grammar", {"grStandart", "grExtended"}, grStandart, &C::Grammar,
                                 &C::SetGrammar));
}

}  // namespace fennic
