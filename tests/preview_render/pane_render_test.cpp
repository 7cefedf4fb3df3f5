#include "frames/pane_render.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frame_encoder.h"
#include "frames/rgba.h"
#include "frames/sprite.h"

namespace tamsorel {

// Colours print as (r,g,b) in failures.
void PrintTo(const PaneColour& c, std::ostream* os) {
  *os << "(" << int{c.red} << "," << int{c.green} << "," << int{c.blue} << ")";
}

namespace {

using test::EncodedSprite;
using test::EncodeFrames;
using test::FrameSpec;

// 16-bit 5-6-5 values of pure colours.
constexpr uint16_t kRed = 0xF800, kGreen = 0x07E0, kBlue = 0x001F, kWhite = 0xFFFF;

struct Opened {
  EncodedSprite encoded;
  std::unique_ptr<MemorySource> source;
  std::unique_ptr<Sprite> sprite;
};

std::unique_ptr<Opened> Open(SpriteKind kind, const std::vector<FrameSpec>& frames) {
  auto o = std::make_unique<Opened>();
  o->encoded = EncodeFrames(kind, 1, frames);  // 5-6-5
  o->source = std::make_unique<MemorySource>(o->encoded.bytes.data(), o->encoded.bytes.size());
  std::string problem;
  o->sprite = Sprite::Open(*o->source, kind == SpriteKind::kSpr, &problem);
  EXPECT_TRUE(o->sprite) << problem;
  return o;
}

// An RGBA canvas filled with a value the renderer never leaves (alpha 0),
// so unwritten pixels show.
struct Canvas {
  uint32_t width, height;
  std::vector<uint8_t> pixels;
  Canvas(uint32_t w, uint32_t h) : width(w), height(h), pixels(std::size_t{w} * h * 4, 0x5A) {
    for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;
  }
  PaneCanvas View(PixelOrder order = PixelOrder::kRgba) {
    return PaneCanvas{pixels.data(), static_cast<std::ptrdiff_t>(width) * 4, order};
  }
  PaneColour At(uint32_t x, uint32_t y) const {
    const uint8_t* p = &pixels[(std::size_t{y} * width + x) * 4];
    return PaneColour{p[0], p[1], p[2]};
  }
};

constexpr PaneColour kRedRgb{255, 0, 0}, kGreenRgb{0, 255, 0}, kBlueRgb{0, 0, 255}, kWhiteRgb{255, 255, 255};
constexpr PaneColour kCaptionGrey{40, 40, 40}, kHostBlue{10, 20, 200};

PaneColour Checker(uint32_t x, uint32_t y) {
  return ((x / kCheckerSize + y / kCheckerSize) & 1) ? kCheckerDark : kCheckerLight;
}

struct LayoutCase {
  const char* name;
  uint32_t width, height, caption, count, maxW, maxH;
  uint32_t columns, rows, cellW, cellH, shown;
};

TEST(PaneLayout, ColumnsGiveTheLargestCommonScale) {
  const LayoutCase cases[] = {
      {"one frame fills the pane", 200, 150, 20, 1, 64, 64, 1, 1, 200, 130, 1},
      {"square frames in a square pane", 200, 220, 20, 4, 32, 32, 2, 2, 100, 100, 4},
      {"square frames in a wide pane", 400, 120, 20, 4, 32, 32, 4, 1, 100, 100, 4},
      {"wide frames stack", 200, 220, 20, 4, 100, 10, 1, 4, 200, 50, 4},
      {"tall frames side by side", 200, 220, 20, 4, 10, 100, 4, 1, 50, 200, 4},
      {"ties keep fewer columns", 100, 100, 0, 2, 10, 10, 1, 2, 100, 50, 2},
      {"more frames than pixels", 3, 3, 0, 10, 5, 5, 3, 3, 1, 1, 9},
      {"caption takes the whole pane", 50, 10, 20, 3, 5, 5, 1, 1, 0, 0, 0},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PaneLayout l = LayoutPane(c.width, c.height, c.caption, c.count, c.maxW, c.maxH);
    EXPECT_EQ(l.shown, c.shown);
    if (c.shown == 0) continue;
    EXPECT_EQ(l.columns, c.columns);
    EXPECT_EQ(l.rows, c.rows);
    EXPECT_EQ(l.cellWidth, c.cellW);
    EXPECT_EQ(l.cellHeight, c.cellH);
    EXPECT_LE(l.columns * l.cellWidth, c.width);
    EXPECT_LE(l.captionHeight + l.rows * l.cellHeight, c.height);
  }
}

TEST(PaneLayout, FramesShareOneScaleAndKeepTheirAspect) {
  // Largest 40 x 20 in a 200 x 100 cell (drawing area 196 x 96): the height
  // limits the scale to 96 / 20, so a 40 x 20 frame becomes 192 x 96 and a
  // 20 x 20 one 96 x 96.
  const PaneLayout l = LayoutPane(200, 100, 0, 1, 40, 20);
  uint32_t w = 0, h = 0;
  l.ScaledSize(40, 20, &w, &h);
  EXPECT_EQ(w, 192u);
  EXPECT_EQ(h, 96u);
  l.ScaledSize(20, 20, &w, &h);
  EXPECT_EQ(w, 96u);
  EXPECT_EQ(h, 96u);
  l.ScaledSize(1, 1, &w, &h);
  EXPECT_EQ(w, 5u);  // 4.8 rounded
  EXPECT_EQ(h, 5u);
}

TEST(PaneRender, EnlargesNearestNeighbourOverCheckerboardOrBackground) {
  // 2 x 2 frame: red, transparent / green, blue.  One cell of 16 x 16 (no
  // margin at that size) under a 4-row caption: every pixel becomes an 8 x 8
  // block.
  auto o = Open(SpriteKind::kS16, {FrameSpec{2, 2, {kRed, 0, kGreen, kBlue}}});
  const PaneLayout layout = LayoutPane(16, 20, 4, 1, 2, 2);
  ASSERT_EQ(layout.margin, 0u);
  for (bool host : {false, true}) {
    SCOPED_TRACE(host ? "host background" : "checkerboard");
    Canvas canvas(16, 20);
    PaneStyle style{4, host, kHostBlue, kCaptionGrey};
    StoredFrame scratch;
    EXPECT_EQ(RenderPane(*o->sprite, layout, style, canvas.View(), &scratch), 0u);
    EXPECT_TRUE(scratch.pixels.empty());
    for (uint32_t y = 0; y < 20; ++y) {
      for (uint32_t x = 0; x < 16; ++x) {
        PaneColour want;
        if (y < 4) {
          want = kCaptionGrey;
        } else {
          const uint32_t sx = x / 8, sy = (y - 4) / 8;
          const PaneColour under = host ? kHostBlue : Checker(x, y);
          const PaneColour frame[2][2] = {{kRedRgb, under}, {kGreenRgb, kBlueRgb}};
          want = frame[sy][sx];
        }
        ASSERT_EQ(canvas.At(x, y), want) << x << "," << y;
        ASSERT_EQ(canvas.pixels[(std::size_t{y} * 16 + x) * 4 + 3], 255);
      }
    }
  }
}

TEST(PaneRender, ShrinksByTheCoresAreaAveraging) {
  // 60 x 60 frame into a 16 x 16 pane (no margin at that size): the drawn
  // frame equals ScaledRows of the frame over the background, pixel for pixel.
  const FrameSpec spec = test::PatternFrame(60, 60, 7, false);
  auto o = Open(SpriteKind::kC16, {spec});
  const PaneLayout layout = LayoutPane(16, 16, 0, 1, 60, 60);
  Canvas canvas(16, 16);
  PaneStyle style{0, true, kHostBlue, kCaptionGrey};
  StoredFrame scratch;
  RenderPane(*o->sprite, layout, style, canvas.View(), &scratch);

  StoredFrame stored;
  ASSERT_EQ(o->sprite->DecodeFrame(0, &stored), "");
  FrameRgbaRows rows(ViewOf(stored));
  ScaledRows scaled(rows, Extent{16, 16});
  const std::vector<uint8_t> expect = ReadAllRows(scaled);
  int blended = 0;
  for (uint32_t i = 0; i < 16 * 16; ++i) {
    const uint8_t* s = &expect[std::size_t{i} * 4];
    const uint32_t a = s[3];
    auto mix = [a](uint32_t over, uint32_t under) {
      return static_cast<uint8_t>((over * a + under * (255 - a) + 127) / 255);
    };
    const PaneColour want{mix(s[0], kHostBlue.red), mix(s[1], kHostBlue.green), mix(s[2], kHostBlue.blue)};
    ASSERT_EQ(canvas.At(i % 16, i / 16), want) << i;
    blended += (a != 0 && a != 255);
  }
  EXPECT_GT(blended,
            0);  // the pattern's transparent pixels give partly covered output
}

TEST(PaneRender, DamagedFrameIsACrossedCellAndTheOthersDraw) {
  // Three 4 x 4 frames, the second's pixels cut off by a bad offset.
  const FrameSpec white{4, 4, std::vector<uint16_t>(16, kWhite)};
  EncodedSprite e = EncodeFrames(SpriteKind::kS16, 1, {white, white, white});
  test::frame_encoder_detail::Patch32(e.bytes, e.entryAt[1], 0x7FFFFFF0);
  MemorySource source(e.bytes.data(), e.bytes.size());
  std::string problem;
  auto sprite = Sprite::Open(source, false, &problem);
  ASSERT_TRUE(sprite) << problem;

  // 3 columns of 40 x 40 cells, margin 2: drawing areas of 36 x 36.
  const PaneLayout layout = LayoutPane(120, 40, 0, 3, 4, 4);
  ASSERT_EQ(layout.columns, 3u);
  ASSERT_EQ(layout.margin, kCellMargin);
  Canvas canvas(120, 40);
  StoredFrame scratch;
  EXPECT_EQ(RenderPane(*sprite, layout, PaneStyle{0, true, kHostBlue, kCaptionGrey}, canvas.View(), &scratch), 1u);
  // Frames 1 and 3 fill their drawing areas with white; cell 2 keeps the
  // background with a cross corner to corner.
  EXPECT_EQ(canvas.At(2, 2), kWhiteRgb);
  EXPECT_EQ(canvas.At(80 + 37, 37), kWhiteRgb);
  EXPECT_EQ(canvas.At(40 + 2, 2), kCrossColour);
  EXPECT_EQ(canvas.At(40 + 37, 2), kCrossColour);
  EXPECT_EQ(canvas.At(40 + 2, 37), kCrossColour);
  EXPECT_EQ(canvas.At(40 + 37, 37), kCrossColour);
  EXPECT_EQ(canvas.At(40 + 20, 19), kCrossColour);  // near the centre
  EXPECT_EQ(canvas.At(40 + 20, 2), kHostBlue);
  EXPECT_EQ(canvas.At(40 + 1, 1), kHostBlue);  // the margin
}

TEST(PaneRender, BgrxOrderIsTheSamePaneWithRedAndBlueSwapped) {
  auto o = Open(SpriteKind::kSpr, {test::PatternFrame(7, 5, 1, true), test::PatternFrame(3, 9, 2, true)});
  const PaneLayout layout = LayoutPane(61, 43, 9, 2, 7, 9);
  const PaneStyle style{9, false, {}, kCaptionGrey};
  Canvas rgba(61, 43), bgrx(61, 43);
  StoredFrame scratch;
  RenderPane(*o->sprite, layout, style, rgba.View(), &scratch);
  RenderPane(*o->sprite, layout, style, bgrx.View(PixelOrder::kBgrx), &scratch);
  for (std::size_t i = 0; i < rgba.pixels.size(); i += 4) {
    ASSERT_EQ(rgba.pixels[i], bgrx.pixels[i + 2]);
    ASSERT_EQ(rgba.pixels[i + 1], bgrx.pixels[i + 1]);
    ASSERT_EQ(rgba.pixels[i + 2], bgrx.pixels[i]);
    ASSERT_EQ(rgba.pixels[i + 3], 255);
  }
}

TEST(PaneCaption, CountSizeAndFormat) {
  auto one = Open(SpriteKind::kS16, {FrameSpec{2, 3, std::vector<uint16_t>(6, kRed)}});
  EXPECT_EQ(PaneCaption(*one->sprite), u"1 frame, 2 \u00d7 3, rgb565");
  auto three = Open(SpriteKind::kSpr, {test::PatternFrame(5, 4, 1, true), test::PatternFrame(9, 9, 2, true),
                                       test::PatternFrame(1, 1, 3, true)});
  EXPECT_EQ(PaneCaption(*three->sprite), u"3 frames, 5 \u00d7 4, indexed8");
  uint32_t w = 0, h = 0;
  LargestFrame(*three->sprite, &w, &h);
  EXPECT_EQ(w, 9u);
  EXPECT_EQ(h, 9u);
}

}  // namespace
}  // namespace tamsorel
