// libFuzzer target for the thumbnailer's whole PNG path.  The first input
// byte picks the file name (low two bits: the kind, as in the decoder's
// target) and the thumbnail size (the rest); the other bytes are the file.
// A frame that decodes (up to kFuzzPixels) is converted, scaled and
// encoded; the PNG must then read back with libpng at exactly the fitted
// size, within SIZE x SIZE, with alpha only 0 or 255 when nothing was
// scaled.  Pixel memory is guarded as in the decoder's target.
#include <png.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sprite/first_frame.h"
#include "fuzz_require.h"
#include "test_platforms.h"
#include "image/rgba.h"
#include "thumbnailer/thumbnail.h"

namespace {

// Small bitmaps only: larger ones reach no other code, and encoding them
// would take most of the run.  The pixel memory admits the widest and the
// tallest frames (65535 pixels a side), whose rows and columns sum the most
// pixels in the scaler; frames of more than kFuzzPixels (as many pixels as
// those) are decoded but not encoded: they only run the same loops longer.
constexpr std::size_t kFuzzPixelBytes = std::size_t{256} << 10;
constexpr uint64_t kFuzzPixels = uint64_t{1} << 16;

using tamsorel::fuzz::Require;

// The decoded frame as a PNG of the thumbnail's size, read back with libpng.
void CheckPng(const tamsorel::thumbnailer::DecodedSprite& sprite, uint32_t thumbSize,
              const tamsorel::test::GuardedMemoryPlatform& platform) {
  using namespace tamsorel;
  using namespace tamsorel::thumbnailer;
  const HeapBitmap& bitmap = *sprite.Bitmap();
  std::vector<uint8_t> png;
  const std::string problem = WriteThumbnailPng(sprite.Frame(), thumbSize,
                                                [&png](const uint8_t* bytes, std::size_t count) {
                                                  png.insert(png.end(), bytes, bytes + count);
                                                  return true;
                                                });
  Require(problem.empty(), "a decoded frame did not become a PNG");
  Require(platform.GuardsIntact(), "write outside the pixel memory");

  const Extent fitted = FitWithin(static_cast<uint32_t>(bitmap.width), static_cast<uint32_t>(bitmap.height),
                                  thumbSize);
  Require(fitted.width >= 1 && fitted.height >= 1, "an empty side");
  Require(thumbSize == 0 || (fitted.width <= thumbSize && fitted.height <= thumbSize), "larger than SIZE");

  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  Require(png_image_begin_read_from_memory(&image, png.data(), png.size()) != 0, "libpng cannot read it");
  Require(image.width == fitted.width && image.height == fitted.height, "PNG size is not the fitted size");
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  Require(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0, "libpng cannot decode it");
  const bool scaled = fitted.width != static_cast<uint32_t>(bitmap.width) ||
                      fitted.height != static_cast<uint32_t>(bitmap.height);
  if (!scaled) {
    for (std::size_t i = 3; i < pixels.size(); i += 4)
      Require(pixels[i] == 0 || pixels[i] == 255, "unscaled alpha other than 0 or 255");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace tamsorel;
  using namespace tamsorel::thumbnailer;
  if (size < 1) return 0;
  static const char16_t* const kNames[] = {u"fuzz.spr", u"fuzz.s16", u"FUZZ.SPR", u"c16"};
  static const uint32_t kSizes[] = {0, 1, 2, 3, 5, 8, 13, 16, 31, 32, 64, 100, 128, 255, 256, 65535};
  const char16_t* name = kNames[data[0] & 3];
  const uint32_t thumbSize = kSizes[(data[0] >> 2) & 15];

  test::GuardedMemoryPlatform platform(kFuzzPixelBytes);
  platform.AddFileView(name, data + 1, size - 1);
  {
    DecodedSprite sprite(platform);
    if (sprite.Decode(name) != S_OK) return 0;
    const HeapBitmap& bitmap = *sprite.Bitmap();
    if (uint64_t{static_cast<uint32_t>(bitmap.width)} * static_cast<uint32_t>(bitmap.height) <= kFuzzPixels)
      CheckPng(sprite, thumbSize, platform);
  }
  Require(platform.LiveBitmaps() == 0 && platform.LiveFiles() == 0, "handle left open");
  return 0;
}
