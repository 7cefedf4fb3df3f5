// The text layer: replacement pairs, %NAME% expansion, the tokenizer and the
// portable text services.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace tamsorel::test {
namespace {

TEST(ScriptRun, PairsAreCopiedAndTheEarliestMatchWinsWithoutRegardToCase) {
  MemoryRegistry text;
  ScriptRun run;
  std::u16string key = u"Module";
  std::u16string value = u"C:\\one.dll";
  ASSERT_EQ(run.AddPair(key.c_str(), value.c_str()), S_OK);
  ASSERT_EQ(run.AddPair(u"MODULE", u"C:\\two.dll"), S_OK);
  key[0] = u'X';  // the run holds its own copies
  value[0] = u'X';
  EXPECT_EQ(run.Count(), 2);
  EXPECT_EQ(std::u16string(run.FindReplacement(u"module", text)), u"C:\\one.dll");
  EXPECT_EQ(run.FindReplacement(u"Modul", text), nullptr);
  EXPECT_EQ(run.FindReplacement(u"Module_Raw", text), nullptr);

  EXPECT_EQ(run.AddPair(nullptr, u"v"), E_INVALIDARG);
  EXPECT_EQ(run.AddPair(u"k", nullptr), E_INVALIDARG);
  EXPECT_EQ(run.Count(), 2);

  EXPECT_EQ(run.ClearPairs(), S_OK);
  EXPECT_EQ(run.Count(), 0);
  EXPECT_EQ(run.FindReplacement(u"Module", text), nullptr);
  ASSERT_EQ(run.AddPair(u"Module", u"again"), S_OK);  // usable after clearing
  EXPECT_EQ(std::u16string(run.FindReplacement(u"MODULE", text)), u"again");

  // The IUnknown-shaped slots do nothing.
  void* object = &run;
  EXPECT_EQ(run.QueryInterface(nullptr, &object), E_NOTIMPL);
  EXPECT_EQ(object, &run);
  EXPECT_EQ(run.AddRef(), 1u);
  EXPECT_EQ(run.Release(), 0u);
  EXPECT_EQ(run.Count(), 1);
}

struct ExpandCase {
  const char* name;
  std::string text;
  HRESULT result;
  std::string expanded;
};

class Expand : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(Expand, Text) {
  const ExpandCase& c = GetParam();
  MemoryRegistry registry;
  {
    ScriptRun run;
    ASSERT_EQ(run.AddPair(u"APPID", u"{A}"), S_OK);
    ASSERT_EQ(run.AddPair(u"Module", u"C:\\it''s.dll"), S_OK);
    ASSERT_EQ(run.AddPair(u"P", u"%x%"), S_OK);
    ASSERT_EQ(run.AddPair(u"abcdefghijklmnopqrstuvwxyz01234", u"31"), S_OK);
    ASSERT_EQ(run.AddPair(u"abcdefghijklmnopqrstuvwxyz012345", u"32"), S_OK);
    ScriptParser parser(registry, &run);
    char16_t* out = reinterpret_cast<char16_t*>(&run);  // must be reset
    std::u16string text = U(c.text);
    EXPECT_EQ(parser.ExpandReplacements(text.c_str(), &out), c.result) << HResultText(c.result);
    if (c.result == S_OK) {
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(std::u16string(out), U(c.expanded));
      registry.Free(out);
    } else {
      EXPECT_EQ(out, nullptr);
    }
  }
  EXPECT_EQ(registry.LiveBlockCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Replacements, Expand,
    ::testing::Values(
        ExpandCase{"Empty", "", S_OK, ""},
        ExpandCase{"Plain", "HKCR { a }", S_OK, "HKCR { a }"},
        ExpandCase{"Name", "x%APPID%y", S_OK, "x{A}y"},
        ExpandCase{"NameAnyCase", "'%MODULE%'", S_OK, "'C:\\it''s.dll'"},
        ExpandCase{"ValueNotExpandedAgain", "%P%", S_OK, "%x%"},
        ExpandCase{"DoublePercent", "100%%", S_OK, "100%"},
        ExpandCase{"FourPercent", "%%%%", S_OK, "%%"},
        ExpandCase{"DoublePercentThenName", "%%%APPID%", S_OK, "%{A}"},
        ExpandCase{"NameOf31", "%abcdefghijklmnopqrstuvwxyz01234%", S_OK, "31"},
        ExpandCase{"NameOf32", "%abcdefghijklmnopqrstuvwxyz012345%", E_FAIL, ""},
        ExpandCase{"LonePercentAtEnd", "abc%", DISP_E_EXCEPTION, ""},
        ExpandCase{"Unclosed", "%APPID", DISP_E_EXCEPTION, ""},
        ExpandCase{"UnknownName", "%Nope%", DISP_E_EXCEPTION, ""},
        ExpandCase{"DoublePercentThenLone", "%%APPID%", DISP_E_EXCEPTION, ""}),
    [](const auto& info) { return info.param.name; });

TEST(Expand, NullArgumentsAndNoPairs) {
  MemoryRegistry registry;
  ScriptParser parser(registry, nullptr);
  char16_t* out = nullptr;
  EXPECT_EQ(parser.ExpandReplacements(nullptr, &out), E_POINTER);
  EXPECT_EQ(parser.ExpandReplacements(u"x", nullptr), E_POINTER);
  EXPECT_EQ(parser.RunScript(nullptr, true), E_POINTER);
  EXPECT_EQ(parser.ExpandReplacements(u"%APPID%", &out), DISP_E_EXCEPTION);
  ASSERT_EQ(parser.ExpandReplacements(u"a%%b", &out), S_OK);
  EXPECT_EQ(std::u16string(out), u"a%b");
  registry.Free(out);
  EXPECT_EQ(registry.LiveBlockCount(), 0u);
}

TEST(Expand, GrownTextIsWholeAndFailuresLeaveNothingBehind) {
  ScriptRun run;
  std::u16string big(3000, u'v');
  ASSERT_EQ(run.AddPair(u"Big", big.c_str()), S_OK);
  const std::u16string text = u"%Big%%Big%";

  MemoryRegistry registry;
  ScriptParser parser(registry, &run);
  char16_t* out = nullptr;
  ASSERT_EQ(parser.ExpandReplacements(text.c_str(), &out), S_OK);
  EXPECT_EQ(std::u16string(out), big + big);
  registry.Free(out);

  registry.FailCall(MemoryRegistry::Op::Alloc, 1);
  EXPECT_EQ(parser.ExpandReplacements(text.c_str(), &out), E_OUTOFMEMORY);
  EXPECT_EQ(out, nullptr);
  registry.FailCall(MemoryRegistry::Op::Realloc, 1);
  EXPECT_EQ(parser.ExpandReplacements(text.c_str(), &out), E_OUTOFMEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(registry.LiveBlockCount(), 0u);

  // A failed expansion touches nothing: RunScript returns it unchanged.
  registry.FailCall(MemoryRegistry::Op::Alloc, 1);
  EXPECT_EQ(parser.RunScript(u"HKCU { A }", true), E_OUTOFMEMORY);
  EXPECT_EQ(registry.Dump(), "");
}

// The expanded text starts at twice the text's length (1000 units when that
// is below 100) and doubles whenever the next append would leave no room
// beyond its terminator.
TEST(Expand, CapacityStartsAtTwiceTheLengthAndDoubles) {
  const struct {
    const char* name;
    std::u16string text;
    std::size_t valueUnits;  // length of the value of %V%
    std::vector<std::size_t> allocations;
  } cases[] = {
      {"Empty", u"", 0, {2000}},
      {"Length49", std::u16string(49, u'a'), 0, {2000}},
      {"Length50", std::u16string(50, u'a'), 0, {200}},
      {"Length600", std::u16string(600, u'a'), 0, {2400}},
      {"FillsAllButTheTerminator", u"%V%", 998, {2000}},
      {"OneMoreDoubles", u"%V%", 999, {2000, 4000}},
      {"DoublesUntilItFits", u"%V%", 2999, {2000, 8000}},
      {"AfterText", std::u16string(50, u'a') + u"%V%", 54, {212}},
      {"AfterTextDoubles", std::u16string(50, u'a') + u"%V%", 55, {212, 424}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingRegistry registry;
    ScriptRun run;
    const std::u16string value(c.valueUnits, u'v');
    ASSERT_EQ(run.AddPair(u"V", value.c_str()), S_OK);
    ScriptParser parser(registry, &run);
    char16_t* out = nullptr;
    ASSERT_EQ(parser.ExpandReplacements(c.text.c_str(), &out), S_OK);
    EXPECT_EQ(registry.allocations, c.allocations);
    registry.Free(out);
  }
}

struct TokenCase {
  const char* name;
  std::u16string text;
  std::vector<std::u16string> tokens;  // read in order, all S_OK
  HRESULT last;                        // result of the read after them
  std::u16string rest;                 // cursor after the last good token
};

class Tokens : public ::testing::TestWithParam<TokenCase> {};

TEST_P(Tokens, Read) {
  const TokenCase& c = GetParam();
  MemoryRegistry registry;
  ScriptParser parser(registry, nullptr);
  parser.SetCursor(c.text.c_str());
  std::vector<char16_t> buffer(kTokenBufferUnits);
  for (const std::u16string& expected : c.tokens) {
    ASSERT_EQ(parser.NextToken(buffer.data()), S_OK);
    EXPECT_EQ(std::u16string(buffer.data()), expected);
  }
  if (c.last == S_OK) {
    EXPECT_EQ(std::u16string(parser.Cursor()), c.rest);
  } else {
    EXPECT_EQ(parser.NextToken(buffer.data()), c.last);
  }
}

const std::u16string kLong4094(4094, u'x');
const std::u16string kLong4095(4095, u'x');

INSTANTIATE_TEST_SUITE_P(
    Tokenizer, Tokens,
    ::testing::Values(
        TokenCase{"Empty", u"", {}, DISP_E_EXCEPTION, u""},
        TokenCase{"OnlyWhitespace", u" \t\r\n", {}, DISP_E_EXCEPTION, u""},
        TokenCase{"WhitespaceKinds", u"\ta\nb\rc d\r\n", {u"a", u"b", u"c", u"d"}, DISP_E_EXCEPTION, u""},
        TokenCase{"FormFeedIsNotWhitespace", u"a\fb c", {u"a\fb", u"c"}, DISP_E_EXCEPTION, u""},
        TokenCase{"BraceAgainstName", u"HKCR{ }", {u"HKCR{", u"}"}, DISP_E_EXCEPTION, u""},
        TokenCase{"TrailingWhitespaceKept", u"abc  \r\n", {u"abc"}, S_OK, u"  \r\n"},
        TokenCase{"Quoted", u"'a b' '{' '='", {u"a b", u"{", u"="}, DISP_E_EXCEPTION, u""},
        TokenCase{"DoubledApostrophe", u"'it''s'x", {u"it's"}, S_OK, u"x"},
        TokenCase{"EmptyQuoted", u"'' y", {u"", u"y"}, DISP_E_EXCEPTION, u""},
        TokenCase{"OnlyDoubledApostrophes", u"''''''", {u"''"}, DISP_E_EXCEPTION, u""},
        TokenCase{"ApostropheInsideUnquoted", u"a'b c", {u"a'b", u"c"}, DISP_E_EXCEPTION, u""},
        TokenCase{"UnclosedQuote", u"'abc", {}, DISP_E_EXCEPTION, u""},
        TokenCase{"UnclosedAfterDouble", u"'abc''", {}, DISP_E_EXCEPTION, u""},
        TokenCase{"SurrogatePair", u"a\U0001F600b c", {u"a\U0001F600b", u"c"}, DISP_E_EXCEPTION, u""},
        TokenCase{"Unquoted4094", kLong4094 + u" y", {kLong4094, u"y"}, DISP_E_EXCEPTION, u""},
        TokenCase{"Unquoted4095", kLong4095, {}, DISP_E_EXCEPTION, u""},
        TokenCase{"Quoted4094", u"'" + kLong4094 + u"'", {kLong4094}, S_OK, u""},
        TokenCase{"Quoted4095", u"'" + kLong4095 + u"'", {}, DISP_E_EXCEPTION, u""}),
    [](const auto& info) { return info.param.name; });

TEST(Tokens, NoCursorIsTheEndOfText) {
  MemoryRegistry registry;
  ScriptParser parser(registry, nullptr);
  char16_t buffer[kTokenBufferUnits];
  EXPECT_EQ(parser.NextToken(buffer), DISP_E_EXCEPTION);
  parser.SkipWhitespace();  // must not crash without a text
  EXPECT_EQ(parser.Cursor(), nullptr);
}

TEST(HexDigits, DigitsOfBothCasesAndEverythingElseIsZero) {
  const struct {
    char16_t c;
    unsigned value;
  } cases[] = {
      {u'0', 0},  {u'9', 9},  {u'A', 10}, {u'F', 15}, {u'a', 10}, {u'f', 15},
      {u'/', 0},  {u':', 0},  {u'@', 0},  {u'G', 0},  {u'`', 0},  {u'g', 0},
      {u' ', 0},  {0, 0},     {0xFF10, 0} /* fullwidth 0 */,
      {0x0161, 0} /* 'a' + 0x100: the whole unit counts, not its low byte */,
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScriptParser::HexDigitValue(c.c), c.value) << static_cast<unsigned>(c.c);
  }
}

TEST(ProtectedNames, MatchWholeNamesWithoutRegardToCase) {
  MemoryRegistry registry;
  ScriptParser parser(registry, nullptr);
  for (const char16_t* name : {u"appid", u"CLSID", u"component categories", u"FILETYPE",
                               u"Interface", u"hardware", u"MIME", u"sam", u"Security",
                               u"system", u"SOFTWARE", u"typelib"}) {
    EXPECT_FALSE(parser.IsDeletableKeyName(name));
  }
  for (const char16_t* name : {u"AppIDs", u"CLSID2", u"Components", u"", u"{062AB647}",
                               u"Software\\Classes"}) {
    EXPECT_TRUE(parser.IsDeletableKeyName(name));
  }
}

struct NumberCase {
  const char16_t* text;
  HRESULT result;
  uint32_t value;
};

TEST(PortableText, NumberConversion) {
  const NumberCase cases[] = {
      {u"0", S_OK, 0},
      {u"1234", S_OK, 1234},
      {u"0004294967295", S_OK, 0xFFFFFFFFu},
      {u"4294967296", DISP_E_OVERFLOW, 0},
      {u"99999999999999999999999", DISP_E_OVERFLOW, 0},
      {u"", DISP_E_TYPEMISMATCH, 0},
      {u"-1", DISP_E_TYPEMISMATCH, 0},
      {u"+1", DISP_E_TYPEMISMATCH, 0},
      {u"12a", DISP_E_TYPEMISMATCH, 0},
      {u"0x10", DISP_E_TYPEMISMATCH, 0},
      {u" 1", DISP_E_TYPEMISMATCH, 0},
      {u"99999999999x", DISP_E_TYPEMISMATCH, 0},
  };
  for (const NumberCase& c : cases) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(portable_text::ParseUInt32(c.text, &value), c.result);
    EXPECT_EQ(value, c.result == S_OK ? c.value : 0xDEADBEEFu);
  }
}

TEST(PortableText, CaseFoldingAndStepping) {
  EXPECT_EQ(portable_text::CompareNoCase(u"HKEY_Local_Machine", u"hkey_local_machine"), 0);
  EXPECT_EQ(portable_text::CompareNoCase(u"\u00C9t\u00E9", u"\u00E9T\u00C9"), 0);
  EXPECT_NE(portable_text::CompareNoCase(u"a", u"ab"), 0);
  EXPECT_LT(portable_text::CompareNoCase(u"a", u"B"), 0);
  EXPECT_GT(portable_text::CompareNoCase(u"b", u"A"), 0);
  EXPECT_NE(portable_text::CompareNoCase(u"[", u"{"), 0);  // only letters fold
  EXPECT_NE(portable_text::CompareNoCase(u"\u00F7", u"\u00D7"), 0);

  const char16_t text[] = u"a\U0001F600\xD800z";
  const char16_t* p = text;
  p = portable_text::NextChar(p);
  EXPECT_EQ(p, text + 1);
  p = portable_text::NextChar(p);
  EXPECT_EQ(p, text + 3);  // a whole surrogate pair
  p = portable_text::NextChar(p);
  EXPECT_EQ(p, text + 4);  // a lone high surrogate is one unit
  p = portable_text::NextChar(portable_text::NextChar(p));
  EXPECT_EQ(p, text + 5);  // stays at the terminator
}

}  // namespace
}  // namespace tamsorel::test
