// thumbhost.exe run as a separate process, as a person would run it: exit
// status, the .bmp it writes, and no file when it fails.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/win32_owner.h"
#include "sprite_fixtures.h"

using fixtures::Bytes;
using tamsorel::UniqueFile;
using tamsorel::UniqueFind;
using tamsorel::UniqueLocal;
using tamsorel::UniqueModule;

namespace {

struct RunResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;  // standard output and standard error
};

// UTF-8, as thumbhost prints paths.
std::string Narrow(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

RunResult RunThumbhost(const fixtures::TempDir& dir, const std::vector<std::wstring>& args) {
  RunResult result;
  std::wstring command = Quote(fixtures::ProgramDir() + L"\\thumbhost.exe");
  for (const std::wstring& arg : args) command += L" " + Quote(arg);
  static int runs = 0;
  const std::wstring log = dir.File(L"thumbhost-" + std::to_wstring(++runs) + L".log");
  // The child writes into our handle; we read back through the same handle,
  // so no second open can collide with the child's copy.
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  const UniqueFile out(CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, CREATE_ALWAYS, 0, nullptr));
  if (!out.valid()) return result;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out.get();
  startup.hStdError = out.get();
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    const UniqueFile child(process.hProcess), thread(process.hThread);
    WaitForSingleObject(child.get(), INFINITE);
    GetExitCodeProcess(child.get(), &result.exitCode);
  }
  SetFilePointer(out.get(), 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(out.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) result.output.append(buffer, got);
  // The C runtime ends lines with CR LF on Windows; compare lines by LF.
  result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
  return result;
}

Bytes PaletteOfDll() {
  const UniqueModule module(
      LoadLibraryExW((fixtures::ProgramDir() + L"\\Tamsorel.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module.valid()) return {};
  Bytes palette;
  HRSRC found =
      FindResourceExW(module.get(), L"PALETTE", MAKEINTRESOURCEW(202), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
  if (found != nullptr && SizeofResource(module.get(), found) == 1024) {
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module.get(), found)));
    if (bytes != nullptr) palette.assign(bytes, bytes + 1024);
  }
  return palette;
}

TEST(Thumbhost, WritesTheBmpOfEachKind) {
  fixtures::TempDir dir;
  const std::wstring dll = fixtures::ProgramDir() + L"\\Tamsorel.dll";
  const Bytes palette = PaletteOfDll();
  ASSERT_EQ(palette.size(), 1024u);
  const std::vector<uint16_t> pixels = {0x0001, 0x8002, 0xFFFF, 0x1234, 0x0000, 0x7FFF};  // 3x2
  struct Case {
    const wchar_t* file;
    Bytes sprite;
    Bytes bmp;
  } const cases[] = {
      {L"a.s16", fixtures::MakeS16(fixtures::kRgb565, 3, 2, pixels),
       fixtures::ExpectedBmp(3, 2, 16, fixtures::MaskBytes(fixtures::kRgb565), fixtures::PixelBytes16(pixels))},
      {L"b.c16", fixtures::MakeC16(0, 3, 2, pixels),
       fixtures::ExpectedBmp(3, 2, 16, fixtures::MaskBytes(0), fixtures::PixelBytes16(pixels))},
      {L"c.spr", fixtures::MakeSpr(6, 2, {0, 1, 2, 3, 4, 5, 255, 254, 253, 252, 251, 250}),
       fixtures::ExpectedBmp(6, 2, 8, palette, {0, 1, 2, 3, 4, 5, 255, 254, 253, 252, 251, 250})},
  };
  for (const Case& c : cases) {
    const std::wstring sprite = dir.Write(c.file, c.sprite);
    const std::wstring bmp = dir.File(std::wstring(c.file) + L".bmp");
    const RunResult run = RunThumbhost(dir, {L"--dll", dll, sprite, bmp});
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("Extract=S_OK"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("GetDateStamp=S_OK"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("DllCanUnloadNow=S_OK"), std::string::npos) << run.output;
    Bytes written;
    ASSERT_TRUE(fixtures::ReadFileBytes(bmp, &written));
    EXPECT_EQ(written, c.bmp);
  }
}

// Tamsorel.dll with the machine field of its PE header set to the other
// bitness: what a user gets when the 32-bit and 64-bit builds are mixed up.
Bytes DllOfTheOtherBitness() {
  Bytes dll;
  if (!fixtures::ReadFileBytes(fixtures::ProgramDir() + L"\\Tamsorel.dll", &dll) || dll.size() < 0x40) return {};
  const uint32_t pe = dll[0x3C] | dll[0x3D] << 8 | dll[0x3E] << 16 | static_cast<uint32_t>(dll[0x3F]) << 24;
  if (pe + 6 > dll.size()) return {};
  const uint16_t other = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
  dll[pe + 4] = static_cast<uint8_t>(other);
  dll[pe + 5] = static_cast<uint8_t>(other >> 8);
  return dll;
}

// Every way a run can fail: the exit status, the one line that says why
// (and for usage errors the usage after it), OUT.bmp not written and the
// sprite untouched.
TEST(Thumbhost, FailuresSayWhyAndWriteNoFile) {
  fixtures::TempDir dir;
  const std::wstring dll = fixtures::ProgramDir() + L"\\Tamsorel.dll";
  const Bytes goodBytes = fixtures::MakeS16(0, 1, 1, {5});
  const std::wstring broken = dir.Write(L"broken.c16", Bytes{2, 0, 0, 0, 1, 0});
  const std::wstring good = dir.Write(L"good.s16", goodBytes);
  const std::wstring out = dir.File(L"out.bmp");
  const std::wstring folder = dir.File(L"folder.s16");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring otherBitness = dir.Write(L"Other.dll", DllOfTheOtherBitness());
  ASSERT_FALSE(otherBitness.empty());
  const std::wstring notDll = dir.Write(L"NotADll.dll", Bytes{'h', 'e', 'l', 'l', 'o'});
  WCHAR system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  // A system library that is no COM server.
  const std::wstring noEntryPoints = std::wstring(system) + L"\\version.dll";
  const char* hostBits = sizeof(void*) == 8 ? "64" : "32";
  const char* otherBits = sizeof(void*) == 8 ? "32" : "64";
  const std::string usage = "usage: thumbhost [--dll PATH | --shell] SPRITE OUT.bmp";

  struct Case {
    const char* name;
    std::vector<std::wstring> args;
    DWORD exitCode;
    std::string says;  // a part of the output
    std::wstring out;  // the OUT that must not appear
  } const cases[] = {
      {"BrokenSprite", {L"--dll", dll, broken, out}, 1,
       "broken.c16: Extract failed (E_FAIL 0x80004005); no thumbnail written", out},
      {"MissingSprite", {L"--dll", dll, dir.File(L"missing.spr"), out}, 1, "missing.spr: no such file", out},
      {"SpriteIsAFolder", {L"--dll", dll, folder, out}, 1, "folder.s16: is a directory", out},
      {"SpriteIsADevice", {L"--dll", dll, L"NUL", out}, 1, "NUL: not a regular file", out},
      {"MissingDll", {L"--dll", dir.File(L"NoSuch.dll"), good, out}, 1, "NoSuch.dll: no such file", out},
      {"OtherBitness", {L"--dll", otherBitness, good, out}, 1,
       std::string("Other.dll is a ") + otherBits + "-bit DLL; this is the " + hostBits +
           "-bit host (ERROR_BAD_EXE_FORMAT 0x800700C1)",
       out},
      {"NotADll", {L"--dll", notDll, good, out}, 1, "NotADll.dll is not a DLL (", out},
      {"NoEntryPoints", {L"--dll", noEntryPoints, good, out}, 1,
       "version.dll does not export DllGetClassObject (ERROR_PROC_NOT_FOUND 0x8007007F)", out},
      {"OutIsAFolder", {L"--dll", dll, good, dir.File(L"folder.s16")}, 1,
       "cannot write " + Narrow(folder) + ": is a directory", L""},
      {"OutIsADevice", {L"--dll", dll, good, L"nul"}, 1, "cannot write nul: not a regular file", L""},
      {"OutIsTheSprite", {L"--dll", dll, good, good}, 1,
       "cannot write " + Narrow(good) + ": it is the input file", L""},
      {"OutInMissingFolder", {L"--dll", dll, good, dir.File(L"none\\out.bmp")}, 1,
       ": its folder does not exist", dir.File(L"none\\out.bmp")},
      {"NoArguments", {}, 2, "thumbhost: missing SPRITE and OUT.bmp\n" + usage, out},
      {"UnknownOption", {L"--dl", dll, good, out}, 2, "thumbhost: unknown option --dl\n" + usage, out},
      {"DllWithoutPath", {L"--dll"}, 2, "thumbhost: --dll needs the PATH of a library\n" + usage, out},
      {"TooFewArguments", {L"--dll", dll, good}, 2,
       "thumbhost: missing OUT.bmp after " + Narrow(good) + "\n" + usage, out},
      {"TooManyArguments", {good, out, L"extra"}, 2,
       "thumbhost: unexpected argument extra after OUT.bmp\n" + usage, out},
  };
  for (const Case& c : cases) {
    const RunResult run = RunThumbhost(dir, c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.name << ": " << run.output;
    if (!c.out.empty()) {
      EXPECT_FALSE(fixtures::FileExists(c.out)) << c.name;
    }
    Bytes sprite;
    EXPECT_TRUE(fixtures::ReadFileBytes(good, &sprite) && sprite == goodBytes) << c.name << ": sprite untouched";
  }
  RemoveDirectoryW(folder.c_str());
}

// The access list of a file in SDDL ("D:P(A;;FA;;;WD)"), "" if unreadable.
std::string AccessList(const std::wstring& path) {
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<uint8_t> descriptor(size);
  if (size == 0 || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size))
    return "";
  UniqueLocal<LPWSTR> text;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                            DACL_SECURITY_INFORMATION, text.out(), nullptr))
    return "";
  return Narrow(text.get());
}

bool SetAccessList(const std::wstring& path, const wchar_t* sddl) {
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.out(), nullptr))
    return false;
  return SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.get()) != FALSE;
}

// OUT.bmp is replaced as a whole: a file that exists keeps its attributes
// and access list, a read-only one is refused and kept, and no temporary
// file stays behind.
// (Wine's MoveFileExW would replace the read-only file; Windows' does not,
// and thumbhost refuses it itself.)
TEST(Thumbhost, ReplacesOutputCompletelyOrNotAtAll) {
  fixtures::TempDir dir;
  const std::wstring dll = fixtures::ProgramDir() + L"\\Tamsorel.dll";
  const std::wstring sprite = dir.Write(L"one.s16", fixtures::MakeS16(0, 1, 1, {5}));
  const Bytes expected = fixtures::ExpectedBmp(1, 1, 16, fixtures::MaskBytes(0), fixtures::PixelBytes16({5}));
  const std::wstring hidden = dir.Write(L"hidden.bmp", Bytes{'o', 'l', 'd'});
  ASSERT_TRUE(SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  // Everyone may do everything, and nothing is inherited from the folder:
  // not what a new file in the folder gets.  (Wine keeps access lists as
  // Unix permissions, so what it reads back is its rendering of them, not
  // this text; either way it differs from a new file's.)
  const std::wstring fresh = dir.Write(L"fresh.bmp", Bytes{'n', 'e', 'w'});
  ASSERT_TRUE(SetAccessList(hidden, L"D:P(A;;FA;;;WD)"));
  const std::string accessList = AccessList(hidden);
  ASSERT_NE(accessList, "");
  ASSERT_NE(accessList, AccessList(fresh));
  const std::wstring readOnly = dir.Write(L"read-only.bmp", Bytes{'o', 'l', 'd'});
  ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));

  RunResult run = RunThumbhost(dir, {L"--dll", dll, sprite, hidden});
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  Bytes written;
  EXPECT_TRUE(fixtures::ReadFileBytes(hidden, &written) && written == expected);
  EXPECT_TRUE(GetFileAttributesW(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN) << "attributes kept";
  EXPECT_EQ(AccessList(hidden), accessList) << "access list kept";

  run = RunThumbhost(dir, {L"--dll", dll, sprite, readOnly});
  EXPECT_EQ(run.exitCode, 1u) << run.output;
  EXPECT_NE(run.output.find("cannot write " + Narrow(readOnly) + ": it is read-only"), std::string::npos)
      << run.output;
  EXPECT_TRUE(fixtures::ReadFileBytes(readOnly, &written) && written == (Bytes{'o', 'l', 'd'}));
  SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);

  // Only the sprite, the two outputs and the runs' logs are left.
  WIN32_FIND_DATAW found;
  const UniqueFind search(FindFirstFileW(dir.File(L"*").c_str(), &found));
  ASSERT_TRUE(search.valid());
  do {
    const std::wstring name = found.cFileName;
    const bool expectedName = name == L"." || name == L".." || name == L"one.s16" || name == L"hidden.bmp" ||
                              name == L"fresh.bmp" ||
                              name == L"read-only.bmp" || name.compare(0, 10, L"thumbhost-") == 0;
    EXPECT_TRUE(expectedName) << "left behind: " << Narrow(name);
  } while (FindNextFileW(search.get(), &found));
}

TEST(Thumbhost, HelpGivesUsageExitCodesAndAnExample) {
  fixtures::TempDir dir;
  const RunResult run = RunThumbhost(dir, {L"--help"});
  EXPECT_EQ(run.exitCode, 0u);
  for (const char* part : {"usage: thumbhost [--dll PATH | --shell] SPRITE OUT.bmp", "Exit status:", "Example:"})
    EXPECT_NE(run.output.find(part), std::string::npos) << part << " in " << run.output;
}

}  // namespace
