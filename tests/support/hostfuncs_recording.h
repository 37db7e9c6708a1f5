// Host routines that record exactly what they received, one set per calling
// convention, for every test that calls host code: compile-time calls and
// the call sequences of generated routines.
//
// C++ routines (ctCdecl, ctStdcall, ctPascal, ctRegister) are declared the
// way a C++ host declares them for each convention; each writes into
// HostRecord the values of its parameters in registration order, the raw
// bytes of its stack arguments (lowest address first), in a 64-bit program
// also its argument registers, the x87 registers in use and the control word
// at entry, and returns HostRecord.Result.
// For ctBuilt_in, RecordingInlineCode builds x87 inline code that stores
// EAX, EDX, ECX (RAX, RDX, RCX in 64-bit code), its stack arguments and its
// x87 arguments into InlineRecord and leaves InlineRecord.Result in ST0.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "fennic/core/types.h"

namespace fennic::testing {

struct THostRecord {
  int Calls = 0;
  std::vector<long double> Values;   // parameters in registration order
  // Stack arguments as received, lowest address first. In a 64-bit program
  // the bytes of a slot beyond its parameter's own size read as zero: the
  // convention leaves them undefined, and the generated code does not write
  // them.
  std::vector<std::uint8_t> Stack;
  std::uint32_t Registers[3] = {};   // RecRegisterRaw's parameters: EAX, EDX, ECX on i386
  // 64-bit programs: RDI, RSI, RDX, RCX, R8, R9 and the low 64 bits of XMM0
  // to XMM7 at entry, as many as the declaration takes arguments in; the
  // others read as zero.
  std::uint64_t IntArgs[6] = {};
  std::uint64_t VectorArgs[8] = {};
  int X87InUse = -1;                 // x87 registers holding values at entry
  std::uint16_t ControlWord = 0;     // at entry
  long double Result = 0;            // what the routine returns
};
extern THostRecord HostRecord;
// Clears the record; the routines then return Result.
void ResetHostRecord(long double Result = 0);

// A routine with the parameter string to register it with.
struct TRecorder {
  const char* Name;
  const char* ParamSpec;
  TCallType CallType;
  TFuncResult FuncResult;
  void* Address;
  int StackBytes;  // bytes of stack arguments it receives (in this target)
};

// Four integers, cdecl: vi08 vi32 vi32 vi32.
extern const TRecorder RecCdecl4;
// Mixed parameters vi32 vi64 vf32 vf64 vf80 vu16, in each stack convention.
extern const TRecorder RecCdeclMixed;
extern const TRecorder RecStdcallMixed;
extern const TRecorder RecPascalMixed;
// ctRegister with vi32 vi64 vf32 vi16 vf64 vu08 vf80 vi32: the first, fourth
// and sixth travel in EAX, EDX, ECX; the rest on the stack, first highest.
extern const TRecorder RecRegisterMixed;
// ctRegister vi08 vu16 vi32, recording the raw 32-bit register contents
// (on x86-64 the low halves of RDI, RSI, RDX).
extern const TRecorder RecRegisterRaw;
// Seventeen parameters, cdecl: on x86-64 more integers and doubles than
// there are argument registers, and an extended value between two 8-byte
// stack slots: vi08 vf32 vi16 vf64 vu16 vf64 vi32 vf64 vu32 vf64 vi64 vf64
// vi32 vf80 vf64 vf64 vf64.
extern const TRecorder RecOverflow;
// A double and an integer: vf64 vi32, in each convention but ctBuilt_in.
extern const TRecorder RecPairs[4];
// Without parameters, returning HostRecord.Result as an extended value.
extern const TRecorder RecNoParams;

// Routines returning a fixed bit pattern in EAX (EDX:EAX) or ST0, cdecl, no
// parameters: the result type decides how it is read.
extern "C" std::uint32_t HostReturnEax();          // 0xFFFFFF80
extern "C" std::uint64_t HostReturnEdxEax();       // 0xFFFFFFFF80000000
extern "C" float HostReturnSingle();               // 0.1f
extern "C" double HostReturnDouble();              // 0.1
extern "C" long double HostReturnExtended();       // 0.1L

// Faulting routines, cdecl, one vf64 parameter, frDouble.
extern "C" double HostDivideByZero(double X);      // x / 0 in x87 arithmetic
extern "C" double HostReadAddress16(double X);     // reads the address 16
// A cdecl routine with vi32 vi32 (callers that declare it ctStdcall get their
// stack back all the same).
extern "C" std::int32_t HostCdeclSum(std::int32_t A, std::int32_t B);

// What recording inline code stores.
struct TInlineRecord {
  std::uintptr_t Registers[3];  // EAX, EDX, ECX (RAX, RDX, RCX in 64-bit code)
  std::uint8_t Stack[64];       // stack arguments, lowest address first
  long double X87[8];           // X87[0] = ST0 at entry (the last x87 argument)
  long double Result;           // left in ST0
};
extern TInlineRecord InlineRecord;
void ResetInlineRecord(long double Result = 0);
// Inline code that records EAX, EDX, ECX, StackBytes bytes of stack
// arguments (and removes them, as inline code must) and X87Count x87
// arguments, then loads InlineRecord.Result. It keeps EBX.
std::vector<std::uint8_t> RecordingInlineCode(int StackBytes, int X87Count);

// Pieces of inline code written for the target the tests run on.
// Opcode with a memory operand at Address and Reg in its ModRM byte:
// [disp32] in i386 code; in 64-bit code [R11] after MOV R11, imm64 (R11
// carries nothing for inline code), with REX.W when Wide.
void AddAbsolute(std::vector<std::uint8_t>& Code, std::initializer_list<std::uint8_t> Opcode, std::uint8_t Reg,
                 const void* Address, bool Wide = false);
// ADD ESP, Bytes (ADD RSP in 64-bit code): inline code removing its stack arguments.
void AddRelease(std::vector<std::uint8_t>& Code, std::uint8_t Bytes);

}  // namespace fennic::testing
