#include "fennic/framework/component.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace fennic {

bool TComponent::IsValidName(const std::string& s) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (s.empty()) return true;
  if (!letter(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(),
                     [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Owned components go first, the newest first.
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    FComponents.pop_back();
    child->FOwner = nullptr;
    delete child;
  }
  if (FOwner) {
    auto& siblings = FOwner->FComponents;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

void TComponent::SetName(const std::string& name) {
  if (!IsValidName(name))
    throw std::invalid_argument("component name is not an identifier: " + name);
  FName = name;
}

TPropertyList TComponent::Properties() const {
  TPropertyList list;
  DeclareProperties(list);
  return list;
}

void TComponent::DeclareProperties(TPropertyList&) const {}

// ---------------------------------------------------------------- registration

namespace {

struct Palette {
  std::mutex lock;
  std::vector<std::pair<std::string, std::vector<TComponentClass>>> pages;
};

Palette& ThePalette() {
  static Palette palette;
  return palette;
}

}  // namespace

void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes) {
  Palette& p = ThePalette();
  std::lock_guard guard(p.lock);
  auto it = std::find_if(p.pages.begin(), p.pages.end(),
                         [&](const auto& entry) { return entry.first == page; });
  if (it == p.pages.end()) {
    p.pages.emplace_back(page, std::vector<TComponentClass>{});
    it = std::prev(p.pages.end());
  }
  for (const TComponentClass& c : classes) {
    auto same = [&](const TComponentClass& known) { return known.ClassName == c.ClassName; };
    if (std::none_of(it->second.begin(), it->second.end(), same)) it->second.push_back(c);
  }
}

std::vector<std::string> RegisteredPages() {
  Palette& p = ThePalette();
  std::lock_guard guard(p.lock);
  std::vector<std::string> names;
  for (const auto& entry : p.pages) names.push_back(entry.first);
  return names;
}

std::vector<TComponentClass> RegisteredClasses(const std::string& page) {
  Palette& p = ThePalette();
  std::lock_guard guard(p.lock);
  for (const auto& entry : p.pages)
    if (entry.first == page) return entry.second;
  return {};
}

}  // namespace fennic
