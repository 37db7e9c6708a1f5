#include <algorithm>
#include <cctype>
#include <sstream>

#include "fennic/framework/component.h"
#include "fennic/core/x87guard.h"

namespace fennic {

EStreamError::EStreamError(int line, const std::string& what)
    : std::runtime_error("line " + std::to_string(line) + ": " + what), FLine(line) {}

namespace {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string WriteComponent(const TComponent& component) {
  TX87Entry x87;
  std::ostringstream out;
  out << "object ";
  if (!component.Name().empty()) out << component.Name() << ": ";
  out << component.ClassName() << "\n";
  for (const TPropertyInfo& p : component.Properties()) {
    if (!p.Stored) continue;
    std::uint8_t v = p.Get(component);
    if (v == p.Default) continue;
    out << "  " << p.Name << " = "
        << (v < p.ValueNames.size() ? p.ValueNames[v] : std::to_string(v)) << "\n";
  }
  out << "end\n";
  return out.str();
}

void ReadComponent(TComponent& component, std::string_view text) {
  TX87Entry x87;
  const TPropertyList props = component.Properties();
  std::vector<std::uint8_t> values(props.size());
  for (size_t i = 0; i < props.size(); ++i) values[i] = props[i].Default;

  std::string name;
  bool header = false, ended = false;
  int lineNo = 0, headerLine = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    std::string line = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    ++lineNo;
    if (line.empty()) continue;
    if (ended) throw EStreamError(lineNo, "text after 'end'");
    if (!header) {
      if (line.rfind("object ", 0) != 0) throw EStreamError(lineNo, "expected 'object Name: Class'");
      std::string rest = Trim(std::string_view(line).substr(7));
      std::string cls = rest;
      size_t colon = rest.find(':');
      if (colon != std::string::npos) {
        name = Trim(std::string_view(rest).substr(0, colon));
        cls = Trim(std::string_view(rest).substr(colon + 1));
      }
      if (cls != component.ClassName())
        throw EStreamError(lineNo, "class " + cls + " is not " + component.ClassName());
      header = true;
      headerLine = lineNo;
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) throw EStreamError(lineNo, "expected 'Property = Value'");
    std::string prop = Trim(std::string_view(line).substr(0, eq));
    std::string value = Trim(std::string_view(line).substr(eq + 1));
    auto p = std::find_if(props.begin(), props.end(),
                          [&](const TPropertyInfo& info) { return SameText(info.Name, prop); });
    if (p == props.end()) throw EStreamError(lineNo, "unknown property " + prop);
    if (!p->Stored) throw EStreamError(lineNo, "property " + prop + " is read-only");
    auto v = std::find_if(p->ValueNames.begin(), p->ValueNames.end(),
                          [&](const std::string& n) { return SameText(n, value); });
    if (v == p->ValueNames.end())
      throw EStreamError(lineNo, "invalid value " + value + " for " + p->Name);
    values[p - props.begin()] = static_cast<std::uint8_t>(v - p->ValueNames.begin());
  }
  if (!header) throw EStreamError(lineNo, "empty text");
  if (!ended) throw EStreamError(lineNo, "missing 'end'");
  if (!TComponent::IsValidName(name)) throw EStreamError(headerLine, "invalid component name " + name);

  component.SetName(name);
  for (size_t i = 0; i < props.size(); ++i)
    if (props[i].Stored) props[i].Set(component, values[i]);
}

}  // namespace fennic
