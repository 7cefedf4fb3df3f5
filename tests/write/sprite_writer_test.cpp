// Writing sprites: the pixel rules (palette nearest and ties, the half-alpha
// threshold, opaque black, 5-6-5 and 5-5-5 rounding), the layout (runs split
// at 32767, one-pixel and odd-width frames, frames of different sizes), the
// refusals, and round trips through the reading core.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "image/rgba.h"
#include "sprite/byte_source.h"
#include "sprite/palette.h"
#include "sprite/sprite.h"
#include "write/sprite_writer.h"

namespace tamsorel {
namespace {

// The values the reading core decodes from `bytes`, frame by frame.
std::vector<StoredValues> ReadBack(const std::vector<uint8_t>& bytes, bool spr) {
  MemorySource source(bytes.data(), bytes.size());
  std::string problem;
  std::unique_ptr<Sprite> sprite = Sprite::Open(source, spr, &problem);
  EXPECT_TRUE(sprite) << problem;
  std::vector<StoredValues> frames;
  if (!sprite) return frames;
  for (uint32_t i = 0; i < sprite->HeldFrames(); ++i) {
    StoredFrame stored;
    EXPECT_EQ(sprite->DecodeFrame(i, &stored), "") << "frame " << i + 1;
    EXPECT_EQ(stored.irregular, "") << "frame " << i + 1;
    StoredValues f{stored.width, stored.height, {}};
    const std::size_t bpp = BytesPerPixel(stored.format);
    for (std::size_t p = 0; p < std::size_t{stored.width} * stored.height; ++p)
      f.values.push_back(bpp == 1 ? stored.pixels[p]
                                  : static_cast<uint16_t>(stored.pixels[2 * p] | stored.pixels[2 * p + 1] << 8));
    frames.push_back(f);
  }
  return frames;
}

std::vector<uint8_t> Write(const std::vector<StoredValues>& frames, SpriteKind kind, PixelFormat format) {
  std::vector<uint8_t> bytes;
  std::string problem;
  EXPECT_TRUE(WriteSprite(frames, kind, format, &bytes, &problem)) << problem;
  return bytes;
}

TEST(SpriteWriter, PaletteColoursGoBackToTheirLowestIndex) {
  for (uint32_t i = 1; i < 256; ++i) {
    const uint8_t* entry = &kBuiltInPalette[i * 4];
    uint32_t lowest = i;
    for (uint32_t j = 1; j < i; ++j)
      if (std::equal(entry, entry + 3, &kBuiltInPalette[j * 4])) {
        lowest = j;
        break;
      }
    EXPECT_EQ(NearestPaletteIndex(entry[2], entry[1], entry[0]), lowest) << "index " << i;
  }
  // Black is never index 0, which is transparent.
  EXPECT_NE(NearestPaletteIndex(0, 0, 0), 0);
}

TEST(SpriteWriter, HalfAlphaThresholdAndOpaqueBlack) {
  struct Case {
    const char* what;
    uint8_t r, g, b, a;
    PixelFormat format;
    uint16_t value;
    bool nudged;
  } const cases[] = {
      {"alpha 127 is transparent", 255, 255, 255, 127, PixelFormat::kRgb565, 0, false},
      {"alpha 128 is opaque", 255, 255, 255, 128, PixelFormat::kRgb565, 0xFFFF, false},
      {"5-5-5 white", 255, 255, 255, 255, PixelFormat::kRgb555, 0x7FFF, false},
      {"opaque black, 5-6-5: green 1 is nearest", 0, 0, 0, 255, PixelFormat::kRgb565, 0x0020, true},
      {"opaque black, 5-5-5: a tie, the lowest value", 0, 0, 0, 255, PixelFormat::kRgb555, 0x0001, true},
      {"near-black red, 5-5-5", 4, 0, 0, 255, PixelFormat::kRgb555, 0x0400, true},
      {"transparent black", 0, 0, 0, 0, PixelFormat::kRgb555, 0, false},
  };
  for (const Case& c : cases) {
    bool nudged = !c.nudged;
    EXPECT_EQ(Quantise16(c.r, c.g, c.b, c.a, c.format, &nudged), c.value) << c.what;
    EXPECT_EQ(nudged, c.nudged) << c.what;
  }
  RgbaFrame frame{2, 1, {10, 20, 30, 127, 10, 20, 30, 128}};
  uint64_t nudged = 0;
  const StoredValues spr = Quantise(frame, SpriteKind::kSpr, PixelFormat::kIndexed8, &nudged);
  EXPECT_EQ(spr.values[0], 0);
  EXPECT_NE(spr.values[1], 0);
}

// Every stored value, widened as reading widens it, is written back as
// itself: 5-6-5 and 5-5-5 rounding is the exact inverse.
TEST(SpriteWriter, EveryStoredValueRoundTripsThroughRgba) {
  for (PixelFormat format : {PixelFormat::kRgb565, PixelFormat::kRgb555}) {
    const uint32_t top = format == PixelFormat::kRgb565 ? 0x10000 : 0x8000;
    for (uint32_t v = 1; v < top; ++v) {
      uint8_t r, g, b;
      const bool wideGreen = format == PixelFormat::kRgb565;
      r = Widen5(v >> (wideGreen ? 11 : 10));
      g = wideGreen ? Widen6(v >> 5) : Widen5(v >> 5);
      b = Widen5(v);
      bool nudged = false;
      ASSERT_EQ(Quantise16(r, g, b, 255, format, &nudged), v) << FormatName(format) << " " << v;
      ASSERT_FALSE(nudged);
    }
  }
}

TEST(SpriteWriter, FramesOfEveryShapeReadBackExactlyAndWriteTheSameBytes) {
  std::vector<StoredValues> frames = {
      {1, 1, {7}},
      {3, 2, {1, 0, 2, 0, 0, 3}},
      {5, 3, {}},
      {2, 4, {9, 9, 9, 9, 0, 0, 9, 0}},
  };
  for (uint32_t i = 0; i < 15; ++i) frames[2].values.push_back(static_cast<uint16_t>(i % 4 == 0 ? 0 : 40 + i));
  struct Case {
    SpriteKind kind;
    PixelFormat format;
  } const cases[] = {
      {SpriteKind::kSpr, PixelFormat::kIndexed8},
      {SpriteKind::kS16, PixelFormat::kRgb565},
      {SpriteKind::kS16, PixelFormat::kRgb555},
      {SpriteKind::kC16, PixelFormat::kRgb565},
      {SpriteKind::kC16, PixelFormat::kRgb555},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(KindName(c.kind)) + " " + FormatName(c.format));
    const std::vector<uint8_t> bytes = Write(frames, c.kind, c.format);
    const std::vector<StoredValues> back = ReadBack(bytes, c.kind == SpriteKind::kSpr);
    ASSERT_EQ(back.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(back[i].width, frames[i].width);
      EXPECT_EQ(back[i].height, frames[i].height);
      EXPECT_EQ(back[i].values, frames[i].values) << "frame " << i + 1;
    }
    EXPECT_EQ(Write(back, c.kind, c.format), bytes) << "the same frames give the same bytes";
    if (c.kind != SpriteKind::kSpr) {
      EXPECT_EQ(bytes[0], (c.format == PixelFormat::kRgb565 ? 1 : 0) | (c.kind == SpriteKind::kC16 ? 2 : 0))
          << "the header's flags";
    }
  }
}

TEST(SpriteWriter, C16RunsAreSplitAt32767Pixels) {
  // Row 1: 32768 colour pixels, then 32767 transparent ones; row 2 the other
  // way round.
  const uint32_t width = 65535;
  StoredValues frame{width, 2, std::vector<uint16_t>(2 * std::size_t{width}, 0)};
  for (uint32_t x = 0; x < 32768; ++x) frame.values[x] = 0x1234;
  for (uint32_t x = 32768; x < width; ++x) frame.values[width + x] = 0x4321;
  for (uint32_t x = 0; x < 32768; ++x) frame.values[width + x] = 0;
  const std::vector<uint8_t> bytes = Write({frame}, SpriteKind::kC16, PixelFormat::kRgb565);
  const auto tag = [&](std::size_t at) { return bytes[at] | bytes[at + 1] << 8; };
  // Row 1 follows the directory (header, entry, one line offset).
  std::size_t at = 6 + 8 + 4;
  EXPECT_EQ(tag(at), (32767 << 1) | 1);
  at += 2 + 2 * 32767;
  EXPECT_EQ(tag(at), (1 << 1) | 1) << "the 32768th colour pixel in a run of its own";
  at += 2 + 2;
  EXPECT_EQ(tag(at), 32767 << 1);
  at += 2;
  EXPECT_EQ(tag(at), 0) << "the end tag";
  at += 2;
  EXPECT_EQ(tag(at), 32767 << 1) << "row 2: transparent runs split the same way";
  EXPECT_EQ(tag(at + 2), 1 << 1);
  const std::vector<StoredValues> back = ReadBack(bytes, false);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].values, frame.values);
}

TEST(SpriteWriter, Refusals) {
  const StoredValues pixel{1, 1, {1}};
  struct Case {
    const char* what;
    std::vector<StoredValues> frames;
    SpriteKind kind;
    PixelFormat format;
  } const cases[] = {
      {"no frames", {}, SpriteKind::kS16, PixelFormat::kRgb565},
      {"more than 65535 frames", std::vector<StoredValues>(65536, pixel), SpriteKind::kSpr, PixelFormat::kIndexed8},
      {"a frame without pixels", {StoredValues{0, 3, {}}}, SpriteKind::kS16, PixelFormat::kRgb565},
      {"a frame 65536 wide", {StoredValues{65536, 1, {}}}, SpriteKind::kS16, PixelFormat::kRgb565},
      {"a frame over the pixel limit", {StoredValues{65535, 4097, {}}}, SpriteKind::kC16, PixelFormat::kRgb555},
      {"a palette index over 255", {StoredValues{1, 1, {256}}}, SpriteKind::kSpr, PixelFormat::kIndexed8},
      {"a 16-bit kind without a 16-bit format", {pixel}, SpriteKind::kS16, PixelFormat::kIndexed8},
      {"fewer values than pixels", {StoredValues{2, 2, {1, 2, 3}}}, SpriteKind::kS16, PixelFormat::kRgb565},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = {1, 2, 3};
    std::string problem;
    EXPECT_FALSE(WriteSprite(c.frames, c.kind, c.format, &bytes, &problem)) << c.what;
    EXPECT_FALSE(problem.empty()) << c.what;
    EXPECT_TRUE(bytes.empty()) << c.what;
  }
}

}  // namespace
}  // namespace tamsorel
