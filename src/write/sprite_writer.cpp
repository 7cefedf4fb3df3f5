#include "write/sprite_writer.h"

#include <limits>

#include "sprite/palette.h"
#include "sprite/sprite_format.h"

namespace tamsorel {

namespace {

constexpr uint8_t kOpaqueFrom = 128;  // alpha from which a pixel is opaque
constexpr uint32_t kMaxRun = 32767;   // pixels in one C16 run

uint32_t Widen(uint32_t value, uint32_t bits) {
  return bits == 5 ? ((value << 3) | (value >> 2)) : ((value << 2) | (value >> 4));
}

// The `bits`-bit value whose widened value is nearest `channel`, the lower
// on a tie.
uint32_t NearestChannel(uint8_t channel, uint32_t bits) {
  const uint32_t top = (1u << bits) - 1;
  const uint32_t guess = (channel * top + 127) / 255;
  uint32_t best = guess;
  uint32_t bestDistance = std::numeric_limits<uint32_t>::max();
  for (uint32_t c = guess > 0 ? guess - 1 : 0; c <= guess + 1 && c <= top; ++c) {
    const uint32_t widened = Widen(c, bits);
    const uint32_t distance = widened > channel ? widened - channel : channel - widened;
    if (distance < bestDistance) {
      best = c;
      bestDistance = distance;
    }
  }
  return best;
}

uint32_t Square(int32_t v) { return static_cast<uint32_t>(v * v); }

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Patch32(std::vector<uint8_t>& out, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One C16 line: colour runs for non-zero values, transparent runs for
// zeros, each at most kMaxRun pixels, then the end tag.
void PutLine(std::vector<uint8_t>& out, const uint16_t* row, uint32_t width) {
  for (uint32_t x = 0; x < width;) {
    const bool transparent = row[x] == 0;
    uint32_t n = 1;
    while (x + n < width && n < kMaxRun && (row[x + n] == 0) == transparent) ++n;
    Put16(out, (n << 1) | (transparent ? 0u : 1u));
    if (!transparent)
      for (uint32_t i = 0; i < n; ++i) Put16(out, row[x + i]);
    x += n;
  }
  Put16(out, 0);
}

}  // namespace

uint8_t NearestPaletteIndex(uint8_t red, uint8_t green, uint8_t blue) {
  uint8_t best = 1;
  uint32_t bestDistance = std::numeric_limits<uint32_t>::max();
  for (uint32_t i = 1; i < 256; ++i) {
    const uint8_t* entry = &kBuiltInPalette[i * 4];  // blue, green, red, 0
    const uint32_t distance = Square(int32_t{entry[2]} - red) + Square(int32_t{entry[1]} - green) +
                              Square(int32_t{entry[0]} - blue);
    if (distance < bestDistance) {
      best = static_cast<uint8_t>(i);
      bestDistance = distance;
    }
  }
  return best;
}

uint16_t Quantise16(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha, PixelFormat format, bool* nudged) {
  *nudged = false;
  if (alpha < kOpaqueFrom) return 0;
  const uint32_t greenBits = format == PixelFormat::kRgb565 ? 6 : 5;
  const uint32_t r = NearestChannel(red, 5), g = NearestChannel(green, greenBits), b = NearestChannel(blue, 5);
  const auto pack = [&](uint32_t pr, uint32_t pg, uint32_t pb) {
    return static_cast<uint16_t>(format == PixelFormat::kRgb565 ? (pr << 11) | (pg << 5) | pb
                                                                : (pr << 10) | (pg << 5) | pb);
  };
  const uint16_t value = pack(r, g, b);
  if (value != 0) return value;
  // Opaque, yet every channel rounds to 0: the nearest value with some
  // channel at 1 (a channel at 2 is always farther), the lowest on a tie.
  *nudged = true;
  uint16_t best = 0;
  uint32_t bestDistance = std::numeric_limits<uint32_t>::max();
  for (uint32_t bits = 1; bits < 8; ++bits) {
    const uint32_t pr = (bits >> 2) & 1, pg = (bits >> 1) & 1, pb = bits & 1;
    const uint32_t distance = Square(static_cast<int32_t>(Widen(pr, 5)) - red) +
                              Square(static_cast<int32_t>(Widen(pg, greenBits)) - green) +
                              Square(static_cast<int32_t>(Widen(pb, 5)) - blue);
    const uint16_t candidate = pack(pr, pg, pb);
    if (distance < bestDistance || (distance == bestDistance && candidate < best)) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

StoredValues Quantise(const RgbaFrame& frame, SpriteKind kind, PixelFormat format, uint64_t* nudged) {
  StoredValues out;
  out.width = frame.width;
  out.height = frame.height;
  out.values.resize(std::size_t{frame.width} * frame.height);
  for (std::size_t i = 0; i < out.values.size(); ++i) {
    const uint8_t* p = &frame.rgba[i * 4];
    if (kind == SpriteKind::kSpr) {
      out.values[i] = p[3] < kOpaqueFrom ? 0 : NearestPaletteIndex(p[0], p[1], p[2]);
    } else {
      bool moved = false;
      out.values[i] = Quantise16(p[0], p[1], p[2], p[3], format, &moved);
      if (moved) ++*nudged;
    }
  }
  return out;
}

bool WriteSprite(const std::vector<StoredValues>& frames, SpriteKind kind, PixelFormat format,
                 std::vector<uint8_t>* out, std::string* problem) {
  out->clear();
  if (frames.empty()) return *problem = "no frames to write", false;
  if (frames.size() > 65535) return *problem = "more than 65535 frames", false;
  if (kind != SpriteKind::kSpr && format == PixelFormat::kIndexed8)
    return *problem = "a 16-bit sprite needs the 5-6-5 or 5-5-5 format", false;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const StoredValues& f = frames[i];
    const std::string which = "frame " + std::to_string(i + 1);
    if (f.width == 0 || f.height == 0) return *problem = which + " has no pixels", false;
    if (f.width > 65535 || f.height > 65535) return *problem = which + " is larger than 65535 pixels a side", false;
    const std::size_t stride = kind == SpriteKind::kSpr ? SprStride(f.width) : Sprite16Stride(f.width);
    if (PixelMemoryBytes(stride, f.height) > kMaxPixelBytes)
      return *problem = which + " is over the pixel limit of " + MiBText(kMaxPixelBytes), false;
    if (f.values.size() != std::size_t{f.width} * f.height) return *problem = which + " lacks pixels", false;
    if (kind == SpriteKind::kSpr)
      for (uint16_t v : f.values)
        if (v > 255) return *problem = which + " holds a palette index over 255", false;
  }

  std::vector<uint8_t>& bytes = *out;
  const auto count = static_cast<uint32_t>(frames.size());
  if (kind == SpriteKind::kSpr) {
    Put16(bytes, count);
  } else {
    Put32(bytes, (format == PixelFormat::kRgb565 ? SPRITE16_RGB565 : 0u) |
                     (kind == SpriteKind::kC16 ? SPRITE16_COMPRESSED : 0u));
    Put16(bytes, count);
  }
  std::vector<std::size_t> entryAt, tableAt;
  for (const StoredValues& f : frames) {
    entryAt.push_back(bytes.size());
    Put32(bytes, 0);  // the offset, once known
    Put16(bytes, f.width);
    Put16(bytes, f.height);
    tableAt.push_back(bytes.size());
    if (kind == SpriteKind::kC16) bytes.insert(bytes.end(), 4 * (std::size_t{f.height} - 1), 0);
  }
  // Offsets are 32 bits: each is checked before it is written.
  const auto offset = [&](std::size_t at) { return at <= std::numeric_limits<uint32_t>::max(); };
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const StoredValues& f = frames[i];
    if (!offset(bytes.size())) return bytes.clear(), *problem = "the file would pass 4 GiB", false;
    Patch32(bytes, entryAt[i], static_cast<uint32_t>(bytes.size()));
    for (uint32_t y = 0; y < f.height; ++y) {
      const uint16_t* row = f.values.data() + std::size_t{y} * f.width;
      if (kind == SpriteKind::kSpr) {
        for (uint32_t x = 0; x < f.width; ++x) bytes.push_back(static_cast<uint8_t>(row[x]));
      } else if (kind == SpriteKind::kS16) {
        for (uint32_t x = 0; x < f.width; ++x) Put16(bytes, row[x]);
      } else {
        if (y > 0) {
          if (!offset(bytes.size())) return bytes.clear(), *problem = "the file would pass 4 GiB", false;
          Patch32(bytes, tableAt[i] + 4 * (y - 1), static_cast<uint32_t>(bytes.size()));
        }
        PutLine(bytes, row, f.width);
      }
    }
  }
  return true;
}

}  // namespace tamsorel
