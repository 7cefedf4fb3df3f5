// The bitmap description the decoder writes into the caller's 1068-byte
// scratch buffer: a BITMAPINFOHEADER (40 bytes) followed by the colour table
// (8-bit) or the three channel masks (16-bit).  Offsets and values are the
// Windows ones, written byte by byte so the code is the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sprite/sprite_format.h"

namespace tamsorel {

constexpr std::size_t kInfoHeaderSize = 40;   // BITMAPINFOHEADER
constexpr std::size_t kPaletteSize = 1024;    // 256 RGBQUADs
constexpr std::size_t kMaskBytes = 12;        // red, green, blue masks
constexpr std::size_t kSprite16HeaderClear = 56;

// Field offsets inside BITMAPINFOHEADER.
constexpr std::size_t kBiSize = 0;
constexpr std::size_t kBiWidth = 4;
constexpr std::size_t kBiHeight = 8;
constexpr std::size_t kBiPlanes = 12;
constexpr std::size_t kBiBitCount = 14;
constexpr std::size_t kBiCompression = 16;
constexpr std::size_t kBiSizeImage = 20;
constexpr std::size_t kBiClrUsed = 32;

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

constexpr uint32_t kRgb565Masks[3] = {0xF800, 0x07E0, 0x001F};
constexpr uint32_t kRgb555Masks[3] = {0x7C00, 0x03E0, 0x001F};

// The fields a reader of the header needs, as they are stored.
struct BitmapHeaderView {
  int32_t width = 0;
  int32_t height = 0;  // negative: rows run top-down
  uint16_t planes = 0;
  uint16_t bitCount = 0;
  uint32_t compression = 0;
};

BitmapHeaderView ReadBitmapHeader(const uint8_t* header);

// Number of colour bytes that follow the 40-byte header for this
// description: 1024 (8-bit), 12 (16-bit bit fields) or 0.
std::size_t ColourBytes(const BitmapHeaderView& view);

// Row length of the described bitmap in bytes (4-byte aligned), 0 if the
// description is not one this system makes.
std::size_t BitmapStride(const BitmapHeaderView& view);

// Pixel memory the described bitmap needs (stride x rows), in 64 bits so the
// product never wraps; 0 if the description is not one this system makes.
uint64_t BitmapPixelBytes(const BitmapHeaderView& view);

}  // namespace tamsorel
