// Builds sprite files for tests, fuzz seeds and benchmarks from pixel arrays.
// Frames after the first get their own entries and data (filled with a
// different value) so that a reader that looks beyond frame 1 shows up.
// Malformed files are made by editing the returned bytes (PatchLe32,
// resize) or through the knobs of C16Options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tamsorel::test {

using Bytes = std::vector<uint8_t>;

inline void PutLe16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void PutLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void PatchLe32(Bytes& out, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void PatchLe16(Bytes& out, std::size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Offsets of the first frame's fields in the 16-bit kinds.
constexpr std::size_t kS16FlagsAt = 0;
constexpr std::size_t kS16FrameCountAt = 4;
constexpr std::size_t kS16EntryAt = 6;
constexpr std::size_t kS16LineOffsetsAt = 14;
constexpr std::size_t kSprEntryAt = 2;

// SPR: `pixels` holds width * height palette indices, row by row.
inline Bytes EncodeSpr(uint16_t width, uint16_t height, const std::vector<uint8_t>& pixels,
                       uint16_t frameCount = 1) {
  Bytes out;
  PutLe16(out, frameCount);
  const std::size_t frameBytes = std::size_t{width} * height;
  const std::size_t dataAt = 2 + 8 * std::size_t{frameCount};
  for (uint16_t f = 0; f < frameCount; ++f) {
    PutLe32(out, static_cast<uint32_t>(dataAt + f * frameBytes));
    PutLe16(out, width);
    PutLe16(out, height);
  }
  out.insert(out.end(), pixels.begin(), pixels.begin() + frameBytes);
  for (uint16_t f = 1; f < frameCount; ++f) out.insert(out.end(), frameBytes, 0xEE);
  return out;
}

// S16: `pixels` holds width * height 16-bit values, row by row.  The
// line-offset table after each entry is filled with zeros (S16 readers
// ignore it).
inline Bytes EncodeS16(uint32_t flags, uint16_t width, uint16_t height,
                       const std::vector<uint16_t>& pixels, uint16_t frameCount = 1) {
  Bytes out;
  PutLe32(out, flags);
  PutLe16(out, frameCount);
  const std::size_t table = height > 0 ? 4 * (std::size_t{height} - 1) : 0;
  const std::size_t frameBytes = 2 * std::size_t{width} * height;
  const std::size_t dataAt = 6 + (8 + table) * frameCount;
  for (uint16_t f = 0; f < frameCount; ++f) {
    PutLe32(out, static_cast<uint32_t>(dataAt + f * frameBytes));
    PutLe16(out, width);
    PutLe16(out, height);
    out.insert(out.end(), table, 0);
  }
  for (std::size_t i = 0; i < std::size_t{width} * height; ++i) PutLe16(out, pixels[i]);
  for (uint16_t f = 1; f < frameCount; ++f) out.insert(out.end(), frameBytes, 0xEE);
  return out;
}

// One C16 run as stored: a colour run carries its pixels, a transparent run
// only its length.
struct C16Run {
  bool colour = false;
  uint16_t length = 0;
  std::vector<uint16_t> pixels;  // colour runs: `length` values
};
using C16Line = std::vector<C16Run>;

struct C16Options {
  uint16_t frameCount = 1;
  bool reverseLineOrder = false;  // store the last line first
  bool omitEndTags = false;
};

// C16 from explicit runs, one C16Line per line (the runs need not add up to
// the width: that is how overlong and short lines are made).  An end tag
// follows each line.
inline Bytes EncodeC16Lines(uint32_t flags, uint16_t width, const std::vector<C16Line>& lines,
                            const C16Options& options = {}) {
  const auto height = static_cast<uint16_t>(lines.size());
  Bytes out;
  PutLe32(out, flags | 2u);
  PutLe16(out, options.frameCount);
  const std::size_t table = height > 0 ? 4 * (std::size_t{height} - 1) : 0;
  const std::size_t firstEntryEnd = 6 + 8 + table;
  // Frames after the first: an entry of one empty line each, right after
  // frame 1's table.
  const std::size_t otherEntries = 8 * (std::size_t{options.frameCount} - 1);
  std::size_t at = firstEntryEnd + otherEntries;

  std::vector<Bytes> stored(height);
  for (std::size_t k = 0; k < height; ++k) {
    Bytes& line = stored[k];
    for (const C16Run& run : lines[k]) {
      PutLe16(line, static_cast<uint16_t>((run.length << 1) | (run.colour ? 1 : 0)));
      if (run.colour)
        for (uint16_t v : run.pixels) PutLe16(line, v);
    }
    if (!options.omitEndTags) PutLe16(line, 0);
  }
  std::vector<uint32_t> lineAt(height);
  for (std::size_t i = 0; i < height; ++i) {
    const std::size_t k = options.reverseLineOrder ? height - 1 - i : i;
    lineAt[k] = static_cast<uint32_t>(at);
    at += stored[k].size();
  }
  const std::size_t otherLinesAt = at;

  PutLe32(out, height > 0 ? lineAt[0] : static_cast<uint32_t>(at));
  PutLe16(out, width);
  PutLe16(out, height);
  for (std::size_t k = 1; k < height; ++k) PutLe32(out, lineAt[k]);
  for (uint16_t f = 1; f < options.frameCount; ++f) {
    PutLe32(out, static_cast<uint32_t>(otherLinesAt));
    PutLe16(out, 1);
    PutLe16(out, 1);
  }
  for (std::size_t i = 0; i < height; ++i) {
    const std::size_t k = options.reverseLineOrder ? height - 1 - i : i;
    out.insert(out.end(), stored[k].begin(), stored[k].end());
  }
  if (options.frameCount > 1) {  // other frames: one colour pixel 0xEEEE
    PutLe16(out, 3);
    PutLe16(out, 0xEEEE);
    PutLe16(out, 0);
  }
  return out;
}

// The runs of one row of pixels: transparent where `transparent` says so,
// colour elsewhere, each run at most 32767 pixels.
inline C16Line RunsOfRow(const uint16_t* pixels, const bool* transparent, uint16_t width) {
  C16Line line;
  for (uint16_t x = 0; x < width;) {
    C16Run run;
    run.colour = !transparent[x];
    while (x < width && transparent[x] != run.colour && run.length < 32767) {
      if (run.colour) run.pixels.push_back(pixels[x]);
      ++run.length;
      ++x;
    }
    line.push_back(std::move(run));
  }
  return line;
}

// C16 from a picture: width * height values and a transparency mask (empty
// for none).  Transparent pixels decode to 0.
inline Bytes EncodeC16(uint32_t flags, uint16_t width, uint16_t height,
                       const std::vector<uint16_t>& pixels, const std::vector<bool>& transparent = {},
                       const C16Options& options = {}) {
  std::vector<C16Line> lines;
  std::vector<bool> mask = transparent.empty() ? std::vector<bool>(pixels.size(), false) : transparent;
  std::unique_ptr<bool[]> row(new bool[width > 0 ? width : 1]);
  for (uint16_t y = 0; y < height; ++y) {
    for (uint16_t x = 0; x < width; ++x) row[x] = mask[std::size_t{y} * width + x];
    lines.push_back(RunsOfRow(pixels.data() + std::size_t{y} * width, row.get(), width));
  }
  return EncodeC16Lines(flags, width, lines, options);
}

}  // namespace tamsorel::test
