// The thumbnailer's whole path from a sprite file to PNG bytes: decode the
// first frame, convert it to RGBA, scale it down to fit, encode it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "sprite/first_frame.h"
#include "platform/portable_platform.h"
#include "png/png_writer.h"

namespace tamsorel::thumbnailer {

// The first frame of one sprite, decoded by a portable platform.  Owns the
// bitmap and gives it back to the platform when it goes.
class DecodedSprite {
 public:
  explicit DecodedSprite(PortableBitmapPlatform& platform) : platform_(platform) {}
  ~DecodedSprite() { Release(); }
  DecodedSprite(const DecodedSprite&) = delete;
  DecodedSprite& operator=(const DecodedSprite&) = delete;

  // Decodes `path` (UTF-16) with DecodeFirstFrame.  Frame() then says
  // why it failed, or what it made.
  HRESULT Decode(const std::u16string& path);

  // The decoded frame: its format, size and the rows of its bitmap, valid
  // while this object holds the bitmap (pixels null until a decode
  // succeeded).
  const FirstFrame& Frame() const { return frame_; }
  // The bitmap as Explorer gets it: its description (kHeaderBufferSize
  // bytes) and its memory, null until a decode succeeded.
  const uint8_t* Header() const { return header_.data(); }
  const HeapBitmap* Bitmap() const { return AsHeapBitmap(bitmap_); }

 private:
  void Release();

  PortableBitmapPlatform& platform_;
  std::vector<uint8_t> header_ = std::vector<uint8_t>(kHeaderBufferSize, 0);
  BitmapHandle bitmap_ = nullptr;
  FirstFrame frame_;
};

// Largest -s value that means anything: no frame side is longer.
constexpr uint32_t kLargestFrameSide = 65535;

// Encodes a decoded frame as an RGBA PNG into `sink`: at its own size when
// `size` is 0, otherwise scaled down to fit in size x size if it is larger.
// Empty on success, otherwise what went wrong.
std::string WriteThumbnailPng(const FirstFrame& frame, uint32_t size, const ByteSink& sink);

}  // namespace tamsorel::thumbnailer
