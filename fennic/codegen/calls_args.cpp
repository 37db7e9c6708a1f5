// Computing one argument of a call: into EAX, EDX or ECX, or into its slot
// of the argument area, by the kind of the argument and its parameter.
#include <cstring>

#include "fennic/codegen/calls.h"
#include "fennic/core/encoder.h"
#include "fennic/core/x87guard.h"

namespace fennic {

namespace {

// ModRM register field: EAX 0, ECX 1, EDX 2.
std::uint8_t Field(TPushed Reg) {
  switch (Reg) {
    case pEAX: return 0;
    case pECX: return 1;
    case pEDX: return 2;
    default: Defect("argument register expected");
  }
}

TAddress AddressOf(const void* p) { return static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(p)); }

bool IsSignedResult(TFuncResult Result) {
  return Result == frInt8 || Result == frInt16 || Result == frInt32 || Result == frInt64;
}

bool IsUnsignedType(TVarType VarType) {
  return VarType == vtUInt8 || VarType == vtUInt16 || VarType == vtUInt32;
}

}  // namespace

void TFennic::StoreRegAt(TPushed Reg, std::int32_t Displacement) {
  CheckDisplacement(Displacement);
  Emit(TEncoder().Op({0x89}, Field(Reg), TOperand::Esp(Displacement)));  // MOV [ESP+d], reg
}

void TFennic::StoreImmAt(std::int32_t Displacement, std::int32_t Value) {
  CheckDisplacement(Displacement);
  Emit(TEncoder().Op({0xC7}, 0, TOperand::Esp(Displacement)).I32(Value));  // MOV DWORD PTR [ESP+d], imm32
}

void TFennic::ProcessPar(TPushed Kind, TVarType, std::int32_t Offset) {
  const std::int32_t d = Offset + Level().Pushed;
  if (Kind == pInt64) {
    StoreRegAt(pEDX, d + 4);
    StoreRegAt(pEAX, d);
  } else if (Kind == pEAX) {
    StoreRegAt(pEAX, d);
  }
}

TPushed TFennic::PushPar(const TCallArg& Arg, const TVarDef& Def, TPushed Where, std::int32_t Offset) {
  if (Where != pMemory && Where != pEAX && Where != pEDX && Where != pECX)
    Defect("argument requested in a place that holds none");
  if (Def.PushStyle == psReference) return PushAddress(Arg, Where, Offset);
  if (!IsFloatType(Def.VarType)) return PushInteger(ParNode(Arg), Def, Where, Offset);
  if (Arg.Kind != TArgKind::Tree) Defect("floating-point argument without its tree");
  return PushFloat(Arg.Index, Def.VarType, Offset);
}

TPushed TFennic::PushAddress(const TCallArg& Arg, TPushed Where, std::int32_t Offset) {
  const TVariable* var = Arg.Kind == TArgKind::Reference ? FindVar(Arg.Index) : nullptr;
  if (!var) Defect("by-reference argument names no variable");
  return LoadAddress(var->Address, Where, Offset);
}

TPushed TFennic::PushInteger(TTreeNode* Node, const TVarDef& Def, TPushed Where, std::int32_t Offset) {
  TPushed result;
  switch (Node->Kind) {
    case TNodeKind::Number:
      return PushNumber(Node, Def, Where, Offset);
    case TNodeKind::Variable:
      result = LoadVariable(Node, Def, Where);
      break;
    case TNodeKind::Call: {
      const TFuncResult type = ResultOf(Node);
      if (IsFloatResult(type)) Defect("floating-point result as an integer argument");
      CompileCall(Node);
      result = AdaptResult(type, Def.VarType, Where == pMemory ? pEAX : Where);
      break;
    }
    default:
      Defect("integer argument of unknown kind");
  }
  if (Node->Minus) Negate(result);
  return result;
}

TPushed TFennic::PushNumber(const TTreeNode* Node, const TVarDef& Def, TPushed Where, std::int32_t Offset) {
  const std::uint64_t value = NumberValue(Node);
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  const auto high = static_cast<std::int32_t>(static_cast<std::uint32_t>(value >> 32));
  if (Def.VarType == vtInt64) {
    StoreImmAt(Offset + Level().Pushed + 4, high);
    StoreImmAt(Offset + Level().Pushed, low);
    return pMemory;
  }
  if (Where == pMemory) {
    StoreImmAt(Offset + Level().Pushed, low);
    return pMemory;
  }
  const std::uint8_t f = Field(Where);
  if (low == 0)
    Emit(TEncoder().Op({0x31}, f, TOperand::Register(f)));  // XOR reg, reg
  else
    Emit(TEncoder().OpPlusReg(0xB8, f).I32(low));  // MOV reg, imm32
  return Where;
}

TPushed TFennic::LoadVariable(const TTreeNode* Node, const TVarDef& Def, TPushed Where) {
  const TVariable* found = FindVar(Node->Code);
  if (!found) Defect("integer argument names no variable");
  const TVariable& var = *found;
  // Loads into a 32-bit register, widened where the variable is narrower.
  auto load = [this, &var](TPushed into) {
    const std::uint8_t reg = Field(into);
    const TOperand at = TOperand::AbsoluteLater();
    TEncoder code;
    switch (var.VarType) {
      case vtInt8: code.Op({0x0F, 0xBE}, reg, at); break;
      case vtUInt8: code.Op({0x0F, 0xB6}, reg, at); break;
      case vtInt16: code.Op({0x0F, 0xBF}, reg, at); break;
      case vtUInt16: code.Op({0x0F, 0xB7}, reg, at); break;
      // A 64-bit variable for a narrower parameter: its low half.
      case vtInt32:
      case vtUInt32:
      case vtInt64: code.Op({0x8B}, reg, at); break;
      default: Defect("floating-point variable as an integer argument");
    }
    EmitAbs(code, AddressOf(var.Address));
  };
  if (Def.VarType != vtInt64) {
    const TPushed reg = Where == pMemory ? pEAX : Where;
    load(reg);
    return reg;
  }
  if (var.VarType == vtInt64) {
    EmitVar(insMovEdxAbs, var, 4);
    EmitVar(insMovEaxAbs, var, 0);
  } else {
    if (IsUnsignedType(var.VarType)) Emit(insXorEdxEdx);
    load(pEAX);
    if (!IsUnsignedType(var.VarType)) Emit(insCdq);
  }
  return pInt64;
}

void TFennic::Negate(TPushed Where) {
  if (Where == pInt64) {
    Emit(insNegEax);
    Emit(insAdcEdx0);
    Emit(insNegEdx);
  } else {
    Emit(TEncoder().Op({0xF7}, 3, TOperand::Register(Field(Where))));  // NEG reg
  }
}

TPushed TFennic::AdaptResult(TFuncResult Result, TVarType VarType, TPushed Reg) {
  // The result is in EAX (EDX:EAX for 64 bits); the parameter wants Reg.
  const std::uint8_t f = Field(Reg);
  const std::int32_t from = ResultSizes[Result], to = VarSizes[VarType];
  const bool wide = VarType == vtInt64;
  // MOVSX / MOVZX into Reg (EAX for 64 bits) from AL or AX.
  auto widen = [this](std::uint8_t Opcode, std::uint8_t Into) {
    Emit(TEncoder().Op({0x0F, Opcode}, Into, TOperand::Register(rAX)));
  };
  if (to <= from) {
    if (wide) return pInt64;
    if (Reg == pECX) Emit(insMovEcxEax);
    if (Reg == pEDX) Emit(insMovEdxEax);
    return Reg;
  }
  if (IsSignedResult(Result)) {
    if (wide) {
      if (from == 1) Emit(insMovsxEaxAl);
      if (from == 2) Emit(insCwde);
      Emit(insCdq);
      return pInt64;
    }
    if (to == 2) {
      // from 8 bits
      if (Reg == pEAX) {
        Emit(insOperandSize);  // CBW
        Emit(insCwde);
      } else {
        widen(0xBE, f);
      }
    } else if (from == 2) {
      if (Reg == pEAX)
        Emit(insCwde);
      else
        widen(0xBF, f);
    } else {
      widen(0xBE, f);
    }
    return Reg;
  }
  const std::uint8_t into = wide ? std::uint8_t{rAX} : f;
  if (from == 1) widen(0xB6, into);
  if (from == 2) widen(0xB7, into);
  if (!wide) return Reg;
  Emit(insXorEdxEdx);
  return pInt64;
}

TPushed TFennic::PushFloat(std::int32_t TreeIndex, TVarType VarType, std::int32_t Offset) {
  const TTreeNode* root = TreeOf({TArgKind::Tree, TreeIndex});
  if (!root->Flushed) {
    if (root->Kind == TNodeKind::Variable && CopyVariable(root, VarType, Offset))
      return VarType == vtSingle ? pEAX : pInt64;
    if (root->Kind == TNodeKind::Number) return WriteConstant(root, VarType, Offset);
  }
  CompileTree(TreeIndex, Offset, static_cast<TOpType>(VarType - vtSingle), true);
  return pSt0;
}

bool TFennic::CopyVariable(const TTreeNode* Root, TVarType VarType, std::int32_t Offset) {
  const TVariable* found = FindVar(Root->Code);
  if (!found) Defect("tree names an unknown variable");
  const TVariable& var = *found;
  if (var.VarType != VarType) return false;
  // A copy through the integer registers, the sign flipped there: EAX for a
  // single, EDX:EAX for a double, and the sign and exponent of an extended
  // value through ECX, stored here.
  if (VarType == vtExtended) EmitVar(insMovzxEcxWordAbs, var, 8);
  if (VarType != vtSingle) EmitVar(insMovEdxAbs, var, 4);
  EmitVar(insMovEaxAbs, var, 0);
  if (Root->Minus) {
    if (VarType == vtSingle) EmitI32(insXorEaxImm, static_cast<std::int32_t>(0x80000000u));
    if (VarType == vtDouble) EmitI32(insXorEdxImm, static_cast<std::int32_t>(0x80000000u));
    if (VarType == vtExtended) EmitI32(insXorEcxImm, 0x8000);
  }
  if (VarType == vtExtended) StoreRegAt(pECX, Offset + Level().Pushed + 8);
  return true;
}

TPushed TFennic::WriteConstant(const TTreeNode* Root, TVarType VarType, std::int32_t Offset) {
  // Converted now and written as immediates.
  const TVarType type = Root->Type;
  const std::uint8_t* at = PoolBase() + Root->Offset;
  Extended value;
  if (type == vtSingle) {
    float v;
    std::memcpy(&v, at, 4);
    value = v;
  } else if (type == vtDouble) {
    double v;
    std::memcpy(&v, at, 8);
    value = v;
  } else if (type == vtExtended) {
    value = 0;
    std::memcpy(&value, at, 10);
  } else {
    Defect("number leaf of an integer type");
  }
  if (Root->Minus) value = -value;
  std::uint8_t bytes[12];
  NarrowToSlot(value, VarType, bytes);
  auto dword = [&bytes](int k) {
    std::int32_t v;
    std::memcpy(&v, bytes + 4 * k, 4);
    return v;
  };
  const std::int32_t d = Offset + Level().Pushed;
  if (VarType == vtExtended) StoreImmAt(d + 8, dword(2));
  if (VarType != vtSingle) StoreImmAt(d + 4, dword(1));
  StoreImmAt(d, dword(0));
  return pMemory;
}

}  // namespace fennic
