// The builder of the pack's inline x87 code, and the way of its kernels to
// the C library (LibraryCall, x87code_*.cpp).
#include "fennic/functions/x87code.h"

#include <stdexcept>

namespace fennic::functions {

// ---- The code builder --------------------------------------------------------------

TX87Code& TX87Code::operator()(std::initializer_list<std::uint8_t> Bytes) {
  FCode.insert(FCode.end(), Bytes);
  return *this;
}

TX87Code& TX87Code::operator()(const TEncoder& Code) {
  FCode.insert(FCode.end(), Code.Data(), Code.Data() + Code.Size());
  return *this;
}

TX87Code& TX87Code::Append(const TAByte& Bytes) {
  FCode.insert(FCode.end(), Bytes.begin(), Bytes.end());
  return *this;
}

TX87Code& TX87Code::Value(std::uint64_t V, int Bytes) {
  AppendLittleEndian(FCode, V, Bytes);
  return *this;
}

TX87Code& TX87Code::Stack(std::initializer_list<std::uint8_t> Opcode, std::uint8_t Reg, std::uint8_t Disp) {
  return (*this)(TEncoder().Op(Opcode, Reg, TOperand::Esp(Disp, TOperand::TDisp::Byte)));
}

TX87Code::TLabel TX87Code::Label() {
  FLabels.push_back(-1);
  return FLabels.size() - 1;
}

TX87Code& TX87Code::Jump(std::uint8_t Opcode, TLabel Target) {
  // The 32-bit displacement form (0F 8x, E9): the fast paths and the library
  // call run past the reach of a byte.
  if (Opcode == 0xEB) {
    FCode.push_back(0xE9);
  } else {
    FCode.push_back(0x0F);
    FCode.push_back(static_cast<std::uint8_t>(Opcode + 0x10));
  }
  FJumps.emplace_back(FCode.size(), Target);
  FCode.insert(FCode.end(), 4, 0);
  return *this;
}

TX87Code& TX87Code::Bind(TLabel Target) {
  FLabels.at(Target) = static_cast<std::ptrdiff_t>(FCode.size());
  return *this;
}

TAByte TX87Code::Done() const {
  TAByte code = FCode;
  for (const auto& [at, target] : FJumps) {
    const std::ptrdiff_t to = FLabels.at(target);
    if (to < 0) throw std::logic_error("inline code: a jump to an unbound label");
    const auto distance = static_cast<std::uint32_t>(to - static_cast<std::ptrdiff_t>(at + 4));
    for (int i = 0; i < 4; ++i) code[at + i] = static_cast<std::uint8_t>(distance >> (8 * i));
  }
  return code;
}

}  // namespace fennic::functions
