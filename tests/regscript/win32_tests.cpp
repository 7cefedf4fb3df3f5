// The interpreter against the real registry (a scratch subtree of HKCU),
// side by side with the in-memory registry; regscript.exe's contract; the
// registration resources as the DLL will carry them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "regscript/win32_registry.h"
#include "test_support.h"

namespace tamsorel::test {
namespace {

const wchar_t kScratch[] = L"Software\\TamsorelRegscriptTest";
const char16_t kScratchPath[] = u"HKCU\\Software\\TamsorelRegscriptTest";

std::u16string FromWide(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

class ScratchKey {
 public:
  ScratchKey() { Remove(); }
  ~ScratchKey() { Remove(); }
  static void Remove() { RegDeleteTreeW(HKEY_CURRENT_USER, kScratch); }
};

// The real subtree at HKCU\<subkey> in MemoryRegistry::Dump's format.
void DumpReal(HKEY parent, const std::wstring& subkey, const std::string& spelled,
              std::string* out) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(parent, subkey.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << spelled;
  *out += spelled + "\n";
  struct Value {
    std::u16string name;
    DWORD type;
    std::vector<uint8_t> data;
  };
  std::vector<Value> values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameLength = 16384;
    DWORD type = 0;
    DWORD size = 0;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      break;
    }
    std::vector<uint8_t> data(size);
    nameLength = 16384;
    ASSERT_EQ(RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size),
              ERROR_SUCCESS);
    data.resize(size);
    values.push_back(Value{FromWide(name), type, data});
  }
  std::sort(values.begin(), values.end(), [](const Value& a, const Value& b) {
    return portable_text::CompareNoCase(a.name.c_str(), b.name.c_str()) < 0;
  });
  for (const Value& v : values) {
    *out += "  " + FormatRegistryValue(v.name, v.type, v.data.data(), v.data.size()) + "\n";
  }
  std::vector<std::u16string> children;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    children.push_back(FromWide(name));
  }
  std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
    return portable_text::CompareNoCase(a.c_str(), b.c_str()) < 0;
  });
  for (const std::u16string& child : children) {
    DumpReal(key, reinterpret_cast<const wchar_t*>(child.c_str()), spelled + "\\" + DumpText(child),
             out);
  }
  RegCloseKey(key);
}

std::string DumpScratch() {
  std::string out;
  HKEY probe;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kScratch, 0, KEY_READ, &probe) != ERROR_SUCCESS) return out;
  RegCloseKey(probe);
  DumpReal(HKEY_CURRENT_USER, kScratch, "HKCU\\Software\\TamsorelRegscriptTest", &out);
  return out;
}

const std::string kScript =
    "HKCU\r\n{\r\n"
    "\tNoRemove Software\r\n\t{\r\n"
    "\t\tNoRemove TamsorelRegscriptTest\r\n\t\t{\r\n"
    "\t\t\tKeep = s '%Value%'\r\n\t\t\t{\r\n"
    "\t\t\t\tval S = s 'x y'\r\n"
    "\t\t\t\tval M = m 'x\\0y\\0'\r\n"
    "\t\t\t\tval MNoEnd = m 'ab'\r\n"
    "\t\t\t\tval MEmpty = m ''\r\n"
    "\t\t\t\tval D = d '1234'\r\n"
    "\t\t\t\tval B = b '0aFf'\r\n"
    "\t\t\t\tval BEmpty = b ''\r\n"
    "\t\t\t}\r\n"
    "\t\t\tNoRemove Kept\r\n\t\t\t{\r\n\t\t\t\tInner = s 'i'\r\n\t\t\t}\r\n"
    "\t\t\tForceRemove {6F2B4B02-B170-4F87-A4F6-6038E2EB296E}\r\n\t\t\t{\r\n"
    "\t\t\t\tChild\r\n\t\t\t}\r\n"
    "\t\t}\r\n\t}\r\n}\r\n";

TEST(Win32Registry, BehavesLikeTheMemoryRegistry) {
  ScratchKey scratch;
  Win32Registry real;
  MemoryRegistry memory;
  auto seed = [&](const char16_t* suffix) {
    std::u16string path = std::u16string(kScratchPath) + suffix;
    ASSERT_TRUE(memory.AddKey(path.c_str()));
    HKEY key;
    std::wstring wide = std::wstring(kScratch) + reinterpret_cast<const wchar_t*>(suffix);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, wide.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  };
  // The old contents of the ForceRemove key go.
  seed(u"\\{6F2B4B02-B170-4F87-A4F6-6038E2EB296E}\\Old\\Deeper");
  auto both = [&](bool registerMode, HRESULT expected) {
    const std::initializer_list<Pair> pairs = {{u"Value", u"it''s"}};
    EXPECT_EQ(Describe(RunText(real, kScript, registerMode, pairs)), Describe(expected));
    EXPECT_EQ(Describe(RunText(memory, kScript, registerMode, pairs)), Describe(expected));
    EXPECT_EQ(DumpScratch(), memory.Dump(kScratchPath));
  };

  both(true, S_OK);
  const std::string registered = DumpScratch();
  EXPECT_NE(registered.find("\\{6F2B4B02-B170-4F87-A4F6-6038E2EB296E}\\Child\n"), std::string::npos);
  EXPECT_EQ(registered.find("\\Old"), std::string::npos);
  EXPECT_NE(registered.find("\"M\" = REG_MULTI_SZ \"x\\0y\\0\\0\""), std::string::npos);
  EXPECT_NE(registered.find("\"D\" = REG_DWORD 0x000004D2"), std::string::npos);
  both(true, S_OK);
  EXPECT_EQ(DumpScratch(), registered);

  // A subkey the script does not name keeps its parent, and the walk stops.
  seed(u"\\Keep\\Foreign");
  both(false, HResultFromWin32(ERROR_ACCESS_DENIED));
  RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Keep\\Foreign").c_str());
  ASSERT_EQ(memory.DeleteKey(PredefinedKey(0x80000001u),
                             u"Software\\TamsorelRegscriptTest\\Keep\\Foreign"),
            kErrorSuccess);
  both(false, S_OK);
  EXPECT_EQ(DumpScratch(),
            "HKCU\\Software\\TamsorelRegscriptTest\n"
            "HKCU\\Software\\TamsorelRegscriptTest\\Kept\n");
}

TEST(Win32Registry, TextServices) {
  Win32Registry real;
  uint32_t number = 0;
  EXPECT_EQ(real.ParseUInt32(u"4294967295", &number), S_OK);
  EXPECT_EQ(number, 0xFFFFFFFFu);
  EXPECT_EQ(real.ParseUInt32(u"4294967296", &number), DISP_E_OVERFLOW);
  EXPECT_EQ(real.ParseUInt32(u"12x", &number), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(real.CompareNoCase(u"HKEY_Local_Machine", u"hkey_local_machine"), 0);
  EXPECT_NE(real.CompareNoCase(u"NoRemove", u"NoRemov"), 0);
  const char16_t text[] = u"ab";
  EXPECT_EQ(real.NextChar(text), text + 1);
  EXPECT_EQ(real.NextChar(text + 2), text + 2);
  void* block = real.Alloc(16);
  ASSERT_NE(block, nullptr);
  block = real.Realloc(block, 4096);
  ASSERT_NE(block, nullptr);
  real.Free(block);
}

// ------------------------------------------------------------ regscript.exe

struct ToolResult {
  DWORD exitCode;
  std::string output;
};

std::wstring ToolPath() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring self(path, length);
  return self.substr(0, self.find_last_of(L"\\/") + 1) + L"regscript.exe";
}

ToolResult RunTool(const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + ToolPath() + L"\" " + arguments;
  ToolResult result{0xFFFFFFFF, ""};
  BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &process);
  CloseHandle(writeEnd);
  EXPECT_TRUE(started) << GetLastError();
  if (started) {
    char chunk[256];
    DWORD read = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &read, nullptr) && read) {
      result.output.append(chunk, read);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(readEnd);
  return result;
}

class TempScript {
 public:
  explicit TempScript(const std::string& text) {
    wchar_t dir[MAX_PATH];
    wchar_t file[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"rgs", 0, file);
    path_ = file;
    HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(handle);
  }
  ~TempScript() { DeleteFileW(path_.c_str()); }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

TEST(RegscriptTool, RunsScriptsAndReportsTheResult) {
  ScratchKey scratch;
  TempScript script(kScript);
  const std::wstring quoted = L"\"" + script.path() + L"\"";

  ToolResult run = RunTool(L"--register " + quoted + L" \"Value=from the tool\"");
  EXPECT_EQ(run.output, "S_OK 0x00000000\n");
  EXPECT_EQ(run.exitCode, 0u);
  wchar_t text[64];
  DWORD size = sizeof text;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Keep").c_str(), nullptr,
                         RRF_RT_REG_SZ, nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"from the tool");

  HKEY foreign;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Keep\\Foreign").c_str(),
                            0, nullptr, 0, KEY_WRITE, nullptr, &foreign, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(foreign);
  run = RunTool(L"--unregister " + quoted + L" Value=x");
  EXPECT_EQ(run.output, "E_ACCESSDENIED 0x80070005\n");
  EXPECT_EQ(run.exitCode, 1u);

  // Without its replacement the script does not expand.
  run = RunTool(L"--unregister " + quoted);
  EXPECT_EQ(run.output, "DISP_E_EXCEPTION 0x80020009\n");
  EXPECT_EQ(run.exitCode, 1u);

  TempScript unnamed("HKCU { Software { TamsorelRegscriptTest { val V = d '99999999999' } } }");
  run = RunTool(L"--register \"" + unnamed.path() + L"\"");
  EXPECT_EQ(run.output, "DISP_E_OVERFLOW 0x8002000A\n");
  EXPECT_EQ(run.exitCode, 1u);

  TempScript empty("");
  run = RunTool(L"--register \"" + empty.path() + L"\"");
  EXPECT_EQ(run.output, "S_OK 0x00000000\n");
  EXPECT_EQ(run.exitCode, 0u);
}

TEST(RegscriptTool, UsageErrors) {
  TempScript script("HKCU { }");
  const std::wstring quoted = L"\"" + script.path() + L"\"";
  for (const std::wstring& arguments :
       {std::wstring(L""), std::wstring(L"--register"), L"--install " + quoted,
        L"--register " + quoted + L" NoEquals", L"--register " + quoted + L" =value",
        std::wstring(L"--register C:\\no\\such\\script.rgs")}) {
    ToolResult run = RunTool(arguments);
    EXPECT_EQ(run.exitCode, 2u) << std::string(arguments.begin(), arguments.end());
    EXPECT_NE(run.output.find("regscript: "), std::string::npos) << run.output;
  }
}

// ------------------------------------------------------------- resources

std::string ResourceBytes(const wchar_t* type, int id) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
  if (!found) return "<missing>";
  HGLOBAL loaded = LoadResource(module, found);
  const char* bytes = static_cast<const char*>(LockResource(loaded));
  return std::string(bytes, SizeofResource(module, found));
}

TEST(RegistrationResources, ScriptsStringAndVersion) {
  EXPECT_EQ(ResourceBytes(L"REGISTRY", 101), BindingsScript());
  EXPECT_EQ(ResourceBytes(L"REGISTRY", 102), QuorrelScript());

  wchar_t name[32] = {};
  EXPECT_EQ(LoadStringW(GetModuleHandleW(nullptr), 100, name, 32), 8);
  EXPECT_EQ(std::wstring(name), L"Tamsorel");

  std::string version = ResourceBytes(MAKEINTRESOURCEW(16) /* RT_VERSION */, 1);
  ASSERT_NE(version, "<missing>");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(&version[0], L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, 0x4u);
  EXPECT_EQ(fixed->dwFileType, 0x2u);
  EXPECT_EQ(fixed->dwFileSubtype, 0u);
  EXPECT_EQ(fixed->dwFileDateMS | fixed->dwFileDateLS, 0u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(&version[0], L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0809);
  EXPECT_EQ(translation[1], 0x04E4);

  const struct {
    const wchar_t* key;
    const wchar_t* value;  // null: present, wording free
  } strings[] = {
      {L"Comments", L"This file lets Windows Explorer display thumbnails for .c16 files"},
      {L"FileVersion", L"1.0.0.1"},
      {L"InternalName", L"Tamsorel.dll"},
      {L"OriginalFilename", L"Tamsorel.dll"},
      {L"ProductName", L"Tamsorel"},
      {L"ProductVersion", L"1.0.0.1"},
      {L"FileDescription", nullptr},
      {L"CompanyName", nullptr},
      {L"LegalCopyright", nullptr},
      {L"LegalTrademarks", nullptr},
  };
  for (const auto& entry : strings) {
    wchar_t* text = nullptr;
    std::wstring query = std::wstring(L"\\StringFileInfo\\080904e4\\") + entry.key;
    ASSERT_TRUE(VerQueryValueW(&version[0], query.c_str(), reinterpret_cast<void**>(&text),
                               &length))
        << std::string(query.begin(), query.end());
    if (entry.value) {
      EXPECT_EQ(std::wstring(text), entry.value);
    } else {
      EXPECT_GT(std::wstring(text).size(), 0u);
    }
  }
}

}  // namespace
}  // namespace tamsorel::test
