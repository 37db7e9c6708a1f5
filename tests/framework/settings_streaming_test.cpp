#include <gtest/gtest.h>

#include <fennic/fennic.h>

namespace fennic {
namespace {

TEST(Settings, DefaultsOfANewComponent) {
  TFennic f(nullptr);
  EXPECT_EQ(f.TrigMode(), tmNothing);
  EXPECT_TRUE(f.ParallelExecution());
  EXPECT_EQ(f.EliminateBrackets(), ebSoft);
  EXPECT_EQ(f.OutOfOrder(), ooSoft);
  EXPECT_TRUE(f.AlignMode());
  EXPECT_TRUE(f.BackOperation());
  EXPECT_TRUE(f.SmartLoad());
  EXPECT_EQ(f.AutoConfigure(), acDefault);
  EXPECT_EQ(f.ComputeOnce(), coProfile);
  EXPECT_EQ(f.Grammar(), grStandart);
  EXPECT_TRUE(f.AutoCompile());
  EXPECT_EQ(f.CompError(), eValExpected);
}

// Each setting: a valid change is taken, an out-of-range byte is ignored.
TEST(Settings, SettersValidateTheRawByte) {
  struct Case {
    const char* property;
    std::uint8_t valid;
    std::uint8_t invalid;
  } cases[] = {{"TrigMode", tmDelphi, 3},       {"ParallelExecution", 0, 2},
               {"EliminateBrackets", ebStandart, 3}, {"OutOfOrder", ooAgressive, 3},
               {"AlignMode", 0, 2},             {"BackOperation", 0, 255},
               {"SmartLoad", 0, 2},             {"AutoCompile", 0, 2},
               {"AutoConfigure", acAMD, 6},     {"ComputeOnce", coOn, 3},
               {"Grammar", grExtended, 2}};
  for (const auto& c : cases) {
    TFennic f(nullptr);
    TPropertyList props = f.Properties();
    auto p = std::find_if(props.begin(), props.end(),
                          [&](const TPropertyInfo& i) { return i.Name == c.property; });
    ASSERT_NE(p, props.end()) << c.property;
    EXPECT_EQ(p->Get(f), p->Default) << c.property;
    p->Set(f, c.valid);
    EXPECT_EQ(p->Get(f), c.valid) << c.property;
    p->Set(f, c.invalid);
    EXPECT_EQ(p->Get(f), c.valid) << c.property;
  }
}

TEST(Streaming, DefaultsWriteNoProperty) {
  TFennic f(nullptr);
  f.SetName("Fennic1");
  EXPECT_EQ(WriteComponent(f), "object Fennic1: TFennic\nend\n");
}

TEST(Streaming, EveryNonDefaultValueRoundTrips) {
  struct Case {
    void (*change)(TFennic&);
    const char* line;
  } cases[] = {
      {[](TFennic& f) { f.SetTrigMode(tmSafe); }, "  TrigMode = tmSafe\n"},
      {[](TFennic& f) { f.SetTrigMode(tmDelphi); }, "  TrigMode = tmDelphi\n"},
      {[](TFennic& f) { f.SetParallelExecution(false); }, "  ParallelExecution = False\n"},
      {[](TFennic& f) { f.SetEliminateBrackets(ebStandart); }, "  EliminateBrackets = ebStandart\n"},
      {[](TFennic& f) { f.SetEliminateBrackets(ebAgressive); }, "  EliminateBrackets = ebAgressive\n"},
      {[](TFennic& f) { f.SetOutOfOrder(ooStandart); }, "  OutOfOrder = ooStandart\n"},
      {[](TFennic& f) { f.SetOutOfOrder(ooAgressive); }, "  OutOfOrder = ooAgressive\n"},
      {[](TFennic& f) { f.SetAlignMode(false); }, "  AlignMode = False\n"},
      {[](TFennic& f) { f.SetBackOperation(false); }, "  BackOperation = False\n"},
      {[](TFennic& f) { f.SetSmartLoad(false); }, "  SmartLoad = False\n"},
      {[](TFennic& f) { f.SetAutoCompile(false); }, "  AutoCompile = False\n"},
      {[](TFennic& f) { f.SetAutoConfigure(acAuto); }, "  AutoConfigure = acAuto\n"},
      {[](TFennic& f) { f.SetAutoConfigure(acPIV); }, "  AutoConfigure = acPIV\n"},
      {[](TFennic& f) { f.SetComputeOnce(coOff); }, "  ComputeOnce = coOff\n"},
      {[](TFennic& f) { f.SetComputeOnce(coOn); }, "  ComputeOnce = coOn\n"},
      {[](TFennic& f) { f.SetGrammar(grExtended); }, "  Grammar = grExtended\n"},
  };
  for (const auto& c : cases) {
    TFennic f(nullptr);
    f.SetName("F");
    c.change(f);
    std::string text = WriteComponent(f);
    EXPECT_EQ(text, std::string("object F: TFennic\n") + c.line + "end\n");
    TFennic g(nullptr);
    ReadComponent(g, text);
    EXPECT_EQ(WriteComponent(g), text);
    EXPECT_EQ(g.Name(), "F");
  }
}

TEST(Streaming, ReadingSetsUnnamedPropertiesToTheirDefaults) {
  TFennic f(nullptr);
  f.SetSmartLoad(false);
  f.SetOutOfOrder(ooStandart);
  ReadComponent(f, "object F: TFennic\n  smartload = false\nend\n");
  EXPECT_FALSE(f.SmartLoad());
  EXPECT_EQ(f.OutOfOrder(), ooSoft);
}

TEST(Streaming, MalformedTextIsRejectedWithoutChange) {
  struct Case {
    const char* text;
    int line;
  } cases[] = {
      {"", 1},
      {"object F: TFennic\n", 2},
      {"object F: TOther\nend\n", 1},
      {"thing F: TFennic\nend\n", 1},
      {"object F: TFennic\n  NoSuch = True\nend\n", 2},
      {"object F: TFennic\n  AlignMode = Maybe\nend\n", 2},
      {"object F: TFennic\n  OutOfOrder = 1\nend\n", 2},
      {"object F: TFennic\n  SmartLoad False\nend\n", 2},
      {"object F: TFennic\n  CompError = eNone\nend\n", 2},
      {"object F: TFennic\nend\nobject G: TFennic\n", 3},
      {"object 9F: TFennic\nend\n", 1},
  };
  for (const auto& c : cases) {
    TFennic f(nullptr);
    f.SetName("Keep");
    f.SetEliminateBrackets(ebStandart);
    const std::string before = WriteComponent(f);
    try {
      ReadComponent(f, std::string("\n") + c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Line(), c.line + 1) << c.text << ": " << e.what();
    }
    EXPECT_EQ(WriteComponent(f), before) << c.text;
  }
}

TEST(Palette, FennicRegistersOnItsPage) {
  Register();
  auto classes = RegisteredClasses("VELTA");
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0].ClassName, "TFennic");
  TComponent owner(nullptr);
  TComponent* made = classes[0].Create(&owner);
  EXPECT_EQ(made->ClassName(), "TFennic");
  EXPECT_EQ(owner.ComponentCount(), 1);  // freed by its owner
}

}  // namespace
}  // namespace fennic
