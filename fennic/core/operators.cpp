#include "fennic/core/operators.h"

#include <array>
#include <initializer_list>

namespace fennic {

namespace {

// Each leaves 1 or 0 in ST0, without a jump: FUCOMIP compares, FCMOV picks
// between a loaded 1 and 0. A quiet NaN compares unordered (ZF, PF and CF
// set, no fault), so unequal to everything.
using TPiece = std::initializer_list<std::uint8_t>;
constexpr TPiece Fxch = {0xD9, 0xC9};
constexpr TPiece FucomipPop = {0xDF, 0xE9, 0xDD, 0xD8};  // FUCOMIP ST0, ST1; FSTP ST0: flags, no values
constexpr TPiece OneOverZero = {0xD9, 0xEE, 0xD9, 0xE8};  // FLDZ; FLD1: ST0 1, ST1 0
constexpr TPiece ZeroOverOne = {0xD9, 0xE8, 0xD9, 0xEE};  // FLD1; FLDZ
constexpr TPiece Fldz = {0xD9, 0xEE};
constexpr TPiece Fcmovbe = {0xDA, 0xD1};  // FCMOVBE ST0, ST1: CF or ZF
constexpr TPiece Fcmovb = {0xDA, 0xC1};   // CF
constexpr TPiece Fcmovne = {0xDB, 0xC9};  // not ZF
constexpr TPiece Fcmovu = {0xDA, 0xD9};   // PF
constexpr TPiece FstpSt1 = {0xDD, 0xD9};  // the picked value alone
constexpr TPiece FucomipSt3 = {0xDF, 0xEB};  // FUCOMIP ST0, ST3
constexpr TPiece FxchSt2 = {0xD9, 0xCA};
constexpr TPiece FxchSt3 = {0xD9, 0xCB};
constexpr TPiece FucomiSt3 = {0xDB, 0xEB};  // FUCOMI ST0, ST3: flags, no pop
constexpr TPiece FstpSt0 = {0xDD, 0xD8};
constexpr TPiece FucomiSt2 = {0xDB, 0xEA};
constexpr TPiece FcmovbeSt2 = {0xDA, 0xD2};
constexpr TPiece FcmovbSt2 = {0xDA, 0xC2};

TAByte Join(std::initializer_list<TPiece> Pieces) {
  TAByte code;
  for (const TPiece& p : Pieces) code.insert(code.end(), p.begin(), p.end());
  return code;
}

TFunction Builtin(const char* Name, std::size_t Operands, std::int32_t StackNeeds, TAByte Code) {
  TFunction f;
  f.Name = Name;
  f.Params.assign(Operands, TVarDef{vtExtended, psValue});
  f.CallType = ctBuilt_in;
  f.FuncResult = frExtended;
  f.StackNeeds = StackNeeds;
  f.Foldable = true;
  f.Code = std::move(Code);
  return f;
}

TFunction Unfoldable(TFunction F) {
  F.Foldable = false;
  return F;
}

// The operands arrive as a in ST1, b in ST0. FUCOMIP compares ST0 with ST1:
// "b above a" (CF and ZF clear) is a < b; "b not below a" (CF clear) is
// a <= b; with an FXCH first, the same for a > b and a >= b.
std::array<TFunction, LogicFuncCount> MakeTable() {
  return {
      Builtin("<", 2, 0, Join({FucomipPop, OneOverZero, Fcmovbe, FstpSt1})),
      Builtin("<=", 2, 0, Join({FucomipPop, OneOverZero, Fcmovb, FstpSt1})),
      Builtin(">", 2, 0, Join({Fxch, FucomipPop, OneOverZero, Fcmovbe, FstpSt1})),
      Builtin(">=", 2, 0, Join({Fxch, FucomipPop, OneOverZero, Fcmovb, FstpSt1})),
      // Equal: ZF set and PF clear.
      Builtin("==", 2, 0, Join({FucomipPop, OneOverZero, Fcmovne, Fcmovu, FstpSt1})),
      Builtin("!=", 2, 0, Join({FucomipPop, ZeroOverOne, Fcmovne, Fcmovu, FstpSt1})),
      // !a is 0 == a; the 0 takes a register beyond the operand.
      Builtin("!", 1, 1, Join({Fldz, FucomipPop, OneOverZero, Fcmovne, Fcmovu, FstpSt1})),
      // c in ST2, a in ST1, b in ST0: 0 compared with c leaves b in ST0, a
      // true c (non-zero or NaN) moves a over it; c and a go.
      Builtin("?:", 3, 1, Join({Fldz, FucomipSt3, Fcmovne, Fcmovu, FstpSt1, FstpSt1})),
      // Never run as code: the code generator branches. Not foldable: the
      // simplifier picks the branch of a constant condition itself.
      Unfoldable(Builtin("?:", 3, 0, {})),
      // a in ST3, b in ST2, then in ST1, else in ST0. The operand that the
      // test wants on top comes up (b for < and <=, a for > and >=, as
      // above), is compared with the other one and goes; "then" is in ST0,
      // and "else" moves over it when the comparison fails; what is left
      // below goes. For < and <=, "else" is then in ST1 and a in ST2; for >
      // and >=, b is in ST1 and "else" in ST2.
      Builtin("<?:", 4, 0, Join({FxchSt2, FucomiSt3, FstpSt0, Fcmovbe, FstpSt1, FstpSt1})),
      Builtin("<=?:", 4, 0, Join({FxchSt2, FucomiSt3, FstpSt0, Fcmovb, FstpSt1, FstpSt1})),
      Builtin(">?:", 4, 0, Join({FxchSt3, FucomiSt2, FstpSt0, FcmovbeSt2, FstpSt1, FstpSt1})),
      Builtin(">=?:", 4, 0, Join({FxchSt3, FucomiSt2, FstpSt0, FcmovbSt2, FstpSt1, FstpSt1})),
      Builtin("==?:", 4, 0, Join({FxchSt2, FucomiSt3, FstpSt0, Fcmovne, Fcmovu, FstpSt1, FstpSt1})),
      // Unequal: "else" on top, "then" moves over it.
      Builtin("!=?:", 4, 0, Join({FxchSt2, FucomiSt3, FstpSt0, Fxch, Fcmovne, Fcmovu, FstpSt1, FstpSt1})),
  };
}

}  // namespace

const TFunction* LogicFunction(std::int32_t Code) {
  static const std::array<TFunction, LogicFuncCount> table = MakeTable();
  return IsLogicFuncCode(Code) ? &table[static_cast<std::size_t>(Code - LogicFuncBase)] : nullptr;
}

}  // namespace fennic
