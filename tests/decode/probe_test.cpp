// The probe: what the first bytes of a file tell, and when they are too few
// to tell.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sprite/sprite_probe.h"

namespace tamsorel {
namespace {

using Result = SpriteProbe::Result;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

TEST(Probe, AnswersFromTheHeaderAndFirstEntryOrSaysHowManyBytesItNeeds) {
  // 16-bit header (flags, count) and one entry: offset 0x20, 3 x 2.
  const std::vector<uint8_t> c16565 = Bytes({3, 0, 0, 0, 7, 0, 0x20, 0, 0, 0, 3, 0, 2, 0});
  const std::vector<uint8_t> s16555 = Bytes({0, 0, 0, 0, 1, 0, 0x20, 0, 0, 0, 3, 0, 2, 0});
  const std::vector<uint8_t> spr = Bytes({0xFF, 0xFF, 0x0A, 0, 0, 0, 5, 0, 4, 0});
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    std::size_t size;  // of the bytes given
    bool spr, whole;
    Result result;
    std::size_t needed;
    SpriteKind kind;
    PixelFormat format;
    uint32_t claimed;
    bool entry;
  } cases[] = {
      {"C16 5-6-5", c16565, 14, false, false, Result::kSprite, 0, SpriteKind::kC16, PixelFormat::kRgb565, 7, true},
      {"S16 5-5-5", s16555, 14, false, false, Result::kSprite, 0, SpriteKind::kS16, PixelFormat::kRgb555, 1, true},
      {"SPR", spr, 10, true, false, Result::kSprite, 0, SpriteKind::kSpr, PixelFormat::kIndexed8, 65535, true},
      {"16-bit header cut", c16565, 5, false, false, Result::kNeedMore, 6},
      {"16-bit entry cut", c16565, 13, false, false, Result::kNeedMore, 14},
      {"SPR entry cut", spr, 2, true, false, Result::kNeedMore, 10},
      {"nothing yet", spr, 0, true, false, Result::kNeedMore, 2},
      {"whole file without entry", c16565, 6, false, true, Result::kSprite, 0, SpriteKind::kC16,
       PixelFormat::kRgb565, 7, false},
      {"whole file too short", c16565, 5, false, true, Result::kNotSprite},
      {"no frames, known early", Bytes({2, 0, 0, 0, 0, 0}), 6, false, false, Result::kNotSprite},
      {"SPR no frames", Bytes({0, 0}), 2, true, true, Result::kNotSprite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SpriteProbe p = ProbeSprite(c.bytes.data(), c.size, c.spr, c.whole);
    ASSERT_EQ(p.result, c.result);
    if (c.result == Result::kNeedMore) EXPECT_EQ(p.bytesNeeded, c.needed);
    if (c.result == Result::kNotSprite) EXPECT_STRNE(p.problem, "");
    if (c.result != Result::kSprite) continue;
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.format, c.format);
    EXPECT_EQ(p.claimedFrames, c.claimed);
    EXPECT_EQ(p.headerBytes, c.spr ? 2u : 6u);
    ASSERT_EQ(p.hasFirstEntry, c.entry);
    if (c.entry) {
      EXPECT_EQ(p.firstEntry.offset, c.spr ? 0x0Au : 0x20u);
      EXPECT_EQ(p.firstEntry.width, c.spr ? 5u : 3u);
      EXPECT_EQ(p.firstEntry.height, c.spr ? 4u : 2u);
    }
  }
}

TEST(Probe, NeverReadsPastTheBytesGiven) {
  // Every prefix of a file, given in memory that ends exactly there.
  const std::vector<uint8_t> file = Bytes({3, 0, 0, 0, 1, 0, 0x20, 0, 0, 0, 3, 0, 2, 0});
  for (std::size_t size = 0; size <= file.size(); ++size) {
    const std::vector<uint8_t> prefix(file.begin(), file.begin() + size);
    for (bool whole : {false, true}) {
      const SpriteProbe p = ProbeSprite(prefix.data(), prefix.size(), false, whole);
      EXPECT_EQ(p.result == Result::kNeedMore, !whole && size < kProbeBytes) << size;
    }
  }
}

}  // namespace
}  // namespace tamsorel
