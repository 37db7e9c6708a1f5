#include "fennic/core/profile.h"

#include <cpuid.h>

#include <cstring>

namespace fennic {

TAutoConfigure DetectProcessor() {
  static const TAutoConfigure Detected = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return acP5;  // no CPUID at all
    char vendor[13] = {};
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    const unsigned family = (eax >> 8) & 0xF;
    if (std::strcmp(vendor, "AuthenticAMD") == 0 || std::strcmp(vendor, "HygonGenuine") == 0) return acAMD;
    if (family == 5) return acP5;
    if (family == 15) return acPIV;
    return acP6;  // the P6 line and every Intel core since
  }();
  return Detected;
}

TCodeShape CodeShape(TAutoConfigure Profile) {
  if (Profile == acAuto) Profile = DetectProcessor();
  TCodeShape shape;
  // From the P6 on, FLD TBYTE is microcoded; a double load and an add are not.
  shape.SplitConstants = Profile == acP6 || Profile == acPIV || Profile == acAMD;
  return shape;
}

}  // namespace fennic
