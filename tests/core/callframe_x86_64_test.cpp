// Where a 64-bit process passes each argument of a host routine: the C++
// declaration that serves i386 (ctPascal reversed, ctRegister's register
// parameters first) read by the System V rules.
#include <gtest/gtest.h>

#include <string>

#include "fennic/core/callframe.h"
#include "fennic/core/ctrlblck.h"
#include "support/never_called.h"

namespace fennic {
namespace {

// "R0" integer register 0 (RDI), "X1" XMM1, "S16" stack offset 16.
std::string Places(const TSystemVFrame& Frame) {
  std::string out;
  for (const TArgPlace& p : Frame.Places) {
    if (!out.empty()) out += ' ';
    out += p.Home == TArgHome::IntRegister ? 'R' : p.Home == TArgHome::VectorRegister ? 'X' : 'S';
    out += std::to_string(p.Index);
  }
  return out;
}

TEST(SystemVFrame, EveryArgumentClassAndConvention) {
  struct Case {
    const char* ParamText;
    TCallType Call;
    const char* Places;
    std::int32_t StackBytes;
  } cases[] = {
      {"vi08vu16vi32vi64rf64", ctCdecl, "R0 R1 R2 R3 R4", 0},
      {"vf32vf64vi32", ctStdcall, "X0 X1 R0", 0},
      // Extended values take 16-byte aligned slots of 16, in declaration order.
      {"vf80vi32vf80", ctCdecl, "S0 R0 S16", 32},
      {"vi32vf80vf80", ctCdecl, "R0 S0 S16", 32},
      // Beyond six integer registers and eight vector registers: 8-byte slots.
      {"vi32vi32vi32vi32vi32vi32vi32vi64", ctCdecl, "R0 R1 R2 R3 R4 R5 S0 S8", 16},
      // No slot is filled back: the gap below an aligned extended stays.
      {"vf64vf64vf64vf64vf64vf64vf64vf64vf32vf80vf64", ctCdecl, "X0 X1 X2 X3 X4 X5 X6 X7 S0 S16 S32", 40},
      // ctPascal: declared in reverse.
      {"vf64vi32vf80", ctPascal, "X0 R0 S0", 16},
      {"vi32vi32vf64", ctPascal, "R1 R0 X0", 0},
      // ctRegister: the first three integers or addresses, then the rest in
      // reverse: (a, b, c, d, e) with d and e on the i386 stack is declared
      // (a, b, c, e, d).
      {"vi32vi32vi32vi32vi32", ctRegister, "R0 R1 R2 R4 R3", 0},
      {"vf64vi32ri32vf32vi64", ctRegister, "X1 R0 R1 X0 R2", 0},
      {"vf80vf80vi16", ctRegister, "S16 S0 R0", 32},
  };
  TCtrlBlck registry(nullptr);
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "f" + std::to_string(n++);
    const std::int32_t code = registry.RegisterFuncExt(name, c.ParamText, c.Call, frDouble, 0, testing::NeverCalled, false);
    ASSERT_NE(code, 0) << c.ParamText;
    TFunction f;
    registry.GetFunc(f, code);
    const TSystemVFrame frame = SystemVFrame(f);
    EXPECT_EQ(Places(frame), c.Places) << c.ParamText;
    EXPECT_EQ(frame.StackBytes, c.StackBytes) << c.ParamText;
    EXPECT_EQ(registry.StackFrame(f), c.StackBytes) << c.ParamText;
  }
}

}  // namespace
}  // namespace fennic
