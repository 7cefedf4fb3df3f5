// thumbhost.exe run as a separate process, as a person would run it: exit
// status, the .bmp it writes, and no file when it fails.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sprite_fixtures.h"

using fixtures::Bytes;

namespace {

struct RunResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;  // standard output and standard error
};

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
  HANDLE out = CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           CREATE_ALWAYS, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE) return result;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = out;
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION process = {};
  if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  SetFilePointer(out, 0, nullptr, FILE_BEGIN);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(out, buffer, sizeof(buffer), &got, nullptr) && got > 0) result.output.append(buffer, got);
  CloseHandle(out);
  return result;
}

Bytes PaletteOfDll() {
  HMODULE module =
      LoadLibraryExW((fixtures::ProgramDir() + L"\\Tamsorel.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return {};
  Bytes palette;
  HRSRC found = FindResourceExW(module, L"PALETTE", MAKEINTRESOURCEW(202), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
  if (found != nullptr && SizeofResource(module, found) == 1024) {
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    if (bytes != nullptr) palette.assign(bytes, bytes + 1024);
  }
  FreeLibrary(module);
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

TEST(Thumbhost, FailuresWriteNoFile) {
  fixtures::TempDir dir;
  const std::wstring dll = fixtures::ProgramDir() + L"\\Tamsorel.dll";
  const std::wstring broken = dir.Write(L"broken.c16", Bytes{2, 0, 0, 0, 1, 0});
  const std::wstring good = dir.Write(L"good.s16", fixtures::MakeS16(0, 1, 1, {5}));
  const std::wstring out = dir.File(L"out.bmp");
  struct Case {
    const char* name;
    std::vector<std::wstring> args;
    DWORD exitCode;
  } const cases[] = {
      {"BrokenSprite", {L"--dll", dll, broken, out}, 1},
      {"MissingSprite", {L"--dll", dll, dir.File(L"missing.spr"), out}, 1},
      {"MissingDll", {L"--dll", dir.File(L"NoSuch.dll"), good, out}, 1},
      {"NoArguments", {}, 2},
      {"UnknownOption", {L"--dl", dll, good, out}, 2},
      {"TooFewArguments", {L"--dll", dll, good}, 2},
  };
  for (const Case& c : cases) {
    const RunResult run = RunThumbhost(dir, c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
    EXPECT_FALSE(run.output.empty()) << c.name << " explains itself";
    EXPECT_FALSE(fixtures::FileExists(out)) << c.name;
  }
}

}  // namespace
