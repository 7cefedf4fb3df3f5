// A sprite's frames as an image decoder hands them to Windows' imaging
// programs: every frame the directory holds, in file order, each as 32-bit
// blue-green-red-alpha pixels with straight alpha (transparent pixels have
// alpha 0), and any rectangle of a frame copied into the caller's memory
// with the caller's stride.  The colours are the one RGBA conversion's;
// frames obey the core's bounds.  Portable: the WIC decoder class of
// Tamsorel.dll is a thin Windows edge over this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sprite/byte_source.h"
#include "sprite/sprite.h"

namespace tamsorel {

// Whether the first bytes of a file are the header of an S16 or C16 file:
// flags a writer sets, at least one frame, and a first entry whose frame has
// a size and whose pixels start after the directory's first entry.  What an
// image decoder tells from the header alone, without decoding.
bool Is16BitSpriteHeader(const uint8_t* bytes, std::size_t size);

class BgraFrames {
 public:
  // Opens the sprite `source` holds; `spr` says the file is SPR (its bytes
  // cannot say so).  Null, with the reason in words, when it is no sprite.
  static std::unique_ptr<BgraFrames> Open(std::unique_ptr<ByteSource> source, bool spr, std::string* problem,
                                          const SpriteLimits& limits = {});

  SpriteKind Kind() const { return sprite_->Kind(); }
  // The frames the directory holds (frames whose entry lies beyond the end
  // of the file are not counted).
  uint32_t Count() const { return sprite_->HeldFrames(); }
  uint32_t Width(uint32_t index) const { return sprite_->Frame(index).width; }
  uint32_t Height(uint32_t index) const { return sprite_->Frame(index).height; }
  // Why frame `index` cannot be handed out (the directory finds it damaged
  // or without pixels); empty when it can.
  std::string Damage(uint32_t index) const;

  enum class Copied { kDone, kBadRectangle, kBadStride, kBufferTooSmall, kUnreadable, kNoMemory };
  // Copies the part of frame `index` from (x, y), `width` x `height` pixels
  // (inside the frame), as rows of width * 4 bytes `stride` bytes apart into
  // `buffer` of `bufferSize` bytes; only those bytes of each row are
  // written.  The frame is decoded at its first copy and kept for the
  // copies that follow.  On a failure nothing is written; `*problem` says
  // why for kUnreadable.
  Copied Copy(uint32_t index, uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint32_t stride,
              uint32_t bufferSize, uint8_t* buffer, std::string* problem);

 private:
  BgraFrames() = default;

  std::unique_ptr<ByteSource> source_;
  std::unique_ptr<Sprite> sprite_;
  StoredFrame held_;
  uint32_t heldIndex_ = UINT32_MAX;  // the frame in held_, if any
};

}  // namespace tamsorel
