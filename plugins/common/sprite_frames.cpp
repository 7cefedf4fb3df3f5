#include "sprite_frames.h"

#include <cstring>
#include <new>

#include "sprite/frame_fill.h"
#include "sprite/sprite_probe.h"
#include "image/rgba.h"

namespace tamsorel {
namespace plugins {

HeaderState ReadFirstFrame(const uint8_t* bytes, std::size_t size, bool spr, FirstFrame* first,
                           std::string* problem, const SpriteLimits& limits) {
  const SpriteProbe probe = ProbeSprite(bytes, size, spr, /*whole=*/false);
  if (probe.result == SpriteProbe::Result::kNeedMore) return HeaderState::kNeedMore;
  if (probe.result == SpriteProbe::Result::kNotSprite) {
    *problem = probe.problem;
    return HeaderState::kRefused;
  }
  const FrameEntry& entry = probe.firstEntry;
  if (entry.width == 0 || entry.height == 0) {
    *problem = "frame 1 has no pixels";
    return HeaderState::kRefused;
  }
  const std::size_t stride = FrameStride(probe.kind, probe.format, entry.width, /*packed=*/false);
  if (PixelMemoryBytes(stride, entry.height) > limits.framePixelBytes) {
    *problem = "frame 1 has more than the " + MiBText(limits.framePixelBytes) + " of pixels a frame may have";
    return HeaderState::kRefused;
  }
  first->width = entry.width;
  first->height = entry.height;
  return HeaderState::kReady;
}

bool LooksLikeSprite(const uint8_t* bytes, std::size_t size, uint64_t fileSize, bool spr) {
  const std::size_t header = spr ? kSprHeaderSize : kSprite16HeaderSize;
  if (size < header + kFrameEntrySize) return false;
  uint32_t count = 0;
  if (spr) {
    count = LoadLe16(bytes);
  } else {
    if (LoadLe32(bytes) > (SPRITE16_RGB565 | SPRITE16_COMPRESSED)) return false;
    count = LoadLe16(bytes + 4);
  }
  const FrameEntry entry = ParseFrameEntry(bytes + header);
  if (count == 0 || entry.width == 0 || entry.height == 0) return false;
  if (spr) {
    if (fileSize == kUnknownFileSize) return false;
    const uint64_t directoryEnd = header + uint64_t{kFrameEntrySize} * count;
    return directoryEnd <= fileSize && entry.offset >= directoryEnd &&
           entry.offset + uint64_t{entry.width} * entry.height <= fileSize;
  }
  const bool compressed = (LoadLe32(bytes) & SPRITE16_COMPRESSED) != 0;
  const uint64_t entryEnd = header + kFrameEntrySize + (compressed ? 4 * (uint64_t{entry.height} - 1) : 0);
  return entry.offset >= entryEnd && (fileSize == kUnknownFileSize || entry.offset < fileSize);
}

bool SpriteFrames::Open(const uint8_t* bytes, std::size_t size, bool spr, std::string* problem,
                        const SpriteLimits& limits) {
  if (!OpenDirectory(bytes, size, spr, problem, limits)) return false;
  try {
    const std::string why = sprite_->DecodeFrame(0, &scratch_);
    if (why.empty()) {
      held_ = 0;
      return true;
    }
    *problem = "frame 1 cannot be decoded: " + why;
  } catch (const std::bad_alloc&) {
    *problem = "out of memory";
  }
  frames_.clear();
  sprite_.reset();
  return false;
}

bool SpriteFrames::OpenDirectory(const uint8_t* bytes, std::size_t size, bool spr, std::string* problem,
                                 const SpriteLimits& limits) {
  frames_.clear();
  sprite_.reset();
  held_ = UINT32_MAX;
  try {
    source_.reset(new MemorySource(bytes, size));
    sprite_ = Sprite::Open(*source_, spr, problem, Sprite::Reading::kFrames, limits);
    if (!sprite_) return false;
    const uint32_t count = sprite_->FrameCount();
    for (uint32_t i = 0; i < count; ++i) {
      const FrameInfo& info = sprite_->Frame(i);
      if (i == 0 && !Readable(info)) {
        *problem = "frame 1 cannot be read: " + (info.hasEntry ? info.damaged : std::string("its entry lies past the end of the file"));
        sprite_.reset();
        return false;
      }
      // Entries past the end of the file all come after the last one it holds.
      if (!info.hasEntry) break;
      if (Readable(info)) frames_.push_back(Shown{i, info.width, info.height});
    }
  } catch (const std::bad_alloc&) {
    *problem = "out of memory";
    frames_.clear();
    sprite_.reset();
    return false;
  }
  return true;
}

std::string SpriteFrames::DecodeRgba(uint32_t shown, uint8_t* target, std::size_t stride) {
  const Shown& frame = frames_.at(shown);
  const std::size_t rowBytes = std::size_t{frame.width} * 4;
  std::string why;
  try {
    if (held_ != frame.index) {
      held_ = UINT32_MAX;
      why = sprite_->DecodeFrame(frame.index, &scratch_);
      if (why.empty()) held_ = frame.index;
    }
    if (why.empty() && (scratch_.width != frame.width || scratch_.height != frame.height)) {
      why = "the frame decoded to another size than its entry gives";
    }
  } catch (const std::bad_alloc&) {
    why = "out of memory";
  }
  if (!why.empty()) {
    for (uint32_t y = 0; y < frame.height; ++y) std::memset(target + y * stride, 0, rowBytes);
    return why;
  }
  FrameRgbaRows rows(ViewOf(scratch_));
  for (uint32_t y = 0; y < frame.height; ++y) rows.ReadRow(y, target + y * stride);
  return {};
}

}  // namespace plugins
}  // namespace tamsorel
