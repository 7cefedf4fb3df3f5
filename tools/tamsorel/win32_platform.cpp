// tamsorel's system side on Windows: the Windows tools' file rules
// (win32_files/win32_files.h), WIC for PNG, and wmain.
//
// Paths arrive as UTF-16 and travel through the command line as UTF-8.  A
// Windows file name may hold a lone surrogate, which UTF-8 cannot carry; it
// travels as the three bytes UTF-8 would give that code unit, so every name
// that wmain receives converts back to the same UTF-16 and the file is
// found.  Messages show such bytes as they are (JSON output escapes them).
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/file_source.h"
#include "png/png_writer.h"
#include "tamsorel/tool_platform.h"
#include "win32_files/win32_files.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// The C runtime expands wildcards in the arguments (`tamsorel export
// *.c16`) as a POSIX shell does for the Linux tool; Windows shells leave that
// to the program.  A pattern that matches nothing stays as it is.
extern "C" {
int _dowildcard = -1;
}

namespace tamsorel::cli {

namespace {

std::string ToUtf8(const wchar_t* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    uint32_t c = static_cast<uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[++i]) - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {  // lone surrogates too
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The inverse of ToUtf8; a byte that starts no well-formed sequence becomes
// U+FFFD.
std::wstring FromUtf8(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<uint8_t>(text[i + k]); };
    const uint8_t lead = byte(0);
    std::size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                    : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (n > text.size() - i) n = 0;
    for (std::size_t k = 1; k < n; ++k)
      if ((byte(k) & 0xC0) != 0x80) n = 0;
    if (n == 0) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    uint32_t c = n == 1 ? lead : lead & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) c = c << 6 | (byte(k) & 0x3F);
    const bool overlong = (n == 3 && c < 0x800) || (n == 4 && (c < 0x10000 || c > 0x10FFFF));
    if (overlong) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
    i += n;
  }
  return out;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Where the last component of `path` starts: after the last separator, or
// after the drive of "C:name".
std::size_t NameStart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash != std::string::npos) return slash + 1;
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return drive ? 2 : 0;
}

bool IsConsole(DWORD which, DWORD* mode) {
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, mode);
}

// The console while tamsorel runs: UTF-8 output, so that file names show as
// they are, and escape sequences on stderr for the progress line.  Both are
// given back at the end, since the console outlives the program.
class ConsoleSetup {
 public:
  ConsoleSetup() {
    DWORD outMode = 0, errMode = 0;
    const bool out = IsConsole(STD_OUTPUT_HANDLE, &outMode), err = IsConsole(STD_ERROR_HANDLE, &errMode);
    if (out || err) {
      codePage_ = GetConsoleOutputCP();
      if (codePage_ == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) codePage_ = 0;
    }
    // Consoles before Windows 10 refuse the mode: StderrIsTerminal then
    // answers false and no progress line is drawn.
    if (err && !(errMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
        SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), errMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      errMode_ = errMode;
      restoreErrMode_ = true;
    }
  }
  ~ConsoleSetup() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (restoreErrMode_) SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), errMode_);
    if (codePage_ != 0) SetConsoleOutputCP(codePage_);
  }
  ConsoleSetup(const ConsoleSetup&) = delete;
  ConsoleSetup& operator=(const ConsoleSetup&) = delete;

 private:
  UINT codePage_ = 0;  // the code page to give back, 0 for none
  DWORD errMode_ = 0;
  bool restoreErrMode_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> OpenInput(const std::string& path, std::string* problem) {
  const std::wstring wide = FromUtf8(path);
  *problem = win32_files::InputFileProblem(wide);
  if (!problem->empty()) return nullptr;
  return OpenFileSource(std::u16string(wide.begin(), wide.end()), problem);
}

std::string OutputFolderProblem(const std::string& dir) {
  const DWORD attributes = GetFileAttributesW(FromUtf8(dir).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return "cannot write to " + dir + ": " +
           (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? std::string("no such folder")
                                                                           : win32_files::Win32ErrorText(error));
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return "cannot write to " + dir + ": not a folder";
  return {};
}

std::string WritePngFile(const std::string& out, const std::string& input, RgbaRows& rows) {
  const std::wstring wideOut = FromUtf8(out), wideInput = FromUtf8(input);
  // Refused outputs are refused before any pixel is encoded.
  std::string problem = win32_files::OutputFileProblem(wideOut, wideInput);
  if (!problem.empty()) return problem;
  std::vector<uint8_t> bytes;
  problem = WritePng(rows, [&bytes](const uint8_t* data, std::size_t count) {
    bytes.insert(bytes.end(), data, data + count);
    return true;
  });
  if (!problem.empty()) return "cannot write " + out + ": " + problem;
  return win32_files::WriteOutputFile(wideOut, wideInput, bytes);
}

std::string FolderOf(const std::string& path) {
  const std::size_t start = NameStart(path);
  if (start == 0) return {};
  // The separator stays where it names a root ("C:\", "\") and the drive
  // where the name is relative to that drive's current folder ("C:").
  const bool root = start == 1 || (start == 3 && path[1] == ':') || (start == 2 && path[1] == ':');
  return path.substr(0, root ? start : start - 1);
}

std::string StemOf(const std::string& path) {
  const std::string name = path.substr(NameStart(path));
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (IsSeparator(folder.back()) || (folder.size() == 2 && folder[1] == ':')) return folder + name;
  // The folder's own kind of separator, backslash when it has none.
  const bool forward = folder.find('/') != std::string::npos && folder.find('\\') == std::string::npos;
  return folder + (forward ? "/" : "\\") + name;
}

std::string OutputKey(const std::string& path) {
  std::wstring wide = FromUtf8(path);
  if (!wide.empty()) CharUpperBuffW(&wide[0], static_cast<DWORD>(wide.size()));
  return ToUtf8(wide.c_str(), wide.size());
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return IsConsole(STD_ERROR_HANDLE, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace tamsorel::cli

int wmain(int argc, wchar_t** argv) {
  tamsorel::cli::ConsoleSetup console;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tamsorel::cli::ToUtf8(argv[i], std::wcslen(argv[i])));
  return tamsorel::cli::Run(args);
}
