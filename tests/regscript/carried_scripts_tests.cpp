// The two scripts the library carries (REGISTRY 101: AppID and shell
// bindings; 102: the Quorrel class), checked byte by byte and run against
// the in-memory registry with the replacements registration supplies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace tamsorel::test {
namespace {

const char16_t kModule[] = u"C:\\Program Files\\Tamsorel\\Tamsorel.dll";

std::string Sz(const std::string& text) { return "REG_SZ \"" + text + "\\0\""; }

const std::string kClsidA = "{062AB647-EA2F-4A58-9156-7AC33789EBF8}";
const std::string kAppIdA = "{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}";
const std::string kExtractImage = "{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";
const std::string kApproved =
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

// The NoRemove keys both scripts walk through: all that unregistration
// leaves behind.
std::string KeptKeys() {
  std::string dump;
  for (const char* ext : {".c16", ".s16", ".spr"}) {
    dump += std::string("HKCR\\") + ext + "\n";
    dump += std::string("HKCR\\") + ext + "\\ShellEx\n";
  }
  dump += "HKCR\\AppID\nHKCR\\CLSID\n";
  return dump;
}

std::string KeptHklmPath() {
  return "HKLM\\Software\n"
         "HKLM\\Software\\Microsoft\n"
         "HKLM\\Software\\Microsoft\\Windows\n"
         "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\n"
         "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\n" +
         kApproved + "\n";
}

// The HKCR entries of both scripts, in the dump's name order.
std::string RegisteredHkcr(const std::string& moduleInDump) {
  std::string dump;
  for (const char* ext : {".c16", ".s16", ".spr"}) {
    dump += std::string("HKCR\\") + ext + "\n";
    dump += std::string("HKCR\\") + ext + "\\ShellEx\n";
    dump += std::string("HKCR\\") + ext + "\\ShellEx\\" + kExtractImage + "\n";
    dump += "  @ = " + Sz(kClsidA) + "\n";
  }
  dump += "HKCR\\AppID\n";
  dump += "HKCR\\AppID\\Tamsorel.DLL\n  \"AppID\" = " + Sz(kAppIdA) + "\n";
  dump += "HKCR\\AppID\\" + kAppIdA + "\n  @ = " + Sz("Tamsorel") + "\n";
  const std::string clsidKey = "HKCR\\CLSID\\" + kClsidA;
  dump += "HKCR\\CLSID\n";
  dump += clsidKey + "\n  @ = " + Sz("Quorrel Class") + "\n  \"AppID\" = " + Sz(kAppIdA) + "\n";
  dump += clsidKey + "\\InprocServer32\n  @ = " + Sz(moduleInDump) +
          "\n  \"ThreadingModel\" = " + Sz("Apartment") + "\n";
  dump += clsidKey + "\\ProgID\n  @ = " + Sz("Tamsorel.Quorrel.1") + "\n";
  dump += clsidKey + "\\Programmable\n";
  dump += clsidKey + "\\TypeLib\n  @ = " + Sz("{54DB3818-1432-4203-AD7F-141DEC4698A3}") + "\n";
  dump += clsidKey + "\\VersionIndependentProgID\n  @ = " + Sz("Tamsorel.Quorrel") + "\n";
  dump += "HKCR\\Tamsorel.Quorrel\n  @ = " + Sz("Quorrel Class") + "\n";
  dump += "HKCR\\Tamsorel.Quorrel\\CLSID\n  @ = " + Sz(kClsidA) + "\n";
  dump += "HKCR\\Tamsorel.Quorrel\\CurVer\n  @ = " + Sz("Tamsorel.Quorrel.1") + "\n";
  dump += "HKCR\\Tamsorel.Quorrel.1\n  @ = " + Sz("Quorrel Class") + "\n";
  dump += "HKCR\\Tamsorel.Quorrel.1\\CLSID\n  @ = " + Sz(kClsidA) + "\n";
  return dump;
}

std::string Registered(const std::string& moduleInDump) {
  return RegisteredHkcr(moduleInDump) + KeptHklmPath() + "  \"" + kClsidA +
         "\" = " + Sz("Pellandor") + "\n";
}

// What DllRegisterServer and DllUnregisterServer do with the scripts.
HRESULT RegisterBoth(MemoryRegistry& registry, const char16_t* module = kModule) {
  HRESULT hr = RunBindings(registry, true, module);
  return FAILED(hr) ? hr : RunQuorrel(registry, true, module);
}
// Unregistration runs both scripts whatever the first returns.
HRESULT UnregisterBoth(MemoryRegistry& registry, const char16_t* module = kModule) {
  HRESULT hr = RunQuorrel(registry, false, module);
  HRESULT bindings = RunBindings(registry, false, module);
  return FAILED(hr) ? hr : bindings;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));  // after the last line end
  return lines;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while ((start = line.find_first_not_of(' ', start)) != std::string::npos) {
    std::size_t end = line.find(' ', start);
    words.push_back(line.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end;
  }
  return words;
}

std::string Lower(std::string word) {
  for (char& c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return word;
}

struct LayoutCase {
  const char* name;
  std::string text;
  std::size_t size;
  std::string ending;
  // Lines that end in TABs, by their text without the leading TABs.
  std::vector<std::string> trailingTabLines;
};

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, FollowsTheStorageRules) {
  const LayoutCase& c = GetParam();
  const std::string& text = c.text;
  EXPECT_EQ(text.size(), c.size);
  ASSERT_GE(text.size(), c.ending.size());
  EXPECT_EQ(text.substr(text.size() - c.ending.size()), c.ending);

  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char ch = static_cast<unsigned char>(text[i]);
    ASSERT_TRUE(ch == '\t' || ch == '\r' || ch == '\n' || (ch >= 0x20 && ch < 0x7F)) << i;
    if (ch == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
    }
    if (ch == '\r') {
      ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
    }
  }

  int depth = 0;
  std::vector<std::string> trailing;
  for (const std::string& line : Lines(text)) {
    std::size_t tabs = line.find_first_not_of('\t');
    if (tabs == std::string::npos) continue;  // empty, or TABs only
    std::string content = line.substr(tabs);
    std::size_t end = content.find_last_not_of('\t');
    if (end + 1 != content.size()) {
      trailing.push_back(content);
      content.resize(end + 1);
    }
    EXPECT_NE(content[0], ' ') << "indented with spaces: " << line;
    if (content == "}") --depth;
    EXPECT_EQ(static_cast<int>(tabs), depth) << line;
    if (content == "{") ++depth;
    // Braces of blocks stand alone on their lines; keywords are spelled as
    // the library writes them.
    for (const std::string& word : Words(content)) {
      if (word == "{" || word == "}") {
        EXPECT_EQ(content, word);
      }
      if (Lower(word) == "val") {
        EXPECT_EQ(word, "val");
      }
      if (Lower(word) == "noremove") {
        EXPECT_EQ(word, "NoRemove");
      }
      if (Lower(word) == "forceremove") {
        EXPECT_EQ(word, "ForceRemove");
      }
    }
    // Every value is "= s" with its text quoted.
    std::size_t assign = content.find(" = ");
    if (assign != std::string::npos) {
      EXPECT_EQ(content.substr(assign, 6), " = s '") << line;
      EXPECT_EQ(content.back(), '\'') << line;
    }
  }
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(trailing, c.trailingTabLines);
}

INSTANTIATE_TEST_SUITE_P(
    Carried, Layout,
    ::testing::Values(
        LayoutCase{"Bindings101", BindingsScript(), 899, "\r\n\t}\r\n}",
                   {"ForceRemove " + kExtractImage + " = s '" + kClsidA + "'\t",
                    "ForceRemove " + kExtractImage + " = s '" + kClsidA + "'\t",
                    "ForceRemove " + kExtractImage + " = s '" + kClsidA + "'\t",
                    "}\t\t"}},
        LayoutCase{"Quorrel102", QuorrelScript(), 654, "\t}\r\n}\r\n\r\n", {}}),
    [](const auto& info) { return info.param.name; });

TEST(CarriedScripts, BindingsScriptSpacing) {
  const std::string text = BindingsScript();
  // The HKCR block ends with the last extension block's brace and two TABs,
  // then a line of one TAB; an empty line separates the two root blocks.
  EXPECT_NE(text.find("\t}\t\t\r\n\t\r\n}\r\n\r\nHKLM\r\n{\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(0, 9), "HKCR\r\n{\r\n");
  EXPECT_NE(text.find("\t\t'%APPID%' = s 'Tamsorel'\r\n\t\t'Tamsorel.DLL'\r\n"), std::string::npos);
  EXPECT_NE(text.find("NoRemove 'Shell Extensions'\r\n"), std::string::npos);
  EXPECT_NE(QuorrelScript().find("\t\t\tForceRemove 'Programmable'\r\n"), std::string::npos);
  EXPECT_NE(QuorrelScript().find("\t\t\t'TypeLib' = s '"), std::string::npos);
  EXPECT_NE(QuorrelScript().find("InprocServer32 = s '%MODULE%'\r\n"), std::string::npos);
}

TEST(CarriedScripts, RegisterWritesTheRegistrationData) {
  MemoryRegistry registry;
  ASSERT_EQ(HResultText(RegisterBoth(registry)), HResultText(S_OK));
  EXPECT_EQ(registry.Dump(), Registered("C:\\\\Program Files\\\\Tamsorel\\\\Tamsorel.dll"));
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
  EXPECT_EQ(registry.LiveBlockCount(), 0u);
}

TEST(CarriedScripts, RegisteringTwiceEqualsOnceAndReplacesAnEarlierHandler) {
  MemoryRegistry once;
  ASSERT_EQ(RegisterBoth(once), S_OK);

  MemoryRegistry twice;
  // Another handler bound to .spr, and leftovers under the class key.
  const std::u16string binding = U("HKCR\\.spr\\ShellEx\\" + kExtractImage);
  ASSERT_TRUE(twice.PutString(binding.c_str(), nullptr, u"{00000000-0000-0000-0000-000000000000}"));
  ASSERT_TRUE(twice.AddKey((binding + u"\\Stale").c_str()));
  ASSERT_TRUE(twice.AddKey(U("HKCR\\CLSID\\" + kClsidA + "\\Stale").c_str()));
  ASSERT_EQ(RegisterBoth(twice), S_OK);
  ASSERT_EQ(RegisterBoth(twice), S_OK);
  EXPECT_EQ(twice.Dump(), once.Dump());
}

TEST(CarriedScripts, UnregisterLeavesOnlyTheNoRemoveKeys) {
  MemoryRegistry registry;
  ASSERT_EQ(RegisterBoth(registry), S_OK);
  ASSERT_EQ(HResultText(UnregisterBoth(registry)), HResultText(S_OK));
  EXPECT_EQ(registry.Dump(), KeptKeys() + KeptHklmPath());
  // Nothing left to remove: a second unregistration changes nothing.
  ASSERT_EQ(UnregisterBoth(registry), S_OK);
  EXPECT_EQ(registry.Dump(), KeptKeys() + KeptHklmPath());
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(CarriedScripts, UnregisterWithoutRegistrationChangesNothing) {
  MemoryRegistry registry;
  ASSERT_TRUE(registry.PutString(u"HKCR\\.spr", nullptr, u"spritefile"));
  ASSERT_TRUE(registry.AddKey(u"HKCR\\CLSID\\{00000000-0000-0000-0000-000000000001}"));
  const std::string before = registry.Dump();
  EXPECT_EQ(UnregisterBoth(registry), S_OK);
  EXPECT_EQ(registry.Dump(), before);
}

TEST(CarriedScripts, ModulePathWithApostropheIsStoredAsItReads) {
  // The registration code doubles the apostrophe; the tokenizer undoes it.
  MemoryRegistry registry;
  ASSERT_EQ(RegisterBoth(registry, u"C:\\Tam''s ''''dir''''\\Tamsorel.dll"), S_OK);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(registry.ReadValue(U("HKCR\\CLSID\\" + kClsidA + "\\InprocServer32").c_str(),
                                 nullptr, &type, &data));
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(data, SzBytes(u"C:\\Tam's ''dir''\\Tamsorel.dll"));
}

TEST(CarriedScripts, ForeignSubkeyStopsUnregistration) {
  MemoryRegistry registry;
  ASSERT_EQ(RegisterBoth(registry), S_OK);
  // Another program keeps something under the version-independent ProgID.
  ASSERT_TRUE(registry.AddKey(u"HKCR\\Tamsorel.Quorrel\\ShellNew"));
  EXPECT_EQ(HResultText(RunQuorrel(registry, false, kModule)),
            HResultText(HResultFromWin32(kErrorAccessDenied)));
  // The first ProgID went before the refusal; the class key comes after it.
  EXPECT_FALSE(registry.KeyExists(u"HKCR\\Tamsorel.Quorrel.1"));
  EXPECT_FALSE(registry.KeyExists(u"HKCR\\Tamsorel.Quorrel\\CLSID"));
  EXPECT_TRUE(registry.KeyExists(u"HKCR\\Tamsorel.Quorrel\\ShellNew"));
  EXPECT_TRUE(registry.KeyExists(U("HKCR\\CLSID\\" + kClsidA).c_str()));
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(CarriedScripts, FailureInTheHklmBlockRollsBackOnlyThatBlock) {
  MemoryRegistry registry;
  // The bindings script sets six values; the sixth is the Approved one.
  registry.FailCall(MemoryRegistry::Op::SetValue, 6, kErrorAccessDenied);
  EXPECT_EQ(HResultText(RunBindings(registry, true, kModule)),
            HResultText(HResultFromWin32(kErrorAccessDenied)));
  std::string hkcr;
  for (const char* ext : {".c16", ".s16", ".spr"}) {
    hkcr += std::string("HKCR\\") + ext + "\nHKCR\\" + ext + "\\ShellEx\nHKCR\\" + ext +
            "\\ShellEx\\" + kExtractImage + "\n  @ = " + Sz(kClsidA) + "\n";
  }
  hkcr += "HKCR\\AppID\nHKCR\\AppID\\Tamsorel.DLL\n  \"AppID\" = " + Sz(kAppIdA) + "\n";
  hkcr += "HKCR\\AppID\\" + kAppIdA + "\n  @ = " + Sz("Tamsorel") + "\n";
  // The HKLM path is all NoRemove, but this run created it: the rollback
  // takes it away again.
  EXPECT_EQ(registry.Dump(), hkcr);
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace tamsorel::test
