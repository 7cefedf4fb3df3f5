// The thumbnailer's whole path from a sprite file to PNG bytes: decode the
// first frame, convert it to RGBA, scale it down to fit, encode it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "decode/decoder.h"
#include "decode/portable_platform.h"
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

  // Decodes `path` (UTF-16) with DecodeFirstFrame.  On failure Header()
  // still holds what the decoder wrote, for the message.
  HRESULT Decode(const std::u16string& path);

  // The decoder's header buffer (kHeaderBufferSize bytes).
  const uint8_t* Header() const { return header_.data(); }
  // The decoded bitmap; null until a decode succeeded.
  const HeapBitmap* Bitmap() const { return AsHeapBitmap(bitmap_); }

 private:
  void Release();

  PortableBitmapPlatform& platform_;
  std::vector<uint8_t> header_ = std::vector<uint8_t>(kHeaderBufferSize, 0);
  BitmapHandle bitmap_ = nullptr;
};

// Largest -s value that means anything: no frame side is longer.
constexpr uint32_t kLargestFrameSide = 65535;

// Encodes a decoded frame as an RGBA PNG into `sink`: at its own size when
// `size` is 0, otherwise scaled down to fit in size x size if it is larger.
// Empty on success, otherwise what went wrong.
std::string WriteThumbnailPng(const uint8_t* header, const HeapBitmap& bitmap, uint32_t size,
                              const ByteSink& sink);

}  // namespace tamsorel::thumbnailer
