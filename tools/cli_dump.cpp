#include "cli_dump.h"

#include <capstone/capstone.h>

#include <cstring>
#include <map>
#include <string>

namespace fennic::cli {
namespace {

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

}  // namespace

bool DumpRoutine(const TFennic& F, std::FILE* Out) {
  csh Handle;
  if (cs_open(CS_ARCH_X86, CS_MODE_32, &Handle) != CS_ERR_OK) return false;
  cs_option(Handle, CS_OPT_DETAIL, CS_OPT_ON);

  const std::uint8_t* Code = F.CodeBytes();
  const std::size_t Size = F.CodeSize();
  const auto Pool = reinterpret_cast<std::uintptr_t>(F.PoolBase());
  const std::size_t PoolSize = F.PoolSize();
  std::map<std::uintptr_t, TPoolRef> PoolRefs;  // by offset

  std::fprintf(Out, "routine: %zu bytes at 0x%08lx\n", Size,
               static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(Code)));
  cs_insn* Insn = nullptr;
  std::size_t Offset = 0;
  while (Offset < Size) {
    // Disassembled at its own address: call and jump targets read as they run.
    const std::size_t N = cs_disasm(Handle, Code + Offset, Size - Offset,
                                    reinterpret_cast<std::uintptr_t>(Code) + Offset, 1, &Insn);
    if (N == 0) {  // not an instruction: show the byte and go on
      std::fprintf(Out, "  %04zx  %-24s .byte 0x%02x\n", Offset, Hex(Code + Offset, 1).c_str(), Code[Offset]);
      ++Offset;
      continue;
    }
    const cs_insn& I = Insn[0];
    std::string Note;
    const cs_x86& X = I.detail->x86;
    for (int k = 0; k < X.op_count; ++k) {
      const cs_x86_op& Op = X.operands[k];
      if (Op.type == X86_OP_IMM && std::strcmp(I.mnemonic, "call") == 0) {
        const auto Target = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(Op.imm));
        for (const TFunction& Fn : F.Functions())
          if (!Fn.Name.empty() && reinterpret_cast<std::uintptr_t>(Fn.Address) == Target) Note = Fn.Name;
      }
      if (Op.type == X86_OP_IMM && I.mnemonic[0] == 'j') {
        const auto Target = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(Op.imm));
        const auto Start = reinterpret_cast<std::uintptr_t>(Code);
        char To[16];
        std::snprintf(To, sizeof To, "to %04lx", static_cast<unsigned long>(Target - Start));
        if (Target >= Start && Target <= Start + Size) Note = To;
      }
      if (Op.type != X86_OP_MEM || Op.mem.base != X86_REG_INVALID || Op.mem.index != X86_REG_INVALID)
        continue;
      const auto Address = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(Op.mem.disp));
      for (const TVariable& V : F.Variables()) {
        const auto A = reinterpret_cast<std::uintptr_t>(V.Address);
        if (!V.Name.empty() && Address >= A && Address < A + VarValueBytes[V.VarType])
          Note = V.Name + (Address == A ? "" : "+" + std::to_string(Address - A));
      }
      if (Address >= Pool && Address < Pool + PoolSize) {
        const TPoolRef R{I.mnemonic[0] == 'f' && I.mnemonic[1] == 'i', Op.size};
        const std::uintptr_t At = Address - Pool;
        if (At + static_cast<std::size_t>(R.Size) <= PoolSize) {
          PoolRefs.emplace(At, R);
          char Where[16];
          std::snprintf(Where, sizeof Where, "pool+%04lx", static_cast<unsigned long>(At));
          Note = Where + (" = " + PoolValue(F.PoolBase() + At, R));
        }
      }
    }
    std::string Text = std::string(I.mnemonic) + (I.op_str[0] ? " " : "") + I.op_str;
    if (!Note.empty()) Text += std::string(Text.size() < 40 ? 40 - Text.size() : 1, ' ') + "; " + Note;
    std::fprintf(Out, "  %04zx  %-24s %s\n", Offset, Hex(I.bytes, I.size).c_str(), Text.c_str());
    Offset += I.size;
    cs_free(Insn, N);
  }
  cs_close(&Handle);

  std::fprintf(Out, "constant pool: %zu bytes at 0x%08lx\n", PoolSize, static_cast<unsigned long>(Pool));
  for (const auto& [At, R] : PoolRefs)
    std::fprintf(Out, "  +%04lx  %s\n", static_cast<unsigned long>(At), PoolValue(F.PoolBase() + At, R).c_str());
  for (std::size_t Row = 0; Row < PoolSize; Row += 16)
    std::fprintf(Out, "  %04zx:  %s\n", Row, Hex(F.PoolBase() + Row, std::min<std::size_t>(16, PoolSize - Row)).c_str());
  return true;
}

}  // namespace fennic::cli
