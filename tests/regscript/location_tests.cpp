// Where a failed run stopped: line, column and token in the text as given,
// for syntax errors, replacements that do not expand, tokens that came from
// a replacement, and registry failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace tamsorel::test {
namespace {

struct LocationCase {
  const char* name;
  std::u16string script;
  bool registerMode;
  HRESULT result;
  uint32_t line;
  uint32_t column;
  std::u16string token;
  bool atEnd;
};

class Location : public ::testing::TestWithParam<LocationCase> {};

TEST_P(Location, NamesLineColumnAndToken) {
  const LocationCase& c = GetParam();
  MemoryRegistry registry;
  // For the unregistration case: a key the script cannot remove.
  ASSERT_TRUE(registry.AddKey(u"HKCU\\Second\\Foreign"));
  ScriptRun run;
  ASSERT_EQ(run.AddPair(u"Block", u"{ Bad\\X }"), S_OK);
  ScriptParser parser(registry, &run);
  ASSERT_EQ(HResultText(parser.RunScript(c.script.c_str(), c.registerMode)), HResultText(c.result));
  const ScriptLocation& at = parser.FailureLocation();
  EXPECT_TRUE(at.known);
  EXPECT_EQ(at.line, c.line);
  EXPECT_EQ(at.column, c.column);
  EXPECT_EQ(DumpText(at.token), DumpText(c.token));
  EXPECT_EQ(at.atEnd, c.atEnd);
  EXPECT_FALSE(at.tokenCut);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, Location,
    ::testing::Values(
        LocationCase{"UnknownRoot", u"HKXX { }", true, DISP_E_EXCEPTION, 1, 1, u"HKXX", false},
        LocationCase{"BadKeyNameOnThirdLine", u"HKCU\r\n{\r\n    Bad\\Name\r\n}\r\n", false,
                     DISP_E_EXCEPTION, 3, 5, u"Bad\\Name", false},
        LocationCase{"UnknownTypeLetter", u"HKCU { A = x 'v' }", true, DISP_E_EXCEPTION, 1, 12,
                     u"x", false},
        LocationCase{"QuotedTokenAsWritten", u"HKCU {\n\tval 'it''s' }", true, DISP_E_EXCEPTION,
                     2, 14, u"}", false},
        LocationCase{"TextEndsInsideABlock", u"HKCU {\n A", true, DISP_E_EXCEPTION, 2, 3, u"",
                     true},
        LocationCase{"UnclosedQuote", u"HKCU { 'A }", true, DISP_E_EXCEPTION, 1, 8, u"'A }",
                     false},
        LocationCase{"OddBinaryValue", u"HKCU { A = b 'abc' }", true, E_FAIL, 1, 14, u"'abc'",
                     false},
        // A surrogate pair is one character of its line.
        LocationCase{"ColumnsCountCharacters", u"HKCU { '\U0001F600' Bad\\X }", true,
                     DISP_E_EXCEPTION, 1, 12, u"Bad\\X", false},
        LocationCase{"UnknownReplacement", u"HKCU {\n %Nope% }", true, DISP_E_EXCEPTION, 2, 2,
                     u"%Nope%", false},
        LocationCase{"UnterminatedReplacement", u"HKCU { A = s '100%' }", true,
                     DISP_E_EXCEPTION, 1, 18, u"%' }", false},
        // A token that came from a replacement is placed at its '%'; the
        // token is the one the walker read.
        LocationCase{"TokenFromAReplacement", u"HKCU\n  %Block%", true, DISP_E_EXCEPTION, 2, 3,
                     u"Bad\\X", false},
        LocationCase{"AfterAReplacement", u"HKCU %Block% }", true, DISP_E_EXCEPTION, 1, 6,
                     u"Bad\\X", false},
        LocationCase{"AfterADoubledPercent", u"HKCU { A = s '%%' Bad\\X }", true,
                     DISP_E_EXCEPTION, 1, 19, u"Bad\\X", false},
        // A key that unregistration cannot remove is placed at its name,
        // not at the token after its block.
        LocationCase{"RemovalRefusedAtTheKeyName", u"HKCU {\n First\n Second { Known } }",
                     false, HResultFromWin32(kErrorAccessDenied), 3, 2, u"Second", false}),
    [](const auto& info) { return info.param.name; });

TEST(Location, LongTokenIsCutAndSuccessHasNoPlace) {
  MemoryRegistry registry;
  ScriptParser parser(registry, nullptr);
  const std::u16string longName(5000, u'k');
  ASSERT_EQ(parser.RunScript((u"HKCU {\n " + longName + u" }").c_str(), true), DISP_E_EXCEPTION);
  const ScriptLocation& at = parser.FailureLocation();
  EXPECT_TRUE(at.known);
  EXPECT_EQ(at.line, 2u);
  EXPECT_EQ(at.column, 2u);
  EXPECT_TRUE(at.tokenCut);
  EXPECT_EQ(std::u16string(at.token), longName.substr(0, ScriptLocation::kTokenUnits));

  ASSERT_EQ(parser.RunScript(u"HKCU { A }", true), S_OK);
  EXPECT_FALSE(parser.FailureLocation().known);
}

}  // namespace
}  // namespace tamsorel::test
