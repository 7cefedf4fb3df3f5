// The one decoder of a frame's pixels: the thumbnail's bitmap and every
// frame of every other surface are filled here, from the frame's directory
// entry, so the same file shows the same pixels everywhere.
//
// SPR and S16 rows are copied as stored; C16 lines are expanded by the one
// line expander (c16_lines.h), whose rules decide what an irregular frame
// shows.  Reader is the file as c16_lines.h describes it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "sprite/c16_lines.h"
#include "sprite/sprite_format.h"
#include "sprite/sprite_probe.h"

namespace tamsorel {

// What did not add up while filling a frame (the frame is filled all the
// same): C16 lines that do not match the frame, or stored bytes of SPR and
// S16 rows that the file does not give.
struct FrameFill {
  C16Irregularity lines;
  uint64_t missingBytes = 0;
};

// Bytes from one row of a frame's pixel memory to the next for FillFrame:
// C16 needs whole 16-bit bitmap rows (odd widths carry a padding pixel);
// SPR and S16 rows may be packed (`packed`) or bitmap rows.
inline std::size_t FrameStride(SpriteKind kind, PixelFormat format, uint32_t width, bool packed) {
  if (kind == SpriteKind::kC16) return Sprite16Stride(width);
  if (packed) return std::size_t{width} * BytesPerPixel(format);
  return format == PixelFormat::kIndexed8 ? SprStride(width) : Sprite16Stride(width);
}

// Fills `pixelBytes` of pixel memory, rows `stride` bytes apart (see
// FrameStride), with the frame `entry` describes.  C16 memory must come
// zero-filled and `lineOffsets` holds the offsets of lines 2..height; SPR
// and S16 rows the file does not give are zeroed here, and rows that the
// memory cannot hold are not read.  Nothing is written past `pixelBytes`.
template <class Reader>
FrameFill FillFrame(Reader& reader, SpriteKind kind, PixelFormat format, const FrameEntry& entry,
                    const uint8_t* lineOffsets, uint8_t* pixels, std::size_t stride, std::size_t pixelBytes) {
  FrameFill fill;
  if (kind == SpriteKind::kC16) {
    C16Expansion<Reader> expansion(reader, entry, lineOffsets, pixels, pixelBytes / 2);
    expansion.Run();
    fill.lines = expansion.irregularity();
    return fill;
  }
  if (stride == 0) return fill;
  const std::size_t rowBytes = std::size_t{entry.width} * BytesPerPixel(format);
  const std::size_t rows = std::min<std::size_t>(entry.height, pixelBytes / stride);
  const uint64_t whole = PixelMemoryBytes(rowBytes, entry.height);
  reader.Seek(entry.offset);
  if (rowBytes == stride && rows == entry.height && whole <= std::numeric_limits<uint32_t>::max()) {
    const uint32_t obtained = reader.ReadSome(pixels, static_cast<std::size_t>(whole));
    std::memset(pixels + obtained, 0, static_cast<std::size_t>(whole) - obtained);
    fill.missingBytes = whole - obtained;
    return fill;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    uint8_t* const row = pixels + r * stride;
    const uint32_t obtained = reader.ReadSome(row, rowBytes);
    std::memset(row + obtained, 0, rowBytes - obtained);
    fill.missingBytes += rowBytes - obtained;
  }
  return fill;
}

}  // namespace tamsorel
