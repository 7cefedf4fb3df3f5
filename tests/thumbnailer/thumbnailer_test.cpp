// The thumbnailer's core: RGBA conversion of decoded frames, fitting and
// area-averaged scaling, PNG encoding (decoded again with libpng here) and
// the INPUT argument's URI handling.  Frames come from the real decoder,
// fed with sprites built by the test encoder.
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap/bitmap_header.h"
#include "sprite/palette.h"
#include "sprite/sprite_format.h"
#include "platform/portable_platform.h"
#include "sprite_encoder.h"
#include "image/rgba.h"
#include "thumbnailer/input_location.h"
#include "png/png_writer.h"
#include "thumbnailer/thumbnail.h"

namespace tamsorel::thumbnailer {
namespace {

using test::Bytes;

struct Rgba {
  uint8_t r, g, b, a;
  bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

std::ostream& operator<<(std::ostream& os, const Rgba& p) {
  return os << "(" << int(p.r) << "," << int(p.g) << "," << int(p.b) << "," << int(p.a) << ")";
}

std::vector<Rgba> AsPixels(const std::vector<uint8_t>& bytes) {
  std::vector<Rgba> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

// A sprite decoded from memory by the real decoder.
struct Decoded {
  MemoryDecodePlatform platform;
  DecodedSprite sprite{platform};

  Decoded(const std::u16string& name, Bytes bytes) {
    platform.AddFile(name, std::move(bytes));
    EXPECT_EQ(sprite.Decode(name), S_OK);
  }
  std::vector<Rgba> Rows() {
    FrameRgbaRows frame(ViewOf(sprite.Frame()));
    return AsPixels(ReadAllRows(frame));
  }
};

// Plain RGBA rows held in memory, standing in for a decoded frame.
class PixelRows : public RgbaRows {
 public:
  PixelRows(uint32_t width, uint32_t height, std::vector<Rgba> pixels)
      : width_(width), height_(height), pixels_(std::move(pixels)) {}
  uint32_t Width() const override { return width_; }
  uint32_t Height() const override { return height_; }
  void ReadRow(uint32_t y, uint8_t* rgba) override {
    EXPECT_GE(static_cast<int64_t>(y), lastRow_) << "rows must be asked for in order";
    lastRow_ = y;
    std::memcpy(rgba, &pixels_[std::size_t{y} * width_], std::size_t{width_} * 4);
  }

 private:
  uint32_t width_, height_;
  std::vector<Rgba> pixels_;
  int64_t lastRow_ = -1;
};

// --- colour widening and transparency ----------------------------------------

struct PixelCase {
  uint32_t flags;  // of the 16-bit header
  uint16_t value;
  Rgba expected;
};

TEST(FrameRgbaRows, WidensSixteenBitPixelsByTheLayoutOfTheFlagsAndMakesZeroTransparent) {
  const PixelCase cases[] = {
      // 5-6-5
      {1, 0xF800, {255, 0, 0, 255}},
      {1, 0x07E0, {0, 255, 0, 255}},
      {1, 0x001F, {0, 0, 255, 255}},
      {1, 0x8410, {132, 130, 132, 255}},  // 10000 100000 10000
      {1, 0x0821, {8, 4, 8, 255}},        // the lowest step of each channel
      {1, 0x0000, {0, 0, 0, 0}},
      // 5-5-5: the top bit is not part of any channel
      {0, 0x7C00, {255, 0, 0, 255}},
      {0, 0x03E0, {0, 255, 0, 255}},
      {0, 0x4210, {132, 132, 132, 255}},
      {0, 0x0421, {8, 8, 8, 255}},
      {0, 0x8000, {0, 0, 0, 255}},  // black, but not the zero value: opaque
      {0, 0x0000, {0, 0, 0, 0}},
  };
  for (const PixelCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "flags " << c.flags << " value 0x" << std::hex << c.value);
    // The pixel sits between two others so that a wrong stride or offset shows.
    Decoded s16(u"p.s16", test::EncodeS16(c.flags, 3, 1, {0x7FFF, c.value, 0x7FFF}));
    EXPECT_EQ(s16.Rows()[1], c.expected);
    Decoded c16(u"p.c16", test::EncodeC16(c.flags, 3, 1, {0x7FFF, c.value, 0x7FFF}));
    EXPECT_EQ(c16.Rows()[1], c.expected);
  }
}

TEST(FrameRgbaRows, SprPixelsTakeThePaletteColourAndIndexZeroIsTransparent) {
  std::vector<uint8_t> indices(256);
  for (int i = 0; i < 256; ++i) indices[i] = static_cast<uint8_t>(i);
  Decoded spr(u"all.spr", test::EncodeSpr(16, 16, indices));
  const std::vector<Rgba> rows = spr.Rows();
  ASSERT_EQ(rows.size(), 256u);
  for (int i = 0; i < 256; ++i) {
    const uint8_t* bgr = &kBuiltInPalette[4 * i];
    const Rgba expected{bgr[2], bgr[1], bgr[0], static_cast<uint8_t>(i == 0 ? 0 : 255)};
    EXPECT_EQ(rows[i], expected) << "index " << i;
  }
}

TEST(FrameRgbaRows, TransparentRunsOfC16StayTransparentAcrossRows) {
  // Rows of different layouts: wide rows put each row's start at a stride
  // that is not the pixel count.
  const std::vector<uint16_t> pixels = {0xF800, 0x1234, 0x001F,  //
                                        0x07E0, 0xFFFF, 0xF800};
  const std::vector<bool> transparent = {false, true, false,  //
                                         true, false, true};
  Decoded c16(u"t.c16", test::EncodeC16(1, 3, 2, pixels, transparent));
  const std::vector<Rgba> rows = c16.Rows();
  const std::vector<Rgba> expected = {{255, 0, 0, 255}, {0, 0, 0, 0},       {0, 0, 255, 255},
                                      {0, 0, 0, 0},     {255, 255, 255, 255}, {0, 0, 0, 0}};
  EXPECT_EQ(rows, expected);
}

// --- fitting and scaling -------------------------------------------------------

TEST(FitWithin, ShrinksTheLongerSideToSizeAndKeepsTheRatio) {
  struct Case {
    uint32_t width, height, size;
    Extent expected;
  } cases[] = {
      {300, 100, 128, {128, 43}},   // landscape, 42.67 rounds up
      {100, 300, 128, {43, 128}},   // portrait
      {256, 256, 128, {128, 128}},  // square
      {129, 1, 128, {128, 1}},      // just too wide
      {1000, 1, 128, {128, 1}},     // the short side stays at least 1
      {1, 65535, 16, {1, 16}},
      {8, 65535, 128, {1, 128}},    // 0.0156 wide: 1 pixel
      {3, 2, 1, {1, 1}},
      {64, 32, 128, {64, 32}},      // already fits: never enlarged
      {128, 128, 128, {128, 128}},
      {1, 1, 1, {1, 1}},
      {500, 400, 0, {500, 400}},    // no size: the frame's own
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " in " << c.size);
    const Extent got = FitWithin(c.width, c.height, c.size);
    EXPECT_EQ(got.width, c.expected.width);
    EXPECT_EQ(got.height, c.expected.height);
  }
}

TEST(ScaledRows, AveragesTheAreaEachOutputPixelCovers) {
  auto grey = [](uint8_t v) { return Rgba{v, v, v, 255}; };
  struct Case {
    const char* what;
    uint32_t width, height;
    std::vector<Rgba> source;
    Extent target;
    std::vector<Rgba> expected;
  } cases[] = {
      // Each output pixel covers one and a half source pixels.
      {"3 to 2", 3, 1, {grey(0), grey(90), grey(180)}, {2, 1}, {grey(30), grey(150)}},
      {"3 to 2 upright", 1, 3, {grey(0), grey(90), grey(180)}, {1, 2}, {grey(30), grey(150)}},
      {"2x2 blocks", 4, 2,
       {grey(0), grey(100), grey(10), grey(10),  //
        grey(200), grey(100), grey(30), grey(50)},
       {2, 1}, {grey(100), grey(25)}},
      {"all to one pixel", 3, 2,
       {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255},  //
        {255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}},
       {1, 1}, {{85, 85, 85, 255}}},
      // Premultiplied: the transparent half adds no black, only transparency.
      {"half transparent", 2, 1, {{200, 40, 0, 255}, {0, 0, 0, 0}}, {1, 1}, {{200, 40, 0, 128}}},
      {"only transparent", 2, 2, std::vector<Rgba>(4, Rgba{0, 0, 0, 0}), {1, 1}, {{0, 0, 0, 0}}},
      {"same size", 2, 1, {grey(1), {0, 0, 0, 0}}, {2, 1}, {grey(1), {0, 0, 0, 0}}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    PixelRows source(c.width, c.height, c.source);
    ScaledRows scaled(source, c.target);
    ASSERT_EQ(scaled.Width(), c.target.width);
    ASSERT_EQ(scaled.Height(), c.target.height);
    EXPECT_EQ(AsPixels(ReadAllRows(scaled)), c.expected);
  }
}

TEST(ScaledRows, TallNarrowFrameBecomesOneColumnWithSharpBands) {
  // 8 x 65535 at 128: one pixel wide; the top 32768 rows red, the rest blue.
  // Output row 63 ends at source row 32767.4 and row 64 takes only 0.6 of a
  // red row among 512, which rounds away.
  constexpr uint16_t kWidth = 8, kHeight = 65535;
  std::vector<uint16_t> pixels(std::size_t{kWidth} * kHeight);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = i / kWidth < 32768 ? 0xF800 : 0x001F;
  Decoded s16(u"tall.s16", test::EncodeS16(1, kWidth, kHeight, pixels));
  const FrameView view = ViewOf(s16.sprite.Frame());
  FrameRgbaRows frame(view);
  const Extent fitted = FitWithin(frame.Width(), frame.Height(), 128);
  ASSERT_EQ(fitted, (Extent{1, 128}));
  ScaledRows scaled(frame, fitted);
  const std::vector<Rgba> out = AsPixels(ReadAllRows(scaled));
  ASSERT_EQ(out.size(), 128u);
  for (std::size_t y = 0; y < out.size(); ++y)
    EXPECT_EQ(out[y], (y < 64 ? Rgba{255, 0, 0, 255} : Rgba{0, 0, 255, 255})) << "row " << y;
}

// --- PNG ---------------------------------------------------------------------------

struct PngImage {
  uint32_t width = 0, height = 0;
  int bitDepth = 0, colourType = -1;
  std::vector<Rgba> pixels;
};

// Reads a PNG back with libpng, as any viewer would.
PngImage ReadPng(const std::vector<uint8_t>& bytes) {
  PngImage out;
  EXPECT_GE(bytes.size(), 33u);
  if (bytes.size() < 33) return out;
  // IHDR follows the 8-byte signature and its chunk length and type.
  out.bitDepth = bytes[24];
  out.colourType = bytes[25];
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    ADD_FAILURE() << "libpng cannot read the PNG: " << image.message;
    return out;
  }
  image.format = PNG_FORMAT_RGBA;
  out.width = image.width;
  out.height = image.height;
  out.pixels.resize(std::size_t{image.width} * image.height);
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
    ADD_FAILURE() << "libpng cannot read the PNG: " << image.message;
    out.pixels.clear();
  }
  png_image_free(&image);
  return out;
}

ByteSink VectorSink(std::vector<uint8_t>* bytes) {
  return [bytes](const uint8_t* data, std::size_t count) {
    bytes->insert(bytes->end(), data, data + count);
    return true;
  };
}

// The pixels of a decoded bitmap by the rules, read straight from its
// header and pixel memory (top-down rows of 4-byte aligned stride).
std::vector<Rgba> ExpectedPixels(const uint8_t* header, const HeapBitmap& bitmap) {
  const uint32_t width = LoadLe32(header + kBiWidth);
  const uint32_t height = 0u - LoadLe32(header + kBiHeight);
  const uint16_t bits = LoadLe16(header + kBiBitCount);
  const bool is565 = bits == 16 && LoadLe32(header + kInfoHeaderSize) == 0xF800;
  const std::size_t stride = bits == 8 ? (width + 3) / 4 * 4 : (2 * width + 3) / 4 * 4;
  std::vector<Rgba> out;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* at = bitmap.pixels + y * stride;
      if (bits == 8) {
        const uint8_t i = at[x];
        const uint8_t* q = header + kInfoHeaderSize + 4 * i;
        out.push_back({q[2], q[1], q[0], static_cast<uint8_t>(i ? 255 : 0)});
      } else {
        const uint16_t v = static_cast<uint16_t>(at[2 * x] | (at[2 * x + 1] << 8));
        const uint32_t r = is565 ? v >> 11 : (v >> 10) & 31;
        const uint32_t g = is565 ? (v >> 5) & 63 : (v >> 5) & 31;
        const uint32_t b = v & 31;
        // Bit replication: c, then c's top bits again below it.
        const auto five = [](uint32_t c) { return static_cast<uint8_t>((c * 33) >> 2); };
        const auto six = [](uint32_t c) { return static_cast<uint8_t>((c * 65) >> 4); };
        out.push_back({five(r), is565 ? six(g) : five(g), five(b), static_cast<uint8_t>(v ? 255 : 0)});
      }
    }
  }
  return out;
}

std::vector<std::string> SampleFiles() {
  std::vector<std::string> files;
  DIR* dir = opendir(TAMSOREL_SAMPLES_DIR);
  if (!dir) return files;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && (name.compare(name.size() - 4, 4, ".spr") == 0 ||
                            name.compare(name.size() - 4, 4, ".s16") == 0 ||
                            name.compare(name.size() - 4, 4, ".c16") == 0))
      files.push_back(std::string(TAMSOREL_SAMPLES_DIR) + "/" + name);
  }
  closedir(dir);
  return files;
}

TEST(WriteThumbnailPng, UnscaledPngHoldsExactlyThePixelsOfTheRules) {
  const std::vector<std::string> samples = SampleFiles();
  ASSERT_FALSE(samples.empty()) << TAMSOREL_SAMPLES_DIR;
  for (const std::string& path : samples) {
    SCOPED_TRACE(path);
    PortableDecodePlatform platform;
    DecodedSprite sprite(platform);
    ASSERT_EQ(sprite.Decode(std::u16string(path.begin(), path.end())), S_OK);
    for (uint32_t size : {0u, 65535u}) {  // no -s, and a SIZE the frame fits in
      std::vector<uint8_t> png;
      ASSERT_EQ(WriteThumbnailPng(sprite.Frame(), size, VectorSink(&png)), "");
      const PngImage image = ReadPng(png);
      EXPECT_EQ(image.bitDepth, 8);
      EXPECT_EQ(image.colourType, 6) << "RGBA";
      EXPECT_EQ(image.width, static_cast<uint32_t>(sprite.Bitmap()->width));
      EXPECT_EQ(image.height, static_cast<uint32_t>(sprite.Bitmap()->height));
      const std::vector<Rgba> expected = ExpectedPixels(sprite.Header(), *sprite.Bitmap());
      ASSERT_EQ(image.pixels.size(), expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(image.pixels[i], expected[i]) << "pixel " << i % image.width << ", " << i / image.width;
    }
  }
}

TEST(WriteThumbnailPng, ScaledPngHoldsTheScaledRowsAtTheFittedSize) {
  // A wide C16 with transparent runs, shrunk to fit in 4 x 4.
  std::vector<uint16_t> pixels(10 * 3);
  std::vector<bool> transparent(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<uint16_t>(0x0841 * (i % 31));
    transparent[i] = i % 4 == 0;
  }
  Decoded c16(u"wide.c16", test::EncodeC16(1, 10, 3, pixels, transparent));
  std::vector<uint8_t> png;
  ASSERT_EQ(WriteThumbnailPng(c16.sprite.Frame(), 4, VectorSink(&png)), "");
  const PngImage image = ReadPng(png);
  EXPECT_EQ(image.width, 4u);
  EXPECT_EQ(image.height, 1u);

  const FrameView view = ViewOf(c16.sprite.Frame());
  FrameRgbaRows frame(view);
  ScaledRows scaled(frame, {4, 1});
  EXPECT_EQ(image.pixels, AsPixels(ReadAllRows(scaled)));
}

TEST(WritePng, ReportsAFailingSinkAndStopsWriting) {
  PixelRows rows(64, 64, std::vector<Rgba>(64 * 64, Rgba{1, 2, 3, 255}));
  // A sink that takes the first bytes and then refuses: the PNG never completes.
  std::size_t calls = 0, callsAfterFailure = 0;
  bool failed = false;
  const std::string problem = WritePng(rows, [&](const uint8_t*, std::size_t) {
    ++calls;
    if (failed) ++callsAfterFailure;
    failed = calls >= 2;
    return !failed;
  });
  EXPECT_EQ(problem, "write failed");
  EXPECT_EQ(callsAfterFailure, 0u);

  // A descriptor whose writes fail: the sink keeps errno.
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  int error = 0;
  EXPECT_EQ(WritePng(rows, FdSink(full, &error)), "write failed");
  EXPECT_EQ(error, ENOSPC);
  ::close(full);
}

TEST(WritePng, FdSinkWritesTheWholePng) {
  PixelRows rows(3, 2, {{1, 2, 3, 255}, {0, 0, 0, 0}, {9, 8, 7, 255}, {4, 5, 6, 255}, {0, 0, 0, 0}, {255, 255, 255, 255}});
  std::vector<Rgba> expected = {{1, 2, 3, 255}, {0, 0, 0, 0}, {9, 8, 7, 255}, {4, 5, 6, 255}, {0, 0, 0, 0}, {255, 255, 255, 255}};
  char name[] = "/tmp/thumbnailer-test-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  int error = 0;
  EXPECT_EQ(WritePng(rows, FdSink(fd, &error)), "");
  std::vector<uint8_t> bytes(::lseek(fd, 0, SEEK_END));
  ASSERT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  ::unlink(name);
  EXPECT_EQ(ReadPng(bytes).pixels, expected);
}

// --- INPUT argument --------------------------------------------------------------

TEST(LocalPathFromArgument, PathsAndFileUris) {
  struct Case {
    const char* argument;
    const char* path;
  } cases[] = {
      {"/tmp/a b.spr", "/tmp/a b.spr"},
      {"relative/x.c16", "relative/x.c16"},
      {"a:b.spr", "a:b.spr"},  // a colon in a file name, not a URI
      {"100%.s16", "100%.s16"},
      {"file:///tmp/a%20b.spr", "/tmp/a b.spr"},
      {"file:///tmp/%5Bx%5d%25.c16", "/tmp/[x]%.c16"},
      {"file:///caf%C3%A9/n%2Fm.s16", "/caf\xC3\xA9/n/m.s16"},
      {"file:///raw%FF.spr", "/raw\xFF.spr"},  // bytes that are not UTF-8 pass
      {"file://localhost/tmp/x.s16", "/tmp/x.s16"},
      {"FILE://LocalHost/x.s16", "/x.s16"},
      {"file:/tmp/x.spr", "/tmp/x.spr"},
      {"file:///", "/"},
  };
  for (const Case& c : cases) {
    std::string path, error;
    EXPECT_TRUE(LocalPathFromArgument(c.argument, &path, &error)) << c.argument << ": " << error;
    EXPECT_EQ(path, c.path) << c.argument;
  }
}

TEST(LocalPathFromArgument, RefusesWhatIsNotALocalFile) {
  struct Case {
    const char* argument;
    const char* inMessage;  // the message names what is wrong
  } cases[] = {
      {"http://example/x.spr", "http:"},
      {"smb://server/share/x.c16", "smb:"},
      {"trash:///x.spr", "trash:"},
      {"file://otherhost/x.spr", "otherhost"},
      {"file://localhost", "no path"},
      {"file:x.spr", "absolute path"},
      {"file:///x%2.spr", "%2."},
      {"file:///x%zz", "%zz"},
      {"file:///x%4", "%4"},
      {"file:///x%00y.spr", "NUL"},
      {"file:///x.spr?raw=1", "query"},
      {"file:///x.spr#frame", "fragment"},
  };
  for (const Case& c : cases) {
    std::string path = "unchanged", error;
    EXPECT_FALSE(LocalPathFromArgument(c.argument, &path, &error)) << c.argument;
    EXPECT_NE(error.find(c.inMessage), std::string::npos) << c.argument << ": " << error;
    EXPECT_EQ(path, "unchanged");
  }
}

}  // namespace
}  // namespace tamsorel::thumbnailer
