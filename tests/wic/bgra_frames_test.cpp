// The WIC decoder's frames: header recognition, whole frames and rectangles
// as BGRA with straight alpha, and every refusal, on files made here.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame_encoder.h"
#include "expected_bgra.h"
#include "wic/bgra_frames.h"

namespace tamsorel {
namespace {

using test::EncodeFrames;
using test::ExpectedBgra;
using test::FrameSpec;

std::unique_ptr<BgraFrames> OpenBytes(const std::vector<uint8_t>& bytes, bool spr) {
  std::string problem;
  auto frames = BgraFrames::Open(std::make_unique<MemorySource>(bytes.data(), bytes.size()), spr, &problem);
  EXPECT_TRUE(frames) << problem;
  return frames;
}

const FrameSpec kSmall{3, 2, {0xF800, 0, 0x07E0, 0x001F, 0xFFFF, 0x1234}};
const FrameSpec kWide{5, 1, {1, 2, 3, 0, 250}};

TEST(WicFrames, HeaderRecognitionNeedsAPlausibleFirstEntry) {
  const std::vector<uint8_t> s16 = EncodeFrames(SpriteKind::kS16, 1, {kSmall}).bytes;
  const std::vector<uint8_t> c16 = EncodeFrames(SpriteKind::kC16, 1, {kSmall}).bytes;
  const std::vector<uint8_t> spr = EncodeFrames(SpriteKind::kSpr, 0, {kWide}).bytes;
  std::vector<uint8_t> noWidth = s16, insideHeader = s16, noFrames = s16;
  noWidth[10] = noWidth[11] = 0;      // frame 1 0 pixels wide
  insideHeader[6] = 4;                // frame 1's pixels would start in the header
  insideHeader[7] = insideHeader[8] = insideHeader[9] = 0;
  noFrames[4] = noFrames[5] = 0;
  const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H'};
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool expected;
  } const cases[] = {
      {"S16", s16, true},
      {"C16", c16, true},
      {"SPR", spr, false},
      {"PNG", png, false},
      {"frame 1 without width", noWidth, false},
      {"frame 1 inside the header", insideHeader, false},
      {"no frames", noFrames, false},
      {"cut inside frame 1's entry", std::vector<uint8_t>(s16.begin(), s16.begin() + 12), false},
  };
  for (const Case& c : cases) EXPECT_EQ(Is16BitSpriteHeader(c.bytes.data(), c.bytes.size()), c.expected) << c.what;
}

TEST(WicFrames, WholeFramesAndRectanglesAreStraightBgra) {
  const FrameSpec tall{2, 3, {0x001F, 0, 0, 0x07E0, 0xF800, 0xFFFF}};
  struct Case {
    SpriteKind kind;
    std::vector<FrameSpec> frames;
  } const cases[] = {
      {SpriteKind::kS16, {kSmall, tall}},
      {SpriteKind::kC16, {kSmall, tall}},
      {SpriteKind::kSpr, {kWide, FrameSpec{1, 2, {0, 7}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(KindName(c.kind));
    const std::vector<uint8_t> bytes = EncodeFrames(c.kind, 1, c.frames).bytes;
    std::unique_ptr<BgraFrames> frames = OpenBytes(bytes, c.kind == SpriteKind::kSpr);
    ASSERT_TRUE(frames);
    ASSERT_EQ(frames->Count(), c.frames.size());
    for (uint32_t i = 0; i < frames->Count(); ++i) {
      const FrameSpec& spec = c.frames[i];
      ASSERT_EQ(frames->Width(i), spec.width);
      ASSERT_EQ(frames->Height(i), spec.height);
      // Every rectangle of the frame, into a buffer with two bytes of
      // padding a row that must stay untouched.
      for (uint32_t y = 0; y < spec.height; ++y)
        for (uint32_t x = 0; x < spec.width; ++x)
          for (uint32_t h = 1; y + h <= spec.height; ++h)
            for (uint32_t w = 1; x + w <= spec.width; ++w) {
              const uint32_t stride = w * 4 + 2;
              std::vector<uint8_t> buffer(stride * h, 0xCD);
              std::string problem;
              ASSERT_EQ(frames->Copy(i, x, y, w, h, stride, static_cast<uint32_t>(buffer.size()), buffer.data(),
                                     &problem),
                        BgraFrames::Copied::kDone)
                  << problem;
              for (uint32_t row = 0; row < h; ++row) {
                for (uint32_t column = 0; column < w; ++column) {
                  const uint16_t value = spec.pixels[(y + row) * spec.width + x + column];
                  const uint8_t* got = &buffer[row * stride + column * 4];
                  ASSERT_EQ(std::vector<uint8_t>(got, got + 4), ExpectedBgra(c.kind, value))
                      << "frame " << i << " pixel " << x + column << "," << y + row;
                }
                EXPECT_EQ(buffer[row * stride + w * 4], 0xCD) << "padding written";
                EXPECT_EQ(buffer[row * stride + w * 4 + 1], 0xCD) << "padding written";
              }
            }
    }
  }
}

TEST(WicFrames, RefusalsWriteNothing) {
  test::EncodedSprite encoded = EncodeFrames(SpriteKind::kS16, 1, {kSmall, kSmall});
  // Frame 2's pixels start beyond the end of the file: damaged.
  test::frame_encoder_detail::Patch32(encoded.bytes, encoded.entryAt[1], 0x7FFFFFF0);
  std::unique_ptr<BgraFrames> frames = OpenBytes(encoded.bytes, false);
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->Count(), 2u);
  EXPECT_TRUE(frames->Damage(0).empty());
  EXPECT_FALSE(frames->Damage(1).empty());
  struct Case {
    const char* what;
    uint32_t index, x, y, w, h, stride, size;
    BgraFrames::Copied expected;
  } const cases[] = {
      {"a rectangle past the right edge", 0, 1, 0, 3, 1, 12, 64, BgraFrames::Copied::kBadRectangle},
      {"a rectangle past the bottom", 0, 0, 1, 1, 2, 12, 64, BgraFrames::Copied::kBadRectangle},
      {"a stride shorter than a row", 0, 0, 0, 3, 2, 11, 64, BgraFrames::Copied::kBadStride},
      {"a buffer one byte short", 0, 0, 0, 3, 2, 13, 13 + 12 - 1, BgraFrames::Copied::kBufferTooSmall},
      {"a damaged frame", 1, 0, 0, 1, 1, 4, 64, BgraFrames::Copied::kUnreadable},
      {"no such frame", 2, 0, 0, 1, 1, 4, 64, BgraFrames::Copied::kUnreadable},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> buffer(64, 0xCD);
    std::string problem;
    EXPECT_EQ(frames->Copy(c.index, c.x, c.y, c.w, c.h, c.stride, c.size, buffer.data(), &problem), c.expected)
        << c.what;
    EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xCD)) << c.what << ": nothing written";
  }
  std::vector<uint8_t> exact(13 + 12);
  std::string problem;
  EXPECT_EQ(frames->Copy(0, 0, 0, 3, 2, 13, static_cast<uint32_t>(exact.size()), exact.data(), &problem),
            BgraFrames::Copied::kDone)
      << "the last row needs no padding";
}

}  // namespace
}  // namespace tamsorel
