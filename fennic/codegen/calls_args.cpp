// Computing one argument of a call: into EAX, EDX or ECX, or into its slot
// of the argument area, by the kind of the argument and its parameter.
#include <cstring>

#include "fennic/codegen/calls.h"
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

void TFennic::EmitBytes(std::initializer_list<std::uint8_t> Bytes) {
  AddComm(Bytes.begin(), static_cast<std::int32_t>(Bytes.size()));
}

void TFennic::EmitBytesI32(std::initializer_list<std::uint8_t> Bytes, std::int32_t Value) {
  AddCommAndI32(Bytes.begin(), static_cast<std::int32_t>(Bytes.size()), Value);
}

void TFennic::EmitAbsBytes(std::initializer_list<std::uint8_t> Bytes, TAddress Address) {
  EmitAbs(Bytes.begin(), static_cast<std::int32_t>(Bytes.size()), Address);
}

void TFennic::StoreRegAt(TPushed Reg, std::int32_t Displacement) {
  // MOV [ESP+d], reg
  CheckDisplacement(Displacement);
  const std::uint8_t reg = static_cast<std::uint8_t>(Field(Reg) << 3);
  if (Displacement == 0)
    EmitBytes({0x89, static_cast<std::uint8_t>(0x04 | reg), 0x24});
  else if (Displacement < 128)
    EmitBytes({0x89, static_cast<std::uint8_t>(0x44 | reg), 0x24, static_cast<std::uint8_t>(Displacement)});
  else
    EmitBytesI32({0x89, static_cast<std::uint8_t>(0x84 | reg), 0x24}, Displacement);
}

void TFennic::StoreImmAt(std::int32_t Displacement, std::int32_t Value) {
  // MOV DWORD PTR [ESP+d], imm32
  CheckDisplacement(Displacement);
  if (Displacement == 0)
    EmitI32(insMovDwordEspImm, Value);
  else if (Displacement < 128)
    EmitI8I32(insMovDwordEspBImm, Displacement, Value);
  else
    EmitI32I32(insMovDwordEspDImm, Displacement, Value);
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
    EmitBytes({0x31, static_cast<std::uint8_t>(0xC0 | f << 3 | f)});  // XOR reg, reg
  else
    EmitBytesI32({static_cast<std::uint8_t>(0xB8 + f)}, low);  // MOV reg, imm32
  return Where;
}

TPushed TFennic::LoadVariable(const TTreeNode* Node, const TVarDef& Def, TPushed Where) {
  const TVariable* found = FindVar(Node->Code);
  if (!found) Defect("integer argument names no variable");
  const TVariable& var = *found;
  // Loads into a 32-bit register, widened where the variable is narrower.
  auto load = [this, &var](TPushed into) {
    const std::uint8_t modrm = static_cast<std::uint8_t>(0x05 | Field(into) << 3);
    switch (var.VarType) {
      case vtInt8: EmitAbsBytes({0x0F, 0xBE, modrm}, AddressOf(var.Address)); break;
      case vtUInt8: EmitAbsBytes({0x0F, 0xB6, modrm}, AddressOf(var.Address)); break;
      case vtInt16: EmitAbsBytes({0x0F, 0xBF, modrm}, AddressOf(var.Address)); break;
      case vtUInt16: EmitAbsBytes({0x0F, 0xB7, modrm}, AddressOf(var.Address)); break;
      // A 64-bit variable for a narrower parameter: its low half.
      case vtInt32:
      case vtUInt32:
      case vtInt64: EmitAbsBytes({0x8B, modrm}, AddressOf(var.Address)); break;
      default: Defect("floating-point variable as an integer argument");
    }
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
    EmitBytes({0xF7, static_cast<std::uint8_t>(0xD8 | Field(Where))});
  }
}

TPushed TFennic::AdaptResult(TFuncResult Result, TVarType VarType, TPushed Reg) {
  // The result is in EAX (EDX:EAX for 64 bits); the parameter wants Reg.
  const std::uint8_t f = Field(Reg);
  const std::int32_t from = ResultSizes[Result], to = VarSizes[VarType];
  const bool wide = VarType == vtInt64;
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
    const std::uint8_t modrm = static_cast<std::uint8_t>(0xC0 | f << 3);
    if (to == 2) {
      // from 8 bits
      if (Reg == pEAX)
        EmitBytes({0x66, 0x98});  // CBW
      else
        EmitBytes({0x0F, 0xBE, modrm});
    } else if (from == 2) {
      if (Reg == pEAX)
        Emit(insCwde);
      else
        EmitBytes({0x0F, 0xBF, modrm});
    } else {
      EmitBytes({0x0F, 0xBE, modrm});
    }
    return Reg;
  }
  const std::uint8_t modrm = wide ? 0xC0 : static_cast<std::uint8_t>(0xC0 | f << 3);
  if (from == 1) EmitBytes({0x0F, 0xB6, modrm});
  if (from == 2) EmitBytes({0x0F, 0xB7, modrm});
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
