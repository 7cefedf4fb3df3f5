#include "thumbnailer/thumbnail.h"

#include "frames/rgba.h"

namespace tamsorel::thumbnailer {

HRESULT DecodedSprite::Decode(const std::u16string& path) {
  Release();
  BitmapHandle made = nullptr;
  const HRESULT hr = DecodeFirstFrame(platform_, path.c_str(), header_.data(), &made);
  if (hr == S_OK) bitmap_ = made;
  return hr;
}

void DecodedSprite::Release() {
  if (bitmap_) platform_.DeleteBitmap(bitmap_);
  bitmap_ = nullptr;
}

std::string WriteThumbnailPng(const uint8_t* header, const HeapBitmap& bitmap, uint32_t size,
                              const ByteSink& sink) {
  FrameView view;
  std::string problem;
  if (!ViewOfBitmap(header, bitmap.pixels, bitmap.pixelBytes, &view, &problem)) return problem;
  FrameRgbaRows frame(view);
  const Extent fitted = FitWithin(frame.Width(), frame.Height(), size);
  if (fitted == Extent{frame.Width(), frame.Height()}) return WritePng(frame, sink);
  ScaledRows scaled(frame, fitted);
  return WritePng(scaled, sink);
}

}  // namespace tamsorel::thumbnailer
