// Every frame of a sprite file.  Sprite::Open reads the header and the frame
// directory (never pixels); DecodeFrame reads one frame's pixels as they are
// stored, C16 lines expanded by the one expander the thumbnail uses too
// (decode/c16_lines.h), so every surface shows the same pixels.
//
// A frame that cannot be located at all is damaged: no entry in the file,
// no pixels, more pixels than the limit, pixels that would start inside the
// header and the entries the file holds or past the end of the file, a C16
// line table cut off.  It is reported by its index with the reason in
// words, and the other frames stay readable.  A frame that can be located
// but whose lines do not add up to its width, or whose pixels the file cuts
// off, is irregular: it is decoded all the same (StoredFrame::irregular says
// what was wrong).
//
// Directory layouts, as files hold them (little-endian, absolute offsets):
//   SPR:  frameCount (u16), frameCount x FrameEntry, pixel data
//   S16:  flags (u32), frameCount (u16), frameCount x FrameEntry, pixel data
//   C16:  flags (u32), frameCount (u16), then per frame its FrameEntry and
//         (height - 1) u32 offsets of its lines 2..height
//
// Bounds: reading the directory costs reads proportional to the bytes the
// file holds, whatever frameCount claims; a frame's pixels are limited by
// the host's SpriteLimits, as a thumbnail's are; decoding does work bounded by the bytes
// read and the pixels produced, with at most kIdleTagAllowance empty runs
// per C16 frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sprite/read_buffer.h"
#include "sprite/sprite_probe.h"
#include "sprite/byte_source.h"

namespace tamsorel {

// One frame as the directory describes it.
struct FrameInfo {
  uint32_t offset = 0;  // pixel data (SPR, S16) or first line (C16)
  uint16_t width = 0;
  uint16_t height = 0;
  bool hasEntry = false;  // false: the entry lies past the end of the file
  std::string damaged;    // empty when the directory finds nothing wrong
  // SPR, S16: why the frame is irregular, as far as the directory tells
  // (pixel data cut off by the end of the file); empty otherwise.
  std::string irregular;
};

// One frame's pixels as stored, rows packed top to bottom: palette indices
// (kIndexed8) or little-endian 16-bit values.  C16 transparent runs are 0.
struct StoredFrame {
  uint32_t width = 0;
  uint32_t height = 0;
  PixelFormat format = PixelFormat::kIndexed8;
  std::vector<uint8_t> pixels;
  // Empty for a regular frame; otherwise the first thing about it that does
  // not add up (a C16 line longer or shorter than the frame is wide, pixels
  // cut off by the end of the file), in words.  Such a frame is decoded all
  // the same, as the thumbnail shows it: pixels the file does not give stay
  // transparent.
  std::string irregular;

  std::size_t RowBytes() const { return std::size_t{width} * BytesPerPixel(format); }
};

class Sprite {
 public:
  // Reads the header and the directory of `source`, which must outlive the
  // Sprite.  `spr` says the file is SPR (its name ends in "spr", see
  // IsSprPath); otherwise the header's flags tell S16 from C16.  Null when
  // the bytes are no sprite at all, with the reason in `*problem`.
  //
  // kDirectory reads the fewest bytes that give every count and frame
  // entry: the header and the entries, each byte once and nothing else (no
  // C16 line table), for hosts that show details without pixels.  Frames
  // still decode, through reads of their own.
  //
  // `limits.framePixelBytes` is the host's limit on a frame's pixels.
  enum class Reading { kFrames, kDirectory };
  static std::unique_ptr<Sprite> Open(ByteSource& source, bool spr, std::string* problem,
                                      Reading reading = Reading::kFrames, const SpriteLimits& limits = {});

  SpriteKind Kind() const { return kind_; }
  PixelFormat Format() const { return format_; }
  bool Compressed() const { return kind_ == SpriteKind::kC16; }
  // Three counts of frames, each for what it says: FrameCount as the header
  // claims it, entries beyond the end of the file included; HeldFrames the
  // entries the file has room for (frames 1 .. HeldFrames); ReadableFrames
  // those of them in which the directory finds nothing wrong.
  uint32_t FrameCount() const { return frameCount_; }
  uint32_t HeldFrames() const { return static_cast<uint32_t>(entries_.size()); }
  uint32_t ReadableFrames() const { return readableFrames_; }
  // Frame `index` (from 0, below FrameCount()); frames past HeldFrames()
  // all share one description.  Valid while the Sprite lives.
  const FrameInfo& Frame(uint32_t index) const;

  // Decodes frame `index` into `*out`, reusing its memory.  Empty on
  // success; otherwise why the frame cannot be read (then `*out` holds no
  // frame).
  std::string DecodeFrame(uint32_t index, StoredFrame* out);

 private:
  struct Entry {
    FrameInfo info;
    uint64_t tableAt = 0;  // C16: where the frame's line offsets start
    // C16: where lineTables_ holds the frame's line offsets (kept when the
    // directory is read), or kNotKept.
    std::size_t keptAt = kNotKept;
  };
  static constexpr std::size_t kNotKept = SIZE_MAX;

  Sprite(ByteSource& source, uint32_t capacity, Reading reading, const SpriteLimits& limits);
  bool ReadExactly(uint64_t offset, void* target, uint32_t count);
  bool ReadDirectory(bool spr, std::string* problem);
  void CheckPixelsOf(Entry& entry, uint64_t directoryEnd) const;
  void KeepLinesOf(Entry& entry);
  std::string ExpandLines(const Entry& entry, StoredFrame* out);

  ByteSource& source_;
  const Reading reading_;
  const SpriteLimits limits_;
  std::unique_ptr<uint8_t[]> storage_;
  ReadBuffer buffer_;
  SpriteKind kind_ = SpriteKind::kSpr;
  PixelFormat format_ = PixelFormat::kIndexed8;
  uint32_t frameCount_ = 0;
  uint32_t readableFrames_ = 0;
  std::vector<Entry> entries_;       // those the file holds, from frame 1 on
  std::vector<uint8_t> lineTable_;   // C16 scratch: one frame's line offsets
  // C16: the line offsets of readable frames, as far as kKeptLineTableBytes
  // allows, so that decoding frames one after the other reads their lines
  // as one sequence instead of going back to the directory for every frame.
  std::vector<uint8_t> lineTables_;
};

// Whether a frame is worth decoding: the directory found it whole enough to
// locate (it may still be irregular).
inline bool Readable(const FrameInfo& info) { return info.hasEntry && info.damaged.empty(); }

}  // namespace tamsorel
