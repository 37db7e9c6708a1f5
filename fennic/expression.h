// The C++ front end: one formula, compiled once into native x87 code and
// evaluated as often as the host likes.
//
//   double x = 0.5;
//   fennic::expression e;
//   e.add_standard_functions();
//   e.define_variable("x", &x);
//   if (auto r = e.compile("sin(x)^2 + cos(x)^2"); !r) report(r.message());
//   long double v = e.evaluate();
//
// Thread safety: evaluate() of one compiled expression may run on several
// threads at once. The routine writes nothing but its own stack frame:
// every instruction the code generator emits with an absolute address (a
// variable, a constant, the constant pool) is a load, and its temporaries,
// widened integers included, live at stack-relative offsets. Host functions
// it calls must be safe to call concurrently themselves, and each thread's
// own x87 control word governs its evaluation. Every other call (compile,
// the define_ calls, set_options, moving or destroying) changes the
// expression and must not overlap any other call on the same expression.
// Separate expressions are independent.
//
// This header includes none of the compiler's headers; component() reaches
// the component underneath (fennic/fennic.h) for its settings, streaming,
// inline code and conventions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "fennic/core/export.h"

namespace fennic {

class TFennic;

// The outcome of a compilation, in the order of the component's TError.
enum class error_code : std::uint8_t {
  none,               // eNone: compiled
  domain,             // eDomain: a call or operation computed while compiling faulted
  number_format,      // eNumFormat
  value_expected,     // eValExpected
  operator_expected,  // eOpExpected
  edge,               // eEdge: brackets, or limits of a text
  unknown,            // eUnknown: a name that is neither variable nor function
  out_of_range,       // eOutOfRange
  type,               // eType
  var_parameter,      // eVarParameter
  parameter,          // eParameter: arguments of a call
  reentered,          // eReentered: used from inside its own compile-time call
  aborted,            // eAborted: an exception left the compilation
};

// The code's name as the component spells it ("eDomain"), and a one-line
// English message about the code alone.
FENNIC_API std::string_view error_name(error_code code) noexcept;
FENNIC_API std::string error_message(error_code code);

// What compile() found. True when the expression compiled without error;
// eDomain counts as a failure, as the text would not compute what it says.
class [[nodiscard]] FENNIC_API compile_result {
 public:
  static constexpr std::size_t npos = std::string::npos;

  compile_result() = default;
  compile_result(error_code code, std::size_t position, std::size_t length, std::string message)
      : code_(code), position_(position), length_(length), message_(std::move(message)) {}

  explicit operator bool() const noexcept { return code_ == error_code::none; }
  error_code code() const noexcept { return code_; }
  std::string_view name() const noexcept { return error_name(code_); }
  // Byte offset in the text, or npos where no single place is the cause.
  std::size_t position() const noexcept { return position_; }
  // Bytes of the offending token from position() (0 for a missing operand).
  std::size_t length() const noexcept { return length_; }
  // One line in English; empty on success.
  const std::string& message() const noexcept { return message_; }

 private:
  error_code code_ = error_code::none;
  std::size_t position_ = npos;
  std::size_t length_ = 0;
  std::string message_;
};

// Thrown by compile_or_throw(): what() reads "eUnknown at 4: ...".
class FENNIC_API error : public std::runtime_error {
 public:
  explicit error(compile_result result);
  const compile_result& result() const noexcept { return result_; }
  error_code code() const noexcept { return result_.code(); }
  std::size_t position() const noexcept { return result_.position(); }
  std::size_t length() const noexcept { return result_.length(); }

 private:
  compile_result result_;
};

// How an i386 routine calls a host function; in a 64-bit program every one
// is the System V call, and the choice only fixes the order of parameters.
enum class convention : std::uint8_t {
  cdecl,      // a plain function
  stdcall,    // __attribute__((stdcall))
  pascal,     // __attribute__((stdcall)), parameters declared in reverse
  registers,  // __attribute__((regparm(3), stdcall)): integer (up to 32 bits)
              // and pointer parameters first, the rest declared in reverse
};

struct function_options {
  // Computed while compiling where every argument is a constant: for
  // functions whose result depends on their arguments alone.
  bool pure = false;
  convention call = convention::cdecl;
};

// The pack's accuracy: extended (80-bit results within a few units in the
// last place) or double (within one unit of a double, for hosts whose
// values are doubles anyway).
enum class pack_accuracy : std::uint8_t { extended, double_precision };

struct expression_options {
  // false (the default): the operations run as written, brackets and chains
  // kept, so the value is the one the text's order gives. true regroups
  // operator chains and merges brackets so that their parts can run in
  // parallel: faster for long chains, and the last bits may differ.
  bool regroup = false;
  // true (the default): the extended grammar ("^", comparisons, "!", a sign
  // after an operator); false: + - * /, brackets, numbers, variables and
  // calls only.
  bool extended_grammar = true;
};

namespace detail {

// Ordinals of the component's value types (TVarType); -1: none.
template <class T>
constexpr int type_code() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<U, float>) return 7;
  else if constexpr (std::is_same_v<U, double>) return 8;
  else if constexpr (std::is_same_v<U, long double>) return 9;
  else if constexpr (std::is_same_v<U, bool> || std::is_same_v<U, char> || std::is_same_v<U, wchar_t> ||
                     std::is_same_v<U, char16_t> || std::is_same_v<U, char32_t>)
    return -1;
  else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>)
    return sizeof(U) == 1 ? 0 : sizeof(U) == 2 ? 2 : sizeof(U) == 4 ? 4 : sizeof(U) == 8 ? 6 : -1;
  else if constexpr (std::is_integral_v<U>)
    return sizeof(U) == 1 ? 1 : sizeof(U) == 2 ? 3 : sizeof(U) == 4 ? 5 : -1;
  else
    return -1;
}

// A parameter: a value type by value, or by reference through a pointer or
// an lvalue reference to one; -1 where it is neither.
template <class P>
constexpr int parameter_code() {
  if constexpr (std::is_lvalue_reference_v<P>) return type_code<std::remove_reference_t<P>>();
  else if constexpr (std::is_pointer_v<P>) return type_code<std::remove_pointer_t<P>>();
  else if constexpr (std::is_rvalue_reference_v<P>) return -1;
  else return type_code<P>();
}
template <class P>
constexpr bool by_reference() {
  return std::is_lvalue_reference_v<P> || std::is_pointer_v<P>;
}

template <class F>
struct signature_of {
  static constexpr bool function = false;
  static constexpr int result = -1;
  static constexpr bool parameters = false;
};
template <class R, class... A>
struct signature_of<R (*)(A...)> {
  static constexpr bool function = true;
  static constexpr int result = type_code<R>();
  static constexpr bool parameters = ((parameter_code<A>() >= 0) && ... && true);
  static constexpr std::size_t count = sizeof...(A);
  static constexpr std::int8_t types[sizeof...(A) + 1] = {static_cast<std::int8_t>(parameter_code<A>())..., 0};
  static constexpr bool references[sizeof...(A) + 1] = {by_reference<A>()..., false};
  static constexpr int declared = 0;
};
template <class R, class... A>
struct signature_of<R (*)(A...) noexcept> : signature_of<R (*)(A...)> {};
// In an i386 program the convention is part of a function's type: declared
// is 1 for stdcall, 2 for regparm(3) with stdcall.
#if defined(__i386__)
template <class R, class... A>
struct signature_of<R(__attribute__((stdcall)) *)(A...)> : signature_of<R (*)(A...)> {
  static constexpr int declared = 1;
};
template <class R, class... A>
struct signature_of<R(__attribute__((stdcall)) *)(A...) noexcept> : signature_of<R (*)(A...)> {
  static constexpr int declared = 1;
};
template <class R, class... A>
struct signature_of<R(__attribute__((regparm(3), stdcall)) *)(A...)> : signature_of<R (*)(A...)> {
  static constexpr int declared = 2;
};
template <class R, class... A>
struct signature_of<R(__attribute__((regparm(3), stdcall)) *)(A...) noexcept> : signature_of<R (*)(A...)> {
  static constexpr int declared = 2;
};
#endif

template <class F, class = void>
struct has_pointer_conversion : std::false_type {};
template <class F>
struct has_pointer_conversion<F, std::void_t<decltype(+std::declval<F>())>>
    : std::is_pointer<decltype(+std::declval<F>())> {};

// A plain function, or a lambda without captures, as a function pointer.
template <class F>
constexpr auto as_pointer(F f) {
  if constexpr (std::is_pointer_v<F>) return f;
  else if constexpr (has_pointer_conversion<F>::value) return +f;
  else return nullptr;
}
template <class F>
using pointer_of = decltype(as_pointer(std::declval<std::decay_t<F>>()));

// A signature in the form the component registers.
struct signature {
  const std::int8_t* types;
  const bool* references;
  std::size_t count;
  int result;
  int declared;  // the i386 convention of the function's type: 0 plain, 1 stdcall, 2 regparm(3) stdcall
};

// On i386 the routine keeps its stack 4-byte aligned only; a call through
// this entry realigns it for code compiled with the usual 16.
#if defined(__i386__)
#define FENNIC_DETAIL_HOST_ENTRY __attribute__((cdecl, force_align_arg_pointer))
#else
#define FENNIC_DETAIL_HOST_ENTRY
#endif
template <auto F, class P = pointer_of<decltype(F)>>
struct aligned_entry;
template <auto F, class R, class... A>
struct aligned_entry<F, R (*)(A...)> {
  FENNIC_DETAIL_HOST_ENTRY static R call(A... a) noexcept { return F(a...); }
};
template <auto F, class R, class... A>
struct aligned_entry<F, R (*)(A...) noexcept> : aligned_entry<F, R (*)(A...)> {};
#undef FENNIC_DETAIL_HOST_ENTRY

}  // namespace detail

// A type a variable may have: int8_t to int64_t, uint8_t to uint32_t,
// float, double, long double.
template <class T>
inline constexpr bool variable_type = detail::type_code<T>() >= 0;

// A host function Fennic can call: a plain function or a lambda without
// captures whose result is a variable type and whose parameters are
// variable types by value, or pointers or lvalue references to them (by
// reference: the argument is a variable of exactly that type).
template <class F>
inline constexpr bool host_function = detail::signature_of<detail::pointer_of<F>>::function &&
                        detail::signature_of<detail::pointer_of<F>>::result >= 0 &&
                        detail::signature_of<detail::pointer_of<F>>::parameters;

class FENNIC_API expression {
 public:
  explicit expression(expression_options options = {});
  ~expression();
  expression(expression&& other) noexcept;
  expression& operator=(expression&& other) noexcept;
  expression(const expression&) = delete;
  expression& operator=(const expression&) = delete;

  // Applies from the next compile().
  void set_options(expression_options options);
  expression_options options() const noexcept;

  // Names are identifiers, in any case. A name that is taken (by a variable,
  // a function, a constant or the pack) or that is no identifier throws
  // std::invalid_argument, and nothing is defined.

  // A variable read from *address at every evaluation; the storage must
  // outlive every evaluation of a routine compiled with it.
  template <class T>
  void define_variable(std::string_view name, T* address) {
    static_assert(!std::is_same_v<std::remove_cv_t<T>, std::uint64_t>,
                  "fennic: uint64_t is not a variable type (the x87 loads signed 64-bit integers): "
                  "bind an int64_t or a long double");
    static_assert(variable_type<T>,
                  "fennic: a variable is int8_t..int64_t, uint8_t..uint32_t, float, double or long double");
    if constexpr (variable_type<T>) bind_variable(name, detail::type_code<T>(), address);
  }
  template <class T>
  void define_variable(std::string_view name, T& variable) {
    define_variable(name, &variable);
  }

  // A named value, folded into every formula that names it.
  void define_constant(std::string_view name, long double value);

  // A host function from its C++ signature: a plain function or a lambda
  // without captures. In an i386 program its type gives the convention: a
  // plain function is called as cdecl, __attribute__((stdcall)) as stdcall,
  // __attribute__((regparm(3), stdcall)) as registers; options.call
  // chooses pascal for a stdcall type, and a choice the type contradicts
  // throws std::invalid_argument. A 64-bit type carries no convention:
  // code for both targets names a convention other than cdecl in
  // options.call, which fixes the parameters' order there. On i386 the routine calls it with the stack 4-byte
  // aligned: a function that needs more declares
  // __attribute__((force_align_arg_pointer)), or is registered through
  // define_function<&f>, which calls it through an entry that realigns.
  // A signature that convention::registers cannot express throws
  // std::invalid_argument.
  template <class F>
  void define_function(std::string_view name, F function, function_options options = {}) {
    using P = detail::pointer_of<F>;
    using S = detail::signature_of<P>;
    static_assert(S::function, "fennic: a host function is a plain function or a lambda without captures");
    if constexpr (S::function) {
      static_assert(S::result >= 0,
                    "fennic: a host function returns int8_t..int64_t, uint8_t..uint32_t, float, double or "
                    "long double");
      static_assert(S::parameters,
                    "fennic: a parameter is a variable type by value, or a pointer or lvalue reference to one");
      if constexpr (host_function<F>)
        bind_function(name, detail::signature{S::types, S::references, S::count, S::result, S::declared},
                      reinterpret_cast<void*>(detail::as_pointer(function)), options);
    }
  }
  // The same through an entry that realigns the i386 stack (the call is
  // the C convention's; options.call must be convention::cdecl).
  template <auto Function>
  void define_function(std::string_view name, function_options options = {}) {
    define_function(name, &detail::aligned_entry<Function>::call, options);
  }

  // The standard function pack (sin, cos, ..., pi, e); defined in the
  // library fennic_functions (CMake target fennic::functions). A name the
  // host has defined already keeps the host's meaning.
  void add_standard_functions(pack_accuracy accuracy = pack_accuracy::extended);

  // Compiles text, replacing the routine. On failure the expression holds
  // no routine and evaluate() gives a quiet NaN. Only an exhausted heap
  // (std::bad_alloc) and a defect of the library (std::logic_error) throw.
  [[nodiscard]] compile_result compile(std::string_view text);
  // The same, throwing fennic::error on failure.
  void compile_or_throw(std::string_view text);

  // Runs the routine under the calling thread's x87 state; a quiet NaN
  // when nothing compiled successfully.
  long double evaluate() const noexcept;
  double evaluate_double() const noexcept { return static_cast<double>(evaluate()); }

  bool compiled() const noexcept;
  // The text of the last compile(), and the variables and functions (the
  // pack's and constants included) it names, each once, in the order of
  // their first appearance; empty unless it compiled.
  const std::string& text() const noexcept;
  const std::vector<std::string>& used_variables() const noexcept;
  const std::vector<std::string>& used_functions() const noexcept;

  // The component underneath.
  TFennic& component();
  const TFennic& component() const;

 private:
  struct state;
  state& own();
  void bind_variable(std::string_view name, int type, const void* address);
  void bind_function(std::string_view name, const detail::signature& signature, void* address,
                     function_options options);

  state* state_;
};

}  // namespace fennic
