// Scanning helpers of raw and coded text; every coded-text scan must take a
// marker with its payload as one unit, whatever bytes the payload holds.
#include <gtest/gtest.h>

#include <string>

#include "fennic/core/codedtext.h"

namespace fennic {
namespace {

// Variable markers whose code bytes read as brackets, signs, operators and
// commas when the payload rule is not honoured.
const std::string VOpen = MarkerWithCode(VarMarker, '(');
const std::string VClose = MarkerWithCode(VarMarker, ')');
const std::string VPlus = MarkerWithCode(VarMarker, '+');
const std::string VMinus = MarkerWithCode(VarMarker, '-');
const std::string VMul = MarkerWithCode(VarMarker, '*');
const std::string VDiv = MarkerWithCode(VarMarker, '/');
const std::string VComma = MarkerWithCode(VarMarker, ',');
const std::string FOpen = MarkerWithCode(FuncMarker, 0x28282828);
const std::string K(1, ConstMarker);
// An inline integer constant whose value bytes are ")+,*".
const std::string Inline = std::string("\x0A\x04", 2) + ")+,*" + std::string(4, '\0');

TEST(CodedText, ScanNumberTakesTheWholeLiteral) {
  const std::pair<const char*, const char*> cases[] = {
      {"12", "12"},       {"12.5e3x", "12.5e3"}, {"1e+-5*2", "1e+-5"}, {"1.2.3+1", "1.2.3"},
      {"2x", "2"},        {"1E-3-2", "1E-3"},    {"1e5.5+1", "1e5.5"}, {"1e", "1e"},
      {".5)", ".5"},      {"3ee", "3e"},
  };
  for (auto [text, literal] : cases) {
    std::size_t pos = 0;
    EXPECT_EQ(ScanNumber(text, pos), literal) << text;
    EXPECT_EQ(pos, std::string(literal).size()) << text;
  }
}

TEST(CodedText, TopLevelSigns) {
  EXPECT_TRUE(HasNoTopLevelSign("x*(y+z)"));
  EXPECT_FALSE(HasNoTopLevelSign("-x"));
  EXPECT_FALSE(HasNoTopLevelSign("(y)-z"));
  EXPECT_TRUE(HasNoTopLevelSign(VPlus + "*" + VMinus + "/" + FOpen + "(" + Inline + ")"));
  EXPECT_FALSE(HasNoTopLevelSign(VOpen + "-" + VPlus));
}

TEST(CodedText, WholeBracket) {
  EXPECT_TRUE(WholeBracket("(x+y)"));
  EXPECT_TRUE(WholeBracket("((x)*(y))"));
  EXPECT_FALSE(WholeBracket("(x)*(y)"));
  EXPECT_FALSE(WholeBracket("x"));
  EXPECT_TRUE(WholeBracket("(" + VClose + "+" + VOpen + ")"));
  EXPECT_FALSE(WholeBracket("(" + VOpen + ")*" + VClose));
}

TEST(CodedText, FlipSigns) {
  EXPECT_EQ(FlipSigns("x+y", false), "+x+y");
  EXPECT_EQ(FlipSigns("x+y", true), "-x-y");
  EXPECT_EQ(FlipSigns("-x+(y-z)", true), "+x-(y-z)");
  EXPECT_EQ(FlipSigns("-x+(y-z)", false), "-x+(y-z)");
  EXPECT_EQ(FlipSigns(VMinus + "-" + VPlus + "*(" + VOpen + "+" + Inline + ")", true),
            "-" + VMinus + "+" + VPlus + "*(" + VOpen + "+" + Inline + ")");
}

TEST(CodedText, FlipMulDiv) {
  EXPECT_EQ(FlipMulDiv("*x/y*(z*w)"), "/x*y/(z*w)");
  EXPECT_EQ(FlipMulDiv("*" + VDiv + "/" + VMul + "*" + FOpen + "(" + Inline + ")"),
            "/" + VDiv + "*" + VMul + "/" + FOpen + "(" + Inline + ")");
}

TEST(CodedText, BracketsAndCommasSkipPayloads) {
  const std::string args = VComma + "+" + FOpen + "(" + VClose + "," + Inline + ")," + K;
  EXPECT_EQ(FindComma(args), args.size() - 2);
  EXPECT_EQ(FindComma("(a,b)"), std::string::npos);
  std::string group = "(" + VClose + "*(" + VOpen + "))+" + VClose;
  std::size_t pos = 0;
  EXPECT_TRUE(SkipBracketGroup(group, pos));
  EXPECT_EQ(pos, group.size() - 6);
  pos = 0;
  EXPECT_FALSE(SkipBracketGroup("((x)", pos));
  EXPECT_EQ(pos, 4u);
}

TEST(CodedText, IdentifiersAndTableConstants) {
  std::size_t pos = 2;
  EXPECT_EQ(ReadIdent("2*_a1b+c", pos), "_a1b");
  EXPECT_EQ(pos, 6u);
  pos = 0;
  EXPECT_EQ(ReadIdent("1ab", pos), "");
  EXPECT_EQ(pos, 0u);
  EXPECT_TRUE(IsTableConstant(K));
  EXPECT_FALSE(IsTableConstant(Inline));
  EXPECT_FALSE(IsTableConstant(K + "*" + K));
}

}  // namespace
}  // namespace fennic
