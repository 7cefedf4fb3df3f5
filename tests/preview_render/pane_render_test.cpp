#include "preview/pane_render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frame_encoder.h"
#include "image/rgba.h"
#include "sprite/sprite.h"

namespace tamsorel {

// Colours print as (r,g,b) in failures.
void PrintTo(const PaneColour& c, std::ostream* os) {
  *os << "(" << int{c.red} << "," << int{c.green} << "," << int{c.blue} << ")";
}

namespace {

using test::EncodedSprite;
using test::EncodeFrames;
using test::FrameSpec;
using test::frame_encoder_detail::Patch32;

// 16-bit 5-6-5 values of pure colours.
constexpr uint16_t kRed = 0xF800, kGreen = 0x07E0, kBlue = 0x001F, kWhite = 0xFFFF;

struct Opened {
  EncodedSprite encoded;
  std::unique_ptr<MemorySource> source;
  std::unique_ptr<Sprite> sprite;
};

std::unique_ptr<Opened> OpenBytes(EncodedSprite encoded, bool spr) {
  auto o = std::make_unique<Opened>();
  o->encoded = std::move(encoded);
  o->source = std::make_unique<MemorySource>(o->encoded.bytes.data(), o->encoded.bytes.size());
  std::string problem;
  o->sprite = Sprite::Open(*o->source, spr, &problem);
  EXPECT_TRUE(o->sprite) << problem;
  return o;
}

std::unique_ptr<Opened> Open(SpriteKind kind, const std::vector<FrameSpec>& frames) {
  return OpenBytes(EncodeFrames(kind, 1, frames), kind == SpriteKind::kSpr);  // 5-6-5
}

FrameSpec Solid(uint16_t width, uint16_t height, uint16_t value) {
  return FrameSpec{width, height, std::vector<uint16_t>(std::size_t{width} * height, value)};
}

// Decodes through the sprite and remembers every call, or fails the frames
// it is told to.
class WatchingDecoder final : public PaneDecoder {
 public:
  std::string Decode(Sprite& sprite, uint32_t index, StoredFrame* out) override {
    ++calls;
    ++perFrame[index];
    if (failing.count(index)) return "made to fail";
    return sprite.DecodeFrame(index, out);
  }
  int calls = 0;
  std::map<uint32_t, int> perFrame;
  std::map<uint32_t, bool> failing;
};

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
  // How many pixels of the rectangle have colour `c`.
  int Count(uint32_t left, uint32_t top, uint32_t w, uint32_t h, PaneColour c) const {
    int n = 0;
    for (uint32_t y = top; y < top + h; ++y)
      for (uint32_t x = left; x < left + w; ++x) n += At(x, y) == c;
    return n;
  }
};

constexpr PaneColour kRedRgb{255, 0, 0}, kGreenRgb{0, 255, 0}, kBlueRgb{0, 0, 255}, kWhiteRgb{255, 255, 255};
constexpr PaneColour kCaptionGrey{40, 40, 40}, kHostBlue{10, 20, 200};
const PaneStyle kHostStyle{0, true, kHostBlue, kCaptionGrey};

PaneColour Checker(uint32_t x, uint32_t y) {
  return ((x / kCheckerSize + y / kCheckerSize) & 1) ? kCheckerDark : kCheckerLight;
}

// The pane `frames` draws for `layout`, as RGBA bytes.
std::vector<uint8_t> Drawn(PaneFrames& frames, const PaneLayout& layout, const PaneStyle& style) {
  Canvas canvas(layout.width, layout.height);
  frames.Render(layout, style, canvas.View());
  return canvas.pixels;
}

struct LayoutCase {
  const char* name;
  uint32_t width, height, caption, count, maxW, maxH;
  uint32_t columns, rows, cellW, cellH, shown;
};

TEST(PaneLayout, ColumnsGiveTheLargestCommonScaleToTheFramesThatFit) {
  const LayoutCase cases[] = {
      {"one frame fills the pane", 200, 150, 20, 1, 64, 64, 1, 1, 200, 130, 1},
      {"square frames in a square pane", 200, 220, 20, 4, 32, 32, 2, 2, 100, 100, 4},
      {"square frames in a wide pane", 400, 120, 20, 4, 32, 32, 4, 1, 100, 100, 4},
      {"wide frames stack", 200, 220, 20, 4, 100, 10, 1, 4, 200, 50, 4},
      {"tall frames side by side", 200, 220, 20, 4, 10, 100, 4, 1, 50, 200, 4},
      {"ties keep fewer columns", 100, 100, 0, 2, 10, 10, 1, 2, 100, 50, 2},
      // Ten 64 x 64 frames: four fit at 46 pixels; five would get 29.
      {"frames stop at 32 pixels", 100, 100, 0, 10, 64, 64, 2, 2, 50, 50, 4},
      // Frames smaller than 32 pixels stop at their own size: 8 x 8 cells.
      {"small frames stop at their size", 40, 40, 0, 100, 8, 8, 5, 5, 8, 8, 25},
      // The shorter side counts: 200 x 40 frames may shrink to 160 x 32.
      {"wide frames by their height", 170, 180, 0, 9, 200, 40, 1, 5, 170, 36, 5},
      {"a pane too small still shows one", 20, 20, 0, 3, 64, 64, 1, 1, 20, 20, 1},
      {"caption takes the whole pane", 50, 10, 20, 3, 5, 5, 1, 1, 0, 0, 0},
      {"nothing to show", 50, 50, 0, 0, 5, 5, 1, 1, 0, 0, 0},
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

// The shorter side the largest frame gets when `count` frames share a pane
// in the best grid, worked out in floating point over every column count.
uint32_t BestShorterSide(uint32_t width, uint32_t areaH, uint32_t count, uint32_t maxW, uint32_t maxH) {
  double best = 0;
  for (uint32_t columns = 1; columns <= std::min(count, width); ++columns) {
    const uint32_t rows = (count + columns - 1) / columns;
    if (rows > areaH) continue;
    const uint32_t cellW = width / columns, cellH = areaH / rows;
    const uint32_t margin = (cellW > 16 && cellH > 16) ? 2 : 0;
    best = std::max(best, std::min(double(cellW - 2 * margin) / maxW, double(cellH - 2 * margin) / maxH));
  }
  return static_cast<uint32_t>(std::min(maxW, maxH) * best + 0.5);
}

TEST(PaneLayout, ShowsTheMostFramesThatStayLargeEnough) {
  // Against every count up to a few hundred in panes of several shapes: the
  // frames shown are drawn large enough, and one frame more would not be.
  for (const auto& pane : {std::pair<uint32_t, uint32_t>{800, 600}, {333, 97}, {64, 700}}) {
    for (const auto& frame : {std::pair<uint32_t, uint32_t>{512, 512}, {64, 20}, {12, 30}}) {
      const uint32_t least = std::min({kMinCellSide, frame.first, frame.second});
      for (uint32_t count = 1; count <= 400; count += 7) {
        const PaneLayout l = LayoutPane(pane.first, pane.second, 18, count, frame.first, frame.second);
        uint32_t w = 0, h = 0;
        l.ScaledSize(frame.first, frame.second, &w, &h);
        SCOPED_TRACE(std::to_string(pane.first) + "x" + std::to_string(pane.second) + " pane, " +
                     std::to_string(count) + " frames of " + std::to_string(frame.first) + "x" +
                     std::to_string(frame.second));
        ASSERT_GE(l.shown, 1u);
        ASSERT_LE(l.shown, count);
        ASSERT_EQ(std::min(w, h), BestShorterSide(pane.first, pane.second - 18, l.shown, frame.first, frame.second));
        if (l.shown > 1) {
          ASSERT_GE(std::min(w, h), least);
        }
        if (l.shown < count) {
          ASSERT_LT(BestShorterSide(pane.first, pane.second - 18, l.shown + 1, frame.first, frame.second), least);
        }
      }
    }
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

// Rows of RGBA with every kind of alpha (0, partial, 255) and colours that
// depend on the position.
class PatternRows : public RgbaRows {
 public:
  PatternRows(uint32_t w, uint32_t h) : w_(w), h_(h) {}
  uint32_t Width() const override { return w_; }
  uint32_t Height() const override { return h_; }
  void ReadRow(uint32_t y, uint8_t* rgba) override {
    for (uint32_t x = 0; x < w_; ++x, rgba += 4) {
      const uint32_t v = (x * 2654435761u) ^ (y * 40503u + 977);
      rgba[0] = static_cast<uint8_t>(v >> 3);
      rgba[1] = static_cast<uint8_t>(v >> 11);
      rgba[2] = static_cast<uint8_t>(v >> 19);
      const uint32_t kind = (v >> 27) % 4;
      rgba[3] = kind == 0 ? 0 : kind == 1 ? static_cast<uint8_t>(v) : 255;
    }
  }

 private:
  uint32_t w_, h_;
};

TEST(PaneScale, ShrinkingGivesScaledRowsPixels) {
  struct Case {
    uint32_t sw, sh, w, h;
  } const cases[] = {
      {64, 64, 43, 43}, {64, 64, 64, 64}, {7, 5, 3, 2},         {5, 7, 1, 1},     {100, 3, 37, 3},
      {3, 100, 2, 41},  {300, 300, 7, 5}, {257, 256, 256, 255}, {70000, 2, 3, 1},  // a row wider than any frame, as a
                                                                                   // cell of a wide pane may be
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " to " + std::to_string(c.w) + "x" +
                 std::to_string(c.h));
    PatternRows a(c.sw, c.sh), b(c.sw, c.sh);
    ScaledRows reference(a, Extent{c.w, c.h});
    const std::vector<uint8_t> expect = ReadAllRows(reference);
    std::vector<uint8_t> got(std::size_t{c.w} * c.h * 4, 0xA5);
    ScaleRgba(b, c.w, c.h, got.data());
    ASSERT_EQ(got, expect);
  }
}

TEST(PaneScale, DecodedFramesScaleAsTheirRgbaRowsDo) {
  // Every pixel format, transparent pixels among opaque ones (or none),
  // shrunk by ratios near 1, 2 and more, one side only, and enlarged; frames
  // on both sides of 65536 pixels, where the sums across move from floats
  // to doubles, and past 2^32 in all.
  struct Case {
    SpriteKind kind;
    uint32_t flags;  // 1: 5-6-5, 0: 5-5-5
    uint16_t sw, sh;
    uint32_t w, h;
    bool opaque;  // every pixel white
  } const cases[] = {
      {SpriteKind::kC16, 1, 64, 64, 43, 43, false},   {SpriteKind::kS16, 0, 64, 64, 43, 43, false},
      {SpriteKind::kSpr, 0, 64, 64, 43, 43, false},   {SpriteKind::kC16, 1, 97, 31, 13, 5, false},
      {SpriteKind::kS16, 1, 50, 40, 49, 40, false},   {SpriteKind::kSpr, 0, 33, 70, 1, 1, false},
      {SpriteKind::kS16, 1, 5, 4, 11, 9, false},      {SpriteKind::kS16, 1, 256, 256, 255, 17, false},
      {SpriteKind::kS16, 1, 256, 256, 1, 1, true},    {SpriteKind::kS16, 0, 256, 256, 3, 2, true},
      {SpriteKind::kC16, 1, 257, 256, 2, 2, false},   {SpriteKind::kC16, 0, 300, 300, 7, 5, false},
      {SpriteKind::kC16, 1, 4200, 4100, 3, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(KindName(c.kind)) + " " + std::to_string(c.sw) + "x" + std::to_string(c.sh) + " to " +
                 std::to_string(c.w) + "x" + std::to_string(c.h) + (c.opaque ? ", opaque" : ""));
    const bool spr = c.kind == SpriteKind::kSpr;
    const FrameSpec spec = c.opaque ? Solid(c.sw, c.sh, kWhite) : test::PatternFrame(c.sw, c.sh, c.w, spr);
    auto o = OpenBytes(EncodeFrames(c.kind, c.flags, {spec}), spr);
    StoredFrame frame;
    ASSERT_EQ(o->sprite->DecodeFrame(0, &frame), "");
    FrameRgbaRows rows(ViewOf(frame));
    std::vector<uint8_t> expect(std::size_t{c.w} * c.h * 4), got(expect.size(), 0xA5);
    ScaleRgba(rows, c.w, c.h, expect.data());
    ScaleFrame(frame, c.w, c.h, got.data());
    ASSERT_EQ(got, expect);
  }
}

TEST(PaneScale, EnlargingTakesThePixelUnderEachCentre) {
  // 3 x 2 to 7 x 5: output x takes source (2x + 1) * 3 / 14, y (2y + 1) * 2 / 10.
  PatternRows source(3, 2), copy(3, 2);
  const std::vector<uint8_t> original = ReadAllRows(copy);
  std::vector<uint8_t> got(7 * 5 * 4);
  ScaleRgba(source, 7, 5, got.data());
  const uint32_t sx[7] = {0, 0, 1, 1, 1, 2, 2}, sy[5] = {0, 0, 1, 1, 1};
  for (uint32_t y = 0; y < 5; ++y)
    for (uint32_t x = 0; x < 7; ++x)
      for (int c = 0; c < 4; ++c)
        ASSERT_EQ(got[(y * 7 + x) * 4 + c], original[(sy[y] * 3 + sx[x]) * 4 + c]) << x << "," << y;
}

TEST(PaneRender, EnlargesNearestNeighbourOverCheckerboardOrBackground) {
  // 2 x 2 frame: red, transparent / green, blue.  One cell of 16 x 16 (no
  // margin at that size) under a 4-row caption: every pixel becomes an 8 x 8
  // block.
  auto o = Open(SpriteKind::kS16, {FrameSpec{2, 2, {kRed, 0, kGreen, kBlue}}});
  PaneFrames frames(*o->sprite);
  const PaneLayout layout = frames.Prepare(*o->sprite, SpriteDecoder(), 16, 20, 4);
  ASSERT_EQ(layout.shown, 1u);
  ASSERT_EQ(layout.margin, 0u);
  for (bool host : {false, true}) {
    SCOPED_TRACE(host ? "host background" : "checkerboard");
    Canvas canvas(16, 20);
    frames.Render(layout, PaneStyle{4, host, kHostBlue, kCaptionGrey}, canvas.View());
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
  PaneFrames frames(*o->sprite);
  const PaneLayout layout = frames.Prepare(*o->sprite, SpriteDecoder(), 16, 16, 0);
  Canvas canvas(16, 16);
  frames.Render(layout, kHostStyle, canvas.View());

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
  EXPECT_GT(blended, 0);  // the pattern's transparent pixels give partly covered output
}

TEST(PaneRender, BgrxOrderIsTheSamePaneWithRedAndBlueSwapped) {
  auto o = Open(SpriteKind::kSpr, {test::PatternFrame(7, 5, 1, true), test::PatternFrame(3, 9, 2, true)});
  PaneFrames frames(*o->sprite);
  const PaneLayout layout = frames.Prepare(*o->sprite, SpriteDecoder(), 61, 43, 9);
  const PaneStyle style{9, false, {}, kCaptionGrey};
  Canvas rgba(61, 43), bgrx(61, 43);
  frames.Render(layout, style, rgba.View());
  frames.Render(layout, style, bgrx.View(PixelOrder::kBgrx));
  for (std::size_t i = 0; i < rgba.pixels.size(); i += 4) {
    ASSERT_EQ(rgba.pixels[i], bgrx.pixels[i + 2]);
    ASSERT_EQ(rgba.pixels[i + 1], bgrx.pixels[i + 1]);
    ASSERT_EQ(rgba.pixels[i + 2], bgrx.pixels[i]);
    ASSERT_EQ(rgba.pixels[i + 3], 255);
  }
}

TEST(PaneFrames, DamagedEntriesTakeNoCellAndAFrameThatFailsIsCrossed) {
  // Four 4 x 4 white frames; the directory rejects the second (its pixels
  // lie past the end of the file) and the decoder fails the third.
  const FrameSpec white = Solid(4, 4, kWhite);
  EncodedSprite e = EncodeFrames(SpriteKind::kS16, 1, {white, white, white, white});
  Patch32(e.bytes, e.entryAt[1], 0x7FFFFFF0);
  auto o = OpenBytes(std::move(e), false);
  PaneFrames frames(*o->sprite);
  WatchingDecoder decoder;
  decoder.failing[2] = true;
  // Three cells of 40 x 40 in a row, margin 2: drawing areas of 36 x 36.
  const PaneLayout layout = frames.Prepare(*o->sprite, decoder, 120, 40, 0);
  ASSERT_EQ(layout.shown, 3u);
  ASSERT_EQ(layout.columns, 3u);
  ASSERT_EQ(layout.margin, kCellMargin);
  EXPECT_EQ(decoder.perFrame.count(1), 0u);  // never asked for
  Canvas canvas(120, 40);
  frames.Render(layout, kHostStyle, canvas.View());
  // Frames 1 and 4 fill their drawing areas with white; frame 3's cell keeps
  // the background with a cross corner to corner.
  EXPECT_EQ(canvas.Count(2, 2, 36, 36, kWhiteRgb), 36 * 36);
  EXPECT_EQ(canvas.Count(82, 2, 36, 36, kWhiteRgb), 36 * 36);
  for (const auto& corner : {std::pair<uint32_t, uint32_t>{2, 2}, {37, 2}, {2, 37}, {37, 37}, {20, 19}})
    EXPECT_EQ(canvas.At(40 + corner.first, corner.second), kCrossColour);
  EXPECT_EQ(canvas.At(40 + 20, 2), kHostBlue);
  EXPECT_EQ(canvas.At(40 + 1, 1), kHostBlue);  // the margin
  const PaneCounts counts = frames.Counts(layout);
  EXPECT_EQ(counts.failed, 1u);
  EXPECT_EQ(PaneCaption(counts), u"4 frames, 4 \u00d7 4, rgb565, 2 damaged");
}

TEST(PaneFrames, ABogusHugeEntryChangesNothingForTheRealFrames) {
  // Real frames of 16 x 16 and 24 x 12 around an entry claiming 65535 x
  // 65535: the pane is the one of the real frames alone.
  const std::vector<FrameSpec> real = {test::PatternFrame(16, 16, 1, false), test::PatternFrame(24, 12, 2, false)};
  auto alone = Open(SpriteKind::kS16, real);
  EncodedSprite e = EncodeFrames(SpriteKind::kS16, 1, {real[0], Solid(1, 1, kRed), real[1]});
  e.bytes[e.entryAt[1] + 4] = e.bytes[e.entryAt[1] + 5] = 0xFF;
  e.bytes[e.entryAt[1] + 6] = e.bytes[e.entryAt[1] + 7] = 0xFF;
  auto bogus = OpenBytes(std::move(e), false);
  ASSERT_EQ(bogus->sprite->Frame(1).width, 65535);
  ASSERT_FALSE(Readable(bogus->sprite->Frame(1)));

  PaneFrames a(*alone->sprite), b(*bogus->sprite);
  const PaneLayout la = a.Prepare(*alone->sprite, SpriteDecoder(), 300, 140, 12);
  const PaneLayout lb = b.Prepare(*bogus->sprite, SpriteDecoder(), 300, 140, 12);
  EXPECT_EQ(lb.shown, 2u);
  EXPECT_EQ(lb.maxWidth, 24u);
  EXPECT_EQ(lb.maxHeight, 16u);
  EXPECT_EQ(lb.cellWidth, la.cellWidth);
  EXPECT_EQ(lb.cellHeight, la.cellHeight);
  const PaneStyle style{12, false, {}, kCaptionGrey};
  EXPECT_EQ(Drawn(b, lb, style), Drawn(a, la, style));
  EXPECT_EQ(PaneCaption(b.Counts(lb)), u"3 frames, 16 \u00d7 16, rgb565, 1 damaged");
}

// 65535 entries that all point at one 512 x 512 frame, as a 1 MB S16 file.
std::unique_ptr<Opened> SharedFrameFile() {
  const FrameSpec frame = test::PatternFrame(512, 512, 3, false);
  EncodedSprite one = EncodeFrames(SpriteKind::kS16, 1, {frame});
  const std::vector<uint8_t> pixels(one.bytes.begin() + static_cast<std::ptrdiff_t>(one.dataAt[0]), one.bytes.end());
  constexpr uint32_t kEntries = 65535;
  const uint32_t dataAt = 6 + 8 * kEntries;
  std::vector<uint8_t> bytes = {1, 0, 0, 0, 0xFF, 0xFF};
  for (uint32_t i = 0; i < kEntries; ++i) {
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(dataAt >> (8 * b)));
    bytes.insert(bytes.end(), {0x00, 0x02, 0x00, 0x02});  // 512, 512
  }
  bytes.insert(bytes.end(), pixels.begin(), pixels.end());
  EncodedSprite e;
  e.bytes = std::move(bytes);
  return OpenBytes(std::move(e), false);
}

TEST(PaneFrames, EntriesSharingAFrameDecodeItOnceAndLaterLayoutsDecodeNothing) {
  auto o = SharedFrameFile();
  ASSERT_EQ(o->sprite->ReadableFrames(), 65535u);
  PaneFrames frames(*o->sprite);
  WatchingDecoder decoder;
  const PaneLayout first = frames.Prepare(*o->sprite, decoder, 800, 600, 18);
  EXPECT_EQ(decoder.calls, 1);
  EXPECT_EQ(frames.DecodedPixels(), 512u * 512u);
  // As many 512 x 512 frames as fit at 32 pixels or more: 22 x 16 cells of
  // 36 x 36 in 800 x 582, drawing areas of 32 x 32.
  EXPECT_EQ(first.columns, 22u);
  EXPECT_EQ(first.rows, 16u);
  EXPECT_EQ(first.shown, 352u);
  EXPECT_EQ(PaneCaption(frames.Counts(first)), u"frames 1\u2013352 of 65535, 512 \u00d7 512, rgb565");

  // Later sizes, caption heights and backgrounds draw from what was kept
  // (Render takes no decoder) and look as a fresh preparation at that size.
  Canvas canvas(800, 600);
  frames.Render(first, kHostStyle, canvas.View());
  for (const auto& size : {std::pair<uint32_t, uint32_t>{300, 200}, {1000, 700}, {800, 600}}) {
    SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
    const PaneLayout later = frames.Layout(size.first, size.second, 24);
    EXPECT_LE(later.shown, frames.Prepared());
    PaneFrames fresh(*o->sprite);
    WatchingDecoder other;
    const PaneLayout freshLayout = fresh.Prepare(*o->sprite, other, size.first, size.second, 24);
    if (freshLayout.shown <= frames.Prepared()) {
      EXPECT_EQ(Drawn(frames, later, kHostStyle), Drawn(fresh, freshLayout, kHostStyle));
    } else {
      // A larger pane shows no more frames than were prepared.
      EXPECT_EQ(later.shown, frames.Prepared());
    }
  }
  EXPECT_EQ(decoder.calls, 1);
}

TEST(PaneFrames, LaterSizesLookAsAFreshDecodeWouldAndDecodeNothing) {
  // Distinct frames, enlarged at 400 x 300 and 900 x 500, shrunk at
  // 150 x 260: a later size drawn from what was kept is pixel for pixel the
  // pane a fresh preparation draws.  So it is with no frame kept, since
  // frames first drawn enlarged are kept at their own size; frames first
  // drawn shrunk are kept as drawn, which plain areas survive exactly.
  std::vector<FrameSpec> specs;
  for (uint32_t i = 0; i < 6; ++i) specs.push_back(test::PatternFrame(static_cast<uint16_t>(40 + 7 * i), 50, i, false));
  auto patterned = Open(SpriteKind::kC16, specs);
  auto plain = Open(SpriteKind::kC16, {Solid(40, 40, kRed), Solid(40, 20, kGreen), Solid(24, 40, kBlue)});
  const PaneStyle style{10, false, {}, kCaptionGrey};
  const std::pair<uint32_t, uint32_t> sizes[] = {{150, 260}, {900, 500}, {400, 300}};
  PaneLimits nothingKept;
  nothingKept.keptFrameBytes = 0;
  const struct {
    const char* name;
    Opened* file;
    std::pair<uint32_t, uint32_t> first;
    PaneLimits limits;
  } cases[] = {
      {"frames kept", patterned.get(), {400, 300}, PaneLimits{}},
      {"first drawn enlarged", patterned.get(), {400, 300}, nothingKept},
      {"plain, first drawn shrunk", plain.get(), {130, 90}, nothingKept},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sprite& sprite = *c.file->sprite;
    PaneFrames kept(sprite);
    WatchingDecoder decoder;
    const PaneLayout first = kept.Prepare(sprite, decoder, c.first.first, c.first.second, 10, c.limits);
    ASSERT_EQ(first.shown, sprite.HeldFrames());
    const int decoded = decoder.calls;
    for (const auto& size : sizes) {
      SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
      PaneFrames fresh(sprite);
      const PaneLayout freshLayout = fresh.Prepare(sprite, SpriteDecoder(), size.first, size.second, 10);
      ASSERT_EQ(freshLayout.shown, sprite.HeldFrames());
      EXPECT_EQ(Drawn(kept, kept.Layout(size.first, size.second, 10), style), Drawn(fresh, freshLayout, style));
    }
    EXPECT_EQ(decoder.calls, decoded);
  }
}

TEST(PaneFrames, BandsOfRowsMakeTheWholePane) {
  // Drawn seven rows at a time, the pane is the one drawn whole: cells
  // shrunk and enlarged, a crossed cell and one left out by the budget cut
  // by band edges.
  auto o = Open(SpriteKind::kS16, {test::PatternFrame(30, 20, 1, false), test::PatternFrame(9, 14, 2, false),
                                   test::PatternFrame(30, 20, 3, false), test::PatternFrame(4, 4, 4, false)});
  PaneFrames frames(*o->sprite);
  WatchingDecoder decoder;
  decoder.failing[1] = true;
  PaneLimits limits;
  limits.decodePixels = 30 * 20 * 2 + 9 * 14;
  for (const auto& size : {std::pair<uint32_t, uint32_t>{97, 61}, {200, 150}}) {
    SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
    const PaneLayout layout = frames.Prepare(*o->sprite, decoder, size.first, size.second, 5, limits);
    ASSERT_EQ(layout.shown, 4u);
    for (const PaneStyle& style : {PaneStyle{5, false, {}, kCaptionGrey}, kHostStyle}) {
      const std::vector<uint8_t> whole = Drawn(frames, layout, style);
      Canvas banded(size.first, size.second);
      for (uint32_t top = 0; top < size.second; top += 7)
        frames.Render(layout, style,
                      PaneCanvas{banded.pixels.data() + std::size_t{top} * size.first * 4,
                                 static_cast<std::ptrdiff_t>(size.first) * 4, PixelOrder::kRgba},
                      top, 7);
      EXPECT_EQ(banded.pixels, whole);
    }
    const PaneCounts counts = frames.Counts(layout);
    EXPECT_EQ(counts.failed, 1u);
    EXPECT_EQ(counts.notDecoded, 1u);
  }
}

TEST(PaneFrames, TheDecodeBudgetEndsTheWork) {
  // Frames 1..6 of 4 x 4 (16 pixels each), frame 7 sharing frame 1's
  // pixels; a budget of 40 pixels decodes frames 1 and 2 and stops at frame
  // 3: frames 3..6 show the dots, frame 7 its shared cell.
  const uint16_t colours[] = {kRed, kGreen, kBlue, kWhite, kRed, kGreen};
  std::vector<FrameSpec> specs;
  for (uint16_t c : colours) specs.push_back(Solid(4, 4, c));
  specs.push_back(Solid(4, 4, kRed));
  EncodedSprite e = EncodeFrames(SpriteKind::kS16, 1, specs);
  Patch32(e.bytes, e.entryAt[6], static_cast<uint32_t>(e.dataAt[0]));
  auto o = OpenBytes(std::move(e), false);
  PaneFrames frames(*o->sprite);
  WatchingDecoder decoder;
  PaneLimits limits;
  limits.decodePixels = 40;
  // Seven cells of 40 x 40 in a row, drawing areas of 36 x 36.
  const PaneLayout layout = frames.Prepare(*o->sprite, decoder, 280, 40, 0, limits);
  ASSERT_EQ(layout.shown, 7u);
  ASSERT_EQ(layout.columns, 7u);
  EXPECT_EQ(decoder.calls, 2);
  EXPECT_EQ(frames.DecodedPixels(), 32u);
  Canvas canvas(280, 40);
  frames.Render(layout, kHostStyle, canvas.View());
  EXPECT_EQ(canvas.Count(2, 2, 36, 36, kRedRgb), 36 * 36);
  EXPECT_EQ(canvas.Count(42, 2, 36, 36, kGreenRgb), 36 * 36);
  EXPECT_EQ(canvas.Count(242, 2, 36, 36, kRedRgb), 36 * 36);
  for (uint32_t cell = 2; cell < 6; ++cell) {
    SCOPED_TRACE(cell);
    // Three dots of 3 x 3 in the middle, nothing else, no cross.
    EXPECT_EQ(canvas.Count(cell * 40 + 2, 2, 36, 36, kNotDecodedColour), 3 * 3 * 3);
    EXPECT_EQ(canvas.At(cell * 40 + 20, 20), kNotDecodedColour);
    EXPECT_EQ(canvas.Count(cell * 40 + 2, 2, 36, 36, kCrossColour), 0);
  }
  EXPECT_EQ(PaneCaption(frames.Counts(layout)), u"7 frames, 4 \u00d7 4, rgb565, 4 not decoded");
}

TEST(PaneFrames, TheBudgetLeavesOutAFrameLargerThanItself) {
  // A frame with more pixels than the budget is not decoded at all.
  auto o = Open(SpriteKind::kC16, {Solid(300, 200, kRed), Solid(10, 10, kGreen)});
  PaneFrames frames(*o->sprite);
  WatchingDecoder decoder;
  PaneLimits limits;
  limits.decodePixels = 300 * 200 - 1;
  const PaneLayout layout = frames.Prepare(*o->sprite, decoder, 400, 300, 0, limits);
  EXPECT_EQ(decoder.calls, 0);
  EXPECT_EQ(frames.Counts(layout).notDecoded, 2u);
}

TEST(PaneFrames, CountsFollowTheLayout) {
  // The header claims 302 frames; the file holds 300 entries of 1 x 1 that
  // share its last two bytes, the second entry's pixels past the end.  A
  // 10 x 10 pane shows 100 of the readable frames, numbered as the file
  // numbers them.
  constexpr uint32_t kHeld = 300, kPixelAt = 6 + 8 * kHeld;
  std::vector<uint8_t> bytes = {1, 0, 0, 0, 302 & 0xFF, 302 >> 8};
  for (uint32_t i = 0; i < kHeld; ++i) {
    const uint32_t at = i == 1 ? 0x7FFFFFF0u : kPixelAt;
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(at >> (8 * b)));
    bytes.insert(bytes.end(), {1, 0, 1, 0});
  }
  bytes.insert(bytes.end(), {0x00, 0xF8});  // red
  EncodedSprite e;
  e.bytes = std::move(bytes);
  auto o = OpenBytes(std::move(e), false);
  ASSERT_EQ(o->sprite->FrameCount(), 302u);
  ASSERT_EQ(o->sprite->HeldFrames(), kHeld);
  PaneFrames frames(*o->sprite);
  WatchingDecoder decoder;
  const PaneLayout small = frames.Prepare(*o->sprite, decoder, 10, 10, 0);
  ASSERT_EQ(small.shown, 100u);
  EXPECT_EQ(decoder.calls, 1);
  const PaneCounts counts = frames.Counts(small);
  EXPECT_EQ(counts.lastShown, 101u);
  EXPECT_EQ(PaneCaption(counts), u"frames 1\u2013101 of 300 (header claims 302), 1 \u00d7 1, rgb565, 1 damaged");
  // A larger pane shows what was prepared; a smaller one the first of it.
  EXPECT_EQ(frames.Layout(1000, 1000, 0).shown, 100u);
  const PaneLayout tiny = frames.Layout(5, 5, 0);
  EXPECT_EQ(tiny.shown, 25u);
  EXPECT_EQ(PaneCaption(frames.Counts(tiny)),
            u"frames 1\u201326 of 300 (header claims 302), 1 \u00d7 1, rgb565, 1 damaged");
}

TEST(PaneCaption, TellsCountsSizeFormatAndWhatIsMissing) {
  struct Case {
    const char* name;
    PaneCounts counts;
    const char16_t* text;
  };
  auto with = [](uint32_t claimed, uint32_t held, uint32_t readable, uint32_t shown, uint32_t last, uint32_t failed,
                 uint32_t notDecoded, bool firstHeld, PixelFormat format) {
    PaneCounts c;
    c.claimed = claimed, c.held = held, c.readable = readable, c.shown = shown, c.lastShown = last;
    c.failed = failed, c.notDecoded = notDecoded, c.firstHeld = firstHeld, c.format = format;
    c.firstWidth = 64, c.firstHeight = 48;
    return c;
  };
  using P = PixelFormat;
  const Case cases[] = {
      {"one frame", with(1, 1, 1, 1, 1, 0, 0, true, P::kRgb565), u"1 frame, 64 \u00d7 48, rgb565"},
      {"all shown", with(12, 12, 12, 12, 12, 0, 0, true, P::kIndexed8), u"12 frames, 64 \u00d7 48, indexed8"},
      {"some shown", with(300, 300, 300, 40, 40, 0, 0, true, P::kRgb555),
       u"frames 1\u201340 of 300, 64 \u00d7 48, rgb555"},
      {"header claims more", with(65535, 9, 9, 9, 9, 0, 0, true, P::kRgb565),
       u"9 frames (header claims 65535), 64 \u00d7 48, rgb565"},
      {"damaged and failed", with(5, 5, 3, 3, 5, 1, 0, true, P::kRgb565), u"5 frames, 64 \u00d7 48, rgb565, 3 damaged"},
      {"budget", with(8, 8, 8, 8, 8, 0, 6, true, P::kRgb565), u"8 frames, 64 \u00d7 48, rgb565, 6 not decoded"},
      {"first frame missing", with(3, 0, 0, 0, 0, 0, 0, false, P::kRgb565),
       u"0 frames (header claims 3), first frame missing, rgb565"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PaneCaption(c.counts), c.text);
  }
}

}  // namespace
}  // namespace tamsorel
