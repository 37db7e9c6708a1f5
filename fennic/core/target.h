// The machine the generated code runs on: the one the library is built for.
// Everything that differs between the two targets is named here or lives in
// the *_i386.cpp and *_x86_64.cpp files of each subsystem (the build takes
// the pair member of its own target).
#pragma once

#include <cstdint>

namespace fennic {

#if defined(__x86_64__)
inline constexpr bool Target64 = true;
#elif defined(__i386__)
inline constexpr bool Target64 = false;
#else
#error "Fennic generates x87 code for i386 or x86-64"
#endif

// Bytes that a PUSH moves and that a pointer (a by-reference argument) takes.
inline constexpr std::int32_t PushWidth = Target64 ? 8 : 4;
// Storage of an extended value (long double) in host memory and argument slots.
inline constexpr std::int32_t ExtendedStorage = Target64 ? 16 : 12;

// The generated routine as the host calls it: the component in EAX (i386)
// or RDI (x86-64), the result in ST0. A C++ function declared with
// FENNIC_ROUTINE_ABI can stand in for one.
#if defined(__i386__)
#define FENNIC_ROUTINE_ABI __attribute__((regparm(1)))
#else
#define FENNIC_ROUTINE_ABI
#endif
using TRoutine = long double(FENNIC_ROUTINE_ABI*)(void*);

}  // namespace fennic

// Calling-convention attributes for host routines written in C++. In an
// i386 program they choose the convention the registration names, and
// realign the stack (the generated code keeps ESP 4-byte aligned only); in
// a 64-bit program every routine follows the System V convention, GCC
// would ignore these attributes with a warning, and the macros are empty.
#if defined(__i386__)
#define FENNIC_CDECL __attribute__((cdecl, force_align_arg_pointer))
#define FENNIC_STDCALL __attribute__((stdcall, force_align_arg_pointer))
#define FENNIC_PASCAL __attribute__((stdcall, force_align_arg_pointer))
#define FENNIC_REGISTER __attribute__((regparm(3), stdcall, force_align_arg_pointer))
#else
#define FENNIC_CDECL
#define FENNIC_STDCALL
#define FENNIC_PASCAL
#define FENNIC_REGISTER
#endif
