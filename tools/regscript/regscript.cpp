// regscript.exe --register|--unregister SCRIPT [NAME=VALUE ...]
//
// Runs the registry script in the file SCRIPT (8-bit text in the thread's
// ANSI code page, widened as the DLL widens its REGISTRY resources) against
// the registry, with each NAME=VALUE as a replacement pair in the order
// given.  The first line of standard output is the result: its name (or
// "HRESULT") and its value in hexadecimal, e.g. "S_OK 0x00000000", ended by
// a single LF.  When the run fails, standard error then says where in the
// script it stopped (line, column and token).
//
// A script is refused before it runs when it is not a regular file (a
// device name such as NUL or COM1, a directory, a pipe) or when it starts
// with a byte-order mark: the DLL reads its scripts as ANSI text, and a
// script this tool accepts must run the same there.
//
// Exit status: 0 for S_OK, 1 for any other result, 2 for a usage error or a
// script that cannot be used.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "common/win32_owner.h"
#include "regscript/script.h"
#include "regscript/win32_registry.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitResult = 1;
constexpr int kExitUnusable = 2;
constexpr DWORD kMaxScriptBytes = 64u * 1024u * 1024u;

const wchar_t kUsage[] =
    L"usage: regscript --register|--unregister SCRIPT [NAME=VALUE ...]\n"
    L"       regscript --help\n";

const wchar_t kHelp[] =
    L"Runs the registry script SCRIPT against the registry, as Tamsorel.dll runs\n"
    L"its own scripts: --register writes what the script names, --unregister\n"
    L"removes it.  Each NAME=VALUE replaces %NAME% in the script, in the order\n"
    L"given.  SCRIPT is 8-bit text in the ANSI code page, without a byte-order\n"
    L"mark.\n"
    L"\n"
    L"The first line of output is the result, e.g. \"S_OK 0x00000000\".  When the\n"
    L"script fails, the line, column and token where it stopped follow on\n"
    L"standard error.\n"
    L"\n"
    L"Exit codes:\n"
    L"  0  the script ran and returned S_OK\n"
    L"  1  the script ran and returned another result\n"
    L"  2  a usage error, or a script that cannot be read or used\n"
    L"\n"
    L"Example:\n"
    L"  regscript --register quorrel.rgs \"Module=C:\\Program Files\\Tamsorel\\Tamsorel.dll\"\n";

// Writes `text` to `stream`: as characters to a console, as UTF-8 to a file
// or pipe.
void Write(FILE* stream, const std::wstring& text) {
  std::fflush(stream);
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    DWORD written = 0;
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                  0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes,
                      nullptr, nullptr);
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}

void Error(const std::wstring& message) { Write(stderr, L"regscript: " + message + L"\n"); }

// A usage error names the argument that was wrong, then shows the usage.
int Usage(const std::wstring& problem) {
  Error(problem);
  Write(stderr, kUsage);
  return kExitUnusable;
}

// A Win32 error in words, with its code at the end.
std::wstring Reason(DWORD error) {
  const wchar_t* words = nullptr;
  switch (error) {
    case ERROR_FILE_NOT_FOUND: words = L"no such file"; break;
    case ERROR_PATH_NOT_FOUND: words = L"no such folder"; break;
    case ERROR_ACCESS_DENIED: words = L"permission denied"; break;
    case ERROR_SHARING_VIOLATION: words = L"in use by another program"; break;
    case ERROR_INVALID_NAME: words = L"not a valid file name"; break;
    case ERROR_FILENAME_EXCED_RANGE: words = L"the name is too long"; break;
    case ERROR_BAD_NETPATH: words = L"no such network path"; break;
    case ERROR_NOT_READY: words = L"the drive is not ready"; break;
    default: words = L"system error"; break;
  }
  return std::wstring(words) + L" (error " + std::to_wstring(error) + L")";
}

// The last part of a path: after its last '\\', '/' or drive colon.
std::wstring FinalComponent(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The reserved device name a file name stands for ("nul.rgs", "COM1 " and
// "con.txt.rgs" all name devices), or an empty string.
std::wstring ReservedDeviceName(const std::wstring& path) {
  std::wstring base = FinalComponent(path);
  base = base.substr(0, base.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = static_cast<wchar_t>(towupper(c));
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices) {
    if (base == device) return base;
  }
  // COM1..COM9 and LPT1..LPT9, also with superscript digits 1-3.
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
    wchar_t digit = base[3];
    if ((digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
      return base;
    }
  }
  return std::wstring();
}

// Reads the whole script file; false with a message on failure.
bool ReadScript(const std::wstring& path, std::vector<char>* bytes) {
  const std::wstring device = ReservedDeviceName(path);
  if (!device.empty()) {
    Error(L"cannot use " + path + L" as a script: " + device + L" is a device name, not a file");
    return false;
  }
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    // Wine answers so for a FIFO, a socket or a device node on its Unix side.
    if (error == ERROR_INVALID_PARAMETER) {
      Error(L"cannot use " + path + L" as a script: not a regular file (error " +
            std::to_wstring(error) + L")");
    } else {
      Error(L"cannot open " + path + L": " + Reason(error));
    }
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    Error(L"cannot use " + path + L" as a script: it is a directory");
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DEVICE) {
    Error(L"cannot use " + path + L" as a script: not a regular file");
    return false;
  }
  const tamsorel::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    Error(L"cannot open " + path + L": " + Reason(GetLastError()));
    return false;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    Error(L"cannot use " + path + L" as a script: not a regular file");
    return false;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) {
    Error(L"cannot read " + path + L": " + Reason(GetLastError()));
    return false;
  }
  if (size.QuadPart > kMaxScriptBytes) {
    Error(L"cannot use " + path + L" as a script: it is larger than the " +
          std::to_wstring(kMaxScriptBytes / (1024 * 1024)) + L" MiB a script may have");
    return false;
  }
  bytes->resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes->empty() &&
      (!ReadFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) ||
       read != bytes->size())) {
    Error(L"cannot read " + path + L": " + Reason(GetLastError()));
    return false;
  }
  return true;
}

// A byte-order mark is refused: the DLL would widen it as ANSI text and
// fail at the first token, so the tool must not read past it either.
bool RefuseByteOrderMark(const std::wstring& path, const std::vector<char>& bytes) {
  auto startsWith = [&](const char* mark, std::size_t length) {
    return bytes.size() >= length && std::string(bytes.data(), length) == std::string(mark, length);
  };
  const wchar_t* kind = nullptr;
  if (startsWith("\xEF\xBB\xBF", 3)) {
    kind = L"UTF-8";
  } else if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) {
    kind = L"UTF-16";
  }
  if (!kind) return false;
  Error(L"cannot use " + path + L" as a script: it starts with a " + kind +
        L" byte-order mark; save it as ANSI text without one, as Tamsorel.dll reads its scripts");
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

// A token for a message: control characters spelled as \xNN.
std::wstring Shown(const tamsorel::ScriptLocation& at) {
  std::wstring shown;
  for (const char16_t* p = at.token; *p; ++p) {
    if (*p < 0x20 || *p == 0x7F) {
      wchar_t escape[8];
      std::swprintf(escape, 8, L"\\x%02X", static_cast<unsigned>(*p));
      shown += escape;
    } else {
      shown += static_cast<wchar_t>(*p);
    }
  }
  if (at.tokenCut) shown += L"...";
  return shown;
}

// The root blocks a failed register run completed, which stay written (a
// failing root block is undone, the ones before it are not): each root
// name with the first key it opens, "HKCR\\Tamsorel.Quorrel, HKCU\\Software",
// or "" for none.  They are read from the expanded text, up to where the
// completed blocks end.
std::wstring CompletedRootBlocks(const tamsorel::ScriptParser& parser, const std::u16string& text,
                                 tamsorel::ScriptRun& run) {
  const std::size_t units = parser.CompletedTextUnits();
  if (units == 0) return std::wstring();
  tamsorel::Win32Registry registry;
  tamsorel::ScriptParser expander(registry, &run);
  char16_t* expanded = nullptr;
  if (FAILED(expander.ExpandReplacements(text.c_str(), &expanded))) return std::wstring();
  std::wstring list;
  expander.SetCursor(expanded);
  std::vector<char16_t> token(tamsorel::kTokenBufferUnits);
  int depth = 0;
  bool wantKey = false;
  for (;;) {
    expander.SkipWhitespace();
    if (static_cast<std::size_t>(expander.Cursor() - expanded) >= units) break;
    if (FAILED(expander.NextToken(token.data())) || token[0] == u'\0') break;
    const std::wstring word(reinterpret_cast<const wchar_t*>(token.data()));
    if (word == L"{") {
      ++depth;
    } else if (word == L"}") {
      --depth;
    } else if (depth == 0) {
      list += (list.empty() ? L"" : L", ") + word;
      wantKey = true;
    } else if (depth == 1 && wantKey) {
      auto is = [&](const wchar_t* keyword) { return _wcsicmp(word.c_str(), keyword) == 0; };
      if (is(L"val")) {
        wantKey = false;  // a value of the root key itself
      } else if (!is(L"NoRemove") && !is(L"ForceRemove") && !is(L"Delete")) {
        list += L"\\" + word;
        wantKey = false;
      }
    }
  }
  registry.Free(expanded);
  return list;
}

// "SCRIPT:LINE:COLUMN: syntax error at \"TOKEN\"": where the run stopped.
void ReportLocation(const std::wstring& path, HRESULT hr, const tamsorel::ScriptParser& parser,
                    const std::u16string& text, tamsorel::ScriptRun& run, bool registerMode) {
  const tamsorel::ScriptLocation& at = parser.FailureLocation();
  if (at.known) {
    std::wstring where = path + L":" + std::to_wstring(at.line) + L":" + std::to_wstring(at.column);
    std::wstring what = hr == DISP_E_EXCEPTION ? L"syntax error" : L"failed";
    if (at.atEnd) {
      Error(where + L": " + what + L" at the end of the script (a block or an item is not complete)");
    } else {
      Error(where + L": " + what + L" at \"" + Shown(at) + L"\"");
    }
  }
  if (registerMode) {
    const std::wstring kept = CompletedRootBlocks(parser, text, run);
    if (!kept.empty()) Error(L"the root blocks before it stay written: " + kept);
  }
  if (registerMode && parser.UndoFailures() > 0) {
    Error(std::to_wstring(parser.UndoFailures()) +
          L" change(s) of the failed root block could not be undone");
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Every line ends in a bare LF, as on every other platform, so that
  // scripts comparing the output need not strip a CR.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);

  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--help") == 0 || std::wcscmp(argv[i], L"-h") == 0 ||
        std::wcscmp(argv[i], L"/?") == 0) {
      Write(stdout, std::wstring(kUsage) + L"\n" + kHelp);
      return kExitSuccess;
    }
  }
  if (argc < 2) return Usage(L"missing the mode: --register or --unregister");
  bool registerMode;
  if (std::wcscmp(argv[1], L"--register") == 0) {
    registerMode = true;
  } else if (std::wcscmp(argv[1], L"--unregister") == 0) {
    registerMode = false;
  } else {
    return Usage(std::wstring(L"unknown mode '") + argv[1] +
                 L"': the first argument is --register or --unregister");
  }
  if (argc < 3) return Usage(std::wstring(L"missing SCRIPT after ") + argv[1]);
  const std::wstring path = argv[2];

  tamsorel::ScriptRun run;
  for (int i = 3; i < argc; ++i) {
    std::wstring pair = argv[i];
    std::size_t equals = pair.find(L'=');
    if (equals == std::wstring::npos || equals == 0) {
      return Usage(L"'" + pair + L"' is not a replacement: write NAME=VALUE with a non-empty NAME");
    }
    std::u16string name(reinterpret_cast<const char16_t*>(pair.c_str()), equals);
    // Apostrophes doubled, as the DLL writes its module path: the value
    // stays inside the quoted string it replaces.
    const char16_t* raw = reinterpret_cast<const char16_t*>(pair.c_str()) + equals + 1;
    std::u16string value(2 * std::char_traits<char16_t>::length(raw) + 1, u'\0');
    value.resize(tamsorel::DoubleApostrophes(&value[0], raw));
    if (FAILED(run.AddPair(name.c_str(), value.c_str()))) {
      Error(L"cannot add the replacement '" + pair + L"': out of memory");
      return kExitUnusable;
    }
  }

  std::vector<char> bytes;
  if (!ReadScript(path, &bytes)) return kExitUnusable;
  if (RefuseByteOrderMark(path, bytes)) return kExitUnusable;
  std::u16string text;
  if (!Widen(bytes, &text)) {
    Error(L"cannot read " + path + L" as ANSI text: " + Reason(GetLastError()));
    return kExitUnusable;
  }

  tamsorel::Win32Registry registry;
  tamsorel::ScriptParser parser(registry, &run);
  HRESULT hr = parser.RunScript(text.c_str(), registerMode);

  std::printf("%s\n", tamsorel::HResultText(hr).c_str());
  std::fflush(stdout);
  if (FAILED(hr)) ReportLocation(path, hr, parser, text, run, registerMode);
  return hr == S_OK ? kExitSuccess : kExitResult;
}
