// The x86-64 target's calls of host routines: every convention but
// ctBuilt_in follows System V here (arguments in RDI, RSI, RDX, RCX, R8, R9
// and XMM0 to XMM7 or on the stack, RSP 16-byte aligned at the call, results
// in RAX, XMM0 or ST0).
#include <cstring>
#include <vector>

#include "fennic/codegen/calls.h"
#include "fennic/codegen/target_x86_64.h"
#include "fennic/core/callframe.h"
#include "fennic/core/encoder.h"

namespace fennic {

using namespace x86_64;

namespace {

// An integer argument that is itself a call destroys every argument
// register; a floating-point one other than a plain variable of its own
// type is computed on the x87 stack. Both are computed into a slot of the
// argument area first, and the registers are loaded after every such
// computation.
bool Computed(const TTreeNode* Par, const TTreeNode* Tree, const TVarDef& Def, TArgHome Home,
              TVarType TreeVarType) {
  if (Def.PushStyle == psReference) return false;
  if (Home == TArgHome::IntRegister) return Par->Kind == TNodeKind::Call;
  return Tree->Flushed || Tree->Minus || Tree->Kind != TNodeKind::Variable || TreeVarType != Def.VarType;
}

}  // namespace

bool TFennic::CompileHostCall(TCallPlan& Plan, TTreeNode* Node) {
  const TFunction& fn = *Plan.Fn;
  if (fn.CallType == ctBuilt_in) return false;
  FHostCalls = true;
  const TSystemVFrame frame = SystemVFrame(fn);
  const std::size_t n = fn.Params.size();

  struct TArg {
    TCallArg Arg;
    std::int32_t Staged = -1;  // offset of its slot in the area, for a computed register argument
  };
  std::vector<TArg> args(n);
  std::int32_t area = frame.StackBytes;
  for (std::size_t k = 0; k < n; ++k) {
    args[k].Arg = Plan.Args[k];
    const TVarDef& def = fn.Params[k];
    const TArgPlace& place = frame.Places[k];
    if (place.Home == TArgHome::Stack || def.PushStyle == psReference) continue;
    const TTreeNode* par = IsFloatType(def.VarType) ? nullptr : ParNode(args[k].Arg);
    const TTreeNode* tree = nullptr;
    TVarType treeType = vtDouble;
    if (IsFloatType(def.VarType)) {
      tree = TreeOf(args[k].Arg);
      const TVariable* var = nullptr;
      if (tree->Kind == TNodeKind::Variable && (var = FindVar(tree->Code))) treeType = var->VarType;
    }
    if (Computed(par, tree, def, place.Home, treeType)) {
      args[k].Staged = area;
      area += 8;
    }
  }

  // The area holds the stack arguments at the bottom and the computed
  // register arguments above them; its size keeps RSP 16-byte aligned at
  // the call, the level's base being aligned.
  TLevelInfo& L = Level();
  const std::int32_t base = L.Pushed;
  area += ((16 - (base + area) % 16) % 16 + 16) % 16;
  AdjustEsp(true, area);
  L.Pushed += area;
  NotePushed();
  const auto offsetOf = [&](std::int32_t at) { return at - (base + area); };
  for (std::size_t k = 0; k < n; ++k) {
    const TArgPlace& place = frame.Places[k];
    const std::int32_t at = place.Home == TArgHome::Stack ? place.Index : args[k].Staged;
    if (at < 0) continue;
    const TVarDef& def = fn.Params[k];
    const std::int32_t offset = offsetOf(at);
    if (place.Home == TArgHome::Stack && def.PushStyle == psValue && Widening(def.VarType) != 0) {
      const TTreeNode* par = ParNode(args[k].Arg);
      if (par->Kind == TNodeKind::Number) {  // a computed call's value may lie beyond the type
        StoreImmAt(at, static_cast<std::int32_t>(WidenedArgument(def.VarType, static_cast<std::int64_t>(NumberValue(par)))));
        continue;
      }
    }
    const TPushed in = PushPar(args[k].Arg, def, pMemory, offset);
    // A narrow integer in its slot: widened as in a register (a staged one
    // is widened when its register is loaded).
    if (in == pEAX && place.Home == TArgHome::Stack && def.PushStyle == psValue && !IsFloatType(def.VarType) &&
        !IsVariableOfType(ParNode(args[k].Arg), def.VarType))
      WidenToParameter(0, def.VarType);
    ProcessPar(in, def.VarType, offset);
  }
  PrepareCall(Plan, Node);

  for (std::size_t k = 0; k < n; ++k) {
    const TArgPlace& place = frame.Places[k];
    if (place.Home == TArgHome::Stack) continue;
    const TVarDef& def = fn.Params[k];
    // The area is still reserved: a staged slot lies at [RSP + its offset].
    if (place.Home == TArgHome::VectorRegister)
      LoadVectorArgument(static_cast<std::uint8_t>(place.Index), args[k].Arg, def, args[k].Staged);
    else
      LoadIntArgument(IntArgRegister[place.Index], args[k].Arg, def, args[k].Staged);
  }
  AddFuncCall(fn);
  AdjustEsp(false, area);
  L.Pushed -= area;
  if (L.Pushed != base) Defect("a call left bytes on the stack");
  TakeHostResult(fn.FuncResult);
  return true;
}

void TFennic::LoadIntArgument(std::uint8_t Reg, const TCallArg& Arg, const TVarDef& Def, std::int32_t Staged) {
  const bool wide = Def.PushStyle == psReference || Def.VarType == vtInt64;
  const std::uint8_t widening = Def.PushStyle == psValue ? Widening(Def.VarType) : 0;
  const std::uint8_t rexW = wide ? RexWide : RexNone;
  TEncoder op;
  if (Staged >= 0) {  // MOV reg, [RSP+d], or MOVSX / MOVZX for a narrow parameter
    if (widening != 0)
      op.Op({0x0F, widening}, Reg, TOperand::Esp(Staged));
    else
      op.Op({0x8B}, Reg, TOperand::Esp(Staged), rexW);
    Emit(op);
    return;
  }
  if (Def.PushStyle == psReference) {
    const TVariable* found = Arg.Kind == TArgKind::Reference ? FindVar(Arg.Index) : nullptr;
    if (!found) Defect("by-reference argument names no variable");
    const TVariable& var = *found;
    Emit(op.OpPlusReg(0xB8, Reg, RexWide).I64(AddressOf(var.Address)));  // MOV reg, imm64
    return;
  }
  const TTreeNode* node = ParNode(Arg);
  if (node->Kind == TNodeKind::Number) {
    const std::uint64_t value = WidenedArgument(Def.VarType, static_cast<std::int64_t>(NumberValue(node)));
    const auto signedValue = static_cast<std::int64_t>(value);
    if (value == 0)  // XOR reg32, reg32
      op.Op({0x31}, Reg, TOperand::Register(Reg));
    else if (value <= UINT32_MAX)  // MOV reg32, imm32 (zero-extends)
      op.OpPlusReg(0xB8, Reg).I32(static_cast<std::int32_t>(value));
    else if (FitsInt32(signedValue))  // MOV reg64, simm32
      op.Op({0xC7}, 0, TOperand::Register(Reg), RexWide).I32(static_cast<std::int32_t>(signedValue));
    else  // MOV reg64, imm64
      op.OpPlusReg(0xB8, Reg, RexWide).I64(value);
    Emit(op);
    return;
  }
  if (node->Kind != TNodeKind::Variable) Defect("integer argument of unknown kind");
  const TVariable* found = FindVar(node->Code);
  if (!found) Defect("integer argument names no variable");
  const TVariable& var = *found;
  // Widened to the register by the variable's signedness: a 32-bit load
  // clears the upper half, the sign-extending loads carry REX.W for a 64-bit
  // parameter.
  const TOperand at = TOperand::AbsoluteLater();
  switch (var.VarType) {
    case vtInt8: op.Op({0x0F, 0xBE}, Reg, at, rexW); break;
    case vtUInt8: op.Op({0x0F, 0xB6}, Reg, at); break;
    case vtInt16: op.Op({0x0F, 0xBF}, Reg, at, rexW); break;
    case vtUInt16: op.Op({0x0F, 0xB7}, Reg, at); break;
    case vtInt32:
      if (wide) op.Op({0x63}, Reg, at, RexWide);  // MOVSXD
      else op.Op({0x8B}, Reg, at);
      break;
    case vtUInt32: op.Op({0x8B}, Reg, at); break;
    case vtInt64: op.Op({0x8B}, Reg, at, rexW); break;
    default: Defect("floating-point variable as an integer argument");
  }
  EmitAbs(op, AddressOf(var.Address));
  if (node->Minus) Emit(TEncoder().Op({0xF7}, 3, TOperand::Register(Reg), rexW));  // NEG reg
  if (!IsVariableOfType(node, Def.VarType)) WidenToParameter(Reg, Def.VarType);
}

bool TFennic::IsVariableOfType(const TTreeNode* Par, TVarType Type) const {
  if (Par->Kind != TNodeKind::Variable || Par->Minus) return false;
  const TVariable* var = FindVar(Par->Code);
  return var && var->VarType == Type;
}

void TFennic::WidenToParameter(std::uint8_t Reg, TVarType Param) {
  // MOVSX / MOVZX reg32, reg8 / reg16; the REX prefix makes the byte
  // registers of RSI and RDI SIL and DIL.
  const std::uint8_t widening = Widening(Param);
  if (widening == 0) return;
  Emit(TEncoder().Op({0x0F, widening}, Reg, TOperand::Register(Reg), RexPlain));
}

void TFennic::LoadVectorArgument(std::uint8_t Reg, const TCallArg& Arg, const TVarDef& Def, std::int32_t Staged) {
  // MOVSS / MOVSD xmm, m
  const std::uint8_t prefix = Def.VarType == vtSingle ? 0xF3 : 0xF2;
  if (Staged >= 0) {
    Emit(TEncoder().Byte(prefix).Op({0x0F, 0x10}, Reg, TOperand::Esp(Staged)));
    return;
  }
  const TTreeNode* root = TreeOf(Arg);
  const TVariable* var = FindVar(root->Code);
  if (!var) Defect("tree names an unknown variable");
  EmitAbs(TEncoder().Byte(prefix).Op({0x0F, 0x10}, Reg, TOperand::AbsoluteLater()), AddressOf(var->Address));
}

void TFennic::TakeHostResult(TFuncResult Result) {
  // Into the places a call of inline code leaves its result: ST0, EAX,
  // EDX:EAX. A vector result passes through the red zone below RSP.
  const TOperand redZone = TOperand::Esp(-8);
  switch (Result) {
    case frSingle:  // MOVSS [RSP-8], XMM0; FLD DWORD [RSP-8]
      Emit(TEncoder().Byte(0xF3).Op({0x0F, 0x11}, 0, redZone).Op({0xD9}, 0, redZone));
      break;
    case frDouble:  // MOVSD [RSP-8], XMM0; FLD QWORD [RSP-8]
      Emit(TEncoder().Byte(0xF2).Op({0x0F, 0x11}, 0, redZone).Op({0xDD}, 0, redZone));
      break;
    case frInt64:  // MOV RDX, RAX; SHR RDX, 32
      Emit(TEncoder().Op({0x89}, rAX, TOperand::Register(rDX), RexWide).Op({0xC1}, 5, TOperand::Register(rDX), RexWide).I8(32));
      break;
    default: break;
  }
}


}  // namespace fennic
