// Host variables of several types, read where the host keeps them at every
// evaluation, and one variable given aligned storage by RegisterVarA.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fennic/fennic.h>

using namespace fennic;

int main() {
  TFennic f(nullptr);

  //! [types]
  std::int8_t level = -3;           // vtInt8
  std::uint16_t count = 60000;      // vtUInt16
  std::int32_t offset = -100000;    // vtInt32
  std::int64_t ticks = 5000000000;  // vtInt64
  float gain = 0.25f;               // vtSingle
  double rate = 1.5;                // vtDouble
  long double scale = 0.1L;         // vtExtended (the x87's own 80-bit format)

  f.RegisterVarExt("level", vtInt8, &level);
  f.RegisterVarExt("count", vtUInt16, &count);
  f.RegisterVarExt("offset", vtInt32, &offset);
  f.RegisterVarExt("ticks", vtInt64, &ticks);
  f.RegisterVarExt("gain", vtSingle, &gain);
  f.RegisterVarExt("rate", vtDouble, &rate);
  f.RegisterVarExt("Scale", vtExtended, &scale);  // names are case-insensitive

  f.SetExprString("level + count + offset + ticks/1000 + gain*rate + SCALE");
  std::printf("CompError %d: %.19Lg\n", static_cast<int>(f.CompError()), f.Evaluate());

  count = 1;  // the next evaluation reads the new value
  std::printf("after count = 1: %.19Lg\n", f.Evaluate());
  //! [types]

  //! [refused]
  // Registration answers with a code (its position, from 1) or 0 if refused:
  // a name already taken (by a variable or a function), the reserved name
  // "fennicid", a name that is no identifier (the empty name too), a type
  // out of range or a null address.
  std::printf("rate again: %d, FENNICID: %d, empty: %d, new name: %d\n",
              f.RegisterVarExt("RATE", vtDouble, &rate),
              f.RegisterVarExt("FENNICID", vtInt32, &offset),
              f.RegisterVarExt("", vtDouble, &rate),
              f.RegisterVarExt("rate2", vtDouble, &rate));
  //! [refused]

  //! [aligned]
  // An extended value inside a packed record sits at an odd address. The
  // routine reads it fastest from an address aligned to 16 bytes:
  // RegisterVarA copies the value to aligned storage that the component owns
  // and tells where it is now. From then on the host reads and writes the
  // variable there, not at its old address.
  struct [[gnu::packed]] Record {
    char tag;
    long double weight;
  } record{'w', 2.5L};

  void* where = nullptr;
  int code = f.RegisterVarA(TVariable{"weight", vtExtended, &record.weight}, where);
  auto* weight = static_cast<long double*>(where);
  std::printf("weight: code %d, moved: %s, aligned to 16: %s, value %.3Lg\n", code,
              where != static_cast<void*>(&record.weight) ? "yes" : "no",
              reinterpret_cast<std::uintptr_t>(where) % 16 == 0 ? "yes" : "no", *weight);

  f.SetExprString("weight*4");
  std::printf("weight*4 = %.3Lg\n", f.Evaluate());
  *weight = 10;  // write through the new address
  std::printf("weight*4 = %.3Lg\n", f.Evaluate());

  // A variable that is already aligned stays where it is.
  double aligned_already alignas(8) = 1;
  f.RegisterVarA(TVariable{"one", vtDouble, &aligned_already}, where);
  std::printf("one moved: %s\n", where != static_cast<void*>(&aligned_already) ? "yes" : "no");
  //! [aligned]
  return 0;
}
