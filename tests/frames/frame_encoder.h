// Builds multi-frame sprite files for tests, fuzz seeds and benchmarks:
// every frame with its own size and pixels, laid out as files in the wild
// hold them (the directory first, then each frame's pixels in order).  The
// positions of every entry, line table and frame are returned with the
// bytes, so that damaged files are made by patching them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sprite/sprite.h"

namespace tamsorel::test {

struct FrameSpec {
  uint16_t width = 0;
  uint16_t height = 0;
  // width * height values, row by row: palette indices (SPR) or 16-bit
  // pixels.  In C16, pixels of value 0 are written as transparent runs.
  std::vector<uint16_t> pixels;
};

struct EncodedSprite {
  std::vector<uint8_t> bytes;
  std::vector<std::size_t> entryAt;  // each frame's FrameEntry
  std::vector<std::size_t> tableAt;  // C16: each frame's line offsets
  std::vector<std::size_t> dataAt;   // each frame's pixels or first line
  std::size_t directoryEnd = 0;
};

namespace frame_encoder_detail {
inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Patch32(std::vector<uint8_t>& out, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
// One C16 line: colour runs for non-zero pixels, transparent runs for
// zeros, then the end tag.  Runs are at most 32767 pixels.
inline void PutLine(std::vector<uint8_t>& out, const uint16_t* row, uint16_t width) {
  for (uint32_t x = 0; x < width;) {
    const bool transparent = row[x] == 0;
    uint32_t n = 1;
    while (x + n < width && n < 32767 && (row[x + n] == 0) == transparent) ++n;
    Put16(out, static_cast<uint16_t>((n << 1) | (transparent ? 0 : 1)));
    if (!transparent)
      for (uint32_t i = 0; i < n; ++i) Put16(out, row[x + i]);
    x += n;
  }
  Put16(out, 0);
}
}  // namespace frame_encoder_detail

// `flags` are the 16-bit header's (ignored for SPR); the kind decides the
// layout, and for S16 / C16 the compression bit is set to match it.
inline EncodedSprite EncodeFrames(SpriteKind kind, uint32_t flags, const std::vector<FrameSpec>& frames) {
  using namespace frame_encoder_detail;
  EncodedSprite e;
  std::vector<uint8_t>& out = e.bytes;
  const auto count = static_cast<uint16_t>(frames.size());
  if (kind == SpriteKind::kSpr) {
    Put16(out, count);
  } else {
    flags = kind == SpriteKind::kC16 ? (flags | 2u) : (flags & ~2u);
    Put32(out, flags);
    Put16(out, count);
  }
  for (const FrameSpec& f : frames) {
    e.entryAt.push_back(out.size());
    Put32(out, 0);  // offset, patched below
    Put16(out, f.width);
    Put16(out, f.height);
    e.tableAt.push_back(out.size());
    if (kind == SpriteKind::kC16 && f.height > 1) out.insert(out.end(), 4 * (std::size_t{f.height} - 1), 0);
  }
  e.directoryEnd = out.size();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const FrameSpec& f = frames[i];
    e.dataAt.push_back(out.size());
    Patch32(out, e.entryAt[i], static_cast<uint32_t>(out.size()));
    for (uint32_t y = 0; y < f.height; ++y) {
      const uint16_t* row = f.pixels.data() + std::size_t{y} * f.width;
      if (kind == SpriteKind::kSpr) {
        for (uint32_t x = 0; x < f.width; ++x) out.push_back(static_cast<uint8_t>(row[x]));
      } else if (kind == SpriteKind::kS16) {
        for (uint32_t x = 0; x < f.width; ++x) Put16(out, row[x]);
      } else {
        if (y > 0) Patch32(out, e.tableAt[i] + 4 * (y - 1), static_cast<uint32_t>(out.size()));
        PutLine(out, row, f.width);
      }
    }
  }
  return e;
}

// A frame of `width` x `height` whose pixels depend on `seed`, with some
// zeros (transparent) among them; values stay below 256 for SPR.
inline FrameSpec PatternFrame(uint16_t width, uint16_t height, uint32_t seed, bool indexed) {
  FrameSpec f{width, height, std::vector<uint16_t>(std::size_t{width} * height)};
  for (std::size_t i = 0; i < f.pixels.size(); ++i) {
    const uint32_t v = static_cast<uint32_t>(i * 2654435761u + seed * 40503u) >> 7;
    f.pixels[i] = (v % 7 == 0) ? 0 : static_cast<uint16_t>(indexed ? 1 + v % 255 : 1 + v % 65535);
  }
  return f;
}

// An S16 file (5-6-5) of `entries` entries that all point at one frame,
// whose pixels follow the directory.
inline std::vector<uint8_t> SharedFrameS16(uint32_t entries, const FrameSpec& frame) {
  using namespace frame_encoder_detail;
  std::vector<uint8_t> out;
  Put32(out, 1);
  Put16(out, static_cast<uint16_t>(entries));
  const uint32_t dataAt = 6 + 8 * entries;
  for (uint32_t i = 0; i < entries; ++i) {
    Put32(out, dataAt);
    Put16(out, frame.width);
    Put16(out, frame.height);
  }
  for (uint16_t v : frame.pixels) Put16(out, v);
  return out;
}

}  // namespace tamsorel::test
