// The host's x87 state across the library's entry points: a flag the host
// left raised whose exception it unmasks must not trap inside the library
// (on a processor it would at the first waiting instruction), and comes
// back, with the control word, so that a trap comes where it would have
// come without the call. Under the emulator nothing traps: the state is read.
#include <gtest/gtest.h>

#include <cmath>
#include <exception>
#include <functional>
#include <utility>

#include "fennic/codegen/fennic.h"
#include "fennic/simplifier/simpler.h"
#include "fennic/core/x87guard.h"
#include "support/simplifier_probe.h"
#include "support/x87_state.h"

namespace fennic::testing {
namespace {

constexpr std::uint16_t ErrorSummary = 0x80;

bool IsFloatingPointFault(const std::exception_ptr& Thrown) {
  try {
    std::rethrow_exception(Thrown);
  } catch (const EFloatingPointFault&) {
    return true;
  } catch (...) {
  }
  return false;
}

// Reads the flags while the compilation emits code, where the library's own
// x87 instructions run: an unmasked one raised would trap there.
class TProbe : public TFennic {
 public:
  std::uint16_t Pending = 0;

 protected:
  void AddComm(const std::uint8_t* Bytes, std::int32_t Count) override {
    Pending |= X87StatusWord() & ~X87ControlWord() & X87AllExceptions;
    TFennic::AddComm(Bytes, Count);
  }
};

TEST(HostX87State, CompileFromAPendingFlagRunsAndHandsTheStateBack) {
  struct TCase {
    const char* Text;
    std::uint16_t ControlWord, Pending;  // the host's state on entry
    bool Auto;                           // through SetExprString, else Compile
    TError Error;
    bool Throws;                         // EFloatingPointFault left Compile
    std::uint16_t After;                 // flags on return: the host's and the masked ones folding raised
    long double Value;
  };
  const TCase cases[] = {
      // The tutorial's sequence before its fix: invalid unmasked with its flag raised.
      {"sqrt(-1) + x", Unmasked(X87Invalid), X87Invalid, true, eDomain, false, X87Invalid, 3},
      {"1/3 + x", Unmasked(X87Invalid), X87Invalid, false, eNone, false, X87Invalid | X87Precision, 1 / 3.0L + 3},
      {"1e4932+1e4932+x", Unmasked(X87Invalid | X87Overflow), X87Invalid, true, eAborted, true,
       X87Invalid | X87Precision, 0},
      {"2*x", DefaultControlWord, X87ZeroDivide, false, eNone, false, X87ZeroDivide, 6},
      {"1/3 + x", DefaultControlWord, 0, true, eNone, false, X87Precision, 1 / 3.0L + 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    double x = 3;
    TProbe f;
    f.RegisterVarExt("x", vtDouble, &x);
    f.RegisterFuncExt("sqrt", "vf80", ctBuilt_in, frExtended, 0, nullptr, true, {0xD9, 0xFA});
    f.SetAutoCompile(c.Auto);
    const std::string text = c.Text;
    std::exception_ptr thrown;
    const TX87State after = CallFromX87State(
        c.ControlWord, c.Pending,
        [&] {
          f.SetExprString(text);
          if (!c.Auto) f.Compile();
        },
        &thrown);
    EXPECT_EQ(thrown != nullptr, c.Throws);
    EXPECT_EQ(thrown && IsFloatingPointFault(thrown), c.Throws);
    EXPECT_EQ(after.ControlWord, c.ControlWord);
    EXPECT_EQ(after.StatusWord & X87AllExceptions, c.After);
    EXPECT_EQ(after.StatusWord & ErrorSummary, (c.After & ~c.ControlWord & X87AllExceptions) ? ErrorSummary : 0)
        << "a trap comes at the host's next waiting instruction";
    EXPECT_EQ(after.TagWord, 0xFFFF);
    EXPECT_EQ(f.Pending, 0) << "a processor traps inside Compile";
    EXPECT_EQ(f.CompError(), c.Error);
    if (c.Error == eNone || c.Error == eDomain) {
      EXPECT_EQ(f.Evaluate(), c.Value);
    }
  }
}

TEST(HostX87State, RegistrationAndStreamingHandTheStateBack) {
  TFennic f(nullptr);
  double v = 1;
  long double w = 2;
  void* aligned = nullptr;
  const std::string text = WriteComponent(f);
  // Every argument is made here, so that the calls do nothing but call.
  const std::string vName = "v", sqName = "sq", sqParams = "vf80";
  const TVariable wVar{"w", vtExtended, &w};
  const TAByte sqCode{0xD8, 0xC8};
  TFunction g;
  g.Name = "g";
  std::string written;  // empty: the text moves in, nothing is freed
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"RegisterVarExt", [&] { f.RegisterVarExt(vName, vtDouble, &v); }},
      {"RegisterVarA", [&] { f.RegisterVarA(wVar, aligned); }},
      {"RegisterFuncExt", [&] { f.RegisterFuncExt(sqName, sqParams, ctBuilt_in, frExtended, 0, nullptr, true, sqCode); }},
      {"RegisterFunc", [&] { f.RegisterFunc(g); }},
      {"WriteComponent", [&] { written = WriteComponent(f); }},
      {"ReadComponent", [&] { ReadComponent(f, text); }},
  };
  for (const auto& [name, call] : calls) {
    const TX87State after = CallFromX87State(Unmasked(X87Invalid), X87Invalid, call);
    EXPECT_EQ(after.ControlWord, Unmasked(X87Invalid)) << name;
    EXPECT_EQ(after.StatusWord & (X87AllExceptions | ErrorSummary), X87Invalid | ErrorSummary) << name;
  }
}

}  // namespace
}  // namespace fennic::testing
