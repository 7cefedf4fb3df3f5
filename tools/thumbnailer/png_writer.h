// PNG encoding of RGBA rows with libpng, streamed to a byte sink row by row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "thumbnailer/frame_rows.h"

namespace tamsorel::thumbnailer {

// Takes the next bytes of the PNG file; returns false when they cannot be
// kept (the encoding then stops with that failure).
using ByteSink = std::function<bool(const uint8_t* bytes, std::size_t count)>;

// Writes `rows` as an 8-bit RGBA PNG.  Returns an empty string on success,
// otherwise what went wrong.
std::string WritePng(RgbaRows& rows, const ByteSink& sink);

// A sink that writes everything to the file descriptor `fd`, retrying
// interrupted and partial writes.  `*error` receives errno of a failed write.
ByteSink FdSink(int fd, int* error);

}  // namespace tamsorel::thumbnailer
