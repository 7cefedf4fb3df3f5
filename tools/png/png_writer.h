// PNG encoding of RGBA rows, streamed to a byte sink: with libpng on Linux
// (libpng_writer.cpp), with the platform's WIC encoder on Windows
// (wic_png_writer.cpp).  Both write 8-bit RGBA, non-interlaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "image/rgba.h"

namespace tamsorel {

// Takes the next bytes of the PNG file; returns false when they cannot be
// kept (the encoding then stops with that failure).
using ByteSink = std::function<bool(const uint8_t* bytes, std::size_t count)>;

// Writes `rows` as an 8-bit RGBA PNG.  Returns an empty string on success,
// otherwise what went wrong.
std::string WritePng(RgbaRows& rows, const ByteSink& sink);

#ifndef _WIN32
// A sink that writes everything to the file descriptor `fd`, retrying
// interrupted and partial writes.  `*error` receives errno of a failed write.
ByteSink FdSink(int fd, int* error);

// Writes the PNG that `encode` produces into a sink to `out`, by the native
// tools' file rules (WriteOutputFile in common/tool_files.h: complete or not
// at all, never over `input`).  `encode` returns "" or what went wrong.
// An encoding problem that is no failed write is left in `*encodeProblem`;
// everything else comes back as WriteOutputFile's message.
std::string WritePngOutputFile(const std::string& out, const std::string& input,
                               const std::function<std::string(const ByteSink&)>& encode,
                               std::string* encodeProblem);
#endif

}  // namespace tamsorel
