// The in-line code of the pack run on a full x87 stack: with as many values
// below the arguments as the function's stack needs leave room for, the
// result must appear in ST0 with no stack fault, and every value below must
// come back unchanged, on the fast path and on the library fallback alike.
#include <cmath>
#include <cstring>

#include "fennic/core/execmem.h"
#include "functions/pack_fixture.h"

namespace fennic::testing {
namespace {

struct TInlineCase {
  const char* Name;
  long double Args[2];
  int ArgCount;
};

const TInlineCase Cases[] = {
    {"sin", {0.5L}, 1},      {"sin", {1e20L}, 1},        {"cos", {0.5L}, 1},
    {"cos", {-1e30L}, 1},    {"tan", {0.5L}, 1},         {"tan", {1e25L}, 1},
    {"tan", {INFINITY}, 1},  {"sin", {-INFINITY}, 1},    {"atan", {3}, 1},           {"atan2", {-1, 2}, 2},
    {"sqrt", {2}, 1},        {"abs", {-2}, 1},           {"ln", {10}, 1},
    {"log10", {10}, 1},      {"log2", {10}, 1},          {"atan", {-1e-4000L}, 1},   {"atan2", {3, -1e-4000L}, 2},
    {"asin", {-0.3L}, 1},    {"asin", {1}, 1},           {"acos", {0.7L}, 1},        {"acos", {-1}, 1},
    // Either path of sinh and tanh, the library beyond.
    {"sinh", {0.3L}, 1},     {"sinh", {-3}, 1},          {"sinh", {11355}, 1},
    {"cosh", {-3}, 1},       {"cosh", {11355}, 1},       {"tanh", {-0.3L}, 1},
    {"tanh", {3}, 1},        {"tanh", {1e-20L}, 1},
};

TEST(PackInlineCode, FullStackKeepsTheValuesBelow) {
  TFennic F(nullptr);
  ASSERT_TRUE(RegisterStandardFunctions(F));
  for (const TInlineCase& C : Cases) {
    TFunction Fn;
    ASSERT_TRUE(F.GetFunc(Fn, F.FuncCode(C.Name))) << C.Name;
    ASSERT_EQ(Fn.CallType, ctBuilt_in) << C.Name;
    const int Below = 8 - F.FuncStackNeeds(F.FuncCode(C.Name));
    ASSERT_GE(Below, 0);

    alignas(16) long double In[8] = {};
    alignas(16) long double Out[8] = {};
    std::uint16_t Status = 0;
    std::uint32_t Ebx = 0;
    for (int i = 0; i < Below; ++i) In[i] = 100 + i;
    for (int i = 0; i < C.ArgCount; ++i) In[Below + i] = C.Args[i];
    const int Loaded = Below + C.ArgCount;

    TAByte Code;
    // An instruction with an absolute operand ([disp32] form): in 64-bit
    // code through RAX (MOV RAX, imm64, then [RAX]), which the code under
    // test may change between the instructions.
    auto Abs = [&Code](std::initializer_list<std::uint8_t> Op, const void* Address) {
      const auto A = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(Address));
      if (Target64) {
        Code.insert(Code.end(), {0x48, 0xB8});
        for (int k = 0; k < 8; ++k) Code.push_back(static_cast<std::uint8_t>(A >> (8 * k)));
        Code.insert(Code.end(), Op.begin(), Op.end() - 1);
        Code.push_back(static_cast<std::uint8_t>(*(Op.end() - 1) & 0x38));
        return;
      }
      Code.insert(Code.end(), Op);
      for (int k = 0; k < 4; ++k) Code.push_back(static_cast<std::uint8_t>(A >> (8 * k)));
    };
    Code.insert(Code.end(), {0x53, 0xDB, 0xE3});  // PUSH EBX (RBX); FNINIT
    for (int i = 0; i < Loaded; ++i) Abs({0xDB, 0x2D}, &In[i]);          // FLD TBYTE
    Code.push_back(0xBB);                                                 // MOV EBX,imm: a value
    for (int k = 0; k < 4; ++k) Code.push_back(0x5A);                     // the code must keep
    Code.insert(Code.end(), Fn.Code.begin(), Fn.Code.end());
    Abs({0x89, 0x1D}, &Ebx);                                           // MOV [..],EBX
    const int Left = Below + 1;
    for (int i = 0; i < Left; ++i) Abs({0xDB, 0x3D}, &Out[i]);            // FSTP TBYTE
    Abs({0xDD, 0x3D}, &Status);                                           // FNSTSW
    Code.insert(Code.end(), {0x5B, 0xC3});                                // POP EBX; RET

    ExecutableBlock Block(Code.size());
    std::memcpy(Block.Data(), Code.data(), Code.size());
    Block.Protect();
    reinterpret_cast<void (*)()>(Block.Data())();

    EXPECT_EQ(Status & 0x40, 0) << C.Name << ": stack fault";
    // An infinity is an invalid operand, also when the library computes it.
    EXPECT_EQ((Status & 1) != 0, std::isinf(C.Args[0])) << C.Name << ": invalid-operation flag";
    EXPECT_EQ(Ebx, 0x5A5A5A5Au) << C.Name << ": EBX changed";
    for (int i = 0; i < Below; ++i)
      EXPECT_EQ(Out[1 + i], In[Below - 1 - i]) << C.Name << " value " << i << " below";
    EXPECT_FALSE(std::isnan(Out[0]) && !std::isinf(C.Args[0])) << C.Name;
    // The same function compiled normally agrees with the raw code.
    TPackComponent P;
    P.X = C.Args[0];
    P.Y = C.Args[1];
    const long double Compiled = P.Value(std::string(C.Name) + (C.ArgCount == 2 ? "(x, y)" : "(x)"));
    EXPECT_TRUE(SameBits(Out[0], Compiled) || (std::isnan(Out[0]) && std::isnan(Compiled))) << C.Name;
  }
}

// Beyond the instructions' range the result is the library's exactly.
TEST(PackInlineCode, HugeArgumentsTakeTheLibraryValue) {
  TPackComponent P;
  for (long double Huge : {0x1p64L, -0x1p64L, 1e100L, 1e4931L}) {
    // Through memory: the compiler would fold sinl of a constant itself.
    volatile long double Stored = Huge;
    const long double X = Stored;
    P.X = X;
    EXPECT_TRUE(SameBits(P.Value("sin(x)"), sinl(X))) << (double)X;
    EXPECT_TRUE(SameBits(P.Value("cos(x)"), cosl(X))) << (double)X;
    EXPECT_TRUE(SameBits(P.Value("tan(x)"), tanl(X))) << (double)X;
  }
}

}  // namespace
}  // namespace fennic::testing
