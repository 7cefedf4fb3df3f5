// libFuzzer target for the details of a sprite: the header and the frame
// directory, read through the directory window over a source that behaves
// as a stream may, stating its size truly or stating more than it holds.
//
// Input: one selector byte, then the file (the seeds are those of the
// frames target, which reads the selector's bit 0 the same way).
//   bit 0   0: SPR (a name ending in "spr"), 1: 16-bit (S16 or C16)
//   bit 1   the source states 64 bytes more than it holds (its reads end
//           early, as those of a stream that lies about its size do)
//
// Checks, against a plain reading of the layout made here from the input:
// no byte at or past the end of the directory is read (for a true size), no
// byte is read
// twice (every input fits the frame core's read buffer), and the details
// given are the header's and the first entry's.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sprite/read_buffer.h"
#include "sprite/sprite_format.h"
#include "fuzz_require.h"
#include "sprite/sprite_details.h"

namespace {

using namespace tamsorel;
using tamsorel::fuzz::Require;

// Marks every byte it hands out; fails when one is handed out again.
class MarkingSource final : public ByteSource {
 public:
  MarkingSource(const uint8_t* data, std::size_t size, uint64_t stated)
      : data_(data), size_(size), stated_(stated), marked_(size, false) {}
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    uint32_t n = 0;
    if (offset < size_) n = static_cast<uint32_t>(std::min<uint64_t>(count, size_ - offset));
    for (uint32_t i = 0; i < n; ++i) {
      Require(!marked_[offset + i], "a byte was read twice");
      marked_[offset + i] = true;
      target[i] = data_[offset + i];
    }
    if (n > 0) furthest = std::max<uint64_t>(furthest, offset + n);
    *obtained = n;
    return true;
  }
  uint64_t Size() const override { return stated_; }

  uint64_t furthest = 0;

 private:
  const uint8_t* data_;
  std::size_t size_;
  uint64_t stated_;
  std::vector<bool> marked_;
};

// Where the directory ends, read plainly from the layout: the claimed
// entries for SPR and S16; for C16 entry after entry, each followed by its
// line table, up to the last whole entry where the file ends first.
uint64_t DirectoryEnd(const uint8_t* data, std::size_t size, bool spr) {
  const std::size_t header = spr ? kSprHeaderSize : kSprite16HeaderSize;
  if (size < header) return 0;
  const uint32_t count = LoadLe16(spr ? data : data + 4);
  if (spr || !(LoadLe32(data) & SPRITE16_COMPRESSED)) return std::min<uint64_t>(size, header + 8ull * count);
  uint64_t at = header;
  for (uint32_t i = 0; i < count && at + 8 <= size; ++i) {
    const uint32_t height = LoadLe16(data + at + 6);
    const uint64_t next = at + 8 + (height > 0 ? 4ull * (height - 1) : 0);
    if (next > size) return at + 8;
    at = next;
  }
  return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, std::size_t length) {
  if (length < 1 || length > ReadBuffer::kMaxCapacity / 2) return 0;
  const bool spr = (input[0] & 1) == 0;
  const bool lying = (input[0] & 2) != 0;
  const uint8_t* data = input + 1;
  const std::size_t size = length - 1;

  MarkingSource source(data, size, lying ? size + 64 : size);
  SpriteDetails details;
  std::string problem;
  uint64_t fetched = 0;
  const bool ok = ReadSpriteDetails(source, spr, &details, &problem, &fetched);
  if (!lying) Require(source.furthest <= DirectoryEnd(data, size, spr), "a byte past the directory was read");
  Require(fetched <= size, "more bytes fetched than the file holds");
  if (!ok) {
    Require(!problem.empty(), "a refusal without a reason");
    return 0;
  }
  const std::size_t header = spr ? kSprHeaderSize : kSprite16HeaderSize;
  Require(details.frameCount >= 1 && details.frameCount <= LoadLe16(spr ? data : data + 4),
          "frame count outside what the header claims");
  Require(details.frameCount <= (size - header) / kFrameEntrySize, "more frames than entries the file holds");
  Require(details.hasSize, "a sprite without its first frame's size");
  const FrameEntry first = ParseFrameEntry(data + header);
  Require(details.width == first.width && details.height == first.height, "the first frame's size is not its entry's");
  Require(details.BitDepth() == (spr ? 8u : 16u), "bit depth");
  return 0;
}
