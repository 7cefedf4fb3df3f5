// libFuzzer target for the WIC decoder's frame access.  Input: a selector
// byte (bit 0: the file is SPR; the rest place a rectangle), then the file.
// Checks: a file the header check accepts opens as S16 or C16; every frame
// copied whole stays within its buffer; a rectangle's copy equals the same
// part of the whole copy; refusals write nothing.  Each input copies at most
// kPixelBudget pixels.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_require.h"
#include "wic/bgra_frames.h"

namespace {

using tamsorel::BgraFrames;
using tamsorel::fuzz::Require;

constexpr uint64_t kPixelBudget = 1 << 16;
// A guard after each buffer: a copy that runs past its size changes it.
constexpr std::size_t kGuard = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const uint8_t* file = data + 1;
  const std::size_t fileSize = size - 1;
  const bool spr = (selector & 1) != 0;

  const bool header16 = tamsorel::Is16BitSpriteHeader(file, fileSize);
  std::string problem;
  std::unique_ptr<BgraFrames> frames =
      BgraFrames::Open(std::make_unique<tamsorel::MemorySource>(file, fileSize), spr, &problem);
  if (header16 && !spr) Require(frames != nullptr, "a recognised 16-bit header that does not open");
  if (!frames) return 0;

  uint64_t budget = kPixelBudget;
  std::vector<uint8_t> whole, part;
  for (uint32_t i = 0; i < frames->Count() && i < 64; ++i) {
    const uint32_t width = frames->Width(i), height = frames->Height(i);
    const uint64_t pixels = uint64_t{width} * height;
    if (pixels == 0 || pixels > budget) continue;
    budget -= pixels;
    const uint32_t stride = width * 4;
    whole.assign(std::size_t{stride} * height + kGuard, 0xA5);
    const BgraFrames::Copied copied =
        frames->Copy(i, 0, 0, width, height, stride, stride * height, whole.data(), &problem);
    for (std::size_t g = 0; g < kGuard; ++g) Require(whole[stride * height + g] == 0xA5, "a copy past its buffer");
    if (copied != BgraFrames::Copied::kDone) {
      Require(!frames->Damage(i).empty() || copied == BgraFrames::Copied::kUnreadable ||
                  copied == BgraFrames::Copied::kNoMemory,
              "a sound frame refused for its own rectangle");
      for (std::size_t b = 0; b < std::size_t{stride} * height; ++b)
        Require(whole[b] == 0xA5, "a refused copy wrote");
      continue;
    }
    for (uint32_t p = 0; p < width * height; ++p)
      Require(whole[p * 4 + 3] == 0 || whole[p * 4 + 3] == 255, "alpha neither 0 nor 255");
    // A rectangle placed by the selector, with a stride of its own.
    const uint32_t x = (selector >> 1) % width, y = (selector >> 4) % height;
    const uint32_t w = width - x, h = height - y, partStride = w * 4 + 3;
    part.assign(std::size_t{partStride} * h, 0x5A);
    Require(frames->Copy(i, x, y, w, h, partStride, static_cast<uint32_t>(part.size()), part.data(), &problem) ==
                BgraFrames::Copied::kDone,
            "a rectangle of a copied frame refused");
    for (uint32_t row = 0; row < h; ++row) {
      Require(std::memcmp(&part[std::size_t{partStride} * row], &whole[std::size_t{stride} * (y + row) + x * 4],
                          std::size_t{w} * 4) == 0,
              "a rectangle differs from the whole frame");
      for (uint32_t pad = w * 4; pad < partStride; ++pad)
        Require(part[std::size_t{partStride} * row + pad] == 0x5A, "padding written");
    }
  }
  return 0;
}
