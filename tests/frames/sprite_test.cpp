// The frame directory and frames as stored: layouts of every kind, frames
// the directory shows damaged (each reported by index while the others stay
// readable), irregular frames decoded as the thumbnail shows them, and the
// bounds on reads and memory.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sprite/first_frame.h"
#include "platform/portable_platform.h"
#include "counting_source.h"
#include "frame_encoder.h"
#include "sprite/byte_source.h"
#include "sprite/c16_lines.h"
#include "sprite/sprite.h"

namespace tamsorel {
namespace {

using test::EncodedSprite;
using test::CountingSource;
using test::EncodeFrames;
using test::FrameSpec;
using test::PatternFrame;
using test::frame_encoder_detail::Patch32;
using test::frame_encoder_detail::Put16;
using test::frame_encoder_detail::Put32;

struct KindCase {
  const char* name;
  SpriteKind kind;
  uint32_t flags;  // the 16-bit header's; ignored for SPR
  PixelFormat format;
};

const KindCase kAllKinds[] = {
    {"spr", SpriteKind::kSpr, 0, PixelFormat::kIndexed8},
    {"s16_565", SpriteKind::kS16, 1, PixelFormat::kRgb565},
    {"s16_555", SpriteKind::kS16, 0, PixelFormat::kRgb555},
    {"c16_565", SpriteKind::kC16, 1, PixelFormat::kRgb565},
    {"c16_555", SpriteKind::kC16, 0, PixelFormat::kRgb555},
};
const KindCase kUncompressedKinds[] = {kAllKinds[0], kAllKinds[1], kAllKinds[2]};
const KindCase kC16 = kAllKinds[3];

void PrintTo(const KindCase& k, std::ostream* os) { *os << k.name; }

std::string KindCaseName(const testing::TestParamInfo<KindCase>& info) { return info.param.name; }

// A sprite opened from bytes it owns.
struct Opened {
  std::unique_ptr<std::vector<uint8_t>> bytes;
  std::unique_ptr<MemorySource> source;
  std::unique_ptr<Sprite> sprite;
  std::string problem;
};

Opened OpenBytes(std::vector<uint8_t> bytes, SpriteKind kind) {
  Opened o;
  o.bytes = std::make_unique<std::vector<uint8_t>>(std::move(bytes));
  o.source = std::make_unique<MemorySource>(o.bytes->data(), o.bytes->size());
  o.sprite = Sprite::Open(*o.source, kind == SpriteKind::kSpr, &o.problem);
  return o;
}

// The pixels DecodeFrame must give for `spec`: indices as bytes, or 16-bit
// values little-endian (C16 transparent pixels are 0 in the spec already).
std::vector<uint8_t> StoredBytes(SpriteKind kind, const FrameSpec& spec) {
  std::vector<uint8_t> out;
  for (uint16_t v : spec.pixels) {
    out.push_back(static_cast<uint8_t>(v));
    if (kind != SpriteKind::kSpr) out.push_back(static_cast<uint8_t>(v >> 8));
  }
  return out;
}

// A frame with no transparent pixels, so C16 lines are one colour run each.
FrameSpec OpaqueFrame(uint16_t width, uint16_t height, uint16_t seed) {
  FrameSpec f{width, height, std::vector<uint16_t>(std::size_t{width} * height)};
  for (std::size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = static_cast<uint16_t>(1 + (i * 131 + seed) % 250);
  return f;
}

void ExpectDecodes(Sprite& sprite, uint32_t index, SpriteKind kind, const FrameSpec& spec, StoredFrame* out) {
  SCOPED_TRACE("frame " + std::to_string(index));
  ASSERT_EQ(sprite.DecodeFrame(index, out), "");
  EXPECT_EQ(out->width, spec.width);
  EXPECT_EQ(out->height, spec.height);
  EXPECT_EQ(out->format, sprite.Format());
  EXPECT_EQ(out->pixels, StoredBytes(kind, spec));
}

// A damaged frame: the directory says so with `reason`, decoding gives the
// same reason and leaves no frame behind.
void ExpectDamaged(Sprite& sprite, uint32_t index, const std::string& reason, StoredFrame* out) {
  SCOPED_TRACE("frame " + std::to_string(index));
  EXPECT_NE(sprite.Frame(index).damaged.find(reason), std::string::npos) << sprite.Frame(index).damaged;
  EXPECT_FALSE(Readable(sprite.Frame(index)));
  const std::string problem = sprite.DecodeFrame(index, out);
  EXPECT_NE(problem.find(reason), std::string::npos) << problem;
  EXPECT_EQ(out->width, 0u);
  EXPECT_EQ(out->height, 0u);
  EXPECT_TRUE(out->pixels.empty());
}

// Where the file's frame count lives.
std::size_t CountAt(SpriteKind kind) { return kind == SpriteKind::kSpr ? 0 : 4; }

void PatchSize(EncodedSprite& e, std::size_t frame, uint16_t width, uint16_t height) {
  const std::size_t at = e.entryAt[frame] + 4;
  e.bytes[at] = static_cast<uint8_t>(width);
  e.bytes[at + 1] = static_cast<uint8_t>(width >> 8);
  e.bytes[at + 2] = static_cast<uint8_t>(height);
  e.bytes[at + 3] = static_cast<uint8_t>(height >> 8);
}

class KindTest : public testing::TestWithParam<KindCase> {};
class UncompressedTest : public KindTest {};

// ---------------------------------------------------------------------------
// Directory layouts

TEST_P(KindTest, EveryFrameKeepsItsSizeOffsetAndStoredPixels) {
  const KindCase k = GetParam();
  // 600 frames: more than one piece of the directory is read.
  for (uint32_t count : {1u, 2u, 600u}) {
    SCOPED_TRACE("frames: " + std::to_string(count));
    std::vector<FrameSpec> specs;
    for (uint32_t i = 0; i < count; ++i)
      specs.push_back(PatternFrame(static_cast<uint16_t>(1 + (i * 7 + 4) % 13),
                                   static_cast<uint16_t>(1 + (i * 5 + 2) % 11), i, k.kind == SpriteKind::kSpr));
    const EncodedSprite e = EncodeFrames(k.kind, k.flags, specs);
    Opened o = OpenBytes(e.bytes, k.kind);
    ASSERT_TRUE(o.sprite) << o.problem;
    Sprite& s = *o.sprite;
    EXPECT_EQ(s.Kind(), k.kind);
    EXPECT_EQ(s.Format(), k.format);
    EXPECT_EQ(s.Compressed(), k.kind == SpriteKind::kC16);
    ASSERT_EQ(s.FrameCount(), count);
    // One StoredFrame for all: sizes go up and down from frame to frame.
    StoredFrame out;
    for (uint32_t i = 0; i < count; ++i) {
      const FrameInfo info = s.Frame(i);
      EXPECT_EQ(info.width, specs[i].width);
      EXPECT_EQ(info.height, specs[i].height);
      EXPECT_EQ(info.offset, e.dataAt[i]);
      EXPECT_TRUE(info.hasEntry);
      EXPECT_EQ(info.damaged, "");
      ExpectDecodes(s, i, k.kind, specs[i], &out);
    }
    // Asking again, out of order, gives the same pixels.
    ExpectDecodes(s, 0, k.kind, specs[0], &out);
    EXPECT_NE(s.DecodeFrame(count, &out), "");
    EXPECT_TRUE(out.pixels.empty());
  }
}

// Frames may share pixel data and point anywhere after the directory,
// backwards included.
TEST_P(KindTest, FramesMaySharePixelsAndPointBackwards) {
  const KindCase k = GetParam();
  const bool indexed = k.kind == SpriteKind::kSpr;
  const std::vector<FrameSpec> specs = {PatternFrame(4, 3, 1, indexed), PatternFrame(4, 3, 2, indexed),
                                        PatternFrame(4, 3, 3, indexed)};
  EncodedSprite e = EncodeFrames(k.kind, k.flags, specs);
  const std::vector<uint8_t> original = e.bytes;
  // Frame `to` takes the pixels (and the line offsets) frame `from` had.
  auto take = [&](std::size_t to, std::size_t from) {
    Patch32(e.bytes, e.entryAt[to], static_cast<uint32_t>(e.dataAt[from]));
    if (k.kind == SpriteKind::kC16)
      std::memcpy(&e.bytes[e.tableAt[to]], &original[e.tableAt[from]], 4 * (specs[from].height - 1));
  };
  take(0, 2);  // forwards past frame 1
  take(1, 0);  // backwards
  take(2, 0);  // backwards, shared with frame 1
  Opened o = OpenBytes(e.bytes, k.kind);
  ASSERT_TRUE(o.sprite) << o.problem;
  StoredFrame out;
  for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(Readable(o.sprite->Frame(i))) << o.sprite->Frame(i).damaged;
  ExpectDecodes(*o.sprite, 0, k.kind, specs[2], &out);
  ExpectDecodes(*o.sprite, 1, k.kind, specs[0], &out);
  ExpectDecodes(*o.sprite, 2, k.kind, specs[0], &out);
}

// ---------------------------------------------------------------------------
// Damaged frames

TEST_P(KindTest, PixelsInsideTheDirectoryDamageOnlyThatFrame) {
  const KindCase k = GetParam();
  const bool indexed = k.kind == SpriteKind::kSpr;
  const std::vector<FrameSpec> specs = {PatternFrame(3, 2, 1, indexed), PatternFrame(2, 3, 2, indexed),
                                        PatternFrame(5, 1, 3, indexed)};
  EncodedSprite base = EncodeFrames(k.kind, k.flags, specs);
  for (uint32_t target : {uint32_t(base.entryAt[0]), uint32_t(base.directoryEnd - 1), 0u}) {
    SCOPED_TRACE("offset " + std::to_string(target));
    EncodedSprite e = base;
    Patch32(e.bytes, e.entryAt[1], target);
    Opened o = OpenBytes(e.bytes, k.kind);
    ASSERT_TRUE(o.sprite) << o.problem;
    StoredFrame out;
    ExpectDecodes(*o.sprite, 0, k.kind, specs[0], &out);
    ExpectDamaged(*o.sprite, 1, "inside the frame directory", &out);
    ExpectDecodes(*o.sprite, 2, k.kind, specs[2], &out);
  }
}

TEST_P(KindTest, FramesWithoutPixelsAreDamaged) {
  const KindCase k = GetParam();
  const bool indexed = k.kind == SpriteKind::kSpr;
  const std::vector<FrameSpec> specs = {FrameSpec{0, 3, {}}, FrameSpec{3, 0, {}}, PatternFrame(2, 2, 5, indexed)};
  Opened o = OpenBytes(EncodeFrames(k.kind, k.flags, specs).bytes, k.kind);
  ASSERT_TRUE(o.sprite) << o.problem;
  StoredFrame out;
  ExpectDamaged(*o.sprite, 0, "no pixels (0 × 3)", &out);
  ExpectDamaged(*o.sprite, 1, "no pixels (3 × 0)", &out);
  ExpectDecodes(*o.sprite, 2, k.kind, specs[2], &out);
}

// A header that claims 65535 frames in a 100-byte file: the file opens,
// frames whose entries it does not hold are damaged, and neither opening
// nor asking for every frame reads more than the file's size suggests.
TEST_P(KindTest, ClaimedFrameCountBeyondTheFileCostsReadsOfTheFileOnly) {
  const KindCase k = GetParam();
  EncodedSprite e = EncodeFrames(k.kind, k.flags, {PatternFrame(3, 2, 1, k.kind == SpriteKind::kSpr)});
  e.bytes.resize(100, 0);
  e.bytes[CountAt(k.kind)] = 0xFF;
  e.bytes[CountAt(k.kind) + 1] = 0xFF;
  MemorySource memory(e.bytes.data(), e.bytes.size());
  CountingSource counting(memory);
  std::string problem;
  std::unique_ptr<Sprite> s = Sprite::Open(counting, k.kind == SpriteKind::kSpr, &problem);
  ASSERT_TRUE(s) << problem;
  EXPECT_EQ(s->FrameCount(), 65535u);
  EXPECT_TRUE(s->Frame(0).hasEntry);
  StoredFrame out;
  uint32_t withEntry = 0;
  for (uint32_t i = 0; i < 65535; ++i) {
    const FrameInfo info = s->Frame(i);
    if (info.hasEntry) ++withEntry;
    if (!info.hasEntry) {
      ASSERT_NE(info.damaged, "") << i;
      ASSERT_NE(s->DecodeFrame(i, &out), "") << i;
    }
  }
  // No more entries than 8-byte pieces of the file.
  EXPECT_LE(withEntry, 100u / 8);
  const FrameInfo last = s->Frame(65534);
  EXPECT_FALSE(last.hasEntry);
  EXPECT_NE(last.damaged.find("past the end of the file"), std::string::npos) << last.damaged;
  EXPECT_LE(counting.requested, 2u * e.bytes.size()) << "reads: " << counting.reads;
}

// A header that claims more frames than follow: the directory ends with the
// entries the file holds, so the frame it does hold shows, and the counts
// say which is which.  Pixels inside the entries held damage their frame.
TEST_P(KindTest, DirectoryClaimingMoreFramesThanFollowShowsTheFramesHeld) {
  const KindCase k = GetParam();
  const FrameSpec one{1, 1, {0x0123}};
  EncodedSprite e = EncodeFrames(k.kind, k.flags, {one});
  e.bytes[CountAt(k.kind)] = 3;
  Opened o = OpenBytes(e.bytes, k.kind);
  ASSERT_TRUE(o.sprite) << o.problem;
  EXPECT_EQ(o.sprite->FrameCount(), 3u);
  EXPECT_EQ(o.sprite->HeldFrames(), 1u);
  EXPECT_EQ(o.sprite->ReadableFrames(), 1u);
  StoredFrame out;
  ExpectDecodes(*o.sprite, 0, k.kind, one, &out);
  ExpectDamaged(*o.sprite, 1, "entry lies past the end of the file", &out);

  // Pixels that would start inside the header and the entry held.
  Patch32(e.bytes, e.entryAt[0], static_cast<uint32_t>(e.entryAt[0] + 4));
  Opened inside = OpenBytes(e.bytes, k.kind);
  ASSERT_TRUE(inside.sprite) << inside.problem;
  EXPECT_EQ(inside.sprite->ReadableFrames(), 0u);
  ExpectDamaged(*inside.sprite, 0, "inside the frame directory", &out);
}

// Frames larger than the pixel limit are damaged before any memory is
// taken; a frame exactly at the limit passes that check (and is then only
// irregular, its pixels cut off by the end of this file).
TEST(SpriteDamage, FramesOverThePixelLimitTakeNoMemory) {
  struct Case {
    KindCase kind;
    uint16_t width, height;
    const char* reason;  // empty: the frame is at the limit
  } const cases[] = {
      {kAllKinds[0], 65535, 65535, "more than the 256 MiB"},
      {kAllKinds[0], 65535, 4096, ""},  // rows of 65536 bytes
      {kAllKinds[0], 65535, 4097, "more than the 256 MiB"},
      {kAllKinds[1], 65535, 65535, "more than the 256 MiB"},
      {kAllKinds[2], 32768, 4096, ""},
      {kAllKinds[2], 32768, 4097, "more than the 256 MiB"},
      {kC16, 65535, 2049, "more than the 256 MiB"},  // its line table is in the file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind.name) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    const bool indexed = c.kind.kind == SpriteKind::kSpr;
    const uint16_t height = c.kind.kind == SpriteKind::kC16 ? c.height : 1;
    const std::vector<FrameSpec> specs = {PatternFrame(2, 2, 1, indexed), OpaqueFrame(1, height, 2)};
    EncodedSprite e = EncodeFrames(c.kind.kind, c.kind.flags, specs);
    PatchSize(e, 1, c.width, c.height);
    Opened o = OpenBytes(e.bytes, c.kind.kind);
    ASSERT_TRUE(o.sprite) << o.problem;
    StoredFrame out;
    ExpectDecodes(*o.sprite, 0, c.kind.kind, specs[0], &out);
    if (*c.reason) {
      ExpectDamaged(*o.sprite, 1, c.reason, &out);
      EXPECT_LT(out.pixels.capacity(), std::size_t{1} << 20);
    } else {
      EXPECT_TRUE(Readable(o.sprite->Frame(1)));
      EXPECT_NE(o.sprite->Frame(1).irregular.find("cut off by the end of the file"), std::string::npos);
      ASSERT_EQ(o.sprite->DecodeFrame(1, &out), "");
      EXPECT_NE(out.irregular.find("cut off by the end of the file"), std::string::npos) << out.irregular;
      EXPECT_EQ(out.pixels.size(), std::size_t{c.width} * c.height * BytesPerPixel(o.sprite->Format()));
    }
  }
}

// Pixels cut off by the end of the file make the frame irregular: what the
// file holds shows, the rest is transparent, as in the thumbnail.  Pixels
// that would start past the end damage the frame.
TEST_P(UncompressedTest, PixelsPastTheEndOfTheFileAreTransparent) {
  const KindCase k = GetParam();
  const bool indexed = k.kind == SpriteKind::kSpr;
  const std::vector<FrameSpec> specs = {PatternFrame(3, 3, 1, indexed), OpaqueFrame(4, 2, 2)};
  EncodedSprite e = EncodeFrames(k.kind, k.flags, specs);
  // Three pixels short; of 16-bit ones, the first keeps its low byte.
  const std::size_t cut = 3 * BytesPerPixel(k.format) - (BytesPerPixel(k.format) - 1);
  e.bytes.resize(e.bytes.size() - cut);
  Opened o = OpenBytes(e.bytes, k.kind);
  ASSERT_TRUE(o.sprite) << o.problem;
  StoredFrame out;
  ExpectDecodes(*o.sprite, 0, k.kind, specs[0], &out);
  EXPECT_TRUE(Readable(o.sprite->Frame(1)));
  ASSERT_EQ(o.sprite->DecodeFrame(1, &out), "");
  EXPECT_NE(out.irregular.find("the last 3 pixels stay transparent"), std::string::npos) << out.irregular;
  std::vector<uint8_t> expected = StoredBytes(k.kind, specs[1]);
  const std::size_t held = expected.size() - cut;
  std::fill(expected.begin() + static_cast<std::ptrdiff_t>(held), expected.end(), 0);
  EXPECT_EQ(out.pixels, expected);

  Patch32(e.bytes, e.entryAt[1], static_cast<uint32_t>(e.bytes.size()));
  Opened past = OpenBytes(e.bytes, k.kind);
  ASSERT_TRUE(past.sprite) << past.problem;
  ExpectDamaged(*past.sprite, 1, "starts past the end of the file", &out);
}

TEST(SpriteOpen, BytesThatAreNoSpriteFailWithAReason) {
  struct Case {
    const char* name;
    bool spr;
    std::vector<uint8_t> bytes;
    const char* reason;
  } const cases[] = {
      {"empty spr", true, {}, "too short for the header"},
      {"one byte spr", true, {1}, "too short for the header"},
      {"five bytes s16", false, {1, 0, 0, 0, 1}, "too short for the header"},
      {"spr of no frames", true, {0, 0, 9, 9}, "holds no frames"},
      {"s16 of no frames", false, {1, 0, 0, 0, 0, 0}, "holds no frames"},
      {"c16 of no frames", false, {3, 0, 0, 0, 0, 0, 7, 7}, "holds no frames"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySource source(c.bytes.data(), c.bytes.size());
    std::string problem;
    EXPECT_EQ(Sprite::Open(source, c.spr, &problem), nullptr);
    EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
  }
}

// ---------------------------------------------------------------------------
// C16 lines

// One C16 line, tag by tag.
struct Line {
  std::vector<uint8_t> bytes;
  Line& Colour(std::vector<uint16_t> values) {
    Put16(bytes, static_cast<uint16_t>(values.size() << 1 | 1));
    for (uint16_t v : values) Put16(bytes, v);
    return *this;
  }
  Line& Clear(uint16_t run) {
    Put16(bytes, static_cast<uint16_t>(run << 1));
    return *this;
  }
  Line& Idle(uint32_t times) {
    for (uint32_t i = 0; i < times; ++i) Put16(bytes, 1);
    return *this;
  }
  Line& End() {
    Put16(bytes, 0);
    return *this;
  }
};

const FrameSpec kSecondFrame = OpaqueFrame(2, 2, 7);

// A C16 file whose frame 0 is `width` wide with the given lines, followed by
// an ordinary frame (kSecondFrame).
std::vector<uint8_t> C16WithLines(uint16_t width, const std::vector<Line>& lines) {
  std::vector<uint8_t> out;
  Put32(out, 3);
  Put16(out, 2);
  const std::size_t entry0 = out.size();
  Put32(out, 0);
  Put16(out, width);
  Put16(out, static_cast<uint16_t>(lines.size()));
  const std::size_t table0 = out.size();
  out.resize(out.size() + 4 * (lines.size() - 1));
  const std::size_t entry1 = out.size();
  Put32(out, 0);
  Put16(out, kSecondFrame.width);
  Put16(out, kSecondFrame.height);
  const std::size_t table1 = out.size();
  Put32(out, 0);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    Patch32(out, i == 0 ? entry0 : table0 + 4 * (i - 1), static_cast<uint32_t>(out.size()));
    out.insert(out.end(), lines[i].bytes.begin(), lines[i].bytes.end());
  }
  Patch32(out, entry1, static_cast<uint32_t>(out.size()));
  for (uint32_t y = 0; y < 2; ++y) {
    if (y == 1) Patch32(out, table1, static_cast<uint32_t>(out.size()));
    const Line l = Line().Colour({kSecondFrame.pixels[2 * y], kSecondFrame.pixels[2 * y + 1]}).End();
    out.insert(out.end(), l.bytes.begin(), l.bytes.end());
  }
  return out;
}

// Frame 1 of `bytes` as the thumbnail shows it: its bitmap's 16-bit pixels,
// row padding left out.
std::vector<uint16_t> ThumbnailPixels(const std::vector<uint8_t>& bytes) {
  MemoryDecodePlatform platform;
  platform.AddFile(u"f.c16", bytes);
  std::array<uint8_t, kHeaderBufferSize> header{};
  BitmapHandle bitmap = nullptr;
  std::vector<uint16_t> pixels;
  if (DecodeFirstFrame(platform, u"f.c16", header.data(), &bitmap) != S_OK) return pixels;
  const HeapBitmap* heap = AsHeapBitmap(bitmap);
  const uint32_t width = LoadLe32(header.data() + 4);
  const uint32_t height = 0u - LoadLe32(header.data() + 8);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) pixels.push_back(LoadLe16(heap->pixels + y * Sprite16Stride(width) + 2 * x));
  platform.DeleteBitmap(bitmap);
  return pixels;
}

std::vector<uint16_t> Values(const StoredFrame& frame) {
  std::vector<uint16_t> values;
  for (std::size_t i = 0; i + 1 < frame.pixels.size(); i += 2) values.push_back(LoadLe16(frame.pixels.data() + i));
  return values;
}

// Lines that do not add up to the frame's width: the write position carries
// from line to line (a short line makes the next start early, a long one
// runs on into the next row, odd widths skip their padding pixel), nothing
// is written outside the frame, and the frame and the thumbnail show the
// same pixels, written out here by hand.
TEST(C16Lines, IrregularLinesShowTheSameEverywhere) {
  const uint32_t allowance = kIdleTagAllowance;
  const uint16_t A = 0xA, B = 0xB, C = 0xC, D = 0xD;
  struct Case {
    const char* name;
    uint16_t width;
    std::vector<Line> lines;
    std::vector<uint16_t> pixels;
    const char* irregular;  // empty: the lines add up
  } const cases[] = {
      {"a short first line", 4, {Line().Colour({1, 2}).End(), Line().Colour({A, B, C, D}).End()},
       {1, 2, A, B, C, D, 0, 0}, "line 1 holds 2 pixels fewer than the frame is wide"},
      {"short and empty lines", 4,
       {Line().Colour({0x1234, 0x5678}).End(), Line().End(), Line().Clear(1).Colour({9}).End(),
        Line().Colour({1, 2, 3, 4}).End()},
       {0x1234, 0x5678, 0, 9, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0}, "line 1 holds 2 pixels fewer"},
      {"a long line runs into the next row", 4,
       {Line().Colour({1, 2, 3, 4, 5}).End(), Line().Colour({6, 7, 8}).End(), Line().Colour({9}).End()},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}, "line 1 holds 1 pixel more than the frame is wide"},
      {"the last line passes the end of the frame", 4,
       {Line().Colour({1, 2, 3, 4}).End(), Line().Colour({1, 2, 3, 4}).End(), Line().Colour({1, 2, 3, 4, 5}).End()},
       {1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4}, "line 3 runs past the end of the frame"},
      {"a transparent run passes the end of the frame", 4,
       {Line().Colour({1, 2, 3, 4}).End(), Line().Clear(3).Colour({6, 7}).End()},
       {1, 2, 3, 4, 0, 0, 0, 6}, "line 2 runs past the end of the frame"},
      {"a line that ends the frame early", 2, {Line().Colour({1, 2, 3, 4}).End(), Line().Colour({5, 6}).End()},
       {1, 2, 3, 4}, "line 1 holds 2 pixels more"},
      {"odd width, a long line fills the padding pixel", 3,
       {Line().Colour({1, 2, 3, 4}).End(), Line().Colour({5, 6, 7}).End()}, {1, 2, 3, 0, 5, 6},
       "line 1 holds 1 pixel more"},
      {"odd width, a short line", 3, {Line().Colour({1}).End(), Line().Colour({2, 3, 4}).End()}, {1, 0, 2, 4, 0, 0},
       "line 1 holds 2 pixels fewer"},
      {"odd width, runs adding up past it", 3, {Line().Colour({1, 2}).Colour({3, 4}).End()}, {1, 2, 3},
       "line 1 holds 1 pixel more"},
      {"odd width, lines that add up", 5, {Line().Clear(2).Colour({7, 8}).Clear(1).End(), Line().Colour({1, 2, 3, 4, 5}).End()},
       {0, 0, 7, 8, 0, 1, 2, 3, 4, 5}, ""},
      {"empty runs up to the frame's allowance", 2,
       {Line().Idle(100).Colour({1, 2}).End(), Line().Colour({3}).Idle(100).Colour({4}).End(),
        Line().Colour({5, 6}).Idle(allowance - 200).End()},
       {1, 2, 3, 4, 5, 6}, ""},
      {"one empty run more stops the frame", 2,
       {Line().Colour({1, 2}).Idle(allowance).End(), Line().Idle(1).Colour({3, 4}).End()}, {1, 2, 0, 0},
       "line 2 holds more empty runs than any frame needs"},
  };
  StoredFrame out;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> bytes = C16WithLines(c.width, c.lines);
    Opened o = OpenBytes(bytes, SpriteKind::kC16);
    ASSERT_TRUE(o.sprite) << o.problem;
    EXPECT_TRUE(Readable(o.sprite->Frame(0)));
    // Start each decode from a frame of non-zero pixels.
    ExpectDecodes(*o.sprite, 1, SpriteKind::kC16, kSecondFrame, &out);
    ASSERT_EQ(o.sprite->DecodeFrame(0, &out), "");
    EXPECT_EQ(out.width, c.width);
    EXPECT_EQ(Values(out), c.pixels);
    if (*c.irregular)
      EXPECT_NE(out.irregular.find(c.irregular), std::string::npos) << out.irregular;
    else
      EXPECT_EQ(out.irregular, "");
    EXPECT_EQ(ThumbnailPixels(bytes), c.pixels);
    ExpectDecodes(*o.sprite, 1, SpriteKind::kC16, kSecondFrame, &out);
  }
}

// Lines that start outside the pixel data are irregular, not damaged: a line
// past the end of the file shows nothing (it is cut off), a line inside the
// directory is expanded from the bytes it points at, as the thumbnail does.
// Only a first line past the end damages the frame.
TEST(C16Lines, LineOffsetsOutsideThePixelDataOnlyTouchTheirLines) {
  const std::vector<FrameSpec> specs = {PatternFrame(3, 2, 1, false), OpaqueFrame(4, 5, 2),
                                        PatternFrame(2, 3, 3, false)};
  const EncodedSprite base = EncodeFrames(SpriteKind::kC16, 1, specs);
  const auto size = static_cast<uint32_t>(base.bytes.size());
  struct Case {
    std::size_t at;  // the offset patched
    uint32_t value;
    const char* irregular;  // null: damaged, "line 1 starts past the end of the file"
  } const cases[] = {
      {base.tableAt[1] + 4, size, "line 3 is cut off by the end of the file"},
      {base.tableAt[1] + 12, size + 1000, "line 5 is cut off by the end of the file"},
      {base.entryAt[1], size, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    EncodedSprite e = base;
    Patch32(e.bytes, c.at, c.value);
    Opened o = OpenBytes(e.bytes, SpriteKind::kC16);
    ASSERT_TRUE(o.sprite) << o.problem;
    StoredFrame out;
    ExpectDecodes(*o.sprite, 0, SpriteKind::kC16, specs[0], &out);
    if (c.irregular) {
      ASSERT_EQ(o.sprite->DecodeFrame(1, &out), "");
      EXPECT_NE(out.irregular.find(c.irregular), std::string::npos) << out.irregular;
      // The line that cannot be read leaves a short row: the next line
      // starts where it began.
      EXPECT_EQ(Values(out).size(), std::size_t{4} * 5);
    } else {
      ExpectDamaged(*o.sprite, 1, "line 1 starts past the end of the file", &out);
    }
    ExpectDecodes(*o.sprite, 2, SpriteKind::kC16, specs[2], &out);
  }
}

TEST(C16Lines, LineTableCutOffByTheEndOfTheFile) {
  const EncodedSprite e = EncodeFrames(SpriteKind::kC16, 1, {PatternFrame(2, 5, 1, false)});
  std::vector<uint8_t> bytes(e.bytes.begin(), e.bytes.begin() + static_cast<std::ptrdiff_t>(e.tableAt[0] + 6));
  Opened o = OpenBytes(bytes, SpriteKind::kC16);
  ASSERT_TRUE(o.sprite) << o.problem;
  EXPECT_EQ(o.sprite->FrameCount(), 1u);
  EXPECT_TRUE(o.sprite->Frame(0).hasEntry);
  StoredFrame out;
  ExpectDamaged(*o.sprite, 0, "line table is cut off by the end of the file", &out);
}

// A last line cut off by the end of the file, in a file the read buffer
// holds whole and in one larger than the buffer, where lines are read in
// pieces through the source: what the file holds shows, the rest of the
// line stays transparent, and the thumbnail agrees.
TEST(C16Lines, LineCutOffByTheEndOfTheFileShowsWhatIsThere) {
  struct Size {
    const char* name;
    uint16_t width, height;
  } const sizes[] = {{"small file", 6, 4}, {"file larger than the read buffer", 600, 300}};
  for (const Size& size : sizes) {
    SCOPED_TRACE(size.name);
    const std::vector<FrameSpec> specs = {PatternFrame(5, 4, 1, false), OpaqueFrame(size.width, size.height, 3)};
    const EncodedSprite e = EncodeFrames(SpriteKind::kC16, 1, specs);
    if (size.width > 100) {
      ASSERT_GT(e.bytes.size(), std::size_t{ReadBuffer::kMaxCapacity});
    }
    const std::size_t lastLine = e.bytes.size() - (2 + 2 * std::size_t{size.width} + 2);
    const std::size_t lastRow = std::size_t{size.width} * (size.height - 1u);
    struct Cut {
      const char* where;
      std::size_t length;
      std::size_t shown;  // pixels of the last row that show
    } const cuts[] = {
        {"inside the tag", lastLine + 1, 0},
        {"inside the colour run", lastLine + 2 + size.width, size.width / 2u},
        {"before the end tag", e.bytes.size() - 2, size.width},
        {"inside the end tag", e.bytes.size() - 1, size.width},
    };
    for (const Cut& cut : cuts) {
      SCOPED_TRACE(cut.where);
      Opened o = OpenBytes(std::vector<uint8_t>(e.bytes.begin(), e.bytes.begin() + static_cast<std::ptrdiff_t>(cut.length)),
                           SpriteKind::kC16);
      ASSERT_TRUE(o.sprite) << o.problem;
      EXPECT_TRUE(Readable(o.sprite->Frame(1)));
      StoredFrame out;
      ASSERT_EQ(o.sprite->DecodeFrame(1, &out), "");
      EXPECT_EQ(out.irregular, "line " + std::to_string(size.height) +
                                   " is cut off by the end of the file: what is missing stays transparent");
      std::vector<uint16_t> expected = specs[1].pixels;
      std::fill(expected.begin() + static_cast<std::ptrdiff_t>(lastRow + cut.shown), expected.end(), 0);
      EXPECT_EQ(Values(out), expected);
      ExpectDecodes(*o.sprite, 0, SpriteKind::kC16, specs[0], &out);
    }
  }
}

// A frame larger than the read buffer whose lines mix long colour runs and
// transparent gaps decodes exactly, whichever frame is read first.
TEST(C16Lines, LargeFramesDecodeThroughPiecewiseReads) {
  FrameSpec big = OpaqueFrame(700, 240, 5);
  for (uint32_t y = 0; y < big.height; ++y)
    for (uint32_t x = 300 + y; x < 310 + y; ++x) big.pixels[std::size_t{y} * big.width + x] = 0;
  const std::vector<FrameSpec> specs = {PatternFrame(3, 3, 1, false), big, PatternFrame(9, 2, 2, false)};
  const EncodedSprite e = EncodeFrames(SpriteKind::kC16, 0, specs);
  ASSERT_GT(e.bytes.size(), std::size_t{ReadBuffer::kMaxCapacity});
  Opened o = OpenBytes(e.bytes, SpriteKind::kC16);
  ASSERT_TRUE(o.sprite) << o.problem;
  StoredFrame out;
  for (uint32_t i : {2u, 1u, 0u, 1u}) ExpectDecodes(*o.sprite, i, SpriteKind::kC16, specs[i], &out);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KindTest, testing::ValuesIn(kAllKinds), KindCaseName);
INSTANTIATE_TEST_SUITE_P(Kinds, UncompressedTest, testing::ValuesIn(kUncompressedKinds), KindCaseName);

}  // namespace
}  // namespace tamsorel
