// What the image plug-ins (the gdk-pixbuf loader and the Qt handler) share:
// a sprite file held in memory, its frames as the viewers show them, and
// each frame decoded straight into the host's RGBA memory with the one
// conversion every front end uses.
//
// A viewer shows frame 1 and, after it, every other frame whose directory
// entry is sound; a file whose frame 1 cannot be decoded is refused with
// the reason, so that a host never shows a file it cannot show in full at
// first sight.  Bounds: a file is read whole up to kMaxFileBytes; a frame
// obeys the core's pixel limit, and one frame is decoded at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sprite/byte_source.h"
#include "image/sheet.h"
#include "sprite/sprite.h"

namespace tamsorel {
namespace plugins {

// The limits a plug-in hands the core, unless its host sets others: a file
// is read whole up to heldFileBytes (1 GiB, the bound on what an animation
// may hold), a frame within framePixelBytes.
constexpr SpriteLimits kPluginLimits{};

// The header and the first directory entry, the first bytes a file has:
// enough to know the size of frame 1 without reading anything else.
enum class HeaderState { kNeedMore, kReady, kRefused };
struct FirstFrame {
  uint32_t width = 0;
  uint32_t height = 0;
};
// Looks at the first `size` bytes of a file of the given kind (`spr`: SPR,
// otherwise S16 or C16).  kNeedMore until the entry of frame 1 has arrived;
// kRefused (with the reason) when the header already shows the file cannot
// be shown: no frames, or a first frame without pixels or beyond the pixel
// limit.
HeaderState ReadFirstFrame(const uint8_t* bytes, std::size_t size, bool spr, FirstFrame* first,
                           std::string* problem, const SpriteLimits& limits = kPluginLimits);

// Whether a file's first bytes are those of a sprite at all, for a host
// that picks a handler by content (a file named .s16 may be a PNG, one
// named .spr a PPM): `bytes` holds the file's first `size` bytes (at least
// kProbeBytes, or the whole file), `fileSize` the file's length, or
// kUnknownFileSize.
//   S16, C16: the flags are those a writer sets (0 to 3, as no other bit
//             has a meaning), the header claims frames, and frame 1's entry
//             has pixels that start after the entry itself (C16: after its
//             line table) and, when the length is known, inside the file.
//   SPR:      whose bytes say little, only with the length known: the whole
//             directory the header claims fits in the file, and frame 1's
//             pixels lie inside the file after it.
// A file truncated inside frame 1's pixels is a sprite for S16 and C16 (it
// shows with the missing pixels transparent), not for SPR.
constexpr uint64_t kUnknownFileSize = UINT64_MAX;
bool LooksLikeSprite(const uint8_t* bytes, std::size_t size, uint64_t fileSize, bool spr);

class SpriteFrames {
 public:
  // Opens the sprite in `bytes`, which must outlive this object, and checks
  // that frame 1 decodes.  False with the reason in words otherwise.
  bool Open(const uint8_t* bytes, std::size_t size, bool spr, std::string* problem,
            const SpriteLimits& limits = kPluginLimits);
  // The same without decoding anything: the header and the directory only
  // (frame 1 must be readable as far as the directory tells), for hosts
  // that learn the frames before they take memory for pixels.  Frame 1 is
  // decoded by the first DecodeRgba then, which may still fail (out of
  // memory).
  bool OpenDirectory(const uint8_t* bytes, std::size_t size, bool spr, std::string* problem,
                     const SpriteLimits& limits = kPluginLimits);

  // The frames shown, in file order (frame 1 first).
  uint32_t Count() const { return static_cast<uint32_t>(frames_.size()); }
  uint32_t Width(uint32_t shown) const { return frames_[shown].width; }
  uint32_t Height(uint32_t shown) const { return frames_[shown].height; }
  // The frame's number in the file, from 1 (as `tamsorel` numbers them).
  uint32_t FileIndex(uint32_t shown) const { return frames_[shown].index + 1; }

  // Writes shown frame `shown` as Height() rows of Width() RGBA pixels
  // (straight alpha), `stride` bytes apart, into `target`.  Empty on
  // success; otherwise the reason, and `target` is left fully transparent.
  std::string DecodeRgba(uint32_t shown, uint8_t* target, std::size_t stride);

 private:
  struct Shown {
    uint32_t index;
    uint32_t width;
    uint32_t height;
  };
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<Sprite> sprite_;
  std::vector<Shown> frames_;
  StoredFrame scratch_;
  uint32_t held_ = UINT32_MAX;  // the file index of the frame in scratch_, if any
};

}  // namespace plugins
}  // namespace tamsorel
