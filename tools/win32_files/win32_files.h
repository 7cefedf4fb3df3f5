// Files of the Windows command-line tools (thumbhost, tamsorel): which input
// paths are usable, and writing an output file complete or not at all.  The
// Win32 counterpart of tools/common/tool_files.h.  Every message is one line
// in words a user understands; the callers print it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tamsorel::win32_files {

// UTF-8 for messages.
std::string Narrow(const std::wstring& text);

// The words for a Win32 error: "permission denied", "no such file", ...
std::string Win32ErrorText(DWORD error);

// "" when `path` names an existing regular file; otherwise "no such file",
// "is a directory", "not a regular file" (devices such as NUL or CON, pipes)
// or another reason.  Opens for querying attributes only, so nothing is read
// and a device or pipe never blocks.
std::string InputFileProblem(const std::wstring& path);

// 32 or 64 for a PE image built for x86 or x64, -1 for one built for
// another processor, 0 when `path` is no PE image (or cannot be read).
int ImageBits(const std::wstring& path);

// Why `out` cannot be written as the output made from `input`, or "" when it
// can: "cannot write OUT: is a directory", "...: not a regular file", "...:
// it is the input file", "...: its folder does not exist".  A symbolic link counts
// as the file it points to.
std::string OutputFileProblem(const std::wstring& out, const std::wstring& input);

// Checks as OutputFileProblem does, then writes `bytes` to a temporary file
// in the folder of the file that is written and replaces that file with it
// in one step (MoveFileExW).  A replaced file keeps its attributes and its
// access list (and its owner where the user may set owners); the
// temporary file is removed on failure and on Ctrl+C, Ctrl+Break or the
// console closing.  Returns "" or one message line.
std::string WriteOutputFile(const std::wstring& out, const std::wstring& input,
                            const std::vector<uint8_t>& bytes);

}  // namespace tamsorel::win32_files
