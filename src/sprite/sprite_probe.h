// The one reading of a sprite's header: kind, pixel format, the frame count
// the header claims and frame 1's directory entry, from the fewest bytes
// that hold them.  Every surface starts here: the thumbnail decoder, the
// frame directory (and through it Details, the preview pane, `tamsorel` and
// the image plug-ins), and the plug-ins' checks of a file's content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sprite/sprite_format.h"

namespace tamsorel {

enum class SpriteKind { kSpr, kS16, kC16 };
enum class PixelFormat { kIndexed8, kRgb565, kRgb555 };

// "spr", "s16", "c16" and "indexed8", "rgb565", "rgb555".
const char* KindName(SpriteKind kind);
const char* FormatName(PixelFormat format);
// A limit in bytes as messages give it: "256 MiB", or "1000 bytes".
std::string MiBText(uint64_t bytes);
// Bytes one stored pixel takes: 1 (indexed) or 2.
inline uint32_t BytesPerPixel(PixelFormat format) { return format == PixelFormat::kIndexed8 ? 1 : 2; }

struct SpriteProbe {
  enum class Result {
    kSprite,     // kind, format, claimedFrames (and firstEntry) below
    kNeedMore,   // the bytes given end before the answer: give bytesNeeded
    kNotSprite,  // problem says why
  };
  Result result = Result::kNotSprite;
  std::size_t bytesNeeded = 0;  // kNeedMore: the length of prefix that answers
  const char* problem = "";     // kNotSprite: why, in words
  SpriteKind kind = SpriteKind::kSpr;
  PixelFormat format = PixelFormat::kIndexed8;
  uint32_t headerBytes = 0;    // where frame 1's entry starts
  uint32_t claimedFrames = 0;  // as the header says, at least 1
  // False when the file ends before frame 1's entry (only when the bytes
  // given are the whole file): a sprite whose frames are all missing.
  bool hasFirstEntry = false;
  FrameEntry firstEntry;
};

// The bytes a probe needs at most: the 16-bit header and one entry.
constexpr std::size_t kProbeBytes = kSprite16HeaderSize + kFrameEntrySize;

// Probes the first `size` bytes of a file.  `spr` says the file is SPR (its
// name ends in "spr"; SPR has no signature of its own), otherwise the flags
// tell S16 from C16.  `whole` says the bytes are the whole file: then an
// answer is always given (a file too short for its header is no sprite),
// otherwise a prefix too short to answer gives kNeedMore.
SpriteProbe ProbeSprite(const uint8_t* bytes, std::size_t size, bool spr, bool whole);

}  // namespace tamsorel
