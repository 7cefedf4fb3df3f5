// What a file's details show of a sprite: the first frame's size, the bit
// depth, the number of frames and the pixel format, read from the header
// and the frame directory alone.  Portable; the property handler of the DLL
// (property_store.h) turns these into shell properties.
//
// The details never cost a pixel read.  The frame core reads through a
// buffer that fills in large blocks, so the directory is read through a
// DirectoryWindow: a source that serves the header and the frame directory
// and nothing past them, and that keeps the few bytes the window's own
// bounds were found from, so that no byte is fetched twice when the
// directory fits in the core's first read (the whole file below 256 KiB,
// 64 KiB otherwise).  A larger C16 directory may have line tables read a
// second time when the core checks them, still never a byte past it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frames/byte_source.h"
#include "frames/sprite.h"

namespace tamsorel {

struct SpriteDetails {
  SpriteKind kind = SpriteKind::kSpr;
  PixelFormat format = PixelFormat::kIndexed8;
  // The first frame's size; false when the file ends before its entry.
  bool hasSize = false;
  uint32_t width = 0;
  uint32_t height = 0;
  // Frames whose directory entries the file holds (a header may claim
  // more than the file has room for).
  uint32_t frameCount = 0;

  uint32_t BitDepth() const { return format == PixelFormat::kIndexed8 ? 8 : 16; }
};

// "8-bit palette", "16-bit 5-6-5", "16-bit 5-5-5"; C16 adds ", compressed".
std::string PixelFormatText(SpriteKind kind, PixelFormat format);
// "W x H", as Windows writes an image's dimensions.
std::string DimensionsText(uint32_t width, uint32_t height);

// A view of `inner` that reads nothing at or after `end`: reads are cut
// there, as if the file ended, while Size() stays the file's, so that the
// frame core still checks frames against the whole file.  Bytes handed to
// Keep are served from memory instead of `inner`.
class DirectoryWindow final : public ByteSource {
 public:
  explicit DirectoryWindow(ByteSource& inner) : inner_(inner) {}

  // Finds where the header and frame directory end (SPR and S16: from the
  // claimed frame count; C16: by following the entries from one to the
  // next, past each frame's line table), cut at the end of the file.
  // False when the header cannot be read.
  bool FindEnd(bool spr);
  uint64_t End() const { return end_; }
  // Where the directory would end if the file held all of it (at least
  // End()): the claimed entries' end for SPR and S16, the end of the line
  // table that runs past the end of the file for C16.
  uint64_t ClaimedEnd() const { return claimedEnd_; }
  // Bytes fetched from `inner` so far, by FindEnd and by reads.
  uint64_t Fetched() const { return fetched_; }

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override;
  uint64_t Size() const override { return inner_.Size(); }

 private:
  // Reads `count` bytes at `offset` from `inner` and keeps them.
  bool FetchAndKeep(uint64_t offset, uint32_t count, uint8_t* target);
  bool FetchInner(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained);

  struct Kept {
    uint64_t offset;
    uint8_t bytes[8];
    uint32_t count;
  };
  ByteSource& inner_;
  uint64_t end_ = 0;
  uint64_t claimedEnd_ = 0;
  uint64_t fetched_ = 0;
  std::vector<Kept> kept_;  // by offset, none overlapping
};

// Reads the details of the sprite in `source` (`spr`: the file's name ends
// in "spr").  False, with the reason in `*problem`, when the bytes are no
// sprite: the frame core finds no header or no frames, or no frame is
// readable and the first frame's entry does not describe one either (no
// size, or pixels that would start inside its own entry or beyond both the
// end of the file and the end of the directory the header claims).  A damaged sprite gives what could be read.
// `*fetched`, when given, receives the bytes read from `source`.
bool ReadSpriteDetails(ByteSource& source, bool spr, SpriteDetails* details, std::string* problem,
                       uint64_t* fetched = nullptr);

}  // namespace tamsorel
