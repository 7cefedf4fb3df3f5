// What `tamsorel` needs of the system it runs on, so that one command line
// (tamsorel.cpp) serves Linux and Windows: posix_platform.cpp and
// win32_platform.cpp.  Paths and messages are UTF-8 throughout; the Windows
// side converts at this edge.  Every message is meant to follow "NAME: " on
// one stderr line and says the reason in words.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sprite/byte_source.h"
#include "image/rgba.h"

namespace tamsorel::cli {

// The whole command line (tamsorel.cpp): `args` without the program name,
// in UTF-8.  Returns the exit status.  Each platform's main (or wmain)
// converts its arguments and calls it.
int Run(const std::vector<std::string>& args);

// Opens a sprite file for reading.  Null when it cannot be used, with the
// reason in `*problem`: "no such file", "is a directory", "not a regular
// file" (devices, pipes), "permission denied", ...
std::unique_ptr<ByteSource> OpenInput(const std::string& path, std::string* problem);

// "" when `dir` names an existing folder; otherwise
// "cannot write to DIR: no such folder" (or "...: not a folder").
std::string OutputFolderProblem(const std::string& dir);

// Writes `rows` as an RGBA PNG to `out`, complete or not at all: a
// temporary file in the same folder replaced into place.  `out` may be
// absent or a regular file; devices, pipes and folders are refused, and so
// is `out` naming `input` (also through a link).  "" or one message line
// such as "cannot write OUT: permission denied".
std::string WritePngFile(const std::string& out, const std::string& input, RgbaRows& rows);

// The folder part of `path` ("" when it has none) and its last component
// without the last extension ("walk" for "a/walk.c16", ".hidden" for
// ".hidden"); JoinPath puts a file name into a folder ("" meaning the
// current one).
std::string FolderOf(const std::string& path);
std::string StemOf(const std::string& path);
std::string JoinPath(const std::string& folder, const std::string& name);

// `path` as a key under which two spellings of one output name are equal:
// itself on Linux, upper-cased on Windows, whose file names ignore case.
std::string OutputKey(const std::string& path);

// Whether standard error is a terminal (the progress line goes there).
bool StderrIsTerminal();

}  // namespace tamsorel::cli
