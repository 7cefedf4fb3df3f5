#include "wic/bgra_frames.h"

#include <new>
#include <vector>

#include "image/rgba.h"
#include "sprite/sprite_probe.h"

namespace tamsorel {

bool Is16BitSpriteHeader(const uint8_t* bytes, std::size_t size) {
  // The probe reads the format and compression bits alone; a header a
  // writer made has no other bit set.
  if (size < 4 || LoadLe32(bytes) > 3) return false;
  const SpriteProbe probe = ProbeSprite(bytes, size, /*spr=*/false, /*whole=*/false);
  if (probe.result != SpriteProbe::Result::kSprite || !probe.hasFirstEntry) return false;
  const FrameEntry& first = probe.firstEntry;
  return first.width > 0 && first.height > 0 && first.offset >= probe.headerBytes + kFrameEntrySize;
}

std::unique_ptr<BgraFrames> BgraFrames::Open(std::unique_ptr<ByteSource> source, bool spr, std::string* problem,
                                             const SpriteLimits& limits) {
  std::unique_ptr<BgraFrames> frames(new (std::nothrow) BgraFrames());
  if (!frames) {
    *problem = "out of memory";
    return nullptr;
  }
  frames->source_ = std::move(source);
  frames->sprite_ = Sprite::Open(*frames->source_, spr, problem, Sprite::Reading::kFrames, limits);
  if (!frames->sprite_) return nullptr;
  return frames;
}

std::string BgraFrames::Damage(uint32_t index) const {
  if (index >= Count()) return "no such frame";
  const FrameInfo& frame = sprite_->Frame(index);
  if (!frame.damaged.empty()) return frame.damaged;
  if (frame.width == 0 || frame.height == 0) return "the frame has no pixels";
  return std::string();
}

BgraFrames::Copied BgraFrames::Copy(uint32_t index, uint32_t x, uint32_t y, uint32_t width, uint32_t height,
                                    uint32_t stride, uint32_t bufferSize, uint8_t* buffer, std::string* problem) {
  *problem = Damage(index);
  if (!problem->empty()) return Copied::kUnreadable;
  const uint64_t frameWidth = Width(index), frameHeight = Height(index);
  if (uint64_t{x} + width > frameWidth || uint64_t{y} + height > frameHeight) return Copied::kBadRectangle;
  const uint64_t rowBytes = uint64_t{width} * 4;
  if (stride < rowBytes) return Copied::kBadStride;
  if (width == 0 || height == 0) return Copied::kDone;
  if (uint64_t{stride} * (height - 1) + rowBytes > bufferSize) return Copied::kBufferTooSmall;
  try {
    if (heldIndex_ != index) {
      heldIndex_ = UINT32_MAX;
      *problem = sprite_->DecodeFrame(index, &held_);
      if (!problem->empty()) return Copied::kUnreadable;
      heldIndex_ = index;
    }
    FrameRgbaRows rows(ViewOf(held_));
    std::vector<uint8_t> rgba(static_cast<std::size_t>(frameWidth) * 4);
    for (uint32_t row = 0; row < height; ++row) {
      rows.ReadRow(y + row, rgba.data());
      const uint8_t* from = rgba.data() + std::size_t{x} * 4;
      uint8_t* to = buffer + std::size_t{stride} * row;
      for (uint32_t column = 0; column < width; ++column, from += 4, to += 4) {
        to[0] = from[2];  // blue
        to[1] = from[1];
        to[2] = from[0];  // red
        to[3] = from[3];
      }
    }
    return Copied::kDone;
  } catch (const std::bad_alloc&) {
    heldIndex_ = UINT32_MAX;
    return Copied::kNoMemory;
  }
}

}  // namespace tamsorel
