// regscript.exe --register|--unregister SCRIPT [NAME=VALUE ...]
//
// Runs the registry script in the file SCRIPT (8-bit text in the thread's
// ANSI code page, widened as the DLL widens its REGISTRY resources) against
// the registry, with each NAME=VALUE as a replacement pair in the order
// given.  Prints one line: the result's name (or "HRESULT") and its value in
// hexadecimal, e.g. "S_OK 0x00000000", ended by a single LF.  Exit status: 0 for S_OK, 1 for any
// other result, 2 for a usage error or a script that cannot be read.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "regscript/script.h"
#include "regscript/win32_registry.h"

namespace {

constexpr DWORD kMaxScriptBytes = 64u * 1024u * 1024u;

int Usage(const char* problem) {
  std::fprintf(stderr, "regscript: %s\n", problem);
  std::fprintf(stderr, "usage: regscript --register|--unregister SCRIPT [NAME=VALUE ...]\n");
  return 2;
}

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

// Reads the whole file; false with a message on failure.
bool ReadScript(const wchar_t* path, std::vector<char>* bytes) {
  FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    std::fprintf(stderr, "regscript: cannot open %ls (error %lu)\n", path, GetLastError());
    return false;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxScriptBytes) {
    std::fprintf(stderr, "regscript: %ls is unreadable or larger than %lu bytes\n", path,
                 static_cast<unsigned long>(kMaxScriptBytes));
    return false;
  }
  bytes->resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes->empty() &&
      (!ReadFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) ||
       read != bytes->size())) {
    std::fprintf(stderr, "regscript: cannot read %ls (error %lu)\n", path, GetLastError());
    return false;
  }
  return true;
}

// Widens the script with the thread's ANSI code page.  The terminator goes
// after the characters actually produced, which in a multi-byte code page
// are fewer than the bytes.
bool Widen(const std::vector<char>& bytes, std::u16string* text) {
  text->clear();
  if (bytes.empty()) return true;
  int count = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                  nullptr, 0);
  if (count <= 0) return false;
  text->resize(static_cast<std::size_t>(count));
  int produced = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(),
                                     static_cast<int>(bytes.size()),
                                     reinterpret_cast<wchar_t*>(&(*text)[0]), count);
  if (produced <= 0) return false;
  text->resize(static_cast<std::size_t>(produced));
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage("a mode and a script file are required");
  bool registerMode;
  if (std::wcscmp(argv[1], L"--register") == 0) {
    registerMode = true;
  } else if (std::wcscmp(argv[1], L"--unregister") == 0) {
    registerMode = false;
  } else {
    return Usage("the mode must be --register or --unregister");
  }

  tamsorel::ScriptRun run;
  for (int i = 3; i < argc; ++i) {
    std::wstring pair = argv[i];
    std::size_t equals = pair.find(L'=');
    if (equals == std::wstring::npos || equals == 0) {
      return Usage("replacements are written NAME=VALUE with a non-empty NAME");
    }
    std::u16string name(reinterpret_cast<const char16_t*>(pair.c_str()), equals);
    std::u16string value(reinterpret_cast<const char16_t*>(pair.c_str()) + equals + 1);
    HRESULT hr = run.AddPair(name.c_str(), value.c_str());
    if (FAILED(hr)) {
      std::fprintf(stderr, "regscript: cannot add replacement %ls\n", argv[i]);
      return 2;
    }
  }

  std::vector<char> bytes;
  if (!ReadScript(argv[2], &bytes)) return 2;
  std::u16string text;
  if (!Widen(bytes, &text)) {
    std::fprintf(stderr, "regscript: cannot convert %ls to UTF-16 (error %lu)\n", argv[2],
                 GetLastError());
    return 2;
  }

  // The result line ends in a bare LF, as on every other platform, so that
  // scripts comparing it need not strip a CR.
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);

  tamsorel::Win32Registry registry;
  tamsorel::ScriptParser parser(registry, &run);
  HRESULT hr = parser.RunScript(text.c_str(), registerMode);

  std::printf("%s\n", tamsorel::HResultText(hr).c_str());
  std::fflush(stdout);
  return hr == S_OK ? 0 : 1;
}
