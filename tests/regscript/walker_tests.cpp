// The walker against the in-memory registry: what register and unregister
// mode leave behind, what they return, and that every key handle and
// expansion block is released on every path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace tamsorel::test {
namespace {

// A key (text null) or a string value (name null: the default value) that
// exists before the script runs.
struct Seed {
  const char16_t* path;
  const char16_t* name;
  const char16_t* text;
};

void Plant(MemoryRegistry& registry, const std::vector<Seed>& seeds) {
  for (const Seed& seed : seeds) {
    if (seed.text) {
      ASSERT_TRUE(registry.PutString(seed.path, seed.name, seed.text));
    } else {
      ASSERT_TRUE(registry.AddKey(seed.path));
    }
  }
}

void ExpectNothingLeftOpen(const MemoryRegistry& registry) {
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
  EXPECT_EQ(registry.LiveBlockCount(), 0u);
}

struct WalkCase {
  const char* name;
  std::vector<Seed> seeds;
  std::string script;
  bool registerMode;
  HRESULT result;
  std::string dump;  // the whole registry afterwards
};

class Walk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walk, LeavesTheRegistryAsExpected) {
  const WalkCase& c = GetParam();
  MemoryRegistry registry;
  Plant(registry, c.seeds);
  EXPECT_EQ(HResultText(RunText(registry, c.script, c.registerMode)), HResultText(c.result));
  EXPECT_EQ(registry.Dump(), c.dump);
  ExpectNothingLeftOpen(registry);
}

const std::string kNested64 = [] {
  std::string s = "HKCU {";
  for (int i = 0; i < 63; ++i) s += " a {";
  for (int i = 0; i < 64; ++i) s += " }";
  return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Scripts, Walk,
    ::testing::Values(
        WalkCase{"ValuesOfEachType",
                 {},
                 "HKCU\r\n{\r\n"
                 "\tA = s 'abc'\r\n\t{\r\n"
                 "\t\tval S = s 'x y'\r\n"
                 "\t\tval M = m 'x\\0y\\0'\r\n"
                 "\t\tval MEmpty = M ''\r\n"
                 "\t\tval MNoEnd = m 'a\\0b'\r\n"
                 "\t\tval MEarlyEnd = m 'a\\0\\0b\\0'\r\n"
                 "\t\tval D = d '1234'\r\n"
                 "\t\tval B = b '0aFf'\r\n"
                 "\t\tval B0g = B '0g'\r\n"
                 "\t\tval BEmpty = b ''\r\n"
                 "\t\tVAL 'it''s' = S ''\r\n"
                 "\t\tval '' = s 'default via Val'\r\n"
                 "\t}\r\n}\r\n",
                 true,
                 S_OK,
                 "HKCU\\A\n"
                 "  @ = REG_SZ \"default via Val\\0\"\n"
                 "  \"B\" = REG_BINARY 0a ff\n"
                 "  \"B0g\" = REG_BINARY 00\n"
                 "  \"BEmpty\" = REG_BINARY\n"
                 "  \"D\" = REG_DWORD 0x000004D2\n"
                 "  \"it's\" = REG_SZ \"\\0\"\n"
                 "  \"M\" = REG_MULTI_SZ \"x\\0y\\0\\0\"\n"
                 "  \"MEarlyEnd\" = REG_MULTI_SZ \"a\\0\\0\"\n"
                 "  \"MEmpty\" = REG_MULTI_SZ \"\\0\"\n"
                 "  \"MNoEnd\" = REG_MULTI_SZ \"a\\0b\\0\\0\"\n"
                 "  \"S\" = REG_SZ \"x y\\0\"\n"},
        WalkCase{"MarksInRegisterMode",
                 {{u"HKCR\\CLSID\\Old", nullptr, nullptr},
                  {u"HKCR\\CLSID\\{G}\\Old\\Deeper", u"v", u"old"},
                  {u"HKCR\\{G}\\Sub", nullptr, nullptr},
                  {u"HKCR\\Gone\\Sub\\Deeper", nullptr, nullptr},
                  {u"HKCR\\Software\\Keep", nullptr, nullptr},
                  {u"HKCR\\SAM\\Keep", nullptr, nullptr}},
                 "HKCR\r\n{\r\n"
                 "\tForceRemove CLSID\r\n\t{\r\n"
                 "\t\tForceRemove {G} = s 'new'\r\n"
                 "\t}\r\n"
                 "\tforceremove {G}\r\n\t{\r\n\t\tFresh\r\n\t}\r\n"
                 "\tDelete Gone = s 'ignored'\r\n"
                 "\tDELETE Software\r\n"
                 "\tDelete sam\r\n"
                 "\tNoRemove Made\r\n"
                 "\t'{' Quoted '}'\r\n"
                 "}\r\n",
                 true,
                 S_OK,
                 "HKCR\\CLSID\n"
                 "HKCR\\CLSID\\Old\n"
                 "HKCR\\CLSID\\{G}\n"
                 "  @ = REG_SZ \"new\\0\"\n"
                 "HKCR\\Made\n"
                 "HKCR\\Made\\Quoted\n"
                 "HKCR\\SAM\n"
                 "HKCR\\SAM\\Keep\n"
                 "HKCR\\Software\n"
                 "HKCR\\Software\\Keep\n"
                 "HKCR\\{G}\n"
                 "HKCR\\{G}\\Fresh\n"},
        WalkCase{"RootNamesAnySpelling",
                 {},
                 "hklm { A } HKEY_LOCAL_MACHINE { B } HKDD { C } HKCC { D }\n"
                 "hkey_current_config { E } HKEY_DYN_DATA { F } HKU { G } HKEY_USERS { H }\n"
                 "HKPD { I } HKEY_PERFORMANCE_DATA { J } HKEY_CLASSES_ROOT { K } hkey_current_user { L }",
                 true,
                 S_OK,
                 "HKCR\\K\nHKCU\\L\nHKLM\\A\nHKLM\\B\nHKU\\G\nHKU\\H\nHKPD\\I\nHKPD\\J\n"
                 "HKCC\\D\nHKCC\\E\nHKDD\\C\nHKDD\\F\n"},
        WalkCase{"UnregisterRemovesWhatItNames",
                 {{u"HKCU", u"RootValue", u"r"},
                  {u"HKCU\\Keep", u"V", u"v"},
                  {u"HKCU\\Keep", u"Other", u"o"},
                  {u"HKCU\\Keep", u"Kept", u"k"},
                  {u"HKCU\\Keep\\Child", nullptr, u"c"},
                  {u"HKCU\\Keep\\Child\\Grand", nullptr, nullptr},
                  {u"HKCU\\Gone\\Sub", nullptr, nullptr}},
                 "HKCU\r\n{\r\n"
                 "\tval RootValue = s 'r'\r\n"
                 "\tNoRemove Keep = s 'default ignored'\r\n\t{\r\n"
                 "\t\tval V = s 'x'\r\n"
                 "\t\tNoRemove val Kept = s 'k'\r\n"
                 "\t\tChild = s 'y'\r\n\t\t{\r\n"
                 "\t\t\tGrand\r\n"
                 "\t\t\tNoRemove Missing { Deeper { val Z = d 'q' } }\r\n"
                 "\t\t}\r\n"
                 "\t}\r\n"
                 "\tGone\r\n\t{\r\n\t\tSub\r\n\t}\r\n"
                 "\tAbsent { val W = b 'odd' }\r\n"
                 "}\r\n",
                 false,
                 S_OK,
                 "HKCU\\Keep\n"
                 "  \"Kept\" = REG_SZ \"k\\0\"\n"
                 "  \"Other\" = REG_SZ \"o\\0\"\n"},
        WalkCase{"UnregisterKeywordsAnyCaseAndQuoted",
                 {{u"HKCU\\A", nullptr, nullptr},
                  {u"HKCU\\B", nullptr, nullptr},
                  {u"HKCU\\C", nullptr, nullptr},
                  {u"HKCU\\D\\S", nullptr, nullptr}},
                 "HKCU { 'NoRemove' A noremove B = s 'x' FORCEREMOVE C Delete D = s 'x' { S } }",
                 false,
                 S_OK,
                 "HKCU\\A\nHKCU\\B\n"},
        WalkCase{"UnregisterNeverRegistered",
                 {{u"HKCU\\Unrelated", u"v", u"u"}},
                 "HKCU { NoRemove Software { Vendor = s 'x' { Product { val V = m 'a\\0' } } } "
                 "ForceRemove Other } HKLM { Elsewhere }",
                 false,
                 S_OK,
                 "HKCU\\Unrelated\n  \"v\" = REG_SZ \"u\\0\"\n"},
        WalkCase{"UnregisterRefusesKeyWithForeignSubkey",
                 {{u"HKCU\\First\\X", nullptr, nullptr},
                  {u"HKCU\\Second\\Known", nullptr, nullptr},
                  {u"HKCU\\Second\\Foreign", nullptr, nullptr},
                  {u"HKCU\\Third", nullptr, nullptr}},
                 "HKCU { First { X } Second { Known } Third }",
                 false,
                 HResultFromWin32(kErrorAccessDenied),
                 "HKCU\\Second\nHKCU\\Second\\Foreign\nHKCU\\Third\n"},
        WalkCase{"SyntaxErrorBelowAbsentKeyIsIgnored",
                 {{u"HKCU\\Present", nullptr, nullptr}},
                 "HKCU { Missing { Val x } Present }",
                 false,
                 S_OK,
                 ""},
        // A failure inside the block of an absent key is passed over up to
        // that block's own closing brace: what follows the failure inside
        // the block is never read as items of the outer, existing key.
        WalkCase{"AbsentBlockWithBadKeyNameKeepsTheOuterKeys",
                 {{u"HKCU\\Software\\Outer\\Victim", u"keep", u"k"}},
                 "HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove Outer\r\n\t\t{\r\n"
                 "\t\t\tMissing\r\n\t\t\t{\r\n\t\t\t\tBad\\Name Victim\r\n\t\t\t}\r\n"
                 "\t\t}\r\n\t}\r\n}\r\n",
                 false,
                 S_OK,
                 "HKCU\\Software\nHKCU\\Software\\Outer\nHKCU\\Software\\Outer\\Victim\n"
                 "  \"keep\" = REG_SZ \"k\\0\"\n"},
        WalkCase{"AbsentBlockWithFailingValueItem",
                 {{u"HKCU\\Outer\\Victim", nullptr, nullptr}},
                 "HKCU { NoRemove Outer { Missing { val " + std::string(260, 'n') +
                     " = s 'v' Victim } } }",
                 false,
                 S_OK,
                 "HKCU\\Outer\nHKCU\\Outer\\Victim\n"},
        // The nested blocks after the failure are counted, and a brace inside
        // a value is no block.
        WalkCase{"AbsentBlockWithNestedBlocksAfterTheFailure",
                 {{u"HKCU\\Outer\\Sub\\Victim", nullptr, nullptr},
                  {u"HKCU\\Outer\\Victim", u"v", u"k"},
                  {u"HKCU\\Outer\\After", nullptr, nullptr}},
                 "HKCU { NoRemove Outer { Missing { Bad\\Name = s '}' Sub { Victim { } "
                 "val x = s '{' } Victim } After } }",
                 false,
                 S_OK,
                 "HKCU\\Outer\nHKCU\\Outer\\Sub\nHKCU\\Outer\\Sub\\Victim\n"
                 "HKCU\\Outer\\Victim\n  \"v\" = REG_SZ \"k\\0\"\n"},
        // A failure in a nested absent block resumes in its parent, which is
        // absent too; the walk then goes on in the existing key.
        WalkCase{"FailureInNestedAbsentBlock",
                 {{u"HKCU\\Outer\\Victim", nullptr, nullptr}},
                 "HKCU { NoRemove Outer { Missing { Deeper { Bad\\Name Victim } Victim } Victim } }",
                 false,
                 S_OK,
                 "HKCU\\Outer\n"},
        WalkCase{"AbsentBlockThatNeverCloses",
                 {{u"HKCU\\Outer\\Victim", nullptr, nullptr}},
                 "HKCU { NoRemove Outer { Missing { Bad\\Name Victim } }",
                 false,
                 DISP_E_EXCEPTION,
                 "HKCU\\Outer\nHKCU\\Outer\\Victim\n"},
        WalkCase{"RollbackOfFailingSecondRootBlock",
                 {{u"HKLM\\Software\\Existing", nullptr, nullptr}},
                 "HKCU\r\n{\r\n\tFirst = s '1'\r\n}\r\n"
                 "HKLM\r\n{\r\n"
                 "\tNoRemove Software\r\n\t{\r\n"
                 "\t\tMade = s 'm'\r\n\t\t{\r\n\t\t\tval V = d '7'\r\n\t\t}\r\n"
                 "\t\tBad = s '2'\r\n\t\t{\r\n\t\t\tval W = x 'oops'\r\n\t\t}\r\n"
                 "\t}\r\n}\r\n"
                 "HKCR\r\n{\r\n\tNever\r\n}\r\n",
                 true,
                 DISP_E_EXCEPTION,
                 "HKCU\\First\n  @ = REG_SZ \"1\\0\"\nHKLM\\Software\nHKLM\\Software\\Existing\n"},
        // The rollback puts back what the block overwrote and removes only
        // what it created: the key it named that existed keeps its values.
        WalkCase{"RollbackKeepsNamedKeysThatExistedBefore",
                 {{u"HKCU\\Named", u"Old", u"o"}, {u"HKCU\\Named", u"V", u"v"}},
                 "HKCU { Named { val V = s 'x' } Bad = b 'abc' }",
                 true,
                 E_FAIL,
                 "HKCU\\Named\n  \"Old\" = REG_SZ \"o\\0\"\n  \"V\" = REG_SZ \"v\\0\"\n"},
        WalkCase{"DepthOf64Accepted", {}, kNested64, true, S_OK,
                 [] {
                   std::string dump, path = "HKCU";
                   for (int i = 0; i < 63; ++i) dump += (path += "\\a") + "\n";
                   return dump;
                 }()}),
    [](const auto& info) { return info.param.name; });

// Scripts that fail or succeed without needing a particular registry state.
struct ResultCase {
  const char* name;
  std::string script;
  HRESULT registerResult;
  HRESULT unregisterResult;
};

class Results : public ::testing::TestWithParam<ResultCase> {};

TEST_P(Results, BothModes) {
  const ResultCase& c = GetParam();
  MemoryRegistry registry;
  EXPECT_EQ(HResultText(RunText(registry, c.script, true)), HResultText(c.registerResult));
  ExpectNothingLeftOpen(registry);
  EXPECT_EQ(HResultText(RunText(registry, c.script, false)), HResultText(c.unregisterResult));
  ExpectNothingLeftOpen(registry);
}

std::string Nested(int levels, const std::string& item) {
  std::string s = "HKCU {";
  for (int i = 0; i < levels; ++i) s += " " + item + " {";
  for (int i = 0; i <= levels; ++i) s += " }";
  return s;
}

const std::string k255(255, 'k');
const std::string k259(259, 'n');
const std::string k260(260, 'n');

INSTANTIATE_TEST_SUITE_P(
    Scripts, Results,
    ::testing::Values(
        ResultCase{"Empty", "", S_OK, S_OK},
        ResultCase{"OnlyWhitespace", " \t\r\n", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"TrailingWhitespace", "HKCU { }\r\n\r\n", S_OK, S_OK},
        ResultCase{"BraceAgainstRoot", "HKCR{ }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"UnknownRoot", "HKXX { }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"RootWithoutBrace", "HKCU A }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"RootBraceStartsAToken", "HKCU {x }", S_OK, S_OK},
        ResultCase{"RootOnly", "HKCU", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"UnclosedBlock", "HKCU { A { B }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"SecondRootIncomplete", "HKCU { } HKCU", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"BackslashInKeyName", "HKCU { A\\B }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"BackslashAfterForceRemove", "HKCU { ForceRemove A\\B }", DISP_E_EXCEPTION,
                   DISP_E_EXCEPTION},
        ResultCase{"BackslashAfterDelete", "HKCU { Delete A\\B }", DISP_E_EXCEPTION,
                   DISP_E_EXCEPTION},
        ResultCase{"EmptyKeyName", "HKCU { '' = s 'x' }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"ForceRemoveEmptyName", "HKCU { ForceRemove '' }", DISP_E_EXCEPTION,
                   DISP_E_EXCEPTION},
        ResultCase{"BackslashInValueName", "HKCU { val 'a\\b' = s 'x' }", S_OK, S_OK},
        ResultCase{"ValWithoutAssignment", "HKCU { val x }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"AssignmentWithoutValue", "HKCU { A = s", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"UnknownTypeLetter", "HKCU { A = x 'v' }", DISP_E_EXCEPTION, S_OK},
        ResultCase{"TypeWordNotLetter", "HKCU { A = sz 'v' }", DISP_E_EXCEPTION, S_OK},
        ResultCase{"OddBinary", "HKCU { A = b 'abc' }", E_FAIL, S_OK},
        ResultCase{"DwordNotANumber", "HKCU { A = d '12x' }", DISP_E_TYPEMISMATCH, S_OK},
        ResultCase{"DwordOverflow", "HKCU { A = d '4294967296' }", DISP_E_OVERFLOW, S_OK},
        ResultCase{"DwordLargest", "HKCU { A = d '4294967295' }", S_OK, S_OK},
        ResultCase{"ValueName259", "HKCU { val " + k259 + " = s '' }", S_OK, S_OK},
        ResultCase{"ValueName260", "HKCU { val " + k260 + " = s '' }", DISP_E_EXCEPTION,
                   DISP_E_EXCEPTION},
        ResultCase{"KeyName255", "HKCU { " + k255 + " }", S_OK, S_OK},
        ResultCase{"KeyName260", "HKCU { " + k260 + " }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"BlockAfterValItem", "HKCU { val x = s 'y' { } }", DISP_E_EXCEPTION,
                   DISP_E_EXCEPTION},
        // In unregister mode Delete marks nothing: "x { }" is a plain key item.
        ResultCase{"BlockAfterDeleteItem", "HKCU { Delete x { } }", DISP_E_EXCEPTION, S_OK},
        ResultCase{"BlockWithoutKey", "HKCU { { } }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"Depth65", Nested(64, "a"), DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"ThousandsOfNestedKeys", Nested(5000, "a"), DISP_E_EXCEPTION,
                   DISP_E_EXCEPTION},
        ResultCase{"ThousandsOfBareBraces", "HKCU " + std::string(20000, '{'),
                   DISP_E_EXCEPTION, DISP_E_EXCEPTION},
        ResultCase{"ThousandsOfSpacedBraces",
                   [] {
                     std::string s = "HKCU {";
                     for (int i = 0; i < 5000; ++i) s += " {";
                     return s;
                   }(),
                   DISP_E_EXCEPTION, DISP_E_EXCEPTION}),
    [](const auto& info) { return info.param.name; });

// A register run whose root block fails leaves the registry as it was
// before that block: the seeds of each case hold values of every type, keys
// the script names and keys it never reaches.  `completed` is the part of
// the script that ran to its end (blocks before the failing one); run on
// the seeds alone it gives the expected state.
struct RollbackCase {
  const char* name;
  std::string script;
  HRESULT result;
  std::string completed;
};

void PlantRollbackSeeds(MemoryRegistry& registry) {
  ASSERT_TRUE(registry.PutString(u"HKCU\\App", u"V", u"old"));
  ASSERT_TRUE(registry.PutString(u"HKCU\\App", nullptr, u"old default"));
  ASSERT_TRUE(registry.PutString(u"HKCU\\App", u"pre", u"never reached"));
  ASSERT_TRUE(registry.PutValue(u"HKCU\\App", u"W", kRegDword, {1, 2, 3, 4}));
  ASSERT_TRUE(registry.PutValue(u"HKCU\\App\\Tree", u"B", kRegBinary, {0, 0xFF, 7}));
  ASSERT_TRUE(registry.PutValue(u"HKCU\\App\\Tree", u"M", kRegMultiSz, SzBytes(u"a")));
  ASSERT_TRUE(registry.PutString(u"HKCU\\App\\Tree\\Deep", nullptr, u"deep"));
  ASSERT_TRUE(registry.AddKey(u"HKCU\\App\\Tree\\Empty"));
  // Another program's handler, bound where the script binds its own.
  ASSERT_TRUE(registry.PutString(u"HKCR\\.spr\\ShellEx\\{X}", nullptr, u"{other handler}"));
}

class Rollback : public ::testing::TestWithParam<RollbackCase> {};

TEST_P(Rollback, RestoresTheStateBeforeTheFailingBlock) {
  const RollbackCase& c = GetParam();
  MemoryRegistry expected;
  PlantRollbackSeeds(expected);
  if (!c.completed.empty()) {
    ASSERT_EQ(HResultText(RunText(expected, c.completed, true)), HResultText(S_OK));
  }
  MemoryRegistry registry;
  PlantRollbackSeeds(registry);
  ScriptRun run;
  ScriptParser parser(registry, &run);
  EXPECT_EQ(HResultText(parser.RunScript(U(c.script).c_str(), true)), HResultText(c.result));
  EXPECT_EQ(registry.Dump(), expected.Dump());
  EXPECT_EQ(parser.UndoFailures(), 0);
  ExpectNothingLeftOpen(registry);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, Rollback,
    ::testing::Values(
        RollbackCase{"OverwrittenValuesComeBack",
                     "HKCU { App = s 'new default' { val V = s 'new' val W = m 'x\\0' "
                     "val Added = d '1' Bad\\Name } }",
                     DISP_E_EXCEPTION, ""},
        RollbackCase{"CreatedKeysGoAndNoOthers",
                     "HKCU { App { New1 { New2 = s 'x' { New3 } } Tree { Fresh } } "
                     "Brand { New } Bad = b 'abc' }",
                     E_FAIL, ""},
        RollbackCase{"ForceRemovedTreeComesBack",
                     "HKCU { App { ForceRemove Tree = s 'new' { Deep { val Z = s 'z' } } "
                     "val V = d 'nan' } }",
                     DISP_E_TYPEMISMATCH, ""},
        // Names compare without regard to case; the key comes back as the
        // registry spelled it, not as the script does.
        RollbackCase{"ForceRemovedKeyKeepsItsSpelling",
                     "HKCU { App { ForceRemove TREE { } Bad\\Name } }", DISP_E_EXCEPTION, ""},
        RollbackCase{"DeletedTreeComesBack",
                     "HKCU { App { Delete Tree val V = x 'oops' } }", DISP_E_EXCEPTION, ""},
        RollbackCase{"ValuesAndBindingsNotYetReachedStay",
                     "HKCR { NoRemove .spr { Made = d '1x' NoRemove ShellEx { ForceRemove {X} = "
                     "s 'mine' } } } ",
                     DISP_E_TYPEMISMATCH, ""},
        RollbackCase{"BindingTakenOverThenFailureGivesItBack",
                     "HKCR { NoRemove .spr { NoRemove ShellEx { ForceRemove {X} = s 'mine' } "
                     "val Y = x 'y' } }",
                     DISP_E_EXCEPTION, ""},
        // NoRemove protects keys from unregistration, not from the undo of
        // the run that created them.
        RollbackCase{"NoRemoveKeysTheRunCreatedGo",
                     "HKLM { NoRemove Software { NoRemove Vendor { val V = s 'x' } "
                     "val W = x 'oops' } }",
                     DISP_E_EXCEPTION, ""},
        RollbackCase{"SyntaxErrorMidBlockLeavesNoEmptyKey",
                     "HKCU { A { B { val x } } }", DISP_E_EXCEPTION, ""},
        RollbackCase{"BlocksBeforeTheFailingOneStay",
                     "HKCU { App { val V = s 'first' ForceRemove Tree } } "
                     "HKCU { App { val V = s 'second' } Bad\\Name }",
                     DISP_E_EXCEPTION, "HKCU { App { val V = s 'first' ForceRemove Tree } }"},
        RollbackCase{"MissingRootBraceAfterACompletedBlock",
                     "HKCU { App { val V = s 'first' } } HKCU App", DISP_E_EXCEPTION,
                     "HKCU { App { val V = s 'first' } }"}),
    [](const auto& info) { return info.param.name; });

TEST(Walker, UndoGoesOnPastAStepThatFails) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.PutString(u"HKCU\\App", u"V", u"v"));
  ASSERT_TRUE(registry.PutString(u"HKCU\\App", u"W", u"w"));
  // Two writes, then the undo puts W back (the third SetValue, which fails)
  // and V (the fourth).
  registry.FailCall(MemoryRegistry::Op::SetValue, 3, kErrorAccessDenied);
  ScriptRun run;
  ScriptParser parser(registry, &run);
  EXPECT_EQ(parser.RunScript(u"HKCU { App { val V = s 'n1' val W = s 'n2' Bad\\Name } }", true),
            DISP_E_EXCEPTION);
  EXPECT_EQ(parser.UndoFailures(), 1);
  EXPECT_EQ(registry.Dump(),
            "HKCU\\App\n  \"V\" = REG_SZ \"v\\0\"\n  \"W\" = REG_SZ \"n2\\0\"\n");
  ExpectNothingLeftOpen(registry);
}

TEST(Walker, KeyWhoseValuesCannotBeKeptIsNotForceRemoved) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.PutString(u"HKCU\\T\\Sub", u"V", u"v"));
  registry.FailCall(MemoryRegistry::Op::EnumValue, 1, kErrorAccessDenied);
  // ForceRemove does not fail when a key cannot be deleted.
  EXPECT_EQ(RunText(registry, "HKCU { ForceRemove T = s 'x' }", true), S_OK);
  EXPECT_EQ(registry.Dump(),
            "HKCU\\T\n  @ = REG_SZ \"x\\0\"\nHKCU\\T\\Sub\n  \"V\" = REG_SZ \"v\\0\"\n");
  ExpectNothingLeftOpen(registry);
}

TEST(Walker, ReadOnlyKeyIsOpenedForReadingBeforeCreationIsTried) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.AddKey(u"HKCU\\Locked\\Open"));
  ASSERT_TRUE(registry.SetReadOnly(u"HKCU\\Locked", true));
  // Locked cannot be opened for writing and not be created either, but it
  // opens for reading; its subkey is writable.
  EXPECT_EQ(RunText(registry, "HKCU { Locked { Open = s 'v' } }", true), S_OK);
  EXPECT_EQ(registry.Dump(), "HKCU\\Locked\nHKCU\\Locked\\Open\n  @ = REG_SZ \"v\\0\"\n");
  // Its default value cannot be written through a read-only handle.
  EXPECT_EQ(RunText(registry, "HKCU { Locked = s 'v' }", true),
            HResultFromWin32(kErrorAccessDenied));
  ExpectNothingLeftOpen(registry);
}

TEST(Walker, AccessRequestedForEachOpen) {
  // Register: ForceRemove opens the old tree for reading and writing to empty
  // it; the key item then tries read-write, then read, then creates.
  // Unregister: keys are opened for reading, the block key again for writing
  // to delete a value.
  const std::string script = "HKCU { ForceRemove T { val V = s 'v' } }";
  RecordingRegistry registry;
  ASSERT_TRUE(registry.AddKey(u"HKCU\\T\\Old"));
  ASSERT_EQ(RunText(registry, script, true), S_OK);
  EXPECT_EQ(registry.opens,
            (std::vector<std::string>{"T:2001F", "Old:2001F", "T:2001F", "T:20019", "create T"}));
  registry.opens.clear();
  ASSERT_EQ(RunText(registry, script, false), S_OK);
  EXPECT_EQ(registry.opens, (std::vector<std::string>{"T:20019", "-:20006"}));
  EXPECT_EQ(registry.Dump(), "");
  ExpectNothingLeftOpen(registry);
}

TEST(Walker, DeleteAndForceRemoveEmptyWholeTrees) {
  const std::u16string longName(255, u'k');  // the longest name a key can have
  const struct {
    const char* name;
    std::vector<std::u16string> keys;
    const char16_t* readOnly;
    std::string script;
    std::string dump;
  } cases[] = {
      {"SiblingsAtEveryLevel",
       {u"HKCU\\T\\A\\A1\\X", u"HKCU\\T\\A\\A2", u"HKCU\\T\\A\\A3", u"HKCU\\T\\B",
        u"HKCU\\T\\" + longName + u"\\Deep"},
       nullptr,
       "HKCU { Delete T }",
       ""},
      // A subtree that cannot be emptied is kept, and the key is opened
      // as it stands.
      {"UndeletableSubkeyIsNoFailure",
       {u"HKCU\\T\\Locked\\Inner", u"HKCU\\T\\Z"},
       u"HKCU\\T\\Locked",
       "HKCU { ForceRemove T = s 'x' }",
       "HKCU\\T\n  @ = REG_SZ \"x\\0\"\nHKCU\\T\\Locked\nHKCU\\T\\Locked\\Inner\n"
       "HKCU\\T\\Z\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingRegistry registry;
    for (const std::u16string& key : c.keys) ASSERT_TRUE(registry.AddKey(key.c_str()));
    if (c.readOnly) {
      ASSERT_TRUE(registry.SetReadOnly(c.readOnly, true));
    }
    EXPECT_EQ(HResultText(RunText(registry, c.script, true)), HResultText(S_OK));
    EXPECT_EQ(registry.Dump(), c.dump);
    // The first subkey is asked for again and again while the tree shrinks.
    EXPECT_EQ(registry.enumIndexes, std::vector<uint32_t>(registry.enumIndexes.size(), 0u));
    EXPECT_GT(registry.enumIndexes.size(), 0u);
    ExpectNothingLeftOpen(registry);
  }
}

TEST(Walker, RegistryFailuresAreReturned) {
  struct Case {
    const char* name;
    MemoryRegistry::Op op;
    int nth;
    long error;
    bool registerMode;
    std::string dump;
  };
  const std::string script = "HKCU { A { val V = s 'v' B } }";
  const std::string seeded = "HKCU\\A\n  \"V\" = REG_SZ \"v\\0\"\nHKCU\\A\\B\n";
  const Case cases[] = {
      // Register: the failing root block is rolled back.
      {"CreateFails", MemoryRegistry::Op::Create, 1, kErrorAccessDenied, true, ""},
      {"SetValueFails", MemoryRegistry::Op::SetValue, 1, kErrorNotEnoughMemory, true, ""},
      // The value is not written when what it held cannot be kept first.
      {"ReadingTheOldValueFails", MemoryRegistry::Op::QueryValue, 1, kErrorAccessDenied, true, ""},
      // Unregister: whatever was removed before the failure stays removed.
      {"OpenFailsOtherThanNotFound", MemoryRegistry::Op::Open, 1, kErrorAccessDenied, false,
       seeded},
      {"ValueDeletionFails", MemoryRegistry::Op::DeleteValue, 1, kErrorAccessDenied, false,
       seeded},
      {"KeyDeletionFails", MemoryRegistry::Op::DeleteKey, 2, kErrorAccessDenied, false,
       "HKCU\\A\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryRegistry registry;
    if (!c.registerMode) {
      ASSERT_EQ(RunText(registry, script, true), S_OK);
    }
    ASSERT_EQ(registry.Dump(), c.registerMode ? "" : seeded);
    registry.FailCall(c.op, c.nth, c.error);
    EXPECT_EQ(HResultText(RunText(registry, script, c.registerMode)),
              HResultText(HResultFromWin32(c.error)));
    EXPECT_EQ(registry.Dump(), c.dump);
    ExpectNothingLeftOpen(registry);
  }
}

TEST(Walker, ValueDeletionReopensTheBlockKeyForWriting) {
  // The value item's block key was opened for reading only; the value is
  // deleted through a second handle opened for writing.
  MemoryRegistry registry;
  ASSERT_TRUE(registry.PutString(u"HKCU\\A", u"V", u"v"));
  ASSERT_TRUE(registry.PutString(u"HKCU\\A", u"Other", u"o"));
  EXPECT_EQ(RunText(registry, "HKCU { NoRemove A { val V = s 'v' } }", false), S_OK);
  EXPECT_EQ(registry.Dump(), "HKCU\\A\n  \"Other\" = REG_SZ \"o\\0\"\n");
  ExpectNothingLeftOpen(registry);
}

TEST(Walker, CloseFailureStopsTheDeletion) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.AddKey(u"HKCU\\A"));
  registry.FailCall(MemoryRegistry::Op::CloseKey, 1, kErrorInvalidHandle);
  EXPECT_EQ(RunText(registry, "HKCU { A }", false), HResultFromWin32(kErrorInvalidHandle));
  EXPECT_TRUE(registry.KeyExists(u"HKCU\\A"));
  EXPECT_EQ(registry.LiveBlockCount(), 0u);
}

TEST(Walker, LargeBinaryAndMultiStringValues) {
  MemoryRegistry registry;
  std::string hex;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 300; ++i) {
    static const char digits[] = "0123456789abcdef";
    hex += digits[(i * 7) % 16];
    hex += digits[i % 16];
    bytes.push_back(static_cast<uint8_t>(((i * 7) % 16) << 4 | (i % 16)));
  }
  std::string strings;
  std::u16string expected;
  for (int i = 0; i < 40; ++i) {
    std::string s = "string" + std::to_string(i);
    strings += s + "\\0";
    expected += U(s) + u'\0';
  }
  expected += u'\0';
  ASSERT_EQ(RunText(registry, "HKCU { A { val B = b '" + hex + "' val M = m '" + strings + "' } }",
                    true),
            S_OK);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(registry.ReadValue(u"HKCU\\A", u"B", &type, &data));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(data, bytes);
  ASSERT_TRUE(registry.ReadValue(u"HKCU\\A", u"M", &type, &data));
  EXPECT_EQ(type, kRegMultiSz);
  ASSERT_EQ(data.size(), expected.size() * 2);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.data()), expected.size()),
            expected);
  ExpectNothingLeftOpen(registry);
}

TEST(Walker, ReplacedTextTakesPartInTokenizing) {
  MemoryRegistry registry;
  EXPECT_EQ(RunText(registry, "%ROOT% { '%Name%' = s '%MODULE%' %Block% }", true,
                    {{u"Root", u"HKCU"},
                     {u"Name", u"it''s here"},
                     {u"Module", u"C:\\it''s here.dll"},
                     {u"Block", u"{ val V = d '5' }"}}),
            S_OK);
  EXPECT_EQ(registry.Dump(),
            "HKCU\\it's here\n"
            "  @ = REG_SZ \"C:\\\\it's here.dll\\0\"\n"
            "  \"V\" = REG_DWORD 0x00000005\n");
  ExpectNothingLeftOpen(registry);
}

TEST(Walker, RegisteringTwiceEqualsOnce) {
  const std::string script =
      "HKCU { NoRemove Software { ForceRemove Vendor = s 'v' { Sub { val N = d '1' } "
      "ForceRemove Empty } val Top = m 'a\\0' } }";
  MemoryRegistry once, twice;
  ASSERT_TRUE(twice.AddKey(u"HKCU\\Software\\Vendor\\Stale"));
  ASSERT_EQ(RunText(once, script, true), S_OK);
  ASSERT_EQ(RunText(twice, script, true), S_OK);
  ASSERT_EQ(RunText(twice, script, true), S_OK);
  EXPECT_EQ(twice.Dump(), once.Dump());
  ASSERT_EQ(RunText(twice, script, false), S_OK);
  EXPECT_EQ(twice.Dump(), "HKCU\\Software\n");
  ExpectNothingLeftOpen(twice);
}

}  // namespace
}  // namespace tamsorel::test
