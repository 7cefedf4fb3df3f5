// Frames as RGBA: the conversion of every pixel format, agreement with the
// first-frame decoder's bitmaps, and sheets of several frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "sprite/first_frame.h"
#include "sprite/palette.h"
#include "platform/portable_platform.h"
#include "frame_encoder.h"
#include "sprite/byte_source.h"
#include "image/rgba.h"
#include "image/sheet.h"
#include "sprite/sprite.h"

namespace tamsorel {
namespace {

using test::EncodeFrames;
using test::FrameSpec;
using test::PatternFrame;

StoredFrame MakeFrame(PixelFormat format, uint32_t width, const std::vector<uint16_t>& values) {
  StoredFrame f;
  f.format = format;
  f.width = width;
  f.height = static_cast<uint32_t>(values.size() / width);
  for (uint16_t v : values) {
    f.pixels.push_back(static_cast<uint8_t>(v));
    if (format != PixelFormat::kIndexed8) f.pixels.push_back(static_cast<uint8_t>(v >> 8));
  }
  return f;
}

// Every row of `rows`, each read into one buffer that is refilled with
// non-zero bytes before every row, as front ends reuse a row buffer: a
// pixel the rows leave unwritten shows as 0xA5 instead of passing for a
// transparent one.
std::vector<uint8_t> ReadRowsOverDirtyBuffer(RgbaRows& rows) {
  const std::size_t rowBytes = std::size_t{rows.Width()} * 4;
  std::vector<uint8_t> row(rowBytes), all;
  for (uint32_t y = 0; y < rows.Height(); ++y) {
    std::fill(row.begin(), row.end(), uint8_t{0xA5});
    rows.ReadRow(y, row.data());
    all.insert(all.end(), row.begin(), row.end());
  }
  return all;
}

std::vector<uint8_t> Rgba(const StoredFrame& frame) {
  FrameRgbaRows rows(ViewOf(frame));
  return ReadRowsOverDirtyBuffer(rows);
}

// The built-in palette's colour `i` as red, green, blue, then `alpha`.
std::vector<uint8_t> PaletteRgba(int i, uint8_t alpha) {
  return {kBuiltInPalette[4 * i + 2], kBuiltInPalette[4 * i + 1], kBuiltInPalette[4 * i], alpha};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(Rgba, EveryFormatWidensToEightBitChannelsAndZeroIsTransparent) {
  using P = PixelFormat;
  struct Case {
    const char* name;
    PixelFormat format;
    uint32_t width;
    std::vector<uint16_t> values;
    std::vector<uint8_t> rgba;
  } const cases[] = {
      // Indices look their colours up in the palette; index 0 is transparent.
      {"indexed", P::kIndexed8, 2, {0, 1, 37, 255},
       Concat({PaletteRgba(0, 0), PaletteRgba(1, 255), PaletteRgba(37, 255), PaletteRgba(255, 255)})},
      {"565 channels", P::kRgb565, 3, {0xF800, 0x07E0, 0x001F},
       {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255}},
      {"565 low and middle values", P::kRgb565, 2, {0x0821, 0x8410},
       {8, 4, 8, 255, 132, 130, 132, 255}},
      {"565 zero and white", P::kRgb565, 1, {0x0000, 0xFFFF}, {0, 0, 0, 0, 255, 255, 255, 255}},
      {"555 channels", P::kRgb555, 3, {0x7C00, 0x03E0, 0x001F},
       {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255}},
      {"555 middle and white", P::kRgb555, 2, {0x4210, 0x7FFF}, {132, 132, 132, 255, 255, 255, 255, 255}},
      // The unused top bit makes a pixel non-zero: black, yet opaque.
      {"555 top bit only", P::kRgb555, 2, {0x8000, 0x0000}, {0, 0, 0, 255, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const StoredFrame frame = MakeFrame(c.format, c.width, c.values);
    EXPECT_EQ(Rgba(frame), c.rgba);
  }
}

// The same file's frame 0 through the multi-frame core and through the
// first-frame decoder's bitmap gives the same RGBA, for every kind.  Odd
// widths make the bitmap's rows padded where the stored ones are not.
TEST(Rgba, FrameZeroMatchesTheFirstFrameBitmap) {
  struct Case {
    const char* name;
    SpriteKind kind;
    uint32_t flags;
    const char16_t* path;
  } const cases[] = {
      {"spr", SpriteKind::kSpr, 0, u"f.spr"},        {"s16 565", SpriteKind::kS16, 1, u"f.s16"},
      {"s16 555", SpriteKind::kS16, 0, u"f.s16"},    {"c16 565", SpriteKind::kC16, 1, u"f.c16"},
      {"c16 555", SpriteKind::kC16, 0, u"f.c16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool indexed = c.kind == SpriteKind::kSpr;
    const std::vector<uint8_t> bytes =
        EncodeFrames(c.kind, c.flags, {PatternFrame(7, 5, 11, indexed), PatternFrame(3, 3, 12, indexed)}).bytes;

    MemorySource source(bytes.data(), bytes.size());
    std::string problem;
    std::unique_ptr<Sprite> sprite = Sprite::Open(source, indexed, &problem);
    ASSERT_TRUE(sprite) << problem;
    StoredFrame frame;
    ASSERT_EQ(sprite->DecodeFrame(0, &frame), "");
    const std::vector<uint8_t> core = Rgba(frame);

    MemoryDecodePlatform platform;
    platform.AddFile(c.path, bytes);
    std::array<uint8_t, kHeaderBufferSize> header{};
    BitmapHandle bitmap = nullptr;
    FirstFrame thumbnail;
    ASSERT_EQ(DecodeFirstFrame(platform, c.path, header.data(), &bitmap, &thumbnail), S_OK);
    FrameRgbaRows rows(ViewOf(thumbnail));
    const std::vector<uint8_t> first = ReadAllRows(rows);
    platform.DeleteBitmap(bitmap);
    EXPECT_EQ(thumbnail.format, frame.format);
    ASSERT_EQ(core.size(), std::size_t{7} * 5 * 4);
    EXPECT_EQ(first, core);
    // Both transparent and opaque pixels took part.
    int transparent = 0;
    for (std::size_t i = 3; i < core.size(); i += 4) transparent += core[i] == 0;
    EXPECT_GT(transparent, 0);
    EXPECT_LT(transparent, 35);
  }
}

// ---------------------------------------------------------------------------
// Sheets

TEST(Sheet, LayoutIsNearlySquareUnlessColumnsAreGiven) {
  struct Case {
    uint32_t count, columns;
    uint32_t wantColumns, wantRows;
  } const cases[] = {
      {1, 0, 1, 1},  {2, 0, 2, 1},  {3, 0, 2, 2},   {4, 0, 2, 2},  {5, 0, 3, 2},
      {10, 0, 4, 3}, {16, 0, 4, 4}, {17, 0, 5, 4},  {0, 0, 1, 1},  // no cells still makes one
      {3, 1, 1, 3},  {7, 3, 3, 3},  {3, 10, 3, 1},  // more columns than cells are cut to the cells
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + " cells, columns " + std::to_string(c.columns));
    SheetLayout layout;
    std::string problem;
    ASSERT_TRUE(LayoutSheet(c.count, 5, 3, c.columns, &layout, &problem)) << problem;
    EXPECT_EQ(layout.columns, c.wantColumns);
    EXPECT_EQ(layout.rows, c.wantRows);
    EXPECT_EQ(layout.Width(), c.wantColumns * 5);
    EXPECT_EQ(layout.Height(), c.wantRows * 3);
  }
}

TEST(Sheet, LayoutRefusesSheetsPastOneGibibyte) {
  struct Case {
    uint32_t count, cellWidth, cellHeight, columns;
    bool fits;
  } const cases[] = {
      {1, 16384, 16384, 0, true},  // exactly 1 GiB of RGBA
      {1, 16384, 16385, 0, false},
      {4, 8192, 8192, 0, true},
      {4, 8192, 8193, 0, false},
      {4, 8192, 8192, 4, true},
      {65535, 65535, 65535, 0, false},  // far past: no overflow makes it fit
      {65535, 65535, 65535, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + " cells of " + std::to_string(c.cellWidth) + "x" +
                 std::to_string(c.cellHeight));
    SheetLayout layout;
    std::string problem;
    EXPECT_EQ(LayoutSheet(c.count, c.cellWidth, c.cellHeight, c.columns, &layout, &problem), c.fits);
    if (c.fits) {
      EXPECT_LE(uint64_t{layout.Width()} * layout.Height() * 4, kMaxHeldBytes);
    } else {
      EXPECT_NE(problem.find("1 GiB"), std::string::npos) << problem;
    }
  }
}

// Frames of different sizes each at the top left of their cell, the rest of
// every cell and the empty cells transparent.
TEST(Sheet, RowsComposeFramesAtTheTopLeftOfTheirCells) {
  const StoredFrame wide = MakeFrame(PixelFormat::kRgb565, 3, {0xF800, 0x0000, 0x001F});
  const StoredFrame tall = MakeFrame(PixelFormat::kRgb565, 1, {0x07E0, 0xFFFF});
  const StoredFrame square = MakeFrame(PixelFormat::kRgb565, 2, {0x0821, 0x8410, 0x1111, 0x2222});
  const StoredFrame nothing;  // a frame that could not be decoded
  SheetLayout layout;
  std::string problem;
  ASSERT_TRUE(LayoutSheet(6, 3, 2, 0, &layout, &problem)) << problem;
  ASSERT_EQ(layout.columns, 3u);
  // Cells: wide, none, tall / square, nothing, (beyond the list: empty).
  SheetRows sheet(layout, {&wide, nullptr, &tall, &square, &nothing});
  ASSERT_EQ(sheet.Width(), 9u);
  ASSERT_EQ(sheet.Height(), 4u);

  std::vector<uint8_t> want(9 * 4 * 4, 0);
  auto place = [&](const StoredFrame& f, uint32_t left, uint32_t top) {
    const std::vector<uint8_t> rgba = Rgba(f);
    for (uint32_t y = 0; y < f.height; ++y)
      std::copy_n(&rgba[4 * y * f.width], 4 * f.width, &want[4 * ((top + y) * 9 + left)]);
  };
  place(wide, 0, 0);
  place(tall, 6, 0);
  place(square, 0, 2);
  EXPECT_EQ(ReadRowsOverDirtyBuffer(sheet), want);
}

// Frames larger than the cells (a layout chosen smaller than the largest
// frame) are cut to their cells, in both directions.
TEST(Sheet, FramesLargerThanTheCellsAreCutToThem) {
  const StoredFrame big = MakeFrame(PixelFormat::kRgb555, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  const StoredFrame small = MakeFrame(PixelFormat::kRgb555, 1, {10});
  SheetLayout layout;
  std::string problem;
  ASSERT_TRUE(LayoutSheet(2, 2, 2, 2, &layout, &problem)) << problem;
  SheetRows sheet(layout, {&big, &small});
  const StoredFrame want = MakeFrame(PixelFormat::kRgb555, 4, {1, 2, 10, 0, 4, 5, 0, 0});
  EXPECT_EQ(ReadRowsOverDirtyBuffer(sheet), Rgba(want));
}

}  // namespace
}  // namespace tamsorel
