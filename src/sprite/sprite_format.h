// Layouts of the three sprite kinds as the first-frame decoder reads them,
// and the bitmap geometry that follows from a frame's size.
//
//   SPR:        frameCount (u16), FrameEntry, ... 8-bit palette indices
//   S16 / C16:  flags (u32), frameCount (u16), FrameEntry,
//               lineOffsets (u32 x (height - 1)), ... 16-bit pixels / lines
//
// All fields are little-endian and unsigned; offsets are absolute.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsorel {

// Flag bits of the 16-bit header.  Every other bit is ignored.
constexpr uint32_t SPRITE16_RGB565 = 0x1;
constexpr uint32_t SPRITE16_COMPRESSED = 0x2;

constexpr std::size_t kSprHeaderSize = 2;       // frameCount
constexpr std::size_t kSprite16HeaderSize = 6;  // flags, frameCount
constexpr std::size_t kFrameEntrySize = 8;

// Directory entry of one frame, the same in all three kinds.
struct FrameEntry {
  uint32_t offset = 0;  // pixel data (SPR, S16) or first line (C16)
  uint16_t width = 0;
  uint16_t height = 0;
};

inline uint16_t LoadLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline FrameEntry ParseFrameEntry(const uint8_t* p) {
  FrameEntry e;
  e.offset = LoadLe32(p);
  e.width = LoadLe16(p + 4);
  e.height = LoadLe16(p + 6);
  return e;
}

// True when the path names an SPR file: its last three characters are
// "spr" in any ASCII case.  Every other path (shorter ones included) names
// a 16-bit file, whose header flags tell S16 from C16.
bool IsSprPath(const char16_t* path);

// Bytes from the start of one bitmap row to the next: the row's pixel bytes
// rounded up to a multiple of 4.
constexpr std::size_t SprStride(uint32_t width) { return (static_cast<std::size_t>(width) + 3) & ~std::size_t{3}; }
constexpr std::size_t Sprite16Stride(uint32_t width) {
  return (2 * static_cast<std::size_t>(width) + 3) & ~std::size_t{3};
}

// Largest pixel memory (row stride x rows) a decoded frame may have unless
// its host sets another limit, the same on every platform: a larger frame
// is refused before any memory is taken for it.
constexpr uint64_t kMaxPixelBytes = uint64_t{256} << 20;

// What a host lets one sprite cost.  Every surface reads sprites through the
// core with its host's limits rather than caps of its own; the defaults are
// those of Explorer's thumbnail and preview.
struct SpriteLimits {
  // A frame's pixel memory, rows 4-byte aligned as a bitmap holds them: a
  // larger frame is damaged (frames) or refused (thumbnail) before any
  // memory is taken for it.
  uint64_t framePixelBytes = kMaxPixelBytes;
  // Bytes of a file a host holds in memory at once (the image plug-ins
  // read a file whole).
  uint64_t heldFileBytes = uint64_t{1} << 30;
  // Pixels decoded for one request that shows many frames (the preview
  // pane's layout, `tamsorel info`'s check of C16 lines): frames past it
  // are not decoded.
  uint64_t decodedPixels = 64'000'000;
};

// Byte size of the pixel memory of a top-down bitmap, in 64 bits so that no
// 16-bit width and height can overflow it on a 32-bit system.
constexpr uint64_t PixelMemoryBytes(std::size_t stride, uint32_t height) {
  return static_cast<uint64_t>(stride) * height;
}

}  // namespace tamsorel
