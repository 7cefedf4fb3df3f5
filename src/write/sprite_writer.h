// Writing sprites: the inverse of the reading rules every surface uses, and
// the layout files in the wild hold.  Portable.
//
// Pixel rules (RGBA with straight alpha in, stored values out):
//   - alpha below half (0..127) is transparent: index 0 (SPR), value 0
//     (S16, and a transparent run in C16);
//   - SPR: the nearest entry of the built-in palette among indices 1..255 by
//     squared RGB distance, the lowest index on a tie;
//   - 16-bit: each channel the 5- or 6-bit value whose widened value (bit
//     replication, as reading widens) is nearest, the lower on a tie; an
//     opaque pixel that would come out 0 (transparent) is stored as the
//     nearest non-zero value instead, and counted as nudged.
// A colour that reading gives for some stored value is written back as that
// value, so stored -> RGBA -> stored is exact (for SPR up to palette entries
// of equal colour, where the lowest index is written).
//
// Layout: SPR and S16 with consecutive 8-byte entries, then each frame's
// pixels in order; C16 with each frame's entry followed by its line
// offsets, lines in order, colour and transparent runs of at most 32767
// pixels, each line ending with its end tag.  The same frames give the same
// bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sprite/sprite_probe.h"

namespace tamsorel {

// A frame as stored: width x height values, row by row (palette indices
// for SPR, 16-bit pixels otherwise).
struct StoredValues {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint16_t> values;
};

// A frame as RGBA rows (red, green, blue, alpha; straight alpha).
struct RgbaFrame {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgba;
};

// The pixel rules above, one pixel at a time.
uint8_t NearestPaletteIndex(uint8_t red, uint8_t green, uint8_t blue);
// `*nudged` is set when an opaque pixel had to leave 0.
uint16_t Quantise16(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha, PixelFormat format, bool* nudged);

// `frame` as stored values of `kind` in `format` (kIndexed8 for SPR); adds
// the pixels nudged off 0 to `*nudged`.
StoredValues Quantise(const RgbaFrame& frame, SpriteKind kind, PixelFormat format, uint64_t* nudged);

// The file holding `frames` of `kind` in `format` (kRgb565 or kRgb555 for
// S16 and C16; SPR is always indexed).  False with the reason in words when
// the frames cannot be written: none, more than 65535, a frame wider or
// taller than 65535 pixels or without pixels, a frame over the core's pixel
// limit, values that do not fit the kind (an index over 255), or offsets
// past 4 GiB.
bool WriteSprite(const std::vector<StoredValues>& frames, SpriteKind kind, PixelFormat format,
                 std::vector<uint8_t>* out, std::string* problem);

}  // namespace tamsorel
