// libFuzzer target for writing sprites.  Input: a selector byte, then data.
//   bit 7 clear: the data is RGBA frames (a width byte, a height byte, then
//     the pixels, repeated); they are quantised for the kind and format the
//     selector names, written, and read back: the values read are the
//     quantised ones, and writing them again gives the same bytes.
//   bit 7 set: the data is a file of the kind the selector names; every
//     frame that reads back regular is written again and read back the same.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_require.h"
#include "sprite/byte_source.h"
#include "sprite/sprite.h"
#include "write/sprite_writer.h"

namespace {

using tamsorel::PixelFormat;
using tamsorel::SpriteKind;
using tamsorel::StoredValues;
using tamsorel::fuzz::Require;

constexpr std::size_t kPixelBudget = 1 << 16;

std::vector<StoredValues> ReadAll(const std::vector<uint8_t>& bytes, bool spr, bool regularOnly) {
  tamsorel::MemorySource source(bytes.data(), bytes.size());
  std::string problem;
  std::vector<StoredValues> frames;
  std::unique_ptr<tamsorel::Sprite> sprite = tamsorel::Sprite::Open(source, spr, &problem);
  if (!sprite) return frames;
  std::size_t budget = kPixelBudget;
  tamsorel::StoredFrame stored;
  for (uint32_t i = 0; i < sprite->HeldFrames() && i < 64; ++i) {
    const tamsorel::FrameInfo& info = sprite->Frame(i);
    const std::size_t pixels = std::size_t{info.width} * info.height;
    if (pixels == 0 || pixels > budget || !info.damaged.empty()) continue;
    budget -= pixels;
    if (!sprite->DecodeFrame(i, &stored).empty()) continue;
    if (regularOnly && !stored.irregular.empty()) continue;
    StoredValues f{stored.width, stored.height, {}};
    const bool wide = stored.format != PixelFormat::kIndexed8;
    for (std::size_t p = 0; p < pixels; ++p)
      f.values.push_back(wide ? static_cast<uint16_t>(stored.pixels[2 * p] | stored.pixels[2 * p + 1] << 8)
                              : stored.pixels[p]);
    frames.push_back(f);
  }
  return frames;
}

bool SameFrames(const std::vector<StoredValues>& a, const std::vector<StoredValues>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].width != b[i].width || a[i].height != b[i].height || a[i].values != b[i].values) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const SpriteKind kind = (selector & 3) == 0 ? SpriteKind::kSpr : (selector & 3) == 1 ? SpriteKind::kS16
                                                                                      : SpriteKind::kC16;
  const PixelFormat format =
      kind == SpriteKind::kSpr ? PixelFormat::kIndexed8 : (selector & 4) ? PixelFormat::kRgb565 : PixelFormat::kRgb555;
  const bool spr = kind == SpriteKind::kSpr;
  std::vector<StoredValues> frames;
  std::string problem;
  std::vector<uint8_t> bytes;

  if (selector & 0x80) {
    frames = ReadAll(std::vector<uint8_t>(data + 1, data + size), spr, true);
    if (frames.empty()) return 0;
    // Values are written as they are: any 16-bit value fits either format.
    if (!tamsorel::WriteSprite(frames, kind, format, &bytes, &problem)) return 0;
  } else {
    std::size_t at = 1, budget = kPixelBudget;
    uint64_t nudged = 0;
    while (at + 2 <= size && frames.size() < 16) {
      const uint32_t width = data[at] % 17 + 1, height = data[at + 1] % 17 + 1;
      at += 2;
      const std::size_t pixels = std::size_t{width} * height;
      if (pixels > budget) break;
      budget -= pixels;
      tamsorel::RgbaFrame rgba{width, height, std::vector<uint8_t>(pixels * 4, 0)};
      for (std::size_t b = 0; b < rgba.rgba.size() && at < size; ++b) rgba.rgba[b] = data[at++];
      frames.push_back(tamsorel::Quantise(rgba, kind, format, &nudged));
    }
    if (frames.empty()) return 0;
    Require(tamsorel::WriteSprite(frames, kind, format, &bytes, &problem), "quantised frames refused");
  }
  const std::vector<StoredValues> back = ReadAll(bytes, spr, false);
  Require(SameFrames(back, frames), "frames written do not read back the same");
  std::vector<uint8_t> again;
  Require(tamsorel::WriteSprite(back, kind, format, &again, &problem), "frames read back refused");
  Require(again == bytes, "the same frames gave other bytes");
  return 0;
}
