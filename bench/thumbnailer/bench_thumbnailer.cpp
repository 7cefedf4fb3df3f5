// Thumbnailer stages on sprites held in memory, square frames of SIDE
// pixels with a transparent border (C16 runs) or a gradient (S16, SPR):
//
//   thumbnail/KIND/SIDE/SIZE   decode + convert + scale to SIZE + PNG (SIZE 0: unscaled)
//   convert/KIND/SIDE          RGBA conversion of every row only
//   scale/SIDE/SIZE            area-averaged scaling of converted rows only
//
// Pixels per second are reported as items.
//
//   bench_thumbnailer [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/portable_platform.h"
#include "sprite_encoder.h"
#include "image/rgba.h"
#include "thumbnailer/thumbnail.h"

namespace {

using namespace tamsorel;
using namespace tamsorel::thumbnailer;

test::Bytes MakeSprite(int kind, uint16_t side) {
  const std::size_t count = std::size_t{side} * side;
  if (kind == 0) {
    std::vector<uint8_t> indices(count);
    for (std::size_t i = 0; i < count; ++i) indices[i] = static_cast<uint8_t>((i % side + i / side) & 255);
    return test::EncodeSpr(side, side, indices);
  }
  std::vector<uint16_t> pixels(count);
  std::vector<bool> transparent(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t x = i % side, y = i / side;
    pixels[i] = static_cast<uint16_t>(((x * 31 / side) << 11) | ((y * 63 / side) << 5) | 7);
    transparent[i] = x < side / 8u || x >= side - side / 8u;
  }
  return kind == 1 ? test::EncodeS16(1, side, side, pixels) : test::EncodeC16(1, side, side, pixels, transparent);
}

const char16_t* const kNames[] = {u"b.spr", u"b.s16", u"b.c16"};

void Thumbnail(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto side = static_cast<uint16_t>(state.range(1));
  const auto size = static_cast<uint32_t>(state.range(2));
  MemoryDecodePlatform platform;
  platform.AddFile(kNames[kind], MakeSprite(kind, side));
  std::size_t pngBytes = 0;
  for (auto _ : state) {
    DecodedSprite sprite(platform);
    if (sprite.Decode(kNames[kind]) != S_OK) state.SkipWithError("decode failed");
    pngBytes = 0;
    const std::string problem = WriteThumbnailPng(sprite.Frame(), size,
                                                  [&](const uint8_t*, std::size_t n) {
                                                    pngBytes += n;
                                                    return true;
                                                  });
    if (!problem.empty()) state.SkipWithError(problem.c_str());
  }
  state.SetItemsProcessed(state.iterations() * side * side);
  state.counters["png_bytes"] = static_cast<double>(pngBytes);
}

void Convert(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto side = static_cast<uint16_t>(state.range(1));
  MemoryDecodePlatform platform;
  platform.AddFile(kNames[kind], MakeSprite(kind, side));
  DecodedSprite sprite(platform);
  sprite.Decode(kNames[kind]);
  const FrameView view = ViewOf(sprite.Frame());
  FrameRgbaRows frame(view);
  std::vector<uint8_t> row(std::size_t{side} * 4);
  for (auto _ : state) {
    for (uint32_t y = 0; y < side; ++y) frame.ReadRow(y, row.data());
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}

// Converted rows from memory, so that only the scaling is timed.
class HeldRows : public RgbaRows {
 public:
  HeldRows(uint32_t side, std::vector<uint8_t> rgba) : side_(side), rgba_(std::move(rgba)) {}
  uint32_t Width() const override { return side_; }
  uint32_t Height() const override { return side_; }
  void ReadRow(uint32_t y, uint8_t* out) override {
    std::copy_n(&rgba_[std::size_t{y} * side_ * 4], std::size_t{side_} * 4, out);
  }

 private:
  uint32_t side_;
  std::vector<uint8_t> rgba_;
};

void Scale(benchmark::State& state) {
  const auto side = static_cast<uint16_t>(state.range(0));
  const auto size = static_cast<uint32_t>(state.range(1));
  MemoryDecodePlatform platform;
  platform.AddFile(kNames[2], MakeSprite(2, side));
  DecodedSprite sprite(platform);
  sprite.Decode(kNames[2]);
  const FrameView view = ViewOf(sprite.Frame());
  FrameRgbaRows frame(view);
  HeldRows rows(side, ReadAllRows(frame));
  std::vector<uint8_t> out(std::size_t{size} * 4);
  for (auto _ : state) {
    ScaledRows scaled(rows, FitWithin(side, side, size));
    for (uint32_t y = 0; y < scaled.Height(); ++y) scaled.ReadRow(y, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}

BENCHMARK(Thumbnail)
    ->Name("thumbnail")
    ->ArgNames({"kind", "side", "size"})
    ->ArgsProduct({{0, 1, 2}, {256, 2048}, {0, 128, 256}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Convert)->Name("convert")->ArgNames({"kind", "side"})->ArgsProduct({{0, 1, 2}, {2048}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Scale)->Name("scale")->ArgNames({"side", "size"})->ArgsProduct({{2048}, {128, 256, 1024}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
