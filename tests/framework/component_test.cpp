#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fennic/framework/component.h"

namespace fennic {
namespace {

// Records its destruction so ownership can be observed.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::vector<std::string>& log, std::string tag)
      : TComponent(owner), FLog(log), FTag(std::move(tag)) {}
  ~Probe() override { FLog.push_back(FTag); }

 private:
  std::vector<std::string>& FLog;
  std::string FTag;
};

TEST(Component, OwnerDestroysWhatItOwnsNewestFirst) {
  std::vector<std::string> log;
  auto* root = new Probe(nullptr, log, "root");
  auto* a = new Probe(root, log, "a");
  new Probe(root, log, "b");
  new Probe(a, log, "a.child");
  EXPECT_EQ(root->ComponentCount(), 2);
  EXPECT_EQ(a->Owner(), root);
  delete root;
  EXPECT_EQ(log, (std::vector<std::string>{"root", "b", "a", "a.child"}));
}

TEST(Component, DestroyingAnOwnedComponentDetachesItFromItsOwner) {
  std::vector<std::string> log;
  Probe root(nullptr, log, "root");
  auto* a = new Probe(&root, log, "a");
  new Probe(&root, log, "b");
  delete a;
  ASSERT_EQ(root.ComponentCount(), 1);
  EXPECT_EQ(log, std::vector<std::string>{"a"});
}

TEST(Component, NamesAreEmptyOrIdentifiers) {
  TComponent c(nullptr);
  c.SetName("Fennic1");
  EXPECT_EQ(c.Name(), "Fennic1");
  c.SetName("");
  EXPECT_EQ(c.Name(), "");
  for (const char* bad : {"1abc", "a b", "a-b"}) EXPECT_THROW(c.SetName(bad), std::invalid_argument) << bad;
}

TEST(Palette, RegistersClassesByPageWithoutDuplicates) {
  auto make = [](TComponent* owner) { return new TComponent(owner); };
  RegisterComponents("TESTPAGE", {{"TOne", make}, {"TTwo", make}});
  RegisterComponents("TESTPAGE", {{"TOne", make}});
  auto classes = RegisteredClasses("TESTPAGE");
  ASSERT_EQ(classes.size(), 2u);
  EXPECT_EQ(classes[0].ClassName, "TOne");
  EXPECT_EQ(classes[1].ClassName, "TTwo");
  auto pages = RegisteredPages();
  EXPECT_NE(std::find(pages.begin(), pages.end(), "TESTPAGE"), pages.end());
  EXPECT_TRUE(RegisteredClasses("NO SUCH PAGE").empty());
  TComponent* made = classes[1].Create(nullptr);
  EXPECT_EQ(made->Owner(), nullptr);
  delete made;
}

}  // namespace
}  // namespace fennic
