// The interpreter against the real registry (a scratch subtree of HKCU),
// side by side with the in-memory registry; regscript.exe's contract; the
// registration resources as the DLL will carry them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/win32_owner.h"
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
  UniqueKey key;
  ASSERT_EQ(RegOpenKeyExW(parent, subkey.c_str(), 0, KEY_READ, key.out()), ERROR_SUCCESS) << spelled;
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
    if (RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      break;
    }
    std::vector<uint8_t> data(size);
    nameLength = 16384;
    ASSERT_EQ(RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, data.data(), &size),
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
    if (RegEnumKeyExW(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    children.push_back(FromWide(name));
  }
  std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
    return portable_text::CompareNoCase(a.c_str(), b.c_str()) < 0;
  });
  for (const std::u16string& child : children) {
    DumpReal(key.get(), reinterpret_cast<const wchar_t*>(child.c_str()), spelled + "\\" + DumpText(child),
             out);
  }
}

std::string DumpScratch() {
  std::string out;
  {
    UniqueKey probe;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kScratch, 0, KEY_READ, probe.out()) != ERROR_SUCCESS) return out;
  }
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
    UniqueKey key;
    std::wstring wide = std::wstring(kScratch) + reinterpret_cast<const wchar_t*>(suffix);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, wide.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.out(), nullptr),
              ERROR_SUCCESS);
  };
  // The old contents of the ForceRemove key go.
  seed(u"\\{6F2B4B02-B170-4F87-A4F6-6038E2EB296E}\\Old\\Deeper");
  auto both = [&](bool registerMode, HRESULT expected) {
    const std::initializer_list<Pair> pairs = {{u"Value", u"it''s"}};
    EXPECT_EQ(HResultText(RunText(real, kScript, registerMode, pairs)), HResultText(expected));
    EXPECT_EQ(HResultText(RunText(memory, kScript, registerMode, pairs)), HResultText(expected));
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

// A failed register run leaves the real registry as it was before the
// failing root block (`completed` is what ran before it), and a failure
// inside the block of an absent key removes nothing outside that block; the
// in-memory registry does the same.
TEST(Win32Registry, FailedRunsLeaveTheRegistryAsTheyFoundIt) {
  const std::string prefix = "HKCU { NoRemove Software { NoRemove TamsorelRegscriptTest { ";
  const struct {
    const char* name;
    std::string script;
    bool registerMode;
    HRESULT result;
    std::string completed;
  } cases[] = {
      {"OverwrittenValuesAndCreatedKeys",
       prefix + "App = s 'new' { val V = s 'new' val D = d '7' New { Deeper } } Bad\\Name } } }",
       true, DISP_E_EXCEPTION, ""},
      {"ForceRemovedTree",
       prefix + "App { ForceRemove Tree = s 'new' { Child } val B = b 'abc' } } } }", true, E_FAIL,
       ""},
      {"NoRemoveKeysTheRunCreated",
       prefix + "NoRemove Made { NoRemove Inner { val V = s 'x' } } App { val W = x 'y' } } } }",
       true, DISP_E_EXCEPTION, ""},
      {"SyntaxErrorInsideAnAbsentBlock",
       prefix + "NoRemove App { Missing { Bad\\Name Tree } } } } }", false, S_OK, ""},
      {"SecondRootBlockFails",
       prefix + "App { val V = s 'first' ForceRemove Tree } } } } " +
           prefix + "App { val V = s 'second' } Bad\\Name } } }",
       true, DISP_E_EXCEPTION, prefix + "App { val V = s 'first' ForceRemove Tree } } } }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchKey scratch;
    Win32Registry real;
    MemoryRegistry memory;
    MemoryRegistry expected;
    auto put = [&](const wchar_t* subkey, const wchar_t* name, DWORD type,
                   const std::vector<uint8_t>& data) {
      std::wstring path = std::wstring(kScratch) + subkey;
      {
        UniqueKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                  key.out(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
      }
      std::u16string memoryPath = std::u16string(kScratchPath) + FromWide(subkey);
      for (MemoryRegistry* registry : {&memory, &expected}) {
        ASSERT_TRUE(registry->PutValue(memoryPath.c_str(), reinterpret_cast<const char16_t*>(name),
                                       type, data));
      }
    };
    put(L"\\App", nullptr, REG_SZ, SzBytes(u"old"));
    put(L"\\App", L"V", REG_SZ, SzBytes(u"v"));
    put(L"\\App", L"D", REG_DWORD, {1, 2, 3, 4});
    put(L"\\App\\Tree", L"B", REG_BINARY, {0, 0xFF});
    put(L"\\App\\Tree", L"M", REG_MULTI_SZ, SzBytes(std::u16string(u"a\0b\0", 4)));
    put(L"\\App\\Tree\\Deep", nullptr, REG_SZ, SzBytes(u"deep"));
    ASSERT_EQ(DumpScratch(), memory.Dump(kScratchPath));
    if (!c.completed.empty()) {
      ASSERT_EQ(RunText(expected, c.completed, true), S_OK);
    }

    EXPECT_EQ(HResultText(RunText(real, c.script, c.registerMode)), HResultText(c.result));
    EXPECT_EQ(HResultText(RunText(memory, c.script, c.registerMode)), HResultText(c.result));
    EXPECT_EQ(DumpScratch(), expected.Dump(kScratchPath));
    EXPECT_EQ(memory.Dump(kScratchPath), expected.Dump(kScratchPath));
  }
}

// ------------------------------------------------------------ regscript.exe

struct ToolResult {
  DWORD exitCode;
  std::string out;  // standard output
  std::string err;  // standard error
};

std::wstring TempDirectory() {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return dir;
}

std::wstring ToolPath() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring self(path, length);
  return self.substr(0, self.find_last_of(L"\\/") + 1) + L"regscript.exe";
}

std::string ReadAll(HANDLE handle) {
  std::string text;
  char chunk[256];
  DWORD read = 0;
  while (ReadFile(handle, chunk, sizeof chunk, &read, nullptr) && read) text.append(chunk, read);
  return text;
}

// Runs regscript.exe with `arguments`: standard output through a pipe,
// standard error into a file, so that neither can hold up the other.
ToolResult RunTool(const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueFile readEnd, writeEnd;
  EXPECT_TRUE(CreatePipe(readEnd.out(), writeEnd.out(), &inherit, 0));
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  const std::wstring errPath =
      TempDirectory() + L"regscript-stderr-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  UniqueFile errFile(CreateFileW(errPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  EXPECT_NE(errFile.get(), INVALID_HANDLE_VALUE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = errFile.get();
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + ToolPath() + L"\" " + arguments;
  ToolResult result{0xFFFFFFFF, "", ""};
  BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &process);
  writeEnd.reset();  // the child's copy is the only writer left
  EXPECT_TRUE(started) << GetLastError();
  if (started) {
    result.out = ReadAll(readEnd.get());
    {
      const UniqueFile child(process.hProcess), thread(process.hThread);
      WaitForSingleObject(child.get(), INFINITE);
      GetExitCodeProcess(child.get(), &result.exitCode);
    }
    SetFilePointer(errFile.get(), 0, nullptr, FILE_BEGIN);
    result.err = ReadAll(errFile.get());
  }
  readEnd.reset();
  errFile.reset();  // closed before the file is deleted
  DeleteFileW(errPath.c_str());
  return result;
}

std::string Narrow(const std::wstring& text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes - 1 : 0), '\0');
  if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
  return out;
}

class TempScript {
 public:
  explicit TempScript(const std::string& text) {
    wchar_t file[MAX_PATH];
    GetTempFileNameW(TempDirectory().c_str(), L"rgs", 0, file);
    path_ = file;
    const UniqueFile handle(CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(handle.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  ~TempScript() { DeleteFileW(path_.c_str()); }
  const std::wstring& path() const { return path_; }
  std::wstring quoted() const { return L"\"" + path_ + L"\""; }
  std::string narrow() const { return Narrow(path_); }

 private:
  std::wstring path_;
};

const char kUsageLine[] = "usage: regscript --register|--unregister SCRIPT [NAME=VALUE ...]\n";

TEST(RegscriptTool, RunsScriptsAndReportsTheResult) {
  ScratchKey scratch;
  TempScript script(kScript);
  const std::wstring quoted = script.quoted();

  ToolResult run = RunTool(L"--register " + quoted + L" \"Value=from the tool\"");
  EXPECT_EQ(run.out, "S_OK 0x00000000\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0u);
  wchar_t text[64];
  DWORD size = sizeof text;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Keep").c_str(), nullptr,
                         RRF_RT_REG_SZ, nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"from the tool");

  {
    UniqueKey foreign;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Keep\\Foreign").c_str(),
                              0, nullptr, 0, KEY_WRITE, nullptr, foreign.out(), nullptr),
              ERROR_SUCCESS);
  }
  run = RunTool(L"--unregister " + quoted + L" Value=x");
  EXPECT_EQ(run.out, "E_ACCESSDENIED 0x80070005\n");
  // The key that could not be removed, at its name.
  EXPECT_EQ(run.err, "regscript: " + script.narrow() + ":7:4: failed at \"Keep\"\n");
  EXPECT_EQ(run.exitCode, 1u);

  // Without its replacement the script does not expand.
  run = RunTool(L"--unregister " + quoted);
  EXPECT_EQ(run.out, "DISP_E_EXCEPTION 0x80020009\n");
  EXPECT_EQ(run.err, "regscript: " + script.narrow() + ":7:14: syntax error at \"%Value%\"\n");
  EXPECT_EQ(run.exitCode, 1u);

  TempScript empty("");
  run = RunTool(L"--register " + empty.quoted());
  EXPECT_EQ(run.out, "S_OK 0x00000000\n");
  EXPECT_EQ(run.exitCode, 0u);
}

// A NAME=VALUE value goes into the script as the DLL puts its module path
// there, apostrophes doubled: it stays one string whatever it holds.
TEST(RegscriptTool, ReplacementValuesStayInsideTheirString) {
  const std::wstring injected = std::wstring(kScratch) + L"\\Injected";
  const wchar_t* const values[] = {
      L"C:\\Bob's Tools\\Tamsorel.dll",
      L"''",
      L"x' } } } HKCU { NoRemove Software { NoRemove TamsorelRegscriptTest { Injected } } } "
      L"HKCU { NoRemove Software { NoRemove TamsorelRegscriptTest { Keep = s 'y",
  };
  TempScript script(kScript);
  for (const wchar_t* value : values) {
    SCOPED_TRACE(Narrow(value));
    ScratchKey scratch;
    ToolResult run = RunTool(L"--register " + script.quoted() + L" \"Value=" + value + L"\"");
    EXPECT_EQ(run.out, "S_OK 0x00000000\n");
    EXPECT_EQ(run.err, "");
    wchar_t text[512];
    DWORD size = sizeof text;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Keep").c_str(), nullptr,
                           RRF_RT_REG_SZ, nullptr, text, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(text), value);
    UniqueKey key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, injected.c_str(), 0, KEY_READ, key.out()), ERROR_FILE_NOT_FOUND);
  }
}

// A failing root block is undone, the ones before it are not: the tool names
// those.
TEST(RegscriptTool, SaysWhichRootBlocksStayWritten) {
  ScratchKey scratch;
  TempScript script(
      "HKCU { NoRemove Software { TamsorelRegscriptTest { First } } }\r\n"
      "HKCU { NoRemove Software { NoRemove TamsorelRegscriptTest { Second } } }\r\n"
      "HKCU { Bad\\Name }\r\n");
  ToolResult run = RunTool(L"--register " + script.quoted());
  EXPECT_EQ(run.out, "DISP_E_EXCEPTION 0x80020009\n");
  EXPECT_EQ(run.err, "regscript: " + script.narrow() + ":3:8: syntax error at \"Bad\\Name\"\n" +
                         "regscript: the root blocks before it stay written: HKCU\\Software, HKCU\\Software\n");
  UniqueKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\Second").c_str(), 0, KEY_READ,
                          key.out()),
            ERROR_SUCCESS);
}

// Scripts that run and fail: the result line stays the whole of standard
// output, and standard error says where the run stopped.
TEST(RegscriptTool, FailuresSayWhereTheyHappened) {
  const struct {
    const char* name;
    std::string script;
    std::string result;
    std::string where;  // standard error after "regscript: SCRIPT:"
  } cases[] = {
      {"BadKeyName", "HKCU\r\n{\r\n\tBad\\Name\r\n}\r\n", "DISP_E_EXCEPTION 0x80020009",
       "3:2: syntax error at \"Bad\\Name\""},
      {"UnknownRoot", "HKXX { }", "DISP_E_EXCEPTION 0x80020009", "1:1: syntax error at \"HKXX\""},
      {"ScriptEndsEarly", "HKCU\r\n{\r\n\tA", "DISP_E_EXCEPTION 0x80020009",
       "3:3: syntax error at the end of the script (a block or an item is not complete)"},
      {"NumberTooLarge",
       "HKCU { Software { TamsorelRegscriptTest { val V = d '99999999999' } } }",
       "DISP_E_OVERFLOW 0x8002000A", "1:53: failed at \"'99999999999'\""},
      {"ControlCharacterShown", "HKCU { 'a\tb\\c' }", "DISP_E_EXCEPTION 0x80020009",
       "1:8: syntax error at \"'a\\x09b\\c'\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchKey scratch;
    TempScript script(c.script);
    ToolResult run = RunTool(L"--register " + script.quoted());
    EXPECT_EQ(run.out, c.result + "\n");
    EXPECT_EQ(run.err, "regscript: " + script.narrow() + ":" + c.where + "\n");
    EXPECT_EQ(run.exitCode, 1u);
  }
}

// Usage errors name the argument that was wrong and show the usage; a
// script that cannot be used says why.  Neither runs anything, so nothing
// goes to standard output.
TEST(RegscriptTool, RefusesWhatItCannotRun) {
  TempScript script("HKCU { }");
  TempScript utf8Bom("\xEF\xBB\xBFHKCU { }");
  TempScript utf16Bom(std::string("\xFF\xFEH\0K\0C\0U\0", 10));
  const std::wstring temp = TempDirectory();
  const std::wstring missing = temp + L"no such script.rgs";
  const std::string quotedMissing = Narrow(missing);
  const std::wstring folder = temp.substr(0, temp.size() - 1);
  const std::string ofBom = " as a script: it starts with a ";
  const std::string save = " byte-order mark; save it as ANSI text without one, as Tamsorel.dll "
                           "reads its scripts\n";

  const struct {
    std::wstring arguments;
    std::string err;  // the first line of standard error
    bool usage;       // the usage follows
  } cases[] = {
      {L"", "regscript: missing the mode: --register or --unregister\n", true},
      {L"--register", "regscript: missing SCRIPT after --register\n", true},
      {L"--install " + script.quoted(),
       "regscript: unknown mode '--install': the first argument is --register or --unregister\n",
       true},
      {L"--register " + script.quoted() + L" NoEquals",
       "regscript: 'NoEquals' is not a replacement: write NAME=VALUE with a non-empty NAME\n",
       true},
      {L"--register " + script.quoted() + L" =value",
       "regscript: '=value' is not a replacement: write NAME=VALUE with a non-empty NAME\n", true},
      {L"--register \"" + missing + L"\"",
       "regscript: cannot open " + quotedMissing + ": no such file (error 2)\n", false},
      {L"--register \"" + temp + L"no such folder\\x.rgs\"",
       "regscript: cannot open " + Narrow(temp) + "no such folder\\x.rgs: no such folder (error 3)\n",
       false},
      {L"--register \"" + folder + L"\"",
       "regscript: cannot use " + Narrow(folder) + " as a script: it is a directory\n", false},
      {L"--unregister nul.rgs",
       "regscript: cannot use nul.rgs as a script: NUL is a device name, not a file\n", false},
      {L"--register \"" + temp + L"COM1\"",
       "regscript: cannot use " + Narrow(temp) + "COM1 as a script: COM1 is a device name, not a file\n",
       false},
      {L"--register Con.txt.rgs",
       "regscript: cannot use Con.txt.rgs as a script: CON is a device name, not a file\n", false},
      {L"--register " + utf8Bom.quoted(),
       "regscript: cannot use " + utf8Bom.narrow() + ofBom + "UTF-8" + save, false},
      {L"--register " + utf16Bom.quoted(),
       "regscript: cannot use " + utf16Bom.narrow() + ofBom + "UTF-16" + save, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.arguments));
    ToolResult run = RunTool(c.arguments);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err + (c.usage ? std::string(kUsageLine) +
                                              "       regscript --help\n"
                                        : std::string()));
  }
}

// A named pipe opens like a file but is none: refused before it is read.
TEST(RegscriptTool, RefusesAPipe) {
  const std::wstring name = L"\\\\.\\pipe\\tamsorel-regscript-" + std::to_wstring(GetCurrentProcessId());
  UniqueFile pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT,
                                   1, 4096, 4096, 0, nullptr));
  ASSERT_NE(pipe.get(), INVALID_HANDLE_VALUE);
  ToolResult run = RunTool(L"--register " + name);
  pipe.reset();
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("regscript: cannot "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(Narrow(name)), std::string::npos) << run.err;
}

TEST(RegscriptTool, HelpGivesUsageExitCodesAndAnExample) {
  ToolResult run = RunTool(L"--help");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind(kUsageLine, 0), 0u) << run.out;
  for (const char* part : {"Exit codes:\n  0 ", "\n  1 ", "\n  2 ", "Example:\n  regscript --register "}) {
    EXPECT_NE(run.out.find(part), std::string::npos) << part;
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
