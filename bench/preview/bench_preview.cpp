// The preview pane's work in the portable core, from bytes in memory, for
// an 800 x 600 pane under an 18-row caption:
//
//   pane/FILE     Prepare (lay out, decode each distinct frame the pane
//                 shows once, scale) and Render: what DoPreview does before
//                 the window gets the pixels;
//   decode/FILE   opening the sprite and decoding the frames that Prepare
//                 decodes, into one reused frame: the floor;
//   resize/FILE   Layout and Render for 700 x 500 and back: what SetRect does,
//                 decoding nothing.
//
// Each pane and resize line carries x_decode = its time / decode's time.
//
//   bench_preview [--benchmark_filter=...] [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frame_encoder.h"
#include "ratio_reporter.h"
#include "frames_asked.h"
#include "sprite/byte_source.h"
#include "preview/pane_render.h"
#include "sprite/sprite.h"

namespace {

using namespace tamsorel;

constexpr uint32_t kWidth = 800, kHeight = 600, kCaption = 18;

struct Sample {
  std::string name;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> decoded;  // the frames a pane decodes
};

std::vector<Sample>& Samples() {
  static std::vector<Sample> samples = [] {
    std::vector<test::FrameSpec> many, big;
    for (uint32_t i = 0; i < 200; ++i) many.push_back(test::PatternFrame(64, 64, i, false));
    for (uint32_t i = 0; i < 20; ++i) big.push_back(test::PatternFrame(256, 256, i, false));
    std::vector<Sample> made = {
        {"200x64.c16", test::EncodeFrames(SpriteKind::kC16, 1, many).bytes, {}},
        {"20x256.c16", test::EncodeFrames(SpriteKind::kC16, 1, big).bytes, {}},
        {"1024.c16", test::EncodeFrames(SpriteKind::kC16, 1, {test::PatternFrame(1024, 1024, 1, false)}).bytes, {}},
        {"12x32.spr",
         test::EncodeFrames(SpriteKind::kSpr, 0, std::vector<test::FrameSpec>(12, test::PatternFrame(32, 32, 5, true)))
             .bytes,
         {}},
        {"65535x512.s16", test::SharedFrameS16(65535, test::PatternFrame(512, 512, 2, false)), {}},
    };
    for (Sample& s : made) {
      MemorySource source(s.bytes.data(), s.bytes.size());
      std::string problem;
      auto sprite = Sprite::Open(source, s.name.find(".spr") != std::string::npos, &problem);
      test::FramesAsked asked;
      PaneFrames frames(*sprite);
      frames.Prepare(*sprite, asked, kWidth, kHeight, kCaption);
      s.decoded = asked.indices;
    }
    return made;
  }();
  return samples;
}

std::unique_ptr<Sprite> OpenSample(const Sample& s, MemorySource& source, benchmark::State& state) {
  std::string problem;
  auto sprite = Sprite::Open(source, s.name.find(".spr") != std::string::npos, &problem);
  if (!sprite) state.SkipWithError(problem.c_str());
  return sprite;
}

void Decode(benchmark::State& state, const Sample* s) {
  StoredFrame frame;
  for (auto _ : state) {
    MemorySource source(s->bytes.data(), s->bytes.size());
    auto sprite = OpenSample(*s, source, state);
    if (!sprite) break;
    for (uint32_t i : s->decoded) sprite->DecodeFrame(i, &frame);
    benchmark::DoNotOptimize(frame.pixels.data());
  }
}

void Pane(benchmark::State& state, const Sample* s) {
  std::vector<uint8_t> pane(std::size_t{kWidth} * kHeight * 4);
  const PaneStyle style{kCaption, false, {}, {240, 240, 240}};
  for (auto _ : state) {
    MemorySource source(s->bytes.data(), s->bytes.size());
    auto sprite = OpenSample(*s, source, state);
    if (!sprite) break;
    PaneFrames frames(*sprite);
    const PaneLayout layout = frames.Prepare(*sprite, SpriteDecoder(), kWidth, kHeight, kCaption);
    frames.Render(layout, style, PaneCanvas{pane.data(), kWidth * 4, PixelOrder::kBgrx});
    benchmark::DoNotOptimize(pane.data());
  }
}

void Resize(benchmark::State& state, const Sample* s) {
  MemorySource source(s->bytes.data(), s->bytes.size());
  auto sprite = OpenSample(*s, source, state);
  if (!sprite) return;
  PaneFrames frames(*sprite);
  frames.Prepare(*sprite, SpriteDecoder(), kWidth, kHeight, kCaption);
  std::vector<uint8_t> pane(std::size_t{kWidth} * kHeight * 4);
  const PaneStyle style{kCaption, false, {}, {240, 240, 240}};
  bool smaller = false;
  for (auto _ : state) {
    smaller = !smaller;
    const PaneLayout layout = frames.Layout(smaller ? 700 : kWidth, smaller ? 500 : kHeight, kCaption);
    frames.Render(layout, style, PaneCanvas{pane.data(), kWidth * 4, PixelOrder::kBgrx});
    benchmark::DoNotOptimize(pane.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const Sample& s : Samples()) {
    benchmark::RegisterBenchmark(("decode/" + s.name).c_str(), Decode, &s)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("pane/" + s.name).c_str(), Pane, &s)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("resize/" + s.name).c_str(), Resize, &s)->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::RatioReporter reporter("decode", "x_decode");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
