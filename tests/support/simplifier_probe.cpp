#include "simplifier_probe.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>

#include "fennic/core/codedtext.h"

namespace fennic {
void PrintTo(TError Error, std::ostream* Out) {
  if (Error < ErrorCount) *Out << ErrorName(Error);
  else *Out << "TError(" << static_cast<int>(Error) << ")";
}
}  // namespace fennic

namespace fennic::testing {

std::vector<TSimplerProbe::TEntry> TSimplerProbe::Table() const {
  std::vector<TEntry> out;
  std::size_t offset = 0;
  for (std::uint8_t w : FConstSizes) {
    long double v = 0;
    if (w == 4) {
      float s;
      std::memcpy(&s, FConstData.data() + offset, 4);
      v = s;
    } else if (w == 8) {
      double d;
      std::memcpy(&d, FConstData.data() + offset, 8);
      v = d;
    } else {
      std::memcpy(&v, FConstData.data() + offset, 10);
    }
    out.push_back({v, w});
    offset += w;
  }
  return out;
}

std::vector<long double> TSimplerProbe::Values() const {
  std::vector<long double> out;
  for (const TEntry& e : Table()) out.push_back(e.Value);
  return out;
}

std::vector<int> TSimplerProbe::Widths() const {
  std::vector<int> out;
  for (const TEntry& e : Table()) out.push_back(e.Width);
  return out;
}

std::string TSimplerProbe::Render(std::string_view Coded) const {
  std::string out;
  for (std::size_t i = 0; i < Coded.size();) {
    const std::size_t n = ElementLength(Coded, i);
    const char c = Coded[i];
    if (c == ConstMarker && n == 1) {
      out += 'K';
    } else if (c == ConstMarker && n == 10) {
      std::int64_t v;
      std::memcpy(&v, Coded.data() + i + 2, 8);
      out += "#" + std::to_string(static_cast<int>(Coded[i + 1])) + ":" + std::to_string(v);
    } else if ((c == VarMarker || c == FuncMarker) && n == 5) {
      const std::int32_t code = ReadInt32(Coded, i + 1);
      if (c == VarMarker) {
        TVariable var;
        if (code == ReservedVarCode) out += "FENNICID";
        else if (GetVar(var, code)) {
          for (char ch : var.Name) out += static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
        } else out += "<v:" + std::to_string(code) + ">";
      } else {
        TFunction fn;
        out += GetFunc(fn, code) ? "@" + fn.Name : "<f:" + std::to_string(code) + ">";
      }
    } else {
      out.append(Coded.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string TSimplerProbe::Simplified(std::string_view Text) {
  std::string s(Text);
  Simplify(s);
  return Render(s);
}

void RunWithStack(std::size_t StackBytes, const std::function<void()>& Work) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, StackBytes);
  pthread_t thread;
  auto run = [](void* work) -> void* {
    (*static_cast<const std::function<void()>*>(work))();
    return nullptr;
  };
  if (pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&Work)) == 0) pthread_join(thread, nullptr);
  else ADD_FAILURE() << "no thread with a stack of " << StackBytes << " bytes";
  pthread_attr_destroy(&attr);
}

TScopedControlWord::TScopedControlWord(std::uint16_t ControlWord) {
  asm volatile("fnstcw %0" : "=m"(FSaved));
  asm volatile("fnclex\n\tfldcw %0" : : "m"(ControlWord));
}

TScopedControlWord::~TScopedControlWord() { asm volatile("fnclex\n\tfldcw %0" : : "m"(FSaved)); }

}  // namespace fennic::testing
