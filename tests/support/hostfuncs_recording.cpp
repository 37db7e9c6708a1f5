#include "hostfuncs_recording.h"

#include <cstring>
#include <type_traits>

#include "fennic/core/target.h"

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

#if defined(__x86_64__)
// What a recorder's entry saw before any of its own code ran: the argument
// registers and where its stack arguments begin, as fennic_recorder_capture
// keeps them.
struct TEntryImage {
  std::uint64_t Int[6];     // RDI, RSI, RDX, RCX, R8, R9
  std::uint64_t Vector[8];  // low 64 bits of XMM0 to XMM7
  const std::uint8_t* Stack;
};
static_assert(sizeof(TEntryImage) == 120);
extern "C" {
__attribute__((visibility("hidden"))) TEntryImage fennic_recorder_entry;
}

// Each recorder is registered at an entry that puts its body's address in
// R11 and jumps here; the capture keeps every argument register and the
// stack as they are and goes on to the body.
asm(R"(
  .pushsection .text
  .p2align 4
  .type fennic_recorder_capture, @function
fennic_recorder_capture:
  movq %rdi, fennic_recorder_entry+0(%rip)
  movq %rsi, fennic_recorder_entry+8(%rip)
  movq %rdx, fennic_recorder_entry+16(%rip)
  movq %rcx, fennic_recorder_entry+24(%rip)
  movq %r8, fennic_recorder_entry+32(%rip)
  movq %r9, fennic_recorder_entry+40(%rip)
  movq %xmm0, fennic_recorder_entry+48(%rip)
  movq %xmm1, fennic_recorder_entry+56(%rip)
  movq %xmm2, fennic_recorder_entry+64(%rip)
  movq %xmm3, fennic_recorder_entry+72(%rip)
  movq %xmm4, fennic_recorder_entry+80(%rip)
  movq %xmm5, fennic_recorder_entry+88(%rip)
  movq %xmm6, fennic_recorder_entry+96(%rip)
  movq %xmm7, fennic_recorder_entry+104(%rip)
  leaq 8(%rsp), %r10
  movq %r10, fennic_recorder_entry+112(%rip)
  jmp *%r11
  .size fennic_recorder_capture, .-fennic_recorder_capture
  .popsection
)");
#define RECORDER_ENTRY(NAME)                                                                     \
  extern "C" void NAME##_entry();                                                                \
  asm(".pushsection .text\n.p2align 4\n.type " #NAME "_entry, @function\n" #NAME "_entry:\n"      \
      "  leaq " #NAME "(%rip), %r11\n  jmp fennic_recorder_capture\n.size " #NAME "_entry, .-" #NAME \
      "_entry\n.popsection\n");
#define RECORDER_ADDRESS(NAME) reinterpret_cast<void*>(&NAME##_entry)
#else
#define RECORDER_ENTRY(NAME)
#define RECORDER_ADDRESS(NAME) reinterpret_cast<void*>(&NAME)
#endif

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

// RECORD(Self, bytes of its i386 stack arguments, parameters in the order of
// the registration) opens every recorder.
#if defined(__x86_64__)
// The argument registers and stack slots that the declaration R(P...) takes
// arguments in, by the System V rules, into HostRecord; the bytes of a stack
// slot beyond its parameter's size stay zero.
template <class R, class... P>
void TakeEntry(R (*)(P...)) {
  const TEntryImage& entry = fennic_recorder_entry;
  std::memset(HostRecord.IntArgs, 0, sizeof HostRecord.IntArgs);
  std::memset(HostRecord.VectorArgs, 0, sizeof HostRecord.VectorArgs);
  int ints = 0, vectors = 0;
  std::size_t stack = 0;
  [[maybe_unused]] auto place = [&]<class T>() {
    constexpr bool extended = std::is_same_v<T, long double>;
    if constexpr (std::is_floating_point_v<T> && !extended) {
      if (vectors < 8) {
        HostRecord.VectorArgs[vectors] = entry.Vector[vectors];
        ++vectors;
        return;
      }
    } else if constexpr (!extended) {
      if (ints < 6) {
        HostRecord.IntArgs[ints] = entry.Int[ints];
        ++ints;
        return;
      }
    }
    if (extended) stack = (stack + 15) & ~std::size_t{15};
    HostRecord.Stack.resize(stack + (extended ? 16 : 8), 0);
    std::memcpy(HostRecord.Stack.data() + stack, entry.Stack + stack, extended ? 10 : sizeof(T));
    stack += extended ? 16 : 8;
  };
  (place.template operator()<P>(), ...);
}
#define RECORD(SELF, I386_STACK_BYTES, ...)   \
  Enter(nullptr, 0 __VA_OPT__(, ) __VA_ARGS__); \
  TakeEntry(&SELF)
#else
#define RECORD(SELF, I386_STACK_BYTES, ...) Enter(STACK_ARGUMENTS, I386_STACK_BYTES __VA_OPT__(, ) __VA_ARGS__)
#endif

}  // namespace

// The recorders keep a plain EBP frame, so their i386 stack arguments start
// at EBP+8 whatever the compiler does with the parameters themselves; the
// 64-bit ones find theirs through their entry.
#define FENNIC_RECORDER                                                                     \
  extern "C" __attribute__((noinline, used, visibility("hidden"), no_sanitize("address"), \
                            optimize("no-omit-frame-pointer")))
#if defined(__i386__)
#define RECORDER_REGISTER FENNIC_RECORDER __attribute__((regparm(3), stdcall))
#define RECORDER_STDCALL FENNIC_RECORDER __attribute__((stdcall))
#else
#define RECORDER_REGISTER FENNIC_RECORDER
#define RECORDER_STDCALL FENNIC_RECORDER
#endif
#define RECORDER_CDECL FENNIC_RECORDER
#define STACK_ARGUMENTS (static_cast<const std::uint8_t*>(__builtin_frame_address(0)) + 8)

RECORDER_CDECL double fennic_rec_cdecl4(std::int8_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
  RECORD(fennic_rec_cdecl4, 16, a, b, c, d);
  return static_cast<double>(HostRecord.Result);
}

RECORDER_CDECL double fennic_rec_cdecl_mixed(std::int32_t a, std::int64_t b, float c, double d, long double e,
                                             std::uint16_t f) {
  RECORD(fennic_rec_cdecl_mixed, 40, a, b, c, d, e, f);
  return static_cast<double>(HostRecord.Result);
}

RECORDER_STDCALL double fennic_rec_stdcall_mixed(std::int32_t a, std::int64_t b, float c, double d, long double e,
                                                 std::uint16_t f) {
  RECORD(fennic_rec_stdcall_mixed, 40, a, b, c, d, e, f);
  return static_cast<double>(HostRecord.Result);
}

// The first parameter at the highest address: declared in reverse.
RECORDER_STDCALL double fennic_rec_pascal_mixed(std::uint16_t f, long double e, double d, float c, std::int64_t b,
                                                std::int32_t a) {
  RECORD(fennic_rec_pascal_mixed, 40, a, b, c, d, e, f);
  return static_cast<double>(HostRecord.Result);
}

// Register parameters a, g, f first; then the stack parameters b, c, d, e, h
// in reverse.
RECORDER_REGISTER long double fennic_rec_register_mixed(std::int32_t a, std::int16_t g, std::uint8_t f,
                                                        std::int32_t h, long double e, double d, float c,
                                                        std::int64_t b) {
  RECORD(fennic_rec_register_mixed, 36, a, b, c, g, d, f, e, h);
  return HostRecord.Result;
}

RECORDER_REGISTER long double fennic_rec_register_raw(std::uint32_t eax, std::uint32_t edx, std::uint32_t ecx) {
  RECORD(fennic_rec_register_raw, 0);
  HostRecord.Registers[0] = eax;
  HostRecord.Registers[1] = edx;
  HostRecord.Registers[2] = ecx;
  return HostRecord.Result;
}

RECORDER_CDECL double fennic_rec_overflow(std::int8_t a, float b, std::int16_t c, double d, std::uint16_t e, double f,
                                          std::int32_t g, double h, std::uint32_t i, double j, std::int64_t k,
                                          double l, std::int32_t m, long double n, double o, double p, double q) {
  RECORD(fennic_rec_overflow, 112, a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q);
  return static_cast<double>(HostRecord.Result);
}

RECORDER_CDECL double fennic_rec_pair_cdecl(double x, std::int32_t n) {
  RECORD(fennic_rec_pair_cdecl, 12, x, n);
  return static_cast<double>(HostRecord.Result);
}
RECORDER_STDCALL double fennic_rec_pair_stdcall(double x, std::int32_t n) {
  RECORD(fennic_rec_pair_stdcall, 12, x, n);
  return static_cast<double>(HostRecord.Result);
}
RECORDER_STDCALL double fennic_rec_pair_pascal(std::int32_t n, double x) {
  RECORD(fennic_rec_pair_pascal, 12, x, n);
  return static_cast<double>(HostRecord.Result);
}
RECORDER_REGISTER double fennic_rec_pair_register(std::int32_t n, double x) {
  RECORD(fennic_rec_pair_register, 8, x, n);
  return static_cast<double>(HostRecord.Result);
}

RECORDER_CDECL long double fennic_rec_none() {
  RECORD(fennic_rec_none, 0);
  return HostRecord.Result;
}

RECORDER_ENTRY(fennic_rec_cdecl4)
RECORDER_ENTRY(fennic_rec_cdecl_mixed)
RECORDER_ENTRY(fennic_rec_stdcall_mixed)
RECORDER_ENTRY(fennic_rec_pascal_mixed)
RECORDER_ENTRY(fennic_rec_register_mixed)
RECORDER_ENTRY(fennic_rec_register_raw)
RECORDER_ENTRY(fennic_rec_overflow)
RECORDER_ENTRY(fennic_rec_pair_cdecl)
RECORDER_ENTRY(fennic_rec_pair_stdcall)
RECORDER_ENTRY(fennic_rec_pair_pascal)
RECORDER_ENTRY(fennic_rec_pair_register)
RECORDER_ENTRY(fennic_rec_none)

namespace {
// Stack bytes of a recorder in this target.
constexpr int Bytes(int I386, int X86_64) { return Target64 ? X86_64 : I386; }
}  // namespace

const TRecorder RecCdecl4 = {"rec_cdecl4", "vi08vi32vi32vi32", ctCdecl, frDouble, RECORDER_ADDRESS(fennic_rec_cdecl4),
                             Bytes(16, 0)};
const TRecorder RecCdeclMixed = {"rec_cdecl", "vi32vi64vf32vf64vf80vu16", ctCdecl, frDouble,
                                 RECORDER_ADDRESS(fennic_rec_cdecl_mixed), Bytes(40, 16)};
const TRecorder RecStdcallMixed = {"rec_stdcall", "vi32vi64vf32vf64vf80vu16", ctStdcall, frDouble,
                                   RECORDER_ADDRESS(fennic_rec_stdcall_mixed), Bytes(40, 16)};
const TRecorder RecPascalMixed = {"rec_pascal", "vi32vi64vf32vf64vf80vu16", ctPascal, frDouble,
                                  RECORDER_ADDRESS(fennic_rec_pascal_mixed), Bytes(40, 16)};
const TRecorder RecRegisterMixed = {"rec_register", "vi32vi64vf32vi16vf64vu08vf80vi32", ctRegister, frExtended,
                                    RECORDER_ADDRESS(fennic_rec_register_mixed), Bytes(36, 16)};
const TRecorder RecRegisterRaw = {"rec_raw", "vi08vu16vi32", ctRegister, frExtended,
                                  RECORDER_ADDRESS(fennic_rec_register_raw), 0};
const TRecorder RecOverflow = {"rec_overflow", "vi08vf32vi16vf64vu16vf64vi32vf64vu32vf64vi64vf64vi32vf80vf64vf64vf64",
                               ctCdecl, frDouble, RECORDER_ADDRESS(fennic_rec_overflow), Bytes(112, 40)};
const TRecorder RecPairs[4] = {
    {"pair_register", "vf64vi32", ctRegister, frDouble, RECORDER_ADDRESS(fennic_rec_pair_register), Bytes(8, 0)},
    {"pair_pascal", "vf64vi32", ctPascal, frDouble, RECORDER_ADDRESS(fennic_rec_pair_pascal), Bytes(12, 0)},
    {"pair_cdecl", "vf64vi32", ctCdecl, frDouble, RECORDER_ADDRESS(fennic_rec_pair_cdecl), Bytes(12, 0)},
    {"pair_stdcall", "vf64vi32", ctStdcall, frDouble, RECORDER_ADDRESS(fennic_rec_pair_stdcall), Bytes(12, 0)},
};
const TRecorder RecNoParams = {"rec_none", "", ctCdecl, frExtended, RECORDER_ADDRESS(fennic_rec_none), 0};

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

void AddAbsolute(std::vector<std::uint8_t>& Code, std::initializer_list<std::uint8_t> Opcode, std::uint8_t Reg,
                 const void* Address, bool Wide) {
  const auto a = reinterpret_cast<std::uintptr_t>(Address);
  if constexpr (Target64) {
    Code.insert(Code.end(), {0x49, 0xBB});  // mov r11, imm64
    for (int i = 0; i < 8; ++i) Code.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(a) >> (8 * i)));
    Code.push_back(Wide ? 0x49 : 0x41);
    Code.insert(Code.end(), Opcode);
    Code.push_back(static_cast<std::uint8_t>((Reg & 7) << 3 | 3));  // [r11]
  } else {
    Code.insert(Code.end(), Opcode);
    Code.push_back(static_cast<std::uint8_t>((Reg & 7) << 3 | 5));  // [disp32]
    for (int i = 0; i < 4; ++i) Code.push_back(static_cast<std::uint8_t>(a >> (8 * i)));
  }
}

void AddRelease(std::vector<std::uint8_t>& Code, std::uint8_t Bytes) {
  if (Target64) Code.push_back(0x48);
  Code.insert(Code.end(), {0x83, 0xC4, Bytes});
}

std::vector<std::uint8_t> RecordingInlineCode(int StackBytes, int X87Count) {
  std::vector<std::uint8_t> code;
  for (std::uint8_t reg = 0; reg < 3; ++reg) {  // EAX, EDX, ECX: ModRM fields 0, 2, 1
    static constexpr std::uint8_t Field[3] = {0, 2, 1};
    AddAbsolute(code, {0x89}, Field[reg], &InlineRecord.Registers[reg], Target64);  // mov [m], reg
  }
  for (int k = 0; k < StackBytes / 4; ++k) {
    code.insert(code.end(), {0x8B, 0x44, 0x24, static_cast<std::uint8_t>(4 * k)});  // mov eax, [esp+4k]
    AddAbsolute(code, {0x89}, 0, &InlineRecord.Stack[4 * k]);                       // mov [Stack+4k], eax
  }
  for (int i = 0; i < X87Count; ++i) AddAbsolute(code, {0xDB}, 7, &InlineRecord.X87[i]);  // fstp tbyte [X87[i]]
  AddAbsolute(code, {0xDB}, 5, &InlineRecord.Result);                                   // fld tbyte [Result]
  if (StackBytes > 0) AddRelease(code, static_cast<std::uint8_t>(StackBytes));
  return code;
}

}  // namespace fennic::testing
