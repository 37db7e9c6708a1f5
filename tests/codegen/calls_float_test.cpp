// Floating-point arguments as the called code receives them: in their
// slots from variables, constants and trees of every type, and on the x87
// stack in parameter order whatever order they were computed in; and the
// registers a function is promised free.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codegen/calls_fixture.h"
#include "support/hostfuncs_recording.h"

namespace fennic::testing {
namespace {

struct TReceived {
  std::uint8_t Stack[64];  // stack arguments, lowest address first
  long double X87[8];      // X87[0] = ST0 at entry
} Received;

// Inline code that stores StackBytes of stack arguments and X87Count x87
// arguments (ST0 first), removes both and leaves 0 in ST0.
Bytes Recorder(int stackBytes, int x87Count) {
  Bytes code;
  for (int k = 0; k < stackBytes / 4; ++k) {
    code = code + Bytes{0x8B, 0x44, 0x24, static_cast<std::uint8_t>(4 * k)};
    AddAbsolute(code, {0x89}, 0, &Received.Stack[4 * k]);
  }
  for (int i = 0; i < x87Count; ++i) AddAbsolute(code, {0xDB}, 7, &Received.X87[i]);
  code = code + Bytes{0xD9, 0xEE};
  if (stackBytes > 0) AddRelease(code, static_cast<std::uint8_t>(stackBytes));
  return code;
}

const char* const FloatCode[3] = {"f32", "f64", "f80"};

// The bytes of a value stored as type t (through memory, so really rounded).
Bytes Stored(TVarType t, long double v) {
  Bytes out(t == vtSingle ? 4 : t == vtDouble ? 8 : 10);
  if (t == vtSingle) {
    volatile float f = static_cast<float>(v);
    float g = f;
    std::memcpy(out.data(), &g, 4);
  } else if (t == vtDouble) {
    volatile double d = static_cast<double>(v);
    double e = d;
    std::memcpy(out.data(), &e, 8);
  } else {
    std::memcpy(out.data(), &v, 10);
  }
  return out;
}

TEST(FloatArguments, SlotsFromVariablesConstantsAndTreesOfEveryType) {
  float s = 0.1f;
  double d = -1.0 / 3;
  long double e = 1e-4000L;  // needs the extended exponent
  TCallFennic f;
  f.RegisterVarExt("s", vtSingle, &s);
  f.RegisterVarExt("d", vtDouble, &d);
  f.RegisterVarExt("e", vtExtended, &e);
  const char* names[3] = {"s", "d", "e"};
  const long double values[3] = {s, d, e};
  for (int p = vtSingle; p <= vtExtended; ++p) {
    const auto param = static_cast<TVarType>(p);
    const int size = p == vtSingle ? 4 : p == vtDouble ? 8 : 12;
    f.ClearFuncs();
    // No x87 room: every argument takes its slot.
    ASSERT_NE(f.RegisterFuncExt("g", std::string("v") + FloatCode[p - vtSingle], ctBuilt_in, frExtended, 8,
                                nullptr, false, Recorder(size, 0)),
              0);
    for (int v = vtSingle; v <= vtExtended; ++v) {
      for (bool minus : {false, true}) {
        const long double value = minus ? -values[v - vtSingle] : values[v - vtSingle];
        // The variable alone (copied when its type is the parameter's), and
        // in a product (computed on the x87 stack and stored).
        for (bool tree : {false, true}) {
          f.Begin();
          std::string text = (minus ? "-" : "") + f.Var(names[v - vtSingle]);
          if (tree) text += "*" + f.Num(1);
          ASSERT_TRUE(f.CompileCoded(f.Call("g", {text})));
          std::memset(&Received, 0xEE, sizeof Received);
          EXPECT_EQ(f.Evaluate(), 0);
          const Bytes want = Stored(param, value);
          const std::string what = std::string(tree ? "product " : "variable ") + (minus ? "-" : "") +
                                   names[v - vtSingle] + " to v" + FloatCode[p - vtSingle];
          EXPECT_EQ(Hex(Bytes(Received.Stack, Received.Stack + want.size())), Hex(want)) << what;
          // A copied extended value carries zero padding.
          if (p == vtExtended && v == vtExtended && !tree) {
            EXPECT_EQ(Received.Stack[10] | Received.Stack[11], 0) << what;
          }
        }
      }
    }
    // Constants of every width, converted while compiling.
    for (long double c : {0.5L, -0.1L, 1e300L, 3.0L}) {
      f.Begin();
      ASSERT_TRUE(f.CompileCoded(f.Call("g", {f.Num(c)})));
      std::memset(&Received, 0xEE, sizeof Received);
      EXPECT_EQ(f.Evaluate(), 0);
      Bytes want = Stored(param, c);
      if (p == vtSingle && c == 1e300L) want = {0x00, 0x00, 0x80, 0x7F};
      EXPECT_EQ(Hex(Bytes(Received.Stack, Received.Stack + want.size())), Hex(want))
          << static_cast<double>(c) << " to v" << FloatCode[p - vtSingle];
    }
  }
}

// Products of 2^(u-1) variables need u registers.
std::string Product(TCallFennic& f, int usage, int& next) {
  if (usage <= 1) {
    const std::string t = f.Var("v" + std::to_string(next % 8)) + "*" + f.Var("v" + std::to_string((next + 1) % 8));
    next += 2;
    return "(" + t + ")";
  }
  const std::string l = Product(f, usage - 1, next);
  return "(" + l + "*" + Product(f, usage - 1, next) + ")";
}

long double ProductValue(const long double* v, int usage, int& next) {
  if (usage <= 1) {
    const long double t = v[next % 8] * v[(next + 1) % 8];
    next += 2;
    return t;
  }
  const long double l = ProductValue(v, usage - 1, next);
  return l * ProductValue(v, usage - 1, next);
}

// x87 arguments computed in the order of their needs (the costliest first,
// isolated ones last) arrive with the first parameter deepest and the last
// in ST0, also with values of the expression waiting below them.
TEST(FloatArguments, X87ArgumentsInParameterOrder) {
  double dv[8];
  long double v[8];
  TCallFennic f;
  for (int i = 0; i < 8; ++i) {
    dv[i] = 1 + i / 8.0;
    v[i] = dv[i];
    f.RegisterVarExt("v" + std::to_string(i), vtDouble, &dv[i]);
  }

  const std::vector<std::vector<int>> usages = {
      {1, 2, 3}, {1, 3, 2}, {2, 1, 3}, {2, 3, 1}, {3, 1, 2}, {3, 2, 1}, {1, 1, 2, 2}, {2, 3, 1, 3},
      // Eight arguments: the last ones do not fit above the others and are
      // computed on a level of their own.
      {3, 3, 3, 3, 3, 3, 3, 3}, {1, 2, 3, 4, 1, 2, 3, 4},
  };
  for (const auto& u : usages) {
    const int n = static_cast<int>(u.size());
    std::string params;
    for (int i = 0; i < n; ++i) params += "vf80";
    for (bool below : {false, true}) {
      f.ClearFuncs();
      ASSERT_NE(f.RegisterFuncExt("g", params, ctBuilt_in, frExtended, 8 - n, nullptr, false, Recorder(0, n)), 0);
      f.Begin();
      std::vector<std::string> args;
      std::vector<long double> want;
      int next = 0, nextValue = 0;
      for (int i = 0; i < n; ++i) {
        args.push_back(Product(f, u[i], next));
        want.push_back(ProductValue(v, u[i], nextValue));
      }
      std::string call = MarkerWithCode(FuncMarker, f.FuncCode("g")) + "(";
      for (int i = 0; i < n; ++i) call += (i ? "," : "") + args[i];
      call += ")";
      // With `below`, a product that needs as many registers as the call is
      // computed first and waits on the x87 stack during the call.
      const std::string text = below ? Product(f, 4, next) + "+" + call : call;
      ASSERT_TRUE(f.CompileCoded(text));
      std::memset(&Received, 0, sizeof Received);
      f.Evaluate();
      std::string shape;
      for (int x : u) shape += std::to_string(x) + " ";
      for (int i = 0; i < n; ++i)
        EXPECT_EQ(Received.X87[i], want[n - 1 - i]) << "usages " << shape << "below " << below << ": ST" << i;
    }
  }
}

// Inline code that pushes `needs` values and pops them again: with fewer
// free registers than it was promised, the pushes overwrite what lies below.
Bytes UseRegisters(int needs, const Bytes& body) {
  Bytes code;
  for (int i = 0; i < needs; ++i) code = code + Bytes{0xD9, 0xEE};  // FLDZ
  for (int i = 0; i < needs; ++i) code = code + Bytes{0xDD, 0xD8};  // FSTP ST0
  return code + body;
}

TEST(FloatArguments, FunctionsGetTheRegistersTheyNeed) {
  double v[8] = {1.5, 2.25, -3, 4.5, 5, 0.25, 7, 8.5};
  for (int needs = 0; needs <= 8; ++needs) {
    for (int args = 0; args <= 2 && args + needs <= 8; ++args) {
      TCallFennic f;
      for (int i = 0; i < 8; ++i) f.RegisterVarExt("v" + std::to_string(i), vtDouble, &v[i]);
      // args x87 arguments added up (or a 1 loaded, or the one kept by an
      // FNOP), after using `needs` registers.
      Bytes body = args == 0 ? Bytes{0xD9, 0xE8} : args == 1 ? Bytes{0xD9, 0xD0} : Bytes{0xDE, 0xC1};
      std::string params;
      for (int i = 0; i < args; ++i) params += "vf80";
      ASSERT_NE(f.RegisterFuncExt("g", params, ctBuilt_in, frExtended, needs, nullptr, false, UseRegisters(needs, body)),
                0);
      // The call is the right operand of a product whose left operand needs
      // `left` registers: compiled first when it needs more than the call,
      // and then waiting on the x87 stack while g runs.
      for (int left = 1; left <= 4; ++left) {
        f.Begin();
        std::string call = MarkerWithCode(FuncMarker, f.FuncCode("g"));
        long double callValue = 1;
        if (args > 0) {
          call += "(" + f.Var("v0") + "*" + f.Var("v1");
          callValue = static_cast<long double>(v[0]) * v[1];
          if (args == 2) {
            call += "," + f.Var("v2");
            callValue += v[2];
          }
          call += ")";
        }
        int next = 0, nextValue = 0;
        long double vals[8];
        for (int i = 0; i < 8; ++i) vals[i] = v[i];
        const std::string text = Product(f, left, next) + "*(" + f.Var("v3") + "-" + call + ")";
        const long double a = ProductValue(vals, left, nextValue);
        ASSERT_TRUE(f.CompileCoded(text));
        EXPECT_EQ(f.Evaluate(), a * (v[3] - callValue))
            << "needs " << needs << ", x87 arguments " << args << ", left operand needs " << left;
      }
    }
  }
}

}  // namespace
}  // namespace fennic::testing
