#include "sprite/sprite_details.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "sprite/sprite_format.h"

namespace tamsorel {

std::string PixelFormatText(SpriteKind kind, PixelFormat format) {
  std::string text = format == PixelFormat::kIndexed8 ? "8-bit palette"
                     : format == PixelFormat::kRgb565 ? "16-bit 5-6-5"
                                                      : "16-bit 5-5-5";
  if (kind == SpriteKind::kC16) text += ", compressed";
  return text;
}

std::string DimensionsText(uint32_t width, uint32_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

namespace {

// Counts the bytes a source hands out.
class CountedSource final : public ByteSource {
 public:
  explicit CountedSource(ByteSource& inner) : inner_(inner) {}
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    const bool ok = inner_.ReadAt(offset, target, count, obtained);
    fetched += std::min(*obtained, count);
    return ok;
  }
  uint64_t Size() const override { return inner_.Size(); }

  uint64_t fetched = 0;

 private:
  ByteSource& inner_;
};

}  // namespace

bool ReadSpriteDetails(ByteSource& source, bool spr, SpriteDetails* details, std::string* problem, uint64_t* fetched) {
  CountedSource counted(source);
  struct Report {
    const CountedSource& counted;
    uint64_t* fetched;
    ~Report() {
      if (fetched) *fetched = counted.fetched;
    }
  } report{counted, fetched};
  try {
    const std::unique_ptr<Sprite> sprite = Sprite::Open(counted, spr, problem, Sprite::Reading::kDirectory);
    if (!sprite) return false;

    SpriteDetails d;
    d.kind = sprite->Kind();
    d.format = sprite->Format();
    d.frameCount = sprite->HeldFrames();
    d.claimedFrameCount = sprite->FrameCount();
    const FrameInfo& first = sprite->Frame(0);
    d.hasSize = first.hasEntry;
    d.width = first.width;
    d.height = first.height;
    const uint64_t headerSize = spr ? kSprHeaderSize : kSprite16HeaderSize;
    // Where the directory the header claims would end, at the least: past
    // the claimed entries, and for C16 past the line table of the last entry
    // held, which may run past the end of the file.
    uint64_t claimedEnd = headerSize + uint64_t{kFrameEntrySize} * sprite->FrameCount();
    const FrameInfo& last = sprite->Frame(sprite->HeldFrames() - 1);
    if (d.kind == SpriteKind::kC16 && last.height > 0)
      claimedEnd = std::max(claimedEnd, source.Size() + 4 * (uint64_t{last.height} - 1));
    const bool firstDescribesAFrame = first.hasEntry && first.width > 0 && first.height > 0 &&
                                      first.offset >= headerSize + kFrameEntrySize &&
                                      first.offset <= std::max(source.Size(), claimedEnd);
    if (sprite->ReadableFrames() == 0 && !firstDescribesAFrame) {
      *problem = "its frame directory describes no frame";
      return false;
    }
    *details = d;
    return true;
  } catch (const std::bad_alloc&) {
    *problem = "out of memory";
    return false;
  }
}

}  // namespace tamsorel
