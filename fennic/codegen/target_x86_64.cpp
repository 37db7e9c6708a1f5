// The x86-64 target. The x87 code is the i386 code; what a 64-bit process
// changes:
// - an absolute operand (ModRM mod 00, r/m 101) means [RIP+disp32] here: the
//   constant pool, copied behind the routine into its block, is reached so,
//   and a host variable through its address in R11 (a PIE program's data and
//   mapped code lie far more than 2 GiB apart). R11 keeps the last address
//   loaded in a level, and variables within reach of it are addressed from it;
// - the routine is entered as long double (*)(void*), the component in RDI;
// - routines of every convention but ctBuilt_in follow the System V
//   convention: arguments in RDI, RSI, RDX, RCX, R8, R9 and XMM0 to XMM7 or
//   on the stack, RSP 16-byte aligned at the call, every x87 register
//   caller-saved (their StackNeeds is 8, so the routine holds no x87 value
//   across the call), results in RAX, XMM0 or ST0.
// Inline code keeps the i386 contract: x87 arguments, integers in EAX, EDX
// and ECX, the rest in its stack area.
#include <cstring>
#include <vector>

#include "fennic/codegen/calls.h"
#include "fennic/core/callframe.h"
#include "fennic/simplifier/codedtext.h"

namespace fennic {

namespace {

constexpr std::uint8_t RexW = 0x48, RexR = 0x44, RexB = 0x41;
constexpr std::uint8_t R11 = 11;
// RDI, RSI, RDX, RCX, R8, R9: the integer argument registers in order.
constexpr std::uint8_t IntArgRegister[6] = {7, 6, 2, 1, 8, 9};

// One instruction assembled before it goes out through AddComm.
struct TInstruction {
  std::uint8_t Bytes[24];
  std::int32_t Count = 0;
  void Add(std::uint8_t b) { Bytes[Count++] = b; }
  void Add32(std::int32_t v) {
    for (int i = 0; i < 4; ++i) Add(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
  }
  void Add64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) Add(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  // Legacy prefixes first, then REX (when it has a bit to carry), then the opcode.
  void Begin(std::uint8_t Prefix, std::uint8_t Rex, std::initializer_list<std::uint8_t> Opcode) {
    if (Prefix != 0) Add(Prefix);
    if (Rex != 0x40 && Rex != 0) Add(Rex);
    for (std::uint8_t b : Opcode) Add(b);
  }
  // ModRM, SIB and displacement of [RSP+Displacement].
  void RspOperand(std::uint8_t Reg, std::int32_t Displacement) {
    const std::uint8_t mod = Displacement == 0 ? 0x00 : Displacement >= -128 && Displacement < 128 ? 0x40 : 0x80;
    Add(static_cast<std::uint8_t>(mod | (Reg & 7) << 3 | 4));
    Add(0x24);
    if (mod == 0x40) Add(static_cast<std::uint8_t>(Displacement));
    if (mod == 0x80) Add32(Displacement);
  }
};

bool IsLegacyPrefix(std::uint8_t b) { return b == 0x66 || b == 0xF2 || b == 0xF3; }

bool FitsInt32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// The second opcode byte of MOVSX / MOVZX r32, r/m8 or r/m16 that widens a
// value to the 32 bits of its register as its parameter's type says; 0 for
// a parameter of 32 bits or more. Compilers of the System V world expect an
// argument narrower than 32 bits widened so by the caller.
std::uint8_t Widening(TVarType Param) {
  switch (Param) {
    case vtInt8: return 0xBE;
    case vtUInt8: return 0xB6;
    case vtInt16: return 0xBF;
    case vtUInt16: return 0xB7;
    default: return 0;
  }
}

TAddress AddressOf(const void* p) { return static_cast<TAddress>(reinterpret_cast<std::uintptr_t>(p)); }

}  // namespace

void TFennic::EmitAbs(const std::uint8_t* Bytes, std::int32_t Count, TAddress Address) {
  if (Count < 1 || Count > 8) Defect("absolute operand without its ModRM byte");
  // The constants (the pool, and the double pairs of a code shape that
  // splits extended constants) have copies behind the routine.
  const std::uint8_t* const data[2] = {PoolBase(), PairsBase()};
  const std::size_t sizes[2] = {PoolSize(), PairsSize()};
  for (int i = 0; i < 2; ++i) {
    const TAddress from = AddressOf(data[i]);
    if (sizes[i] == 0 || Address < from || Address >= from + static_cast<TAddress>(sizes[i])) continue;
    // The same bytes: in 64-bit code the [disp32] form is RIP-relative.
    std::int32_t displacement = 0;
    if (FWriting) {
      const TAddress end = AddressOf(FOutAddress) + Level().CodePos + Count + 4;
      displacement = static_cast<std::int32_t>(AddressOf(FBlockData[i]) + (Address - from) - end);
    }
    AddCommAndI32(Bytes, Count, displacement);
    return;
  }

  TLevelInfo& L = Level();
  std::int64_t delta = static_cast<std::int64_t>(Address - L.ScratchBase);
  if (L.ScratchBase == 0 || !FitsInt32(delta)) {
    TInstruction load;  // MOV R11, imm64
    load.Add(RexW | RexB);
    load.Add(0xB8 + (R11 & 7));
    load.Add64(static_cast<std::uint64_t>(Address));
    AddComm(load.Bytes, load.Count);
    L.ScratchBase = Address;
    delta = 0;
  }
  TInstruction op;
  std::int32_t i = 0;
  while (i < Count - 1 && IsLegacyPrefix(Bytes[i])) op.Add(Bytes[i++]);
  std::uint8_t rex = RexB;
  if (i < Count - 1 && (Bytes[i] & 0xF0) == 0x40) rex |= Bytes[i++];
  op.Add(rex);
  for (; i < Count - 1; ++i) op.Add(Bytes[i]);
  const std::uint8_t reg = Bytes[Count - 1] & 0x38;
  if (delta == 0) {
    op.Add(static_cast<std::uint8_t>(reg | (R11 & 7)));
  } else if (delta >= -128 && delta < 128) {
    op.Add(static_cast<std::uint8_t>(0x40 | reg | (R11 & 7)));
    op.Add(static_cast<std::uint8_t>(delta));
  } else {
    op.Add(static_cast<std::uint8_t>(0x80 | reg | (R11 & 7)));
    op.Add32(static_cast<std::int32_t>(delta));
  }
  AddComm(op.Bytes, op.Count);
}

void TFennic::EmitCallTo(const void* Address) {
  // MOV R11, imm64; CALL R11: R11 carries no argument in either contract.
  TInstruction call;
  call.Add(RexW | RexB);
  call.Add(0xB8 + (R11 & 7));
  call.Add64(static_cast<std::uint64_t>(AddressOf(Address)));
  call.Add(RexB);
  call.Add(0xFF);
  call.Add(0xD0 + (R11 & 7));
  AddComm(call.Bytes, call.Count);
}

TPushed TFennic::LoadAddress(const void* Address, TPushed Where, std::int32_t Offset) {
  // MOV reg, imm64; a slot takes the whole address from RAX.
  const TPushed reg = Where == pMemory ? pEAX : Where;
  const std::uint8_t field = reg == pEAX ? 0 : reg == pECX ? 1 : 2;
  TInstruction load;
  load.Add(RexW);
  load.Add(0xB8 + field);
  load.Add64(static_cast<std::uint64_t>(AddressOf(Address)));
  AddComm(load.Bytes, load.Count);
  if (Where != pMemory) return reg;
  const std::int32_t displacement = Offset + Level().Pushed;
  CheckDisplacement(displacement);
  TInstruction store;  // MOV [RSP+d], RAX
  store.Begin(0, RexW, {0x89});
  store.RspOperand(0, displacement);
  AddComm(store.Bytes, store.Count);
  return pMemory;
}

std::int32_t TFennic::FrameAlignment(std::int32_t) const { return 16; }

std::int32_t TFennic::PlainFrameBytes(std::int32_t Frame) const {
  // Entered with RSP 8 mod 16: a frame of 8 mod 16 bytes leaves every level
  // 16-byte aligned, as System V calls need.
  if (!FHostCalls) return Frame;
  return Frame + ((8 - Frame % 16) + 16) % 16;
}

std::size_t TFennic::BlockDataSize() const { return PoolSize() + PairsSize() + 64; }

void TFennic::PlaceBlockData(std::uint8_t* Write, const std::uint8_t* Address, std::size_t CodeSize) {
  // Each keeps the alignment it was laid out for: the same address modulo
  // 16 as in the builder's memory, where SmartLoad judged it.
  const std::uint8_t* const data[2] = {PoolBase(), PairsBase()};
  const std::size_t sizes[2] = {PoolSize(), PairsSize()};
  std::size_t end = CodeSize;
  for (int i = 0; i < 2; ++i) {
    FBlockData[i] = nullptr;
    if (sizes[i] == 0) continue;
    const std::size_t start = ((end + 15) & ~std::size_t{15}) + reinterpret_cast<std::uintptr_t>(data[i]) % 16;
    std::memcpy(Write + start, data[i], sizes[i]);
    FBlockData[i] = Address + start;
    end = start + sizes[i];
  }
}

// ---- System V calls ---------------------------------------------------------

namespace {

// An integer argument that is itself a call destroys every argument
// register; a floating-point one other than a plain variable of its own
// type is computed on the x87 stack. Both are computed into a slot of the
// argument area first, and the registers are loaded after every such
// computation.
bool Computed(const TTreeNode* Par, const TTreeNode* Tree, const TVarDef& Def, TArgHome Home,
              TVarType TreeVarType) {
  if (Def.PushStyle == psReference) return false;
  if (Home == TArgHome::IntRegister) return Par->Text[0] == FuncMarker;
  return Tree->Flushed || Tree->Minus || Tree->Text[0] != VarMarker || TreeVarType != Def.VarType;
}

}  // namespace

bool TFennic::CompileHostCall(TCallPlan& Plan, TTreeNode* Node) {
  const TFunction& fn = *Plan.Fn;
  if (fn.CallType == ctBuilt_in) return false;
  FHostCalls = true;
  const TSystemVFrame frame = SystemVFrame(fn);
  const std::size_t n = fn.Params.size();

  struct TArg {
    std::string Text;
    std::int32_t Staged = -1;  // offset of its slot in the area, for a computed register argument
  };
  std::vector<TArg> args(n);
  std::int32_t area = frame.StackBytes;
  for (std::size_t k = 0; k < n; ++k) {
    TakeArgument(Plan.Args, k + 1 == n, args[k].Text);
    const TVarDef& def = fn.Params[k];
    const TArgPlace& place = frame.Places[k];
    if (place.Home == TArgHome::Stack || def.PushStyle == psReference) continue;
    const TTreeNode* par = IsFloatType(def.VarType) ? nullptr : ParNode(args[k].Text);
    const TTreeNode* tree = nullptr;
    TVarType treeType = vtDouble;
    if (IsFloatType(def.VarType)) {
      const std::string& a = args[k].Text;
      if (a.size() != 5 || a[0] != TreeMarker) Defect("floating-point argument without its tree");
      const std::int32_t index = ReadInt32(a, 1);
      if (index < 0 || static_cast<std::size_t>(index) >= FTrees.size() || !FTrees[index] ||
          FTrees[index]->Text.empty())
        Defect("floating-point argument names no tree");
      tree = FTrees[index];
      const TVariable* var = nullptr;
      if (tree->Text[0] == VarMarker && tree->Text.size() >= 5 && (var = FindVar(ReadInt32(tree->Text, 1))))
        treeType = var->VarType;
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
      const TTreeNode* par = ParNode(args[k].Text);
      if (par->Text[0] == ConstMarker) {  // a computed call's value may lie beyond the type
        StoreImmAt(at, static_cast<std::int32_t>(WidenedArgument(def.VarType, static_cast<std::int64_t>(NumberValue(par)))));
        continue;
      }
    }
    const TPushed in = PushPar(args[k].Text, def, pMemory, offset);
    // A narrow integer in its slot: widened as in a register (a staged one
    // is widened when its register is loaded).
    if (in == pEAX && place.Home == TArgHome::Stack && def.PushStyle == psValue && !IsFloatType(def.VarType) &&
        !IsVariableOfType(ParNode(args[k].Text), def.VarType))
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
      LoadVectorArgument(static_cast<std::uint8_t>(place.Index), args[k].Text, def, args[k].Staged);
    else
      LoadIntArgument(IntArgRegister[place.Index], args[k].Text, def, args[k].Staged);
  }
  AddFuncCall(fn);
  AdjustEsp(false, area);
  L.Pushed -= area;
  if (L.Pushed != base) Defect("a call left bytes on the stack");
  TakeHostResult(fn.FuncResult);
  return true;
}

void TFennic::LoadIntArgument(std::uint8_t Reg, const std::string& Arg, const TVarDef& Def, std::int32_t Staged) {
  const bool wide = Def.PushStyle == psReference || Def.VarType == vtInt64;
  const std::uint8_t rexR = Reg >= 8 ? RexR : 0x40, rexB = Reg >= 8 ? RexB : 0x40;
  const std::uint8_t widening = Def.PushStyle == psValue ? Widening(Def.VarType) : 0;
  TInstruction op;
  if (Staged >= 0) {  // MOV reg, [RSP+d], or MOVSX / MOVZX for a narrow parameter
    if (widening != 0)
      op.Begin(0, rexR, {0x0F, widening});
    else
      op.Begin(0, static_cast<std::uint8_t>(rexR | (wide ? RexW : 0x40)), {0x8B});
    op.RspOperand(Reg, Staged);
    AddComm(op.Bytes, op.Count);
    return;
  }
  if (Def.PushStyle == psReference) {
    std::size_t pos = 0;
    const TVariable* found = FindVar(VarCode(ReadIdent(Arg, pos)));
    if (!found) Defect("by-reference argument names no variable");
    const TVariable& var = *found;
    op.Add(static_cast<std::uint8_t>(RexW | rexB));  // MOV reg, imm64
    op.Add(static_cast<std::uint8_t>(0xB8 + (Reg & 7)));
    op.Add64(static_cast<std::uint64_t>(AddressOf(var.Address)));
    AddComm(op.Bytes, op.Count);
    return;
  }
  const TTreeNode* node = ParNode(Arg);
  if (node->Text[0] == ConstMarker) {
    const std::uint64_t value = WidenedArgument(Def.VarType, static_cast<std::int64_t>(NumberValue(node)));
    const auto signedValue = static_cast<std::int64_t>(value);
    if (value == 0) {  // XOR reg32, reg32
      op.Begin(0, static_cast<std::uint8_t>(rexR | rexB), {0x31});
      op.Add(static_cast<std::uint8_t>(0xC0 | (Reg & 7) << 3 | (Reg & 7)));
    } else if (value <= UINT32_MAX) {  // MOV reg32, imm32 (zero-extends)
      op.Begin(0, rexB, {static_cast<std::uint8_t>(0xB8 + (Reg & 7))});
      op.Add32(static_cast<std::int32_t>(value));
    } else if (FitsInt32(signedValue)) {  // MOV reg64, simm32
      op.Begin(0, static_cast<std::uint8_t>(RexW | rexB), {0xC7});
      op.Add(static_cast<std::uint8_t>(0xC0 | (Reg & 7)));
      op.Add32(static_cast<std::int32_t>(signedValue));
    } else {  // MOV reg64, imm64
      op.Begin(0, static_cast<std::uint8_t>(RexW | rexB), {static_cast<std::uint8_t>(0xB8 + (Reg & 7))});
      op.Add64(value);
    }
    AddComm(op.Bytes, op.Count);
    return;
  }
  if (node->Text[0] != VarMarker) Defect("integer argument of unknown kind");
  const TVariable* found = node->Text.size() < 5 ? nullptr : FindVar(ReadInt32(node->Text, 1));
  if (!found) Defect("integer argument names no variable");
  const TVariable& var = *found;
  // Widened to the register by the variable's signedness: a 32-bit load
  // clears the upper half, the sign-extending loads carry REX.W for a 64-bit
  // parameter.
  const std::uint8_t modrm = static_cast<std::uint8_t>((Reg & 7) << 3 | 0x05);
  const std::uint8_t rex = static_cast<std::uint8_t>(rexR | 0x40);
  const std::uint8_t rexWide = static_cast<std::uint8_t>(rexR | (wide ? RexW : 0x40));
  const TAddress address = AddressOf(var.Address);
  switch (var.VarType) {
    case vtInt8: EmitAbsBytes({rexWide, 0x0F, 0xBE, modrm}, address); break;
    case vtUInt8: EmitAbsBytes({rex, 0x0F, 0xB6, modrm}, address); break;
    case vtInt16: EmitAbsBytes({rexWide, 0x0F, 0xBF, modrm}, address); break;
    case vtUInt16: EmitAbsBytes({rex, 0x0F, 0xB7, modrm}, address); break;
    case vtInt32:
      if (wide) EmitAbsBytes({static_cast<std::uint8_t>(rexR | RexW), 0x63, modrm}, address);  // MOVSXD
      else EmitAbsBytes({rex, 0x8B, modrm}, address);
      break;
    case vtUInt32: EmitAbsBytes({rex, 0x8B, modrm}, address); break;
    case vtInt64: EmitAbsBytes({rexWide, 0x8B, modrm}, address); break;
    default: Defect("floating-point variable as an integer argument");
  }
  if (node->Minus) {  // NEG reg
    TInstruction neg;
    neg.Begin(0, static_cast<std::uint8_t>(rexB | (wide ? RexW : 0x40)), {0xF7});
    neg.Add(static_cast<std::uint8_t>(0xD8 | (Reg & 7)));
    AddComm(neg.Bytes, neg.Count);
  }
  if (!IsVariableOfType(node, Def.VarType)) WidenToParameter(Reg, Def.VarType);
}

bool TFennic::IsVariableOfType(const TTreeNode* Par, TVarType Type) const {
  if (Par->Text[0] != VarMarker || Par->Minus || Par->Text.size() < 5) return false;
  const TVariable* var = FindVar(ReadInt32(Par->Text, 1));
  return var && var->VarType == Type;
}

void TFennic::WidenToParameter(std::uint8_t Reg, TVarType Param) {
  // MOVSX / MOVZX reg32, reg8 / reg16; the REX prefix makes the byte
  // registers of RSI and RDI SIL and DIL.
  const std::uint8_t widening = Widening(Param);
  if (widening == 0) return;
  TInstruction op;
  op.Add(static_cast<std::uint8_t>(0x40 | (Reg >= 8 ? 0x05 : 0)));
  op.Add(0x0F);
  op.Add(widening);
  op.Add(static_cast<std::uint8_t>(0xC0 | (Reg & 7) << 3 | (Reg & 7)));
  AddComm(op.Bytes, op.Count);
}

void TFennic::LoadVectorArgument(std::uint8_t Reg, const std::string& Arg, const TVarDef& Def, std::int32_t Staged) {
  // MOVSS / MOVSD xmm, m
  const std::uint8_t prefix = Def.VarType == vtSingle ? 0xF3 : 0xF2;
  if (Staged >= 0) {
    TInstruction op;
    op.Begin(prefix, 0, {0x0F, 0x10});
    op.RspOperand(Reg, Staged);
    AddComm(op.Bytes, op.Count);
    return;
  }
  const TTreeNode* root = FTrees[ReadInt32(Arg, 1)];
  const TVariable* var = FindVar(ReadInt32(root->Text, 1));
  if (!var) Defect("tree names an unknown variable");
  EmitAbsBytes({prefix, 0x0F, 0x10, static_cast<std::uint8_t>(Reg << 3 | 0x05)}, AddressOf(var->Address));
}

void TFennic::TakeHostResult(TFuncResult Result) {
  // Into the places a call of inline code leaves its result: ST0, EAX,
  // EDX:EAX. A vector result passes through the red zone below RSP.
  switch (Result) {
    case frSingle: EmitBytes({0xF3, 0x0F, 0x11, 0x44, 0x24, 0xF8, 0xD9, 0x44, 0x24, 0xF8}); break;
    case frDouble: EmitBytes({0xF2, 0x0F, 0x11, 0x44, 0x24, 0xF8, 0xDD, 0x44, 0x24, 0xF8}); break;
    case frInt64: EmitBytes({0x48, 0x89, 0xC2, 0x48, 0xC1, 0xEA, 0x20}); break;
    default: break;
  }
}

}  // namespace fennic
