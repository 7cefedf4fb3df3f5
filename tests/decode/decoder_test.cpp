// First-frame decoder on the in-memory platform: kinds, header buffer,
// strides and reads, C16 expansion, failures and the release of every
// handle on every path.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "sprite/decode_platform.h"
#include "sprite/c16_lines.h"
#include "sprite/first_frame.h"
#include "sprite/palette.h"
#include "platform/portable_platform.h"
#include "sprite/sprite_format.h"
#include "sprite_encoder.h"
#include "test_platforms.h"

namespace tamsorel {
namespace {

using test::Bytes;
using test::C16Line;
using test::C16Run;

// A value no decoder writes: the out-parameter was left alone.
BitmapHandle const kUntouched = reinterpret_cast<BitmapHandle>(static_cast<uintptr_t>(0x5A5A5A5A));

struct Result {
  HRESULT hr = E_UNEXPECTED;
  BitmapHandle bitmap = kUntouched;
  std::array<uint8_t, kHeaderBufferSize> header{};
};

// Decodes `file` stored under `name`; the header buffer starts filled with
// `fill` so that what the decoder clears is visible.
Result Decode(test::RecordingPlatform& platform, const std::u16string& name, const Bytes& file,
              uint8_t fill = 0xCC) {
  platform.AddFile(name, file);
  Result r;
  r.header.fill(fill);
  r.hr = DecodeFirstFrame(platform, name.c_str(), r.header.data(), &r.bitmap);
  return r;
}

std::vector<uint8_t> Indices(std::size_t n) {
  std::vector<uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(1 + (i * 37) % 255);
  return v;
}

std::vector<uint16_t> Pixels16(std::size_t n) {
  std::vector<uint16_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint16_t>(0x1001 + i * 0x0101);
  return v;
}

// The pixel memory a decoder should produce from packed rows: each row at
// the start of a `stride`-byte bitmap row, padding zero.
Bytes Laid(const uint8_t* packed, std::size_t rowBytes, std::size_t stride, std::size_t rows) {
  Bytes out(stride * rows, 0);
  for (std::size_t r = 0; r < rows; ++r) std::memcpy(&out[r * stride], packed + r * rowBytes, rowBytes);
  return out;
}

Bytes PixelMemory(BitmapHandle bitmap) {
  const HeapBitmap* b = AsHeapBitmap(bitmap);
  return Bytes(b->pixels, b->pixels + b->pixelBytes);
}

Bytes AsBytes(const std::vector<uint16_t>& v) {
  Bytes out;
  for (uint16_t x : v) test::PutLe16(out, x);
  return out;
}

void ExpectAllReleased(const PortableBitmapPlatform& p, int bitmaps) {
  EXPECT_EQ(p.LiveFiles(), 0);
  EXPECT_EQ(p.LivePalettes(), 0);
  EXPECT_EQ(p.LiveBlocks(), 0);
  EXPECT_EQ(p.LiveDcs(), 0);
  EXPECT_EQ(p.LiveBitmaps(), bitmaps);
}

// ---------------------------------------------------------------------------
// Kind of file

TEST(SpriteKind, PathDecidesSprIgnoringAsciiCase) {
  struct Case {
    const char16_t* path;
    bool spr;
  } cases[] = {
      {u"pic.spr", true},   {u"PIC.SPR", true},  {u"a.Spr", true},  {u"spr", true},
      {u"nodotspr", true},  {u"pic.s16", false}, {u"pic.c16", false}, {u"pr", false},
      {u"", false},         {u"pic.sprx", false}, {u"pic.sp", false}, {u"pic.\u0131pr", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSprPath(c.path), c.spr) << std::u16string(c.path).size();
}

TEST(SpriteKind, FlagBitNotExtensionChoosesBetweenS16AndC16) {
  // The same compressed bytes decode as C16 whatever the extension; with the
  // flag cleared they are read as raw S16 pixels.
  const std::vector<uint16_t> px = {0x1234, 0x5678};
  const Bytes c16 = test::EncodeC16(0, 2, 1, px);
  Bytes s16 = c16;
  test::PatchLe32(s16, test::kS16FlagsAt, 0);

  for (const char16_t* name : {u"a.s16", u"a.c16", u"a.bin"}) {
    test::RecordingPlatform p;
    Result r = Decode(p, name, c16);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(PixelMemory(r.bitmap), AsBytes(px));
    p.DeleteBitmap(r.bitmap);
  }
  test::RecordingPlatform p;
  Result r = Decode(p, u"a.c16", s16);
  ASSERT_EQ(r.hr, S_OK);
  // Read as S16: the first line's tag and first pixel.
  const Bytes expected = {c16[14], c16[15], c16[16], c16[17]};
  EXPECT_EQ(PixelMemory(r.bitmap), expected);
  p.DeleteBitmap(r.bitmap);
}

TEST(SpriteKind, ShortPathIsA16BitFile) {
  // "pr" cannot end in "spr": a 16-bit header is expected.
  test::RecordingPlatform p;
  Result r = Decode(p, u"pr", test::EncodeS16(1, 2, 2, Pixels16(4)));
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(ReadBitmapHeader(r.header.data()).bitCount, 16);
  p.DeleteBitmap(r.bitmap);
}

// ---------------------------------------------------------------------------
// SPR

TEST(SprDecode, HeaderPaletteAndBufferAreWrittenInFull) {
  test::RecordingPlatform p;
  Result r = Decode(p, u"pic.SPR", test::EncodeSpr(6, 3, Indices(18)));
  ASSERT_EQ(r.hr, S_OK);
  const uint8_t* h = r.header.data();
  EXPECT_EQ(LoadLe32(h + 0), 40u);
  EXPECT_EQ(static_cast<int32_t>(LoadLe32(h + 4)), 6);
  EXPECT_EQ(static_cast<int32_t>(LoadLe32(h + 8)), -3);
  EXPECT_EQ(LoadLe16(h + 12), 1);
  EXPECT_EQ(LoadLe16(h + 14), 8);
  for (std::size_t at = 16; at < 40; at += 4) EXPECT_EQ(LoadLe32(h + at), 0u) << at;
  EXPECT_EQ(0, std::memcmp(h + 40, kBuiltInPalette, 1024));
  // The whole buffer was cleared: the 4 bytes past the palette too.
  for (std::size_t at = 1064; at < kHeaderBufferSize; ++at) EXPECT_EQ(h[at], 0) << at;
  p.DeleteBitmap(r.bitmap);
}

TEST(SprDecode, RowsAreFourByteAlignedAndReadInOneGoOnlyWhenPacked) {
  struct Case {
    uint16_t width;
    std::size_t stride;
  } cases[] = {{4, 4}, {5, 8}, {6, 8}, {7, 8}, {8, 8}, {1, 4}};
  const uint16_t height = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    test::RecordingPlatform p;
    const std::vector<uint8_t> px = Indices(std::size_t{c.width} * height);
    Result r = Decode(p, u"w.spr", test::EncodeSpr(c.width, height, px));
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(AsHeapBitmap(r.bitmap)->stride, c.stride);
    EXPECT_EQ(PixelMemory(r.bitmap), Laid(px.data(), c.width, c.stride, height));
    // frameCount and entry together, then the pixel reads.
    std::vector<uint32_t> reads = {10};
    if (c.width % 4 == 0)
      reads.push_back(uint32_t{c.width} * height);
    else
      reads.insert(reads.end(), height, c.width);
    EXPECT_EQ(p.reads, reads);
    EXPECT_EQ(p.seeks, std::vector<uint32_t>{10});
    p.DeleteBitmap(r.bitmap);
  }
}

TEST(SprDecode, OnlyTheFirstFrameIsRead) {
  test::RecordingPlatform p;
  const std::vector<uint8_t> px = Indices(5 * 2);
  Result r = Decode(p, u"three.spr", test::EncodeSpr(5, 2, px, 3));
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(PixelMemory(r.bitmap), Laid(px.data(), 5, 8, 2));
  p.DeleteBitmap(r.bitmap);
}

TEST(SprDecode, FileEndingInsidePixelsLeavesTheRestZero) {
  test::RecordingPlatform p;
  const std::vector<uint8_t> px = Indices(5 * 4);
  Bytes file = test::EncodeSpr(5, 4, px);
  file.resize(file.size() - 12);  // rows 3 and 4 partly missing
  Result r = Decode(p, u"cut.spr", file);
  ASSERT_EQ(r.hr, S_OK);
  std::vector<uint8_t> kept(px.begin(), px.end() - 12);
  kept.resize(px.size(), 0);
  EXPECT_EQ(PixelMemory(r.bitmap), Laid(kept.data(), 5, 8, 4));
  p.DeleteBitmap(r.bitmap);
}

// ---------------------------------------------------------------------------
// S16

TEST(S16Decode, MasksFollowTheRgb565FlagAndOtherFlagBitsChangeNothing) {
  struct Case {
    uint32_t flags;
    uint32_t red, green, blue;
  } cases[] = {
      {0x0, 0x7C00, 0x03E0, 0x001F},
      {0x1, 0xF800, 0x07E0, 0x001F},
      {0xFFFFFFFC, 0x7C00, 0x03E0, 0x001F},
      {0xFFFFFFFD, 0xF800, 0x07E0, 0x001F},
  };
  const std::vector<uint16_t> px = Pixels16(4 * 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    test::RecordingPlatform p;
    Result r = Decode(p, u"m.s16", test::EncodeS16(c.flags, 4, 2, px));
    ASSERT_EQ(r.hr, S_OK);
    const uint8_t* h = r.header.data();
    EXPECT_EQ(LoadLe32(h + 0), 40u);
    EXPECT_EQ(static_cast<int32_t>(LoadLe32(h + 4)), 4);
    EXPECT_EQ(static_cast<int32_t>(LoadLe32(h + 8)), -2);
    EXPECT_EQ(LoadLe16(h + 12), 1);
    EXPECT_EQ(LoadLe16(h + 14), 16);
    EXPECT_EQ(LoadLe32(h + 16), 3u);
    for (std::size_t at = 20; at < 40; at += 4) EXPECT_EQ(LoadLe32(h + at), 0u) << at;
    EXPECT_EQ(LoadLe32(h + 40), c.red);
    EXPECT_EQ(LoadLe32(h + 44), c.green);
    EXPECT_EQ(LoadLe32(h + 48), c.blue);
    EXPECT_EQ(LoadLe32(h + 52), 0u);
    EXPECT_EQ(h[56], 0xCC);  // beyond the 56 cleared bytes: untouched
    EXPECT_EQ(PixelMemory(r.bitmap), AsBytes(px));
    p.DeleteBitmap(r.bitmap);
  }
}

TEST(S16Decode, OddWidthsAreReadRowByRowEvenWidthsInOneRead) {
  struct Case {
    uint16_t width, height;
    std::size_t stride;
  } cases[] = {{3, 4, 8}, {4, 4, 8}, {1, 3, 4}, {5, 2, 12}, {2, 1, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    test::RecordingPlatform p;
    const std::vector<uint16_t> px = Pixels16(std::size_t{c.width} * c.height);
    Result r = Decode(p, u"r.s16", test::EncodeS16(0, c.width, c.height, px, 3));
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(AsHeapBitmap(r.bitmap)->stride, c.stride);
    const Bytes packed = AsBytes(px);
    EXPECT_EQ(PixelMemory(r.bitmap), Laid(packed.data(), 2u * c.width, c.stride, c.height));
    // header and entry together, line offsets (if any), then the pixel reads.
    std::vector<uint32_t> reads = {14};
    if (c.height > 1) reads.push_back(4u * (c.height - 1));
    if (c.width % 2 == 0)
      reads.push_back(2u * c.width * c.height);
    else
      reads.insert(reads.end(), c.height, 2u * c.width);
    EXPECT_EQ(p.reads, reads);
    p.DeleteBitmap(r.bitmap);
  }
}

TEST(S16Decode, LineOffsetTableIsRequiredButIgnored) {
  // Height 5 needs 16 table bytes after the entry even for S16; height 1
  // needs none.
  const std::vector<uint16_t> px = Pixels16(2 * 5);
  Bytes full = test::EncodeS16(0, 2, 5, px);
  for (std::size_t at = 14; at < 30; ++at) full[at] = 0xFF;  // nonsense offsets: unused
  {
    test::RecordingPlatform p;
    Result r = Decode(p, u"t.s16", full);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(p.reads[1], 16u);
    EXPECT_EQ(PixelMemory(r.bitmap), AsBytes(px));
    p.DeleteBitmap(r.bitmap);
  }
  {
    test::RecordingPlatform p;
    Bytes shortTable(full.begin(), full.begin() + 14 + 15);
    Result r = Decode(p, u"t.s16", shortTable);
    EXPECT_EQ(r.hr, E_FAIL);
    EXPECT_EQ(r.bitmap, kUntouched);
  }
  {
    test::RecordingPlatform p;
    const Bytes one = test::EncodeS16(0, 3, 1, Pixels16(3));
    EXPECT_EQ(one.size(), 14u + 6u);  // no table in the file at all
    Result r = Decode(p, u"o.s16", one);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(p.reads, (std::vector<uint32_t>{14, 6}));
    p.DeleteBitmap(r.bitmap);
  }
}

// ---------------------------------------------------------------------------
// C16

// Pixel memory of 16-bit values, for comparing whole bitmaps.
std::vector<uint16_t> Values(BitmapHandle bitmap) {
  const HeapBitmap* b = AsHeapBitmap(bitmap);
  std::vector<uint16_t> v(b->pixelBytes / 2);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = LoadLe16(b->pixels + 2 * i);
  return v;
}

C16Run Colour(std::vector<uint16_t> px) {
  C16Run r;
  r.colour = true;
  r.length = static_cast<uint16_t>(px.size());
  r.pixels = std::move(px);
  return r;
}

C16Run Clear(uint16_t n) {
  C16Run r;
  r.length = n;
  return r;
}

TEST(C16Decode, WorkedExampleLine) {
  // 03 00 34 12 04 00 00 00: one colour pixel 0x1234, two transparent.
  test::RecordingPlatform p;
  const Bytes file = test::EncodeC16Lines(0, 3, {{Colour({0x1234}), Clear(2)}});
  const Bytes line(file.end() - 8, file.end());
  EXPECT_EQ(line, (Bytes{0x03, 0x00, 0x34, 0x12, 0x04, 0x00, 0x00, 0x00}));
  Result r = Decode(p, u"w.c16", file);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(Values(r.bitmap), (std::vector<uint16_t>{0x1234, 0, 0, 0}));
  p.DeleteBitmap(r.bitmap);
}

TEST(C16Decode, PicturesWithTransparencyDecodeRowForRow) {
  struct Case {
    uint16_t width, height;
    bool reverse;
  } cases[] = {{8, 6, false}, {7, 5, false}, {3, 4, true}, {1, 3, false}, {40, 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    const std::size_t n = std::size_t{c.width} * c.height;
    const std::vector<uint16_t> px = Pixels16(n);
    std::vector<bool> clear(n);
    for (std::size_t i = 0; i < n; ++i) clear[i] = (i % 5 == 1) || (i % 7 == 3);
    test::C16Options options;
    options.reverseLineOrder = c.reverse;
    options.frameCount = 3;
    test::RecordingPlatform p;
    Result r = Decode(p, u"pic.c16", test::EncodeC16(1, c.width, c.height, px, clear, options));
    ASSERT_EQ(r.hr, S_OK);
    const std::size_t strideValues = (c.width + 1) & ~std::size_t{1};
    std::vector<uint16_t> expected(strideValues * c.height, 0);
    for (std::size_t y = 0; y < c.height; ++y)
      for (std::size_t x = 0; x < c.width; ++x)
        if (!clear[y * c.width + x]) expected[y * strideValues + x] = px[y * c.width + x];
    EXPECT_EQ(Values(r.bitmap), expected);
    EXPECT_EQ(LoadLe32(r.header.data() + 40), 0xF800u);
    EXPECT_TRUE(p.GuardsIntact());
    p.DeleteBitmap(r.bitmap);
  }
}

TEST(C16Decode, ReadsOnePerTagAndOnePerColourRun) {
  test::RecordingPlatform p;
  Result r = Decode(p, u"x.c16",
                    test::EncodeC16Lines(0, 4, {{Colour({1, 2}), Clear(1), Colour({3})},
                                                {Clear(4)}}));
  ASSERT_EQ(r.hr, S_OK);
  // header, entry, table; line 1: tag, run, tag, tag, run, end; line 2: tag, end.
  EXPECT_EQ(p.reads, (std::vector<uint32_t>{14, 4, 2, 4, 2, 2, 2, 2, 2, 2}));
  EXPECT_EQ(Values(r.bitmap), (std::vector<uint16_t>{1, 2, 0, 3, 0, 0, 0, 0}));
  p.DeleteBitmap(r.bitmap);
}

TEST(C16Decode, WritePositionCarriesOverFromLineToLine) {
  // Runs are not checked against the width: a long line runs on into the
  // next row, a short or empty line makes the following lines start early,
  // and an odd width adds one padding pixel after every line.
  struct Case {
    const char* what;
    uint16_t width;
    std::vector<C16Line> lines;
    std::vector<uint16_t> expected;
  } cases[] = {
      {"long line", 2, {{Colour({1, 2, 3})}, {Colour({4})}}, {1, 2, 3, 4}},
      {"short line", 2, {{Colour({1})}, {Colour({2, 3})}}, {1, 2, 3, 0}},
      {"end tag only", 2, {{}, {Colour({5, 6})}}, {5, 6, 0, 0}},
      {"transparent row", 2, {{Clear(2)}, {Colour({7, 8})}}, {0, 0, 7, 8}},
      {"odd width padding", 3, {{Colour({1, 2, 3})}, {Colour({4, 5, 6})}}, {1, 2, 3, 0, 4, 5, 6, 0}},
      {"odd width empty line", 3, {{}, {Colour({4, 5, 6})}}, {0, 4, 5, 6, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::RecordingPlatform p;
    Result r = Decode(p, u"c.c16", test::EncodeC16Lines(0, c.width, c.lines));
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(Values(r.bitmap), c.expected);
    p.DeleteBitmap(r.bitmap);
  }
}

TEST(C16Decode, FileEndingInsideALineStillVisitsTheOtherLines) {
  // Lines stored last to first: line 1 sits at the end of the file and is
  // cut short; lines 2 and 3 come before it and decode in full.
  test::C16Options options;
  options.reverseLineOrder = true;
  Bytes file = test::EncodeC16Lines(0, 4, {{Colour({1, 0x0102, 3, 4})}, {Colour({5, 6, 7, 8})},
                                           {Colour({9, 10, 11, 12})}},
                                    options);
  file.resize(file.size() - 2 - 5);  // end tag and two and a half pixels of line 1
  test::RecordingPlatform p;
  Result r = Decode(p, u"cut.c16", file);
  ASSERT_EQ(r.hr, S_OK);
  // Line 1's run reads what is there (pixel 1 and the low byte of pixel 2)
  // and still moves the position by 4 pixels.
  EXPECT_EQ(Values(r.bitmap),
            (std::vector<uint16_t>{1, 0x0002, 0, 0, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(p.seeks.size(), 3u);
  p.DeleteBitmap(r.bitmap);
}

TEST(C16Decode, TruncatedInTheFirstTagGivesAnEmptyBitmap) {
  Bytes file = test::EncodeC16Lines(0, 2, {{Colour({1, 2})}});
  file.resize(file.size() - 7);  // only one byte of the first tag remains
  test::RecordingPlatform p;
  Result r = Decode(p, u"cut.c16", file);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(Values(r.bitmap), (std::vector<uint16_t>{0, 0}));
  p.DeleteBitmap(r.bitmap);
}

TEST(C16Decode, LineOffsetPastTheEndContributesNoPixels) {
  struct Case {
    uint16_t width;
    std::vector<uint16_t> expected;
  } cases[] = {
      // Even width: line 3 lands in row 2.
      {2, {1, 2, 5, 6, 0, 0}},
      // Odd width: the missing line still moves the position by the
      // padding pixel, so line 3 starts one pixel into row 2.
      {3, {1, 2, 3, 0, 0, 7, 8, 9, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    std::vector<C16Line> lines;
    if (c.width == 2)
      lines = {{Colour({1, 2})}, {Colour({3, 4})}, {Colour({5, 6})}};
    else
      lines = {{Colour({1, 2, 3})}, {Colour({4, 5, 6})}, {Colour({7, 8, 9})}};
    Bytes file = test::EncodeC16Lines(0, c.width, lines);
    test::PatchLe32(file, test::kS16LineOffsetsAt, 0x7FFFFFF0);  // line 2
    test::RecordingPlatform p;
    Result r = Decode(p, u"far.c16", file);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(Values(r.bitmap), c.expected);
    p.DeleteBitmap(r.bitmap);
  }
}

TEST(C16Decode, RunPastTheEndOfPixelMemoryIsCutThereAndEndsExpansion) {
  // A 2x2 bitmap holds 4 pixels.  Each case overruns it differently; none
  // may write outside the memory, and the result stays S_OK.
  struct Case {
    const char* what;
    std::vector<C16Line> lines;
    std::vector<uint16_t> expected;
    std::vector<uint32_t> pixelReads;  // colour-run reads (bytes)
  } cases[] = {
      {"first run longer than the bitmap",
       {{Colour({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})}, {Colour({11, 12})}},
       {1, 2, 3, 4},
       {8}},
      {"last line overruns",
       {{Colour({1, 2})}, {Colour({3, 4, 5, 6, 7})}},
       {1, 2, 3, 4},
       {4, 4}},
      {"transparent run to past the end, then colour",
       {{Colour({1, 1}), Clear(30000), Colour({9, 9})}, {Colour({2, 2})}},
       {1, 1, 0, 0},
       {4}},
      {"exact fill, then one more run",
       {{Colour({1, 2, 3, 4}), Colour({5})}, {Colour({6, 6})}},
       {1, 2, 3, 4},
       {8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = test::EncodeC16Lines(0, 2, c.lines);
    test::RecordingPlatform p;
    Result r = Decode(p, u"over.c16", file);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_TRUE(p.GuardsIntact());
    EXPECT_EQ(Values(r.bitmap), c.expected);
    std::vector<uint32_t> runReads;
    for (std::size_t i = 2; i < p.reads.size(); ++i)
      if (p.reads[i] != 2) runReads.push_back(p.reads[i]);
    EXPECT_EQ(runReads, c.pixelReads);
    p.DeleteBitmap(r.bitmap);
    ExpectAllReleased(p, 0);
  }
}

TEST(C16Decode, LongestRunsOnAWideLine) {
  // 32767-pixel colour runs are the largest a tag holds.
  const uint16_t width = 40000;
  const std::vector<uint16_t> px = Pixels16(width);
  test::RecordingPlatform p;
  Result r = Decode(p, u"wide.c16", test::EncodeC16(0, width, 1, px));
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(Values(r.bitmap), px);
  EXPECT_EQ(p.reads, (std::vector<uint32_t>{14, 2, 2 * 32767, 2, 2 * (40000 - 32767), 2}));
  p.DeleteBitmap(r.bitmap);
}

TEST(C16Decode, EmptyColourRunsWithinTheAllowanceChangeNothing) {
  // Tag 1 (a colour run of no pixels) neither moves the position nor ends
  // the line.  Up to kIdleTagAllowance of them in the whole frame are
  // skipped and the frame decodes in full.
  C16Line first = {C16Run{true, 0, {}}, Colour({1, 2}), C16Run{true, 0, {}}};
  C16Line second;
  for (uint32_t i = 0; i + 2 < kIdleTagAllowance; ++i) second.push_back(C16Run{true, 0, {}});
  second.push_back(Colour({3, 4}));
  test::RecordingPlatform p;
  Result r = Decode(p, u"idle.c16", test::EncodeC16Lines(0, 2, {first, second}));
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(Values(r.bitmap), (std::vector<uint16_t>{1, 2, 3, 4}));
  p.DeleteBitmap(r.bitmap);
}

TEST(C16Decode, WorkIsBoundedByPixelsAndLinesNotTheirProduct) {
  // Width 1, 200 lines that all point at one chain of 50,000 empty colour
  // runs and then a pixel: expanded in full this is ten million reads.  The
  // expansion stops after the allowance with what it drew (nothing here)
  // and S_OK; lines before the chain keep their pixels.
  const uint16_t kLines = 200;
  Bytes file;
  test::PutLe32(file, 2);
  test::PutLe16(file, 1);
  const uint32_t firstLine = 14 + 4 * (kLines - 1);
  const uint32_t chain = firstLine + 6;  // after line 1: one pixel and an end tag
  test::PutLe32(file, firstLine);
  test::PutLe16(file, 1);
  test::PutLe16(file, kLines);
  for (uint16_t k = 1; k < kLines; ++k) test::PutLe32(file, chain);
  for (uint16_t v : {uint16_t{3}, uint16_t{0x7777}, uint16_t{0}}) test::PutLe16(file, v);
  for (int i = 0; i < 50000; ++i) test::PutLe16(file, 1);
  for (uint16_t v : {uint16_t{3}, uint16_t{0x1234}, uint16_t{0}}) test::PutLe16(file, v);

  test::RecordingPlatform p;
  Result r = Decode(p, u"busy.c16", file);
  ASSERT_EQ(r.hr, S_OK);
  std::vector<uint16_t> expected(2 * kLines, 0);  // rows of 1 pixel and its padding
  expected[0] = 0x7777;
  EXPECT_EQ(Values(r.bitmap), expected);
  // header and entry, table; line 1: tag, pixel, end; line 2: the
  // allowance and the tag that passes it.
  EXPECT_EQ(p.reads.size(), 2 + 3 + kIdleTagAllowance + 1);
  EXPECT_EQ(p.seeks.size(), 2u);
  p.DeleteBitmap(r.bitmap);
}

// ---------------------------------------------------------------------------
// Header buffer across decodes

TEST(HeaderBuffer, SixteenBitDecodeAfterSprKeepsPaletteBytesBeyond56) {
  test::RecordingPlatform p;
  p.AddFile(u"a.spr", test::EncodeSpr(4, 1, Indices(4)));
  p.AddFile(u"b.s16", test::EncodeS16(1, 2, 1, Pixels16(2)));
  std::array<uint8_t, kHeaderBufferSize> header;
  header.fill(0xCC);
  BitmapHandle first = nullptr, second = nullptr;
  ASSERT_EQ(DecodeFirstFrame(p, u"a.spr", header.data(), &first), S_OK);
  ASSERT_EQ(DecodeFirstFrame(p, u"b.s16", header.data(), &second), S_OK);
  EXPECT_EQ(LoadLe16(header.data() + 14), 16);
  EXPECT_EQ(LoadLe32(header.data() + 52), 0u);
  EXPECT_EQ(0, std::memcmp(header.data() + 56, kBuiltInPalette + 16, 1024 - 16));
  EXPECT_EQ(header[1064], 0);
  EXPECT_EQ(Values(second), Pixels16(2));
  EXPECT_EQ(AsHeapBitmap(second)->header.size(), 52u);  // the bitmap took masks only
  p.DeleteBitmap(first);
  p.DeleteBitmap(second);
}

// ---------------------------------------------------------------------------
// Failures and releases

struct FailureCase {
  const char* what;
  std::u16string name;
  Bytes file;
  test::Faults faults;
  HRESULT hr;
  const char* outParam;  // "untouched", "null" or "bitmap"
  bool described;        // the header buffer holds the new description
  const char* events;
};

Bytes SprWith(uint16_t frames, uint16_t width, uint16_t height) {
  Bytes b = test::EncodeSpr(2, 2, Indices(4));
  test::PatchLe16(b, 0, frames);
  test::PatchLe16(b, test::kSprEntryAt + 4, width);
  test::PatchLe16(b, test::kSprEntryAt + 6, height);
  return b;
}

Bytes S16With(uint16_t frames, uint16_t width, uint16_t height) {
  Bytes b = test::EncodeS16(0, 2, 2, Pixels16(4));
  test::PatchLe16(b, test::kS16FrameCountAt, frames);
  test::PatchLe16(b, test::kS16EntryAt + 4, width);
  test::PatchLe16(b, test::kS16EntryAt + 6, height);
  return b;
}

Bytes Head(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}

std::vector<FailureCase> FailureCases() {
  test::Faults none, palette, block, dc, noHandle, noPixels, noSize;
  palette.palette = true;
  block.block = true;
  dc.dc = true;
  noHandle.bitmapHandle = true;
  noPixels.bitmapPixels = true;
  noSize.bitmapSize = true;
  const Bytes spr = SprWith(1, 4, 2);
  const Bytes s16 = S16With(1, 2, 2);
  const Bytes c16 = test::EncodeC16(0, 2, 2, Pixels16(4));
  const char* fileOnly = "open close";
  return {
      {"missing file", u"none.spr", {}, none, E_FAIL, "untouched", false, "open-failed"},
      {"SPR empty", u"e.spr", {}, none, E_FAIL, "untouched", false, fileOnly},
      {"SPR one header byte", u"e.spr", Head(spr, 1), none, E_FAIL, "untouched", false, fileOnly},
      {"SPR frameCount 0", u"e.spr", SprWith(0, 4, 2), none, E_FAIL, "untouched", false, fileOnly},
      {"SPR entry short", u"e.spr", Head(spr, 9), none, E_FAIL, "untouched", false, fileOnly},
      {"SPR height 0", u"e.spr", SprWith(1, 4, 0), none, E_FAIL, "untouched", false, fileOnly},
      {"SPR width 0", u"e.spr", SprWith(1, 0, 2), none, E_FAIL, "untouched", false, fileOnly},
      {"SPR no palette", u"e.spr", spr, palette, E_FAIL, "untouched", false, fileOnly},
      {"SPR no DC", u"e.spr", spr, dc, E_FAIL, "untouched", true, "open palette+ palette- close"},
      {"SPR bitmap without handle", u"e.spr", spr, noHandle, E_FAIL, "null", true,
       "open palette+ dc+ dc- palette- close"},
      {"SPR bitmap without pixels", u"e.spr", spr, noPixels, E_FAIL, "null", true,
       "open palette+ dc+ bitmap+ bitmap- dc- palette- close"},
      {"SPR bitmap of unknown size", u"e.spr", spr, noSize, E_FAIL, "null", true,
       "open palette+ dc+ bitmap+ bitmap- dc- palette- close"},
      {"SPR decoded", u"e.spr", spr, none, S_OK, "bitmap", true,
       "open palette+ dc+ bitmap+ dc- palette- close"},
      {"16 empty", u"e.s16", {}, none, E_FAIL, "untouched", false, fileOnly},
      {"16 five header bytes", u"e.s16", Head(s16, 5), none, E_FAIL, "untouched", false, fileOnly},
      {"16 frameCount 0", u"e.s16", S16With(0, 2, 2), none, E_FAIL, "untouched", false, fileOnly},
      {"16 entry short", u"e.s16", Head(s16, 13), none, E_FAIL, "untouched", false, fileOnly},
      {"16 height 0", u"e.s16", S16With(1, 2, 0), none, E_FAIL, "untouched", false, fileOnly},
      {"16 line offsets short", u"e.s16", Head(s16, 17), none, E_FAIL, "untouched", false,
       "open block+ block- close"},
      {"16 no block", u"e.s16", s16, block, E_FAIL, "untouched", false, fileOnly},
      {"16 no DC", u"e.s16", s16, dc, E_FAIL, "untouched", false, "open block+ block- close"},
      {"16 width 0", u"e.s16", S16With(1, 0, 2), none, E_FAIL, "null", true,
       "open block+ dc+ dc- block- close"},
      {"16 bitmap without handle", u"e.s16", s16, noHandle, E_FAIL, "null", true,
       "open block+ dc+ dc- block- close"},
      {"S16 bitmap without pixels", u"e.s16", s16, noPixels, E_FAIL, "null", true,
       "open block+ dc+ bitmap+ bitmap- dc- block- close"},
      {"C16 bitmap without pixels", u"e.c16", c16, noPixels, E_FAIL, "null", true,
       "open block+ dc+ bitmap+ bitmap- dc- block- close"},
      {"S16 bitmap of unknown size", u"e.s16", s16, noSize, E_FAIL, "null", true,
       "open block+ dc+ bitmap+ bitmap- dc- block- close"},
      {"C16 bitmap of unknown size", u"e.c16", c16, noSize, E_FAIL, "null", true,
       "open block+ dc+ bitmap+ bitmap- dc- block- close"},
      {"S16 decoded", u"e.s16", s16, none, S_OK, "bitmap", true,
       "open block+ dc+ bitmap+ dc- block- close"},
      {"C16 decoded", u"e.c16", c16, none, S_OK, "bitmap", true,
       "open block+ dc+ bitmap+ dc- block- close"},
      {"S16 height 1 needs no block", u"e.s16", S16With(1, 2, 1), none, S_OK, "bitmap", true,
       "open dc+ bitmap+ dc- close"},
  };
}

TEST(DecodeFailures, EveryPathReturnsItsResultAndReleasesInReverseOrder) {
  for (const FailureCase& c : FailureCases()) {
    SCOPED_TRACE(c.what);
    test::RecordingPlatform p;
    p.faults = c.faults;
    Result r;
    r.header.fill(0xCC);
    if (std::string(c.events) != "open-failed") p.AddFile(c.name, c.file);
    r.hr = DecodeFirstFrame(p, c.name.c_str(), r.header.data(), &r.bitmap);
    EXPECT_EQ(r.hr, c.hr);
    EXPECT_EQ(p.Events(), c.events);
    // SPR describes the bitmap once it has the palette, the 16-bit kinds
    // only once they have the device context.
    if (c.described) {
      EXPECT_EQ(LoadLe32(r.header.data() + kBiSize), kInfoHeaderSize);
    } else {
      std::array<uint8_t, kHeaderBufferSize> before;
      before.fill(0xCC);
      EXPECT_EQ(r.header, before);
    }
    const std::string out = c.outParam;
    if (out == "untouched") {
      EXPECT_EQ(r.bitmap, kUntouched);
    } else if (out == "null") {
      EXPECT_EQ(r.bitmap, nullptr);
    } else {
      ASSERT_NE(r.bitmap, nullptr);
      ASSERT_NE(r.bitmap, kUntouched);
      p.DeleteBitmap(r.bitmap);
    }
    ExpectAllReleased(p, 0);
  }
}

TEST(DecodeFailures, HugeFramesFailCreationWithoutOverflow) {
  // 65535 x 65535 at 16 bits is over 8 GiB: more than any bitmap may have.
  // The size is computed without wrapping, so creation fails cleanly.
  struct Case {
    std::u16string name;
    Bytes file;
  } cases[] = {
      {u"big.s16", [] {
         Bytes b = test::EncodeS16(0, 1, 1, Pixels16(1));
         test::PatchLe16(b, test::kS16EntryAt + 4, 0xFFFF);
         test::PatchLe16(b, test::kS16EntryAt + 6, 0xFFFF);
         b.resize(14 + 4 * 65534, 0);
         return b;
       }()},
      {u"big.spr", SprWith(1, 0xFFFF, 0xFFFF)},
  };
  for (const Case& c : cases) {
    test::RecordingPlatform p(std::size_t{64} << 20);
    Result r = Decode(p, c.name, c.file);
    EXPECT_EQ(r.hr, E_FAIL);
    EXPECT_EQ(r.bitmap, nullptr);
    ExpectAllReleased(p, 0);
  }
}

// ---------------------------------------------------------------------------
// The pixel cap

TEST(PixelCap, LargestFramesPassAndOneRowMoreFails) {
  // 256 MiB of pixel memory is the most a frame may have, on every
  // platform.  Rows of 65535 pixels take 65536 bytes at 8 bits and 131072
  // at 16, so 4096 and 2048 rows are exactly the cap.
  struct Case {
    std::u16string name;
    uint16_t height;
    HRESULT hr;
  } cases[] = {
      {u"cap.spr", 4096, S_OK},
      {u"cap.spr", 4097, E_FAIL},
      {u"cap.s16", 2048, S_OK},
      {u"cap.s16", 2049, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.height);
    const bool spr = c.name == u"cap.spr";
    Bytes file = spr ? SprWith(1, 0xFFFF, c.height) : S16With(1, 0xFFFF, c.height);
    if (!spr) file.resize(14 + 4 * (std::size_t{c.height} - 1), 0);  // the line table, no pixels
    MemoryDecodePlatform p;  // the platform's own cap, kMaxPixelBytes
    p.AddFile(c.name, file);
    std::array<uint8_t, kHeaderBufferSize> header{};
    BitmapHandle bitmap = kUntouched;
    EXPECT_EQ(DecodeFirstFrame(p, c.name.c_str(), header.data(), &bitmap), c.hr);
    if (c.hr == S_OK) {
      ASSERT_NE(bitmap, nullptr);
      EXPECT_EQ(AsHeapBitmap(bitmap)->pixelBytes, kMaxPixelBytes);
      p.DeleteBitmap(bitmap);
    } else {
      EXPECT_EQ(bitmap, nullptr);
    }
    ExpectAllReleased(p, 0);
  }
}

}  // namespace
}  // namespace tamsorel
