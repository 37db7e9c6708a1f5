#include "fennic/expression.h"

#include <cstring>

#include "fennic/codegen/fennic.h"
#include "fennic/core/codedtext.h"

namespace fennic {

static_assert(static_cast<int>(error_code::parameter) == eParameter && static_cast<int>(error_code::domain) == eDomain &&
                  static_cast<int>(error_code::aborted) == eAborted,
              "error_code follows TError");
static_assert(detail::type_code<float>() == vtSingle && detail::type_code<std::int64_t>() == vtInt64 &&
                  detail::type_code<std::uint32_t>() == vtUInt32 && detail::type_code<long double>() == vtExtended,
              "type codes follow TVarType and TFuncResult");

std::string_view error_name(error_code code) noexcept { return ErrorName(static_cast<TError>(code)); }

std::string error_message(error_code code) { return ErrorCodeMessage(static_cast<TError>(code)); }

namespace {

std::string Describe(const compile_result& r) {
  std::string s(r.name());
  if (r.position() != compile_result::npos) s += " at " + std::to_string(r.position());
  return s + ": " + r.message();
}

// A constant as inline code that loads the value stored in its own bytes,
// the same bytes in both targets:
//   CALL $+5; POP EAX (RAX); FLD TBYTE [EAX+6]; JMP +10; the value's 10 bytes
// A function without parameters is computed while compiling, so the value
// folds wherever the name is written.
TAByte ConstantCode(long double value) {
  std::uint8_t code[21] = {0xE8, 0, 0, 0, 0, 0x58, 0xDB, 0x68, 0x06, 0xEB, 0x0A};
  std::memcpy(code + 11, &value, 10);
  return TAByte(code, code + sizeof code);
}

// The names a compiled text reads, found as the simplifier finds them: a
// function first, else a variable.
void CollectNames(const TCtrlBlck& registry, std::string_view text, std::vector<std::string>& variables,
                  std::vector<std::string>& functions) {
  auto add = [](std::vector<std::string>& list, const std::string& name) {
    for (const std::string& known : list)
      if (known == name) return;
    list.push_back(name);
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (IsDigit(c) || c == '.') {
      ScanNumber(text, pos);
    } else if (IsIdentStart(c)) {
      const std::string name = ReadIdent(text, pos);
      if (const TFunction* f = registry.FindFunc(registry.FuncCode(name))) add(functions, f->Name);
      else if (const TVariable* v = registry.FindVar(registry.VarCode(name))) add(variables, v->Name);
    } else {
      ++pos;
    }
  }
}

TFuncResult ResultType(int code) { return static_cast<TFuncResult>(code); }

}  // namespace

error::error(compile_result result) : std::runtime_error(Describe(result)), result_(std::move(result)) {}

struct expression::state {
  TFennic component{nullptr};
  expression_options options;
  bool ready = false;  // the routine is the one of a successful compile
  std::string text;
  std::vector<std::string> variables, functions;

  void apply(expression_options o) {
    options = o;
    component.SetOutOfOrder(o.regroup ? ooSoft : ooStandart);
    component.SetEliminateBrackets(o.regroup ? ebSoft : ebStandart);
    component.SetGrammar(o.extended_grammar ? grExtended : grStandart);
  }
};

expression::expression(expression_options options) : state_(new state) {
  state_->component.SetAutoCompile(false);
  state_->component.SetAutoConfigure(acAuto);
  state_->apply(options);
}

expression::~expression() { delete state_; }

expression::expression(expression&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }

expression& expression::operator=(expression&& other) noexcept {
  if (this != &other) {
    delete state_;
    state_ = other.state_;
    other.state_ = nullptr;
  }
  return *this;
}

// A moved-from expression starts again empty when it is used.
expression::state& expression::own() {
  if (!state_) *this = expression();
  return *state_;
}

void expression::set_options(expression_options options) { own().apply(options); }

expression_options expression::options() const noexcept { return state_ ? state_->options : expression_options{}; }

namespace {

[[noreturn]] void Refuse(const TCtrlBlck& registry, const std::string& name, const char* what) {
  std::string why = "is taken by a variable";
  if (!IsIdentifier(name)) why = "is not an identifier";
  else if (registry.FuncCode(name) != 0) why = "is taken by a function";
  throw std::invalid_argument("fennic: the " + std::string(what) + " name '" + name + "' " + why);
}

}  // namespace

void expression::bind_variable(std::string_view name, int type, const void* address) {
  TFennic& c = own().component;
  const std::string n(name);
  // The component takes any name for a variable; only an identifier can be written.
  if (!IsIdentifier(n) || c.RegisterVarExt(n, static_cast<TVarType>(type), const_cast<void*>(address)) == 0)
    Refuse(c, n, "variable");
}

void expression::define_constant(std::string_view name, long double value) {
  TFennic& c = own().component;
  const std::string n(name);
  if (c.RegisterFuncExt(n, "", ctBuilt_in, frExtended, 0, nullptr, true, ConstantCode(value)) == 0)
    Refuse(c, n, "constant");
}

void expression::bind_function(std::string_view name, const detail::signature& s, void* address,
                               function_options options) {
  TFennic& c = own().component;
  const std::string n(name);
  // The parameters in the order the text writes them.
  std::vector<std::size_t> order(s.count);
  for (std::size_t i = 0; i < s.count; ++i) order[i] = i;
  // The convention the type declares, unless the host names a compatible one.
  static constexpr convention Declared[3] = {convention::cdecl, convention::stdcall, convention::registers};
  const convention chosen = options.call == convention::cdecl ? Declared[s.declared] : options.call;
  const bool fits = s.declared == 0   ? chosen == convention::cdecl
                    : s.declared == 1 ? chosen == convention::stdcall || chosen == convention::pascal
                                      : chosen == convention::registers;
  if (!fits && !Target64)
    throw std::invalid_argument("fennic: function '" + n + "': its declaration's calling convention is not the one named");
  TCallType call = ctCdecl;
  switch (chosen) {
    case convention::cdecl: break;
    case convention::stdcall: call = ctStdcall; break;
    case convention::pascal:
      call = ctPascal;
      for (std::size_t i = 0; i < s.count; ++i) order[i] = s.count - 1 - i;
      break;
    case convention::registers: {
      call = ctRegister;
      // Up to three integers of 32 bits or less and pointers travel in
      // registers: they are declared first, the stack parameters after
      // them in reverse. A 64-bit integer while registers are left would
      // travel in two of them, which the routine never does.
      auto inRegister = [&](std::size_t i) { return s.references[i] || s.types[i] <= vtUInt32; };
      std::size_t k = 0;
      while (k < s.count && k < 3 && inRegister(k)) ++k;
      for (std::size_t i = k; i < s.count; ++i)
        if ((k < 3 && inRegister(i)) || (k < 3 && !s.references[i] && s.types[i] == vtInt64))
          throw std::invalid_argument("fennic: function '" + n +
                                      "': convention::registers declares the integer and pointer "
                                      "parameters first, and no 64-bit integer while registers are left");
      for (std::size_t i = k; i < s.count; ++i) order[i] = s.count - 1 - (i - k);
      break;
    }
  }
  std::string paramText;
  static constexpr const char* Types[10] = {"i08", "u08", "i16", "u16", "i32", "u32", "i64", "f32", "f64", "f80"};
  for (std::size_t i : order) {
    paramText += s.references[i] ? 'r' : 'v';
    paramText += Types[s.types[i]];
  }
  // Code compiled from C++ may use every x87 register.
  if (c.RegisterFuncExt(n, paramText, call, ResultType(s.result), 8, address, options.pure) == 0)
    Refuse(c, n, "function");
}

compile_result expression::compile(std::string_view text) {
  state& s = own();
  s.ready = false;
  s.variables.clear();
  s.functions.clear();
  s.text.assign(text);
  try {
    s.component.SetExprString(s.text);
    s.component.Compile();
  } catch (const EFloatingPointFault& fault) {
    return compile_result(error_code::aborted, compile_result::npos, 0, fault.what());
  }
  const TDiagnostic d = s.component.Diagnostic();
  if (d.Error != eNone) return compile_result(static_cast<error_code>(d.Error), d.Position, d.Length, d.Message);
  s.ready = true;
  CollectNames(s.component, s.text, s.variables, s.functions);
  return compile_result();
}

void expression::compile_or_throw(std::string_view text) {
  if (compile_result r = compile(text); !r) throw error(std::move(r));
}

long double expression::evaluate() const noexcept {
  if (!state_ || !state_->ready) [[unlikely]]
    return std::numeric_limits<long double>::quiet_NaN();
  return state_->component.Evaluate();
}

bool expression::compiled() const noexcept { return state_ && state_->ready; }

namespace {
const std::string NoText;
const std::vector<std::string> NoNames;
}  // namespace

const std::string& expression::text() const noexcept { return state_ ? state_->text : NoText; }
const std::vector<std::string>& expression::used_variables() const noexcept {
  return state_ ? state_->variables : NoNames;
}
const std::vector<std::string>& expression::used_functions() const noexcept {
  return state_ ? state_->functions : NoNames;
}

TFennic& expression::component() { return own().component; }
const TFennic& expression::component() const {
  if (!state_) throw std::logic_error("fennic: a moved-from expression has no component");
  return state_->component;
}

}  // namespace fennic
