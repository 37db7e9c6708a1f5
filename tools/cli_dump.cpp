#include "cli_dump.h"

#if defined(FENNIC_HAVE_CAPSTONE)
#include <capstone/capstone.h>
#endif

#include <cstring>
#include <map>
#include <string>

#include "fennic/core/target.h"

namespace fennic::cli {
namespace {

// Width of the bytes column: a 64-bit instruction with an imm64 takes 10.
constexpr int BytesColumn = Target64 ? 30 : 24;

// An address as the target's code holds it: capstone sign-extends 32-bit
// operands.
std::uintptr_t Address(std::int64_t Value) {
  return Target64 ? static_cast<std::uintptr_t>(Value)
                  : static_cast<std::uintptr_t>(static_cast<std::uint32_t>(Value));
}

struct TPoolRef {
  bool Integer;
  int Size;  // bytes of the operand
};

std::string Hex(const std::uint8_t* Bytes, std::size_t Count) {
  std::string S;
  char Buf[4];
  for (std::size_t i = 0; i < Count; ++i) {
    std::snprintf(Buf, sizeof Buf, "%02X ", Bytes[i]);
    S += Buf;
  }
  if (!S.empty()) S.pop_back();
  return S;
}

std::string PoolValue(const std::uint8_t* P, const TPoolRef& R) {
  char Buf[64];
  if (R.Integer) {
    long long V = 0;
    if (R.Size == 2) { std::int16_t v; std::memcpy(&v, P, 2); V = v; }
    else if (R.Size == 4) { std::int32_t v; std::memcpy(&v, P, 4); V = v; }
    else std::memcpy(&V, P, 8);
    std::snprintf(Buf, sizeof Buf, "i%-2d %lld", R.Size * 8, V);
  } else if (R.Size == 4) {
    float v; std::memcpy(&v, P, 4);
    std::snprintf(Buf, sizeof Buf, "f32 %.9g", v);
  } else if (R.Size == 8) {
    double v; std::memcpy(&v, P, 8);
    std::snprintf(Buf, sizeof Buf, "f64 %.17g", v);
  } else {
    long double v = 0; std::memcpy(&v, P, 10);
    std::snprintf(Buf, sizeof Buf, "f80 %.21Lg", v);
  }
  return Buf;
}

// Where the routine reads its constants. An i386 routine addresses the
// builder's pool itself; a 64-bit routine reaches a copy of it behind its
// code in its own block (at most 32 bytes further, where its alignment puts
// it), RIP-relative.
const std::uint8_t* PoolInRoutine(const TFennic& F) {
  if (!Target64 || F.PoolSize() == 0) return F.PoolBase();
  for (std::size_t At = F.CodeSize(); At <= F.CodeSize() + 32; ++At)
    if (std::memcmp(F.CodeBytes() + At, F.PoolBase(), F.PoolSize()) == 0) return F.CodeBytes() + At;
  return nullptr;
}

// The name of a variable or function at Address, "" if none.
std::string NameAt(const TFennic& F, std::uintptr_t Address) {
  for (const TVariable& V : F.Variables()) {
    const auto A = reinterpret_cast<std::uintptr_t>(V.Address);
    if (!V.Name.empty() && Address >= A && Address < A + VarValueBytes[V.VarType])
      return V.Name + (Address == A ? "" : "+" + std::to_string(Address - A));
  }
  for (const TFunction& Fn : F.Functions())
    if (!Fn.Name.empty() && reinterpret_cast<std::uintptr_t>(Fn.Address) == Address) return Fn.Name;
  return "";
}

#if defined(FENNIC_HAVE_CAPSTONE)
bool DisassembleRoutine(const TFennic& F, const std::uint8_t* PoolBytes, std::size_t PoolSize,
                        std::map<std::uintptr_t, TPoolRef>& PoolRefs, std::FILE* Out);
#endif
void PrintPool(const TFennic& F, const std::uint8_t* PoolBytes, std::size_t PoolSize,
               const std::map<std::uintptr_t, TPoolRef>& PoolRefs, std::FILE* Out);

// The values computed once (ComputeOnce) and where the routine loads them.
void PrintReused(const TFennic& F, std::FILE* Out) {
  const std::vector<TReusedValue>& Reused = F.ReusedValues();
  if (Reused.empty()) return;
  std::fprintf(Out, "computed once:\n");
  for (std::size_t V = 0; V < Reused.size(); ++V) {
    std::string Loads;
    for (std::size_t At : Reused[V].LoadedAt) {
      char Buf[16];
      std::snprintf(Buf, sizeof Buf, " %04zx", At);
      Loads += Buf;
    }
    std::fprintf(Out, "  #%zu  %s  stored at %04zx, %d uses, loaded at%s\n", V + 1, Reused[V].Text.c_str(),
                 Reused[V].StoredAt, Reused[V].Uses, Loads.c_str());
  }
}

}  // namespace

bool DumpRoutine(const TFennic& F, std::FILE* Out) {
  const std::uint8_t* PoolBytes = PoolInRoutine(F);
  const std::size_t PoolSize = PoolBytes ? F.PoolSize() : 0;
  std::map<std::uintptr_t, TPoolRef> PoolRefs;  // by offset
  std::fprintf(Out, "routine: %zu bytes at 0x%08lx\n", F.CodeSize(),
               static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(F.CodeBytes())));
  bool Decoded = false;
#if defined(FENNIC_HAVE_CAPSTONE)
  Decoded = DisassembleRoutine(F, PoolBytes, PoolSize, PoolRefs, Out);
#endif
  // Without the disassembler: the bytes alone, 16 a row.
  for (std::size_t Row = 0; !Decoded && Row < F.CodeSize(); Row += 16)
    std::fprintf(Out, "  %04zx  %s\n", Row,
                 Hex(F.CodeBytes() + Row, std::min<std::size_t>(16, F.CodeSize() - Row)).c_str());
  PrintPool(F, PoolBytes, PoolSize, PoolRefs, Out);
  PrintReused(F, Out);
  return Decoded;
}

namespace {

#if defined(FENNIC_HAVE_CAPSTONE)
bool DisassembleRoutine(const TFennic& F, const std::uint8_t* PoolBytes, std::size_t PoolSize,
                        std::map<std::uintptr_t, TPoolRef>& PoolRefs, std::FILE* Out) {
  csh Handle;
  if (cs_open(CS_ARCH_X86, Target64 ? CS_MODE_64 : CS_MODE_32, &Handle) != CS_ERR_OK) return false;
  cs_option(Handle, CS_OPT_DETAIL, CS_OPT_ON);

  const std::uint8_t* Code = F.CodeBytes();
  const std::size_t Size = F.CodeSize();
  const auto Pool = reinterpret_cast<std::uintptr_t>(PoolBytes);
  // 64-bit code loads addresses into registers (MOV reg, imm64) and reads
  // variables and calls through them: the last address each register got.
  std::map<unsigned, std::uintptr_t> Loaded;

  cs_insn* Insn = nullptr;
  std::size_t Offset = 0;
  while (Offset < Size) {
    // Disassembled at its own address: call and jump targets read as they run.
    const std::size_t N = cs_disasm(Handle, Code + Offset, Size - Offset,
                                    reinterpret_cast<std::uintptr_t>(Code) + Offset, 1, &Insn);
    if (N == 0) {  // not an instruction: show the byte and go on
      std::fprintf(Out, "  %04zx  %-*s .byte 0x%02x\n", Offset, BytesColumn, Hex(Code + Offset, 1).c_str(),
                   Code[Offset]);
      ++Offset;
      continue;
    }
    const cs_insn& I = Insn[0];
    std::string Note;
    const cs_x86& X = I.detail->x86;
    const bool Call = std::strcmp(I.mnemonic, "call") == 0;
    for (int k = 0; k < X.op_count; ++k) {
      const cs_x86_op& Op = X.operands[k];
      if (Op.type == X86_OP_IMM && Call) Note = NameAt(F, Address(Op.imm));
      if (Op.type == X86_OP_REG && Call && Loaded.count(Op.reg)) Note = NameAt(F, Loaded[Op.reg]);
      if (Op.type == X86_OP_IMM && I.mnemonic[0] == 'j') {
        const std::uintptr_t Target = Address(Op.imm);
        const auto Start = reinterpret_cast<std::uintptr_t>(Code);
        char To[16];
        std::snprintf(To, sizeof To, "to %04lx", static_cast<unsigned long>(Target - Start));
        if (Target >= Start && Target <= Start + Size) Note = To;
      }
      if (Op.type == X86_OP_IMM && std::strcmp(I.mnemonic, "movabs") == 0 && k == 1 &&
          X.operands[0].type == X86_OP_REG) {
        Loaded[X.operands[0].reg] = Address(Op.imm);
        Note = NameAt(F, Address(Op.imm));
      }
      if (Op.type != X86_OP_MEM || Op.mem.index != X86_REG_INVALID) continue;
      std::uintptr_t Address;
      if (Op.mem.base == X86_REG_INVALID)
        Address = fennic::cli::Address(Op.mem.disp);
      else if (Op.mem.base == X86_REG_RIP)
        Address = static_cast<std::uintptr_t>(I.address + I.size + Op.mem.disp);
      else if (Target64 && Loaded.count(Op.mem.base))
        Address = Loaded[Op.mem.base] + static_cast<std::uintptr_t>(Op.mem.disp);
      else
        continue;
      if (const std::string Name = NameAt(F, Address); !Name.empty()) Note = Name;
      if (Address >= Pool && Address < Pool + PoolSize) {
        const TPoolRef R{I.mnemonic[0] == 'f' && I.mnemonic[1] == 'i', Op.size};
        const std::uintptr_t At = Address - Pool;
        if (At + static_cast<std::size_t>(R.Size) <= PoolSize) {
          PoolRefs.emplace(At, R);
          char Where[16];
          std::snprintf(Where, sizeof Where, "pool+%04lx", static_cast<unsigned long>(At));
          Note = Where + (" = " + PoolValue(PoolBytes + At, R));
        }
      }
    }
    // A call leaves no address behind in the registers it may change.
    if (Call) Loaded.clear();
    const std::vector<TReusedValue>& Reused = F.ReusedValues();
    for (std::size_t V = 0; V < Reused.size(); ++V) {
      if (Reused[V].StoredAt == Offset) Note = "#" + std::to_string(V + 1) + " computed once";
      for (std::size_t At : Reused[V].LoadedAt)
        if (At == Offset) Note = "#" + std::to_string(V + 1) + " reused";
    }
    std::string Text = std::string(I.mnemonic) + (I.op_str[0] ? " " : "") + I.op_str;
    if (!Note.empty()) Text += std::string(Text.size() < 40 ? 40 - Text.size() : 1, ' ') + "; " + Note;
    std::fprintf(Out, "  %04zx  %-*s %s\n", Offset, BytesColumn, Hex(I.bytes, I.size).c_str(), Text.c_str());
    Offset += I.size;
    cs_free(Insn, N);
  }
  cs_close(&Handle);
  return true;
}
#endif

void PrintPool(const TFennic& F, const std::uint8_t* PoolBytes, std::size_t PoolSize,
               const std::map<std::uintptr_t, TPoolRef>& PoolRefs, std::FILE* Out) {
  const auto Pool = reinterpret_cast<std::uintptr_t>(PoolBytes);
  if (F.PoolSize() == 0) {
    std::fprintf(Out, "constant pool: 0 bytes\n");
    return;
  }
  if (!PoolBytes) {
    std::fprintf(Out, "constant pool: %zu bytes, not found behind the routine\n", F.PoolSize());
    return;
  }
  std::fprintf(Out, "constant pool: %zu bytes at 0x%08lx%s\n", PoolSize, static_cast<unsigned long>(Pool),
               Target64 ? " (in the routine's block)" : "");
  for (const auto& [At, R] : PoolRefs)
    std::fprintf(Out, "  +%04lx  %s\n", static_cast<unsigned long>(At), PoolValue(PoolBytes + At, R).c_str());
  for (std::size_t Row = 0; Row < PoolSize; Row += 16)
    std::fprintf(Out, "  %04zx:  %s\n", Row, Hex(PoolBytes + Row, std::min<std::size_t>(16, PoolSize - Row)).c_str());
}

}  // namespace

}  // namespace fennic::cli
