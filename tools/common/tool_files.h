// Files of the native command-line tools: what makes an input file usable,
// writing an output file complete or not at all, and the words for a decode
// that failed.  Every message is meant to follow "NAME: " on one stderr line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/hresult.h"
#include "sprite/first_frame.h"

namespace tamsorel {

// "" when `path` names a regular file that can be opened for reading;
// otherwise the reason in words: "no such file", "is a directory", "not a
// regular file", "permission denied", ...  The file is opened with
// O_NONBLOCK and then checked, so a FIFO or a device never blocks the
// caller.  `size`, when given, receives the file's length on success.
std::string InputFileProblem(const std::string& path, uint64_t* size = nullptr);

// Writes `out` complete or not at all.  `produce` writes the whole content
// to the descriptor of a temporary file in the folder of the file that is
// written and returns false on failure (with errno set).
//
// `out` may be absent or a regular file; a symbolic link is followed and its
// target written; devices, FIFOs, sockets, directories and a file marked
// read-only (no write permission bit; see common/output_rule.h) are refused.  A
// replaced file keeps its mode and owner.  `out` naming the same file as
// `input` (also through a link) is refused before anything is written.  The
// temporary file is removed on failure and when SIGINT, SIGTERM or SIGHUP
// arrive while it exists.
//
// Returns "" on success, else one message line such as
// "cannot write out.bmp: permission denied".
std::string WriteOutputFile(const std::string& out, const std::string& input,
                            const std::function<bool(int fd)>& produce);

// The checks WriteOutputFile makes before it writes, on their own, so that
// a tool can refuse OUT before it does the work of making its content:
// "" when `out` can be written, else the message WriteOutputFile would give
// ("cannot write OUT: is a directory", "...: it is the input file", "...: its
// folder does not exist").
std::string OutputFileProblem(const std::string& out, const std::string& input);

// Why DecodeFirstFrame failed, in words, the result code at the end:
//   "frame of 16384 × 16385 pixels is larger than the 256 MiB limit (E_FAIL 0x80004005)"
//   "not a readable sprite (E_FAIL 0x80004005)"
// `fileBytes`, when known, lets an empty file be named as such.
std::string DecodeFailureText(const FirstFrame& frame, HRESULT hr, uint64_t fileBytes = UINT64_MAX);

// The words for an errno value as these tools print them: "no such file",
// "permission denied", ... (strerror's text, lower case, for the rest).
std::string ErrnoText(int error);

}  // namespace tamsorel
