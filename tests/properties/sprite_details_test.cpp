// The details of a sprite from its header and frame directory: the values
// for every kind, damaged and hostile directories (frames held against
// frames claimed), files that are no sprite, and the bound on what is read
// (the header and the entries, once).
#include "sprite/sprite_details.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sprite/sprite_format.h"
#include "frame_encoder.h"

namespace tamsorel::test {
namespace {

// Records every byte range a reader obtains from the bytes it wraps.
class RecordingSource final : public ByteSource {
 public:
  explicit RecordingSource(const std::vector<uint8_t>& bytes) : memory_(bytes.data(), bytes.size()) {}
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    const bool ok = memory_.ReadAt(offset, target, count, obtained);
    if (*obtained > 0) {
      furthest = std::max(furthest, offset + *obtained);
      total += *obtained;
    }
    return ok;
  }
  uint64_t Size() const override { return memory_.Size(); }

  uint64_t furthest = 0;  // one past the last byte obtained
  uint64_t total = 0;

 private:
  MemorySource memory_;
};

std::vector<FrameSpec> Frames(std::initializer_list<std::pair<uint16_t, uint16_t>> sizes, bool indexed) {
  std::vector<FrameSpec> frames;
  uint32_t seed = 1;
  for (const auto& size : sizes) frames.push_back(PatternFrame(size.first, size.second, seed++, indexed));
  return frames;
}

TEST(SpriteDetails, EveryKindAndFormat) {
  const struct {
    SpriteKind kind;
    uint32_t flags;
    std::string format;
    uint32_t depth;
  } cases[] = {
      {SpriteKind::kSpr, 0, "8-bit palette", 8},
      {SpriteKind::kS16, 1, "16-bit 5-6-5", 16},
      {SpriteKind::kS16, 0, "16-bit 5-5-5", 16},
      {SpriteKind::kC16, 1, "16-bit 5-6-5, compressed", 16},
      {SpriteKind::kC16, 0, "16-bit 5-5-5, compressed", 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const bool spr = c.kind == SpriteKind::kSpr;
    const EncodedSprite e = EncodeFrames(c.kind, c.flags, Frames({{7, 5}, {40, 30}, {1, 1}}, spr));
    RecordingSource source(e.bytes);
    SpriteDetails d;
    std::string problem;
    ASSERT_TRUE(ReadSpriteDetails(source, spr, &d, &problem)) << problem;
    EXPECT_EQ(PixelFormatText(d.kind, d.format), c.format);
    EXPECT_EQ(d.BitDepth(), c.depth);
    EXPECT_TRUE(d.hasSize);
    EXPECT_EQ(d.width, 7u);
    EXPECT_EQ(d.height, 5u);
    EXPECT_EQ(d.frameCount, 3u);
    EXPECT_EQ(d.claimedFrameCount, 3u);
    EXPECT_FALSE(d.ClaimDiffers());
    EXPECT_EQ(DimensionsText(d.width, d.height), "7 x 5");
  }
}

// The details read the header and the frame entries, each byte once, and
// nothing else: no C16 line table, no pixel, for every kind, a C16 of 200
// frames, and one in a file too large for the core to read whole.
TEST(SpriteDetails, ReadsTheHeaderAndEntriesOnly) {
  const struct {
    const char* name;
    SpriteKind kind;
    std::vector<FrameSpec> frames;
  } cases[] = {
      {"spr", SpriteKind::kSpr, Frames({{30, 20}, {5, 5}}, true)},
      {"s16", SpriteKind::kS16, Frames({{30, 20}, {5, 5}, {9, 9}}, false)},
      {"c16", SpriteKind::kC16, Frames({{30, 20}, {5, 50}, {9, 1}, {2, 200}}, false)},
      {"c16 of 200 frames", SpriteKind::kC16, std::vector<FrameSpec>(200, PatternFrame(3, 40, 7, false))},
      {"c16 in a file read in pieces", SpriteKind::kC16, std::vector<FrameSpec>(40, PatternFrame(2, 2000, 3, false))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodedSprite e = EncodeFrames(c.kind, 1, c.frames);
    RecordingSource source(e.bytes);
    SpriteDetails d;
    std::string problem;
    uint64_t fetched = 0;
    ASSERT_TRUE(ReadSpriteDetails(source, c.kind == SpriteKind::kSpr, &d, &problem, &fetched)) << problem;
    EXPECT_EQ(d.frameCount, c.frames.size());
    EXPECT_EQ(d.claimedFrameCount, c.frames.size());
    const uint64_t header = c.kind == SpriteKind::kSpr ? tamsorel::kSprHeaderSize : tamsorel::kSprite16HeaderSize;
    EXPECT_EQ(source.total, header + kFrameEntrySize * c.frames.size());
    EXPECT_EQ(source.furthest, e.entryAt.back() + kFrameEntrySize);
    EXPECT_EQ(fetched, source.total);
  }
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Damaged and hostile directories give what can be read, the frames held
// and, apart from them, the frames the header claims; the claim costs no
// read beyond the entries the file holds.  Bytes that are no sprite give a
// reason instead.
TEST(SpriteDetails, DamagedFilesGiveWhatCanBeRead) {
  // 65535 frames claimed with two written: the file has room for six
  // entries (its 48 bytes after the header), and those are what it holds.
  EncodedSprite claimed = EncodeFrames(SpriteKind::kS16, 1, Frames({{4, 3}, {2, 2}}, false));
  claimed.bytes[4] = claimed.bytes[5] = 0xFF;
  // SPR whose directory is cut inside the third of three entries.
  EncodedSprite cutSpr = EncodeFrames(SpriteKind::kSpr, 0, Frames({{6, 2}, {3, 3}, {4, 4}}, true));
  cutSpr.bytes.resize(cutSpr.entryAt[2] + 4);
  // C16 whose second line table runs past the end of the file.
  EncodedSprite cutC16 = EncodeFrames(SpriteKind::kC16, 0, Frames({{5, 4}, {6, 90}}, false));
  cutC16.bytes.resize(cutC16.tableAt[1] + 40);
  // C16 claiming 65535 frames of one line each: every entry is followed by
  // the next, so the directory reads on into the pixels: each 8-byte line
  // (a run of two pixels and the end tag) reads as one more entry.
  const FrameSpec line{2, 1, {0x1111, 0x2222}};
  EncodedSprite manyC16 = EncodeFrames(SpriteKind::kC16, 1, {line, line});
  manyC16.bytes[4] = manyC16.bytes[5] = 0xFF;
  // A first frame whose pixels run past the end of the file.
  EncodedSprite shortPixels = EncodeFrames(SpriteKind::kS16, 1, Frames({{8, 8}}, false));
  shortPixels.bytes.resize(shortPixels.bytes.size() - 10);

  // An SPR claiming 300 frames with one written: the file's 4 x 4 pixels
  // make two more entries; the claim is 300, not the byte 0x2C of 300's
  // low half alone.
  EncodedSprite claimed300 = EncodeFrames(SpriteKind::kSpr, 0, Frames({{4, 4}}, true));
  claimed300.bytes[0] = 300 & 0xFF;
  claimed300.bytes[1] = 300 >> 8;

  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool spr;
    uint32_t frames, claimed, width, height;
  } cases[] = {
      {"65535 frames claimed", claimed.bytes, false, 6, 65535, 4, 3},
      {"spr 300 frames claimed", claimed300.bytes, true, 3, 300, 4, 4},
      {"spr directory cut", cutSpr.bytes, true, 2, 3, 6, 2},
      {"c16 line table cut", cutC16.bytes, false, 2, 2, 5, 4},
      {"c16 65535 frames claimed", manyC16.bytes, false, 4, 65535, 2, 1},
      {"pixels cut", shortPixels.bytes, false, 1, 1, 8, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSource source(c.bytes);
    SpriteDetails d;
    std::string problem;
    uint64_t fetched = 0;
    ASSERT_TRUE(ReadSpriteDetails(source, c.spr, &d, &problem, &fetched)) << problem;
    EXPECT_EQ(d.frameCount, c.frames);
    EXPECT_EQ(d.claimedFrameCount, c.claimed);
    EXPECT_EQ(d.ClaimDiffers(), c.claimed != c.frames);
    EXPECT_TRUE(d.hasSize);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    // The header and the entries held, each byte once, however many the
    // header claims.
    const uint64_t header = c.spr ? tamsorel::kSprHeaderSize : tamsorel::kSprite16HeaderSize;
    EXPECT_EQ(source.total, header + kFrameEntrySize * uint64_t{c.frames});
    EXPECT_EQ(fetched, source.total);
  }
}

TEST(SpriteDetails, BytesThatAreNoSpriteAreRefused) {
  EncodedSprite zeroSize = EncodeFrames(SpriteKind::kS16, 1, Frames({{4, 4}}, false));
  zeroSize.bytes[zeroSize.entryAt[0] + 4] = 0;  // width 0
  zeroSize.bytes[zeroSize.entryAt[0] + 5] = 0;
  const std::vector<uint8_t> noEntry = {0x01, 0, 0, 0, 3, 0, 1, 2, 3};  // 3 frames claimed, no entry whole
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool spr;
    std::string problem;
  } cases[] = {
      {"empty", {}, false, "too short for the header of a sprite"},
      {"empty spr", {}, true, "too short for the header of a sprite"},
      {"no frames", {0x01, 0, 0, 0, 0, 0}, false, "its header says it holds no frames"},
      {"text as s16", Bytes("This is not a sprite, only some text.\n"), false,
       "its frame directory describes no frame"},
      {"text as spr", Bytes("This is not a sprite, only some text.\n"), true, "its frame directory describes no frame"},
      {"no whole entry", noEntry, false, "its frame directory describes no frame"},
      {"only frame has no pixels", zeroSize.bytes, false, "its frame directory describes no frame"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSource source(c.bytes);
    SpriteDetails d;
    std::string problem;
    EXPECT_FALSE(ReadSpriteDetails(source, c.spr, &d, &problem));
    EXPECT_EQ(problem, c.problem);
  }
}

}  // namespace
}  // namespace tamsorel::test
