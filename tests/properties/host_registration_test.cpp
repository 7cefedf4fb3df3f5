// prophost.exe over the samples, multi-frame fixtures, damaged and hostile
// files; and the handler's registration: the keys and the schema after
// DllRegisterServer and regsvr32, the registry as it was after
// unregistration, failing steps that leave nothing behind, and the shell's
// way to the handler through the registry; and the schema, whose keys must
// be the handler's.
//
// Every test works on a copy of the DLL in a folder whose name holds an
// apostrophe, as the registration tests of the thumbnail handler do.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/win32_owner.h"
#include "registration_support.h"

#include "frame_encoder.h"
#include "test_support.h"

namespace proptest {
namespace {

using tamsorel::SpriteKind;
using tamsorel::UniqueFile;
using tamsorel::UniqueKey;
using tamsorel::UniqueLocal;
using tamsorel::UniqueModule;
using tamsorel::test::EncodedSprite;
using tamsorel::test::EncodeFrames;
using tamsorel::test::PatternFrame;
using tamsorel::test::RunProcess;
using tamsorel::test::Snapshot;

const wchar_t kClsidText[] = L"{95133135-5DC9-4D6F-9069-6861C1142BDD}";
const wchar_t kHandlers[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers";
const wchar_t kAssociations[] = L"Software\\Classes\\SystemFileAssociations";
const wchar_t* const kExtensions[] = {L".c16", L".s16", L".spr"};

using Function = HRESULT(STDAPICALLTYPE*)();

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct ProgramRun {
  DWORD exitCode = static_cast<DWORD>(-1);
  std::string out, err;
};

// Runs a program with its output and errors in files, and reads them back.
ProgramRun RunProgram(const std::wstring& folder, std::wstring commandLine) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  const std::wstring outPath = folder + L"out.txt", errPath = folder + L"err.txt";
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  UniqueFile out(
      CreateFileW(outPath.c_str(), GENERIC_READ | GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr));
  UniqueFile err(
      CreateFileW(errPath.c_str(), GENERIC_READ | GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, nullptr));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process = {};
  ProgramRun run;
  if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    const UniqueFile child(process.hProcess), thread(process.hThread);
    WaitForSingleObject(child.get(), 60000);
    GetExitCodeProcess(child.get(), &run.exitCode);
  }
  // Closed before they are read back and deleted.
  out.reset();
  err.reset();
  run.out = ReadFileBytes(outPath);
  run.err = ReadFileBytes(errPath);
  DeleteFileW(outPath.c_str());
  DeleteFileW(errPath.c_str());
  return run;
}

// Standard output as the tools write it on Windows, lines ending in CR LF,
// with LF endings.
std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// Everything the handler's registration can touch.  The thumbnail and
// preview classes of the same DLL write elsewhere, except for keys of their
// own below the extensions' associations, which are left out here.
std::map<std::wstring, std::wstring> HandlerState() {
  std::map<std::wstring, std::wstring> state;
  Snapshot(HKEY_LOCAL_MACHINE, kHandlers, &state);
  Snapshot(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText, &state);
  for (const wchar_t* extension : kExtensions) {
    std::map<std::wstring, std::wstring> association;
    Snapshot(HKEY_LOCAL_MACHINE, std::wstring(kAssociations) + L"\\" + extension, &association);
    for (const auto& entry : association)
      if (entry.first.find(L"\\shellex") == std::wstring::npos) state.insert(entry);
  }
  return state;
}

bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* value) {
  wchar_t data[2048];
  DWORD size = sizeof(data), type = 0;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ) return false;
  *value = data;
  return true;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The value of attribute `name` in the XML element that starts at `at`.
std::string Attribute(const std::string& xml, size_t at, const std::string& name) {
  const size_t end = xml.find('>', at);
  const size_t found = xml.find(" " + name + "=\"", at);
  if (found == std::string::npos || found > end) return std::string();
  const size_t start = found + name.size() + 3;
  return xml.substr(start, xml.find('"', start) - start);
}

// The key each property description of a schema gives its name, as
// "{FORMATID} PROPID".
std::map<std::string, std::string> DescribedKeys(const std::string& schema) {
  std::map<std::string, std::string> keys;
  const std::string tag = "<propertyDescription ";
  for (size_t at = schema.find(tag); at != std::string::npos; at = schema.find(tag, at + 1))
    keys[Attribute(schema, at, "name")] = Attribute(schema, at, "formatID") + " " + Attribute(schema, at, "propID");
  return keys;
}

std::string KeyText(const PROPERTYKEY& key) {
  wchar_t guid[64] = {};
  StringFromGUID2(key.fmtid, guid, 64);
  const std::wstring wide(guid);
  return std::string(wide.begin(), wide.end()) + " " + std::to_string(key.pid);
}

// The names a registered "prop:" list holds, in order.
std::vector<std::wstring> ListedNames(const std::wstring& list) {
  std::vector<std::wstring> names;
  size_t start = list.rfind(L"prop:", 0) == 0 ? 5 : 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(L';', start), list.size());
    names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

// Removes what an earlier, interrupted run may have left of the handler.
void RemoveHandlerEntries() {
  for (const wchar_t* extension : kExtensions) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kHandlers) + L"\\" + extension).c_str());
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kAssociations) + L"\\" + extension).c_str(), 0, KEY_SET_VALUE,
                      key.out()) == ERROR_SUCCESS) {
      for (const wchar_t* name : {L"FullDetails", L"PreviewDetails", L"InfoTip"}) RegDeleteValueW(key.get(), name);
    }
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText).c_str());
}

void MakeKey(const std::wstring& path) {
  UniqueKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.out(), nullptr),
            ERROR_SUCCESS);
}

class HandlerRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + L"tamsorel props it's here " + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder_.c_str(), nullptr);
    dll_ = folder_ + L"Tamsorel.dll";
    schema_ = folder_ + L"Tamsorel.propdesc";
    ASSERT_TRUE(CopyFileW((BinDirectory() + L"Tamsorel.dll").c_str(), dll_.c_str(), FALSE));
    RemoveHandlerEntries();
    // The parents the script keeps (NoRemove) are made first, so that the
    // baseline holds them and unregistration must give it back exactly.
    MakeKey(kHandlers);
    for (const wchar_t* extension : kExtensions) MakeKey(std::wstring(kAssociations) + L"\\" + extension);
    baseline_ = HandlerState();
    *module_.out() = LoadLibraryW(dll_.c_str());
    ASSERT_NE(module_.get(), nullptr);
    register_ =
        reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllRegisterServer")));
    unregister_ =
        reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllUnregisterServer")));
    ASSERT_NE(register_, nullptr);
    ASSERT_NE(unregister_, nullptr);
  }

  void TearDown() override {
    if (unregister_ != nullptr) unregister_();
    RemoveHandlerEntries();
    module_.reset();  // freed before its file is deleted
    DeleteFileW(schema_.c_str());
    RemoveDirectoryW(schema_.c_str());
    DeleteFileW(dll_.c_str());
    for (const auto& file : files_) DeleteFileW(file.c_str());
    RemoveDirectoryW(folder_.c_str());
  }

  std::wstring Prophost() const { return L"\"" + BinDirectory() + L"prophost.exe\" "; }
  std::wstring Fixture(const wchar_t* name, const std::vector<uint8_t>& bytes) {
    const std::wstring path = folder_ + name;
    WriteFileBytes(path, bytes);
    files_.push_back(path);
    return path;
  }

  void ExpectRegistered() {
    std::wstring value;
    for (const wchar_t* extension : kExtensions) {
      const std::string trace(extension, extension + 4);
      EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, std::wstring(kHandlers) + L"\\" + extension, nullptr, &value))
          << trace;
      EXPECT_EQ(value, kClsidText) << trace;
      const std::wstring association = std::wstring(kAssociations) + L"\\" + extension;
      // The lists: the frames held in each; the header's differing claim
      // right after them in the details pane and the Details view, not in
      // the tooltip; every own property one the schema describes.
      const std::map<std::string, std::string> described = DescribedKeys(ReadFileBytes(TAMSOREL_SCHEMA_FILE));
      for (const wchar_t* list : {L"FullDetails", L"PreviewDetails", L"InfoTip"}) {
        const std::string listTrace = trace + " " + std::string(list, list + wcslen(list));
        ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, association, list, &value)) << listTrace;
        EXPECT_EQ(value.rfind(L"prop:", 0), 0u) << listTrace;
        const std::vector<std::wstring> names = ListedNames(value);
        const auto named = [&](const wchar_t* name) { return std::find(names.begin(), names.end(), name); };
        EXPECT_NE(named(L"System.Image.Dimensions"), names.end()) << listTrace;
        const auto frames = named(L"Tamsorel.Sprite.FrameCount");
        ASSERT_NE(frames, names.end()) << listTrace;
        if (std::wstring(list) == L"InfoTip") {
          EXPECT_EQ(named(L"Tamsorel.Sprite.ClaimedFrameCount"), names.end()) << listTrace;
        } else {
          ASSERT_NE(frames + 1, names.end()) << listTrace;
          EXPECT_EQ(frames[1], L"Tamsorel.Sprite.ClaimedFrameCount") << listTrace;
        }
        for (const std::wstring& name : names) {
          if (name.rfind(L"Tamsorel.", 0) != 0) continue;
          const std::string narrow(name.begin(), name.end());
          EXPECT_EQ(described.count(narrow), 1u) << listTrace << ": " << narrow << " is not in the schema";
        }
      }
      // The extension's own association is not taken over.
      EXPECT_FALSE(ReadString(HKEY_CLASSES_ROOT, extension, nullptr, &value) && value.find(L"Tamsorel") == 0);
    }
    const std::wstring clsidKey = std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText;
    EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, clsidKey + L"\\InprocServer32", nullptr, &value));
    EXPECT_EQ(value, dll_);
    EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, clsidKey + L"\\InprocServer32", L"ThreadingModel", &value));
    EXPECT_EQ(value, L"Apartment");
    // The schema beside the DLL is the project's, byte for byte.
    const std::string schema = ReadFileBytes(schema_);
    EXPECT_GT(schema.size(), 0u);
    EXPECT_EQ(schema, ReadFileBytes(TAMSOREL_SCHEMA_FILE));
  }

  void ExpectUnregistered() {
    EXPECT_EQ(HandlerState(), baseline_);
    EXPECT_FALSE(FileExists(schema_));
  }

  std::wstring folder_, dll_, schema_;
  std::vector<std::wstring> files_;
  std::map<std::wstring, std::wstring> baseline_;
  UniqueModule module_;
  Function register_ = nullptr, unregister_ = nullptr;
};

TEST_F(HandlerRegistrationTest, RegisterAndUnregisterRoundTrip) {
  ASSERT_EQ(register_(), S_OK);
  ExpectRegistered();
  const auto registered = HandlerState();
  // Registering again changes nothing.
  ASSERT_EQ(register_(), S_OK);
  EXPECT_EQ(HandlerState(), registered);
  ExpectRegistered();
  ASSERT_EQ(unregister_(), S_OK);
  ExpectUnregistered();
}

TEST_F(HandlerRegistrationTest, Regsvr32InstallsAndRemovesTheHandler) {
  ASSERT_EQ(RunProcess(L"regsvr32.exe /s \"" + dll_ + L"\""), 0u);
  ExpectRegistered();
  ASSERT_EQ(RunProcess(L"regsvr32.exe /u /s \"" + dll_ + L"\""), 0u);
  ExpectUnregistered();
}

// A step that fails leaves nothing of the handler's registration behind.
TEST_F(HandlerRegistrationTest, AFailingStepRollsBackExactly) {
  // The schema cannot be written: a folder stands where it goes.
  ASSERT_TRUE(CreateDirectoryW(schema_.c_str(), nullptr));
  EXPECT_TRUE(FAILED(register_()));
  EXPECT_EQ(HandlerState(), baseline_);
  ASSERT_TRUE(RemoveDirectoryW(schema_.c_str()));

  // The registry script fails at its last key, after the schema has been
  // written and registered: the key of .spr may not be written to.
  const std::wstring locked = std::wstring(kHandlers) + L"\\.spr";
  MakeKey(locked);
  {
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;0x0006;;;WD)(A;;KA;;;WD)",
                                                                     SDDL_REVISION_1, descriptor.out(), nullptr));
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, locked.c_str(), 0, WRITE_DAC, key.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.get()), ERROR_SUCCESS);
  }
  const auto lockedBaseline = HandlerState();
  EXPECT_EQ(register_(), E_ACCESSDENIED);
  EXPECT_EQ(HandlerState(), lockedBaseline);
  EXPECT_FALSE(FileExists(schema_));
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, locked.c_str()), ERROR_SUCCESS);
}

// Unregistration goes on past a step that fails and returns the first
// failure: a foreign subkey keeps one binding, the rest goes.
TEST_F(HandlerRegistrationTest, UnregisterGoesOnPastAFailure) {
  ASSERT_EQ(register_(), S_OK);
  MakeKey(std::wstring(kHandlers) + L"\\.c16\\Foreign");
  EXPECT_EQ(unregister_(), E_ACCESSDENIED);
  std::wstring value;
  EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, std::wstring(kHandlers) + L"\\.c16", nullptr, &value));
  EXPECT_FALSE(FileExists(schema_));
  EXPECT_FALSE(ReadString(HKEY_LOCAL_MACHINE, std::wstring(kAssociations) + L"\\.spr", L"InfoTip", &value));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kHandlers) + L"\\.c16").c_str());
}

// prophost prints the store's properties; the table runs through the
// library given by path and, once registered, through the registry.
TEST_F(HandlerRegistrationTest, ProphostOverSamplesFixturesAndHostileFiles) {
  // `claimed`, when not 0, is the header's claim where it differs from the
  // frames held.
  auto lines = [](unsigned w, unsigned h, unsigned depth, unsigned frames, const char* format, unsigned claimed = 0) {
    return "System.Image.HorizontalSize = " + std::to_string(w) + "\nSystem.Image.VerticalSize = " + std::to_string(h) +
           "\nSystem.Image.Dimensions = " + std::to_string(w) + " x " + std::to_string(h) +
           "\nSystem.Image.BitDepth = " + std::to_string(depth) +
           "\nTamsorel.Sprite.FrameCount = " + std::to_string(frames) +
           (claimed != 0 ? "\nTamsorel.Sprite.ClaimedFrameCount = " + std::to_string(claimed) : std::string()) +
           "\nTamsorel.Sprite.PixelFormat = " + format + "\n";
  };
  EncodedSprite claimed = EncodeFrames(SpriteKind::kS16, 1, {PatternFrame(4, 3, 1, false)});
  claimed.bytes[4] = claimed.bytes[5] = 0xFF;
  EncodedSprite cut = EncodeFrames(SpriteKind::kSpr, 0, {PatternFrame(6, 2, 1, true), PatternFrame(3, 3, 2, true)});
  cut.bytes.resize(cut.entryAt[1] + 5);
  const std::string text = "plain text, no sprite\n";
  struct Case {
    std::wstring path;
    std::string expected;  // empty: Initialize fails
  };
  const std::wstring samples = TAMSOREL_SAMPLES_DIR;
  const std::vector<Case> cases = {
      {samples + L"bounce.spr", lines(32, 32, 8, 10, "8-bit palette")},
      {samples + L"checker.spr", lines(48, 40, 8, 1, "8-bit palette")},
      {samples + L"shapes.spr", lines(128, 96, 8, 1, "8-bit palette")},
      {samples + L"sunset.spr", lines(53, 41, 8, 2, "8-bit palette")},
      {samples + L"bounce.s16", lines(24, 24, 16, 8, "16-bit 5-6-5")},
      {samples + L"gradient.s16", lines(64, 48, 16, 1, "16-bit 5-6-5")},
      {samples + L"sunset-555.s16", lines(75, 50, 16, 1, "16-bit 5-5-5")},
      {samples + L"ring-555.c16", lines(81, 81, 16, 3, "16-bit 5-5-5, compressed")},
      {samples + L"shapes.c16", lines(96, 64, 16, 1, "16-bit 5-6-5, compressed")},
      {samples + L"spin.c16", lines(18, 18, 16, 12, "16-bit 5-6-5, compressed")},
      {Fixture(L"frames.c16",
               EncodeFrames(SpriteKind::kC16, 0, {PatternFrame(9, 8, 1, false), PatternFrame(30, 2, 2, false)}).bytes),
       lines(9, 8, 16, 2, "16-bit 5-5-5, compressed")},
      // 65535 frames claimed: the file has room for 4 entries after its
      // header, its own and 3 made of its pixels; the claim follows.
      {Fixture(L"claimed.s16", claimed.bytes), lines(4, 3, 16, 4, "16-bit 5-6-5", 65535)},
      // Cut inside the second of the two entries the header claims.
      {Fixture(L"cut.spr", cut.bytes), lines(6, 2, 8, 1, "8-bit palette", 2)},
      {Fixture(L"text.c16", std::vector<uint8_t>(text.begin(), text.end())), ""},
  };
  auto runTable = [&](bool throughRegistry) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.path.begin(), c.path.end()) + (throughRegistry ? " (registry)" : " (--dll)"));
      const std::wstring options = throughRegistry ? L"" : L"--dll \"" + dll_ + L"\" ";
      const ProgramRun run = RunProgram(folder_, Prophost() + options + L"\"" + c.path + L"\"");
      const std::string out = WithoutCarriageReturns(run.out);
      if (c.expected.empty()) {
        EXPECT_EQ(run.exitCode, 1u) << out;
        EXPECT_EQ(out, "");
        EXPECT_NE(run.err.find("Initialize failed (HRESULT 0x8007000B)"), std::string::npos) << run.err;
      } else {
        EXPECT_EQ(run.exitCode, 0u) << run.err;
        EXPECT_EQ(out, c.expected);
      }
    }
  };
  runTable(false);
  // Before registration nothing is bound to the extensions.
  const ProgramRun unbound = RunProgram(folder_, Prophost() + L"\"" + cases[0].path + L"\"");
  EXPECT_EQ(unbound.exitCode, 1u);
  EXPECT_NE(unbound.err.find("no property handler is registered for .spr"), std::string::npos) << unbound.err;
  ASSERT_EQ(register_(), S_OK);
  runTable(true);
}

// The schema describes each of Tamsorel's own properties under the key the
// handler gives it (a wrong propID would show an empty column), with the
// type of its values.
TEST(PropertySchema, DescribesTheHandlersKeys) {
  const std::string schema = ReadFileBytes(TAMSOREL_SCHEMA_FILE);
  const struct {
    const char* name;
    PROPERTYKEY key;
    const char* type;
  } own[] = {
      {"Tamsorel.Sprite.FrameCount", kFrameCount, "UInt32"},
      {"Tamsorel.Sprite.PixelFormat", kPixelFormat, "String"},
      {"Tamsorel.Sprite.ClaimedFrameCount", kClaimedFrameCount, "UInt32"},
  };
  std::map<std::string, std::string> expected;
  for (const auto& p : own) expected[p.name] = KeyText(p.key);
  EXPECT_EQ(DescribedKeys(schema), expected);
  for (const auto& p : own) {
    SCOPED_TRACE(p.name);
    const size_t at = schema.find("<propertyDescription name=\"" + std::string(p.name) + "\"");
    ASSERT_NE(at, std::string::npos);
    const size_t end = schema.find("</propertyDescription>", at);
    const size_t type = schema.find("<typeInfo ", at);
    ASSERT_LT(type, end);
    EXPECT_EQ(Attribute(schema, type, "type"), p.type);
    const size_t label = schema.find("<labelInfo ", at);
    ASSERT_LT(label, end);
    EXPECT_NE(Attribute(schema, label, "label"), "");
  }
}

}  // namespace
}  // namespace proptest
