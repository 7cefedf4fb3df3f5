#include "thumbnailer/thumbnail.h"

#include "image/rgba.h"

namespace tamsorel::thumbnailer {

HRESULT DecodedSprite::Decode(const std::u16string& path) {
  Release();
  BitmapHandle made = nullptr;
  const HRESULT hr = DecodeFirstFrame(platform_, path.c_str(), header_.data(), &made, &frame_);
  if (hr == S_OK) bitmap_ = made;
  return hr;
}

void DecodedSprite::Release() {
  if (bitmap_) platform_.DeleteBitmap(bitmap_);
  bitmap_ = nullptr;
  frame_ = FirstFrame{};
}

std::string WriteThumbnailPng(const FirstFrame& decoded, uint32_t size, const ByteSink& sink) {
  if (!decoded.pixels) return "no decoded frame";
  // The decoder's rows as they lie in the bitmap: no header to read back.
  FrameRgbaRows frame(ViewOf(decoded));
  const Extent fitted = FitWithin(frame.Width(), frame.Height(), size);
  if (fitted == Extent{frame.Width(), frame.Height()}) return WritePng(frame, sink);
  ScaledRows scaled(frame, fitted);
  return WritePng(scaled, sink);
}

}  // namespace tamsorel::thumbnailer
