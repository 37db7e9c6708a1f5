// Host component framework: owner-managed components, published properties,
// text streaming of those properties and palette registration of classes.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fennic/core/export.h"

namespace fennic {

class TComponent;

// One published property whose value is an ordinal: an enumeration (value
// names by ordinal) or a boolean (False, True).
struct TPropertyInfo {
  std::string Name;
  std::vector<std::string> ValueNames;   // index = ordinal
  std::uint8_t Default = 0;
  bool Stored = true;                    // false: published read-only, never streamed
  std::function<std::uint8_t(const TComponent&)> Get;
  std::function<void(TComponent&, std::uint8_t)> Set;   // receives the raw byte
};

using TPropertyList = std::vector<TPropertyInfo>;

// Helpers for declaring properties of a concrete class.
template <class C, class Getter, class Setter>
TPropertyInfo EnumProperty(std::string name, std::vector<std::string> values,
                           std::uint8_t def, Getter get, Setter set) {
  TPropertyInfo p;
  p.Name = std::move(name);
  p.ValueNames = std::move(values);
  p.Default = def;
  p.Get = [get](const TComponent& c) {
    return static_cast<std::uint8_t>((static_cast<const C&>(c).*get)());
  };
  p.Set = [set](TComponent& c, std::uint8_t v) { (static_cast<C&>(c).*set)(v); };
  return p;
}

template <class C, class Getter, class Setter>
TPropertyInfo BoolProperty(std::string name, bool def, Getter get, Setter set) {
  return EnumProperty<C>(std::move(name), {"False", "True"}, def ? 1 : 0, get, set);
}

class FENNIC_API TComponent {
 public:
  explicit TComponent(TComponent* AOwner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  // An empty name or an identifier; anything else throws std::invalid_argument.
  void SetName(const std::string& name);
  static bool IsValidName(const std::string& name);
  virtual std::string ClassName() const { return "TComponent"; }

  // Components owned by this one, in order of creation; destroyed with it.
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const { return FComponents.at(index); }

  // Published properties of the most derived class, base classes first.
  TPropertyList Properties() const;

 protected:
  virtual void DeclareProperties(TPropertyList& list) const;

 private:
  TComponent* FOwner;
  std::string FName;
  std::vector<TComponent*> FComponents;
};

// Streaming. The text form is
//   object Name: Class
//     Property = Value
//   end
// with one line per stored property whose value differs from its default.
class FENNIC_API EStreamError : public std::runtime_error {
 public:
  EStreamError(int line, const std::string& what);
  int Line() const { return FLine; }

 private:
  int FLine;
};

FENNIC_API std::string WriteComponent(const TComponent& component);
// Sets every stored property: those named in the text to their value, the
// others to their default. Malformed text throws EStreamError and changes nothing.
FENNIC_API void ReadComponent(TComponent& component, std::string_view text);

// Design-time registration of component classes on palette pages.
struct TComponentClass {
  std::string ClassName;
  std::function<TComponent*(TComponent* owner)> Create;
};

FENNIC_API void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes);
FENNIC_API std::vector<std::string> RegisteredPages();
FENNIC_API std::vector<TComponentClass> RegisteredClasses(const std::string& page);

}  // namespace fennic
