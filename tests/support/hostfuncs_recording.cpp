#include "hostfuncs_recording.h"

#include <cstring>

namespace fennic::testing {

THostRecord HostRecord;
TInlineRecord InlineRecord;

void ResetHostRecord(long double Result) {
  HostRecord = THostRecord{};
  HostRecord.Result = Result;
}

void ResetInlineRecord(long double Result) {
  std::memset(&InlineRecord, 0, sizeof InlineRecord);
  InlineRecord.Result = Result;
}

namespace {

// Instrumented code (AddressSanitizer's frame layout) expects the 16-byte
// aligned stack a C caller leaves; the generated routine keeps no such
// alignment. So the recorders, which read their stack arguments through
// their own frame, stay uninstrumented and hand what they saw to this
// function, which realigns the stack for itself and what it calls.
__attribute__((noinline, force_align_arg_pointer)) void EnterWith(const long double* Values, int Count,
                                                                  const void* Stack, int StackBytes) {
  std::uint8_t env[28];
  asm volatile("fnstenv %0\n\tfldcw %0" : "=m"(env) : : "memory");  // fnstenv masks: reload the control word
  std::uint16_t cw, tags;
  std::memcpy(&cw, env, 2);
  std::memcpy(&tags, env + 8, 2);
  int inUse = 0;
  for (int i = 0; i < 8; ++i)
    if (((tags >> (2 * i)) & 3) != 3) ++inUse;
  ++HostRecord.Calls;
  HostRecord.Values.assign(Values, Values + Count);
  HostRecord.ControlWord = cw;
  HostRecord.X87InUse = inUse;
  const auto* bytes = static_cast<const std::uint8_t*>(Stack);
  HostRecord.Stack.assign(bytes, bytes + StackBytes);
}

template <class... T>
__attribute__((always_inline, no_sanitize("address"))) inline void Enter(const void* Stack, int StackBytes,
                                                                          T... Values) {
  const long double values[sizeof...(T) + 1] = {static_cast<long double>(Values)...};
  EnterWith(values, static_cast<int>(sizeof...(T)), Stack, StackBytes);
}

// The recorders keep a plain EBP frame, so their stack arguments start at
// EBP+8 whatever the compiler does with the parameters themselves.
#define FENNIC_RECORDER __attribute__((noinline, no_sanitize("address"), optimize("no-omit-frame-pointer")))
#define RECORDER_REGISTER __attribute__((regparm(3), stdcall)) FENNIC_RECORDER
#define RECORDER_STDCALL __attribute__((stdcall)) FENNIC_RECORDER
#define RECORDER_CDECL FENNIC_RECORDER
#define STACK_ARGUMENTS (static_cast<const std::uint8_t*>(__builtin_frame_address(0)) + 8)

RECORDER_CDECL double Cdecl4(std::int8_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
  Enter(STACK_ARGUMENTS, 16, a, b, c, d);
  return static_cast<double>(HostRecord.Result);
}

RECORDER_CDECL double CdeclMixed(std::int32_t a, std::int64_t b, float c, double d, long double e, std::uint16_t f) {
  Enter(STACK_ARGUMENTS, 40, a, b, c, d, e, f);
  return static_cast<double>(HostRecord.Result);
}

RECORDER_STDCALL double StdcallMixed(std::int32_t a, std::int64_t b, float c, double d, long double e, std::uint16_t f) {
  Enter(STACK_ARGUMENTS, 40, a, b, c, d, e, f);
  return static_cast<double>(HostRecord.Result);
}

// The first parameter at the highest address: declared in reverse.
RECORDER_STDCALL double PascalMixed(std::uint16_t f, long double e, double d, float c, std::int64_t b, std::int32_t a) {
  Enter(STACK_ARGUMENTS, 40, a, b, c, d, e, f);
  return static_cast<double>(HostRecord.Result);
}

// Register parameters a, g, f first; then the stack parameters b, c, d, e, h
// in reverse.
RECORDER_REGISTER long double RegisterMixed(std::int32_t a, std::int16_t g, std::uint8_t f, std::int32_t h, long double e,
                                          double d, float c, std::int64_t b) {
  Enter(STACK_ARGUMENTS, 36, a, b, c, g, d, f, e, h);
  return HostRecord.Result;
}

RECORDER_REGISTER long double RegisterRaw(std::uint32_t eax, std::uint32_t edx, std::uint32_t ecx) {
  Enter(nullptr, 0);
  HostRecord.Registers[0] = eax;
  HostRecord.Registers[1] = edx;
  HostRecord.Registers[2] = ecx;
  return HostRecord.Result;
}

RECORDER_CDECL double PairCdecl(double x, std::int32_t n) {
  Enter(STACK_ARGUMENTS, 12, x, n);
  return static_cast<double>(HostRecord.Result);
}
RECORDER_STDCALL double PairStdcall(double x, std::int32_t n) {
  Enter(STACK_ARGUMENTS, 12, x, n);
  return static_cast<double>(HostRecord.Result);
}
RECORDER_STDCALL double PairPascal(std::int32_t n, double x) {
  Enter(STACK_ARGUMENTS, 12, x, n);
  return static_cast<double>(HostRecord.Result);
}
RECORDER_REGISTER double PairRegister(std::int32_t n, double x) {
  Enter(STACK_ARGUMENTS, 8, x, n);
  return static_cast<double>(HostRecord.Result);
}

RECORDER_CDECL long double NoParams() {
  Enter(nullptr, 0);
  return HostRecord.Result;
}

}  // namespace

const TRecorder RecCdecl4 = {"rec_cdecl4", "vi08vi32vi32vi32", ctCdecl, frDouble, reinterpret_cast<void*>(&Cdecl4), 16};
const TRecorder RecCdeclMixed = {"rec_cdecl", "vi32vi64vf32vf64vf80vu16", ctCdecl, frDouble,
                                 reinterpret_cast<void*>(&CdeclMixed), 40};
const TRecorder RecStdcallMixed = {"rec_stdcall", "vi32vi64vf32vf64vf80vu16", ctStdcall, frDouble,
                                   reinterpret_cast<void*>(&StdcallMixed), 40};
const TRecorder RecPascalMixed = {"rec_pascal", "vi32vi64vf32vf64vf80vu16", ctPascal, frDouble,
                                  reinterpret_cast<void*>(&PascalMixed), 40};
const TRecorder RecRegisterMixed = {"rec_register", "vi32vi64vf32vi16vf64vu08vf80vi32", ctRegister, frExtended,
                                    reinterpret_cast<void*>(&RegisterMixed), 36};
const TRecorder RecRegisterRaw = {"rec_raw", "vi08vu16vi32", ctRegister, frExtended, reinterpret_cast<void*>(&RegisterRaw),
                                  0};
const TRecorder RecPairs[4] = {
    {"pair_register", "vf64vi32", ctRegister, frDouble, reinterpret_cast<void*>(&PairRegister), 8},
    {"pair_pascal", "vf64vi32", ctPascal, frDouble, reinterpret_cast<void*>(&PairPascal), 12},
    {"pair_cdecl", "vf64vi32", ctCdecl, frDouble, reinterpret_cast<void*>(&PairCdecl), 12},
    {"pair_stdcall", "vf64vi32", ctStdcall, frDouble, reinterpret_cast<void*>(&PairStdcall), 12},
};
const TRecorder RecNoParams = {"rec_none", "", ctCdecl, frExtended, reinterpret_cast<void*>(&NoParams), 0};

extern "C" std::uint32_t HostReturnEax() { return 0xFFFFFF80u; }
extern "C" std::uint64_t HostReturnEdxEax() { return 0xFFFFFFFF80000000ull; }
extern "C" float HostReturnSingle() { return 0.1f; }
extern "C" double HostReturnDouble() { return 0.1; }
extern "C" long double HostReturnExtended() { return 0.1L; }

extern "C" double HostDivideByZero(double X) {
  volatile long double zero = 0;
  return static_cast<double>(X / zero);
}

extern "C" __attribute__((no_sanitize("address", "undefined"))) double HostReadAddress16(double X) {
  volatile std::uintptr_t address = 16;
  return X + *reinterpret_cast<volatile std::int32_t*>(address);
}

extern "C" std::int32_t HostCdeclSum(std::int32_t A, std::int32_t B) { return A + B; }

std::vector<std::uint8_t> RecordingInlineCode(int StackBytes, int X87Count) {
  std::vector<std::uint8_t> code;
  auto address = [&code](const void* p) {
    const auto a = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<std::uint8_t>(a >> (8 * i)));
  };
  code.push_back(0xA3);  // mov [Registers[0]], eax
  address(&InlineRecord.Registers[0]);
  code.insert(code.end(), {0x89, 0x15});  // mov [Registers[1]], edx
  address(&InlineRecord.Registers[1]);
  code.insert(code.end(), {0x89, 0x0D});  // mov [Registers[2]], ecx
  address(&InlineRecord.Registers[2]);
  for (int k = 0; k < StackBytes / 4; ++k) {
    code.insert(code.end(), {0x8B, 0x44, 0x24, static_cast<std::uint8_t>(4 * k)});  // mov eax, [esp+4k]
    code.push_back(0xA3);                                                          // mov [Stack+4k], eax
    address(&InlineRecord.Stack[4 * k]);
  }
  for (int i = 0; i < X87Count; ++i) {
    code.insert(code.end(), {0xDB, 0x3D});  // fstp tbyte [X87[i]]
    address(&InlineRecord.X87[i]);
  }
  code.insert(code.end(), {0xDB, 0x2D});  // fld tbyte [Result]
  address(&InlineRecord.Result);
  if (StackBytes > 0) code.insert(code.end(), {0x83, 0xC4, static_cast<std::uint8_t>(StackBytes)});  // add esp, n
  return code;
}

}  // namespace fennic::testing
