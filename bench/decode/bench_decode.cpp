// Decoding speed of first frames from files, against a floor measured in the
// same run: reading the same file whole and copying its bytes into a bitmap
// of the same size.  Each decode/KIND/SIZE line carries the counter
// "x_floor" = decode time / floor time.
//
// Every frame of multi-frame files likewise (decode/frames/KIND/COUNTxSIZExSIZE):
// opening the file, reading its frame directory and decoding each frame as
// stored into one reused frame, against reading the file whole and copying
// its bytes once.
//
//   bench_decode [--benchmark_filter=...] [--benchmark_repetitions=N]
//
// On a noisy machine, repetitions give steadier figures: the median lines
// carry the ratio of the medians.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sprite/first_frame.h"
#include "platform/path_text.h"
#include "platform/portable_platform.h"
#include "sprite/sprite_format.h"
#include "frame_encoder.h"
#include "ratio_reporter.h"
#include "platform/file_source.h"
#include "sprite/sprite.h"
#include "sample_pictures.h"

namespace {

using tamsorel::test::Bytes;

struct Sample {
  std::string kind;  // spr, s16, c16
  int size;
  std::u16string path;
  std::size_t fileBytes = 0;
  std::array<uint8_t, tamsorel::kHeaderBufferSize> header{};  // as decoded once
};

std::string g_dir;
std::vector<Sample> g_samples;

void MakeSamples() {
  char dir[] = "/tmp/tamsorel-bench-XXXXXX";
  g_dir = mkdtemp(dir);
  for (const char* kind : {"spr", "s16", "c16"}) {
    for (int size : {64, 256, 1024}) {
      Sample s;
      s.kind = kind;
      s.size = size;
      const std::string path = g_dir + "/" + std::to_string(size) + "." + kind;
      const Bytes bytes = tamsorel::test::EncodeSamplePicture(kind, size);
      std::FILE* f = std::fopen(path.c_str(), "wb");
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
      s.path = tamsorel::PathToUtf16(path);
      s.fileBytes = bytes.size();
      tamsorel::PortableDecodePlatform platform;
      tamsorel::BitmapHandle bitmap = nullptr;
      if (tamsorel::DecodeFirstFrame(platform, s.path.c_str(), s.header.data(), &bitmap) != S_OK) {
        std::fprintf(stderr, "bench_decode: sample %s does not decode\n", path.c_str());
        std::exit(1);
      }
      platform.DeleteBitmap(bitmap);
      g_samples.push_back(s);
    }
  }
}

// Reads the file at `path` into *buffer (as many bytes as it holds, up to
// the buffer's size) with plain reads: the floors' way of taking a file in.
std::size_t ReadWhole(const std::string& path, std::vector<uint8_t>* buffer) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::size_t got = 0;
  while (fd >= 0 && got < buffer->size()) {
    const ssize_t n = ::read(fd, buffer->data() + got, buffer->size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  return got;
}

// The floor: the whole file in one read, its bytes copied into a bitmap of
// the frame's size.
void Floor(benchmark::State& state, const Sample* s) {
  tamsorel::PortableDecodePlatform platform;
  const std::string path = tamsorel::PathFromUtf16(s->path.c_str());
  std::vector<uint8_t> buffer(s->fileBytes);
  for (auto _ : state) {
    const std::size_t got = ReadWhole(path, &buffer);
    auto dc = platform.GetScreenDc();
    auto made = platform.CreateBitmap(dc, s->header.data());
    std::memcpy(made.pixels, buffer.data(), std::min(got, made.pixelBytes));
    benchmark::DoNotOptimize(made.pixels);
    platform.DeleteBitmap(made.handle);
    platform.ReleaseScreenDc(dc);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s->fileBytes));
}

void Decode(benchmark::State& state, const Sample* s) {
  tamsorel::PortableDecodePlatform platform;
  std::array<uint8_t, tamsorel::kHeaderBufferSize> header{};
  for (auto _ : state) {
    tamsorel::BitmapHandle bitmap = nullptr;
    if (tamsorel::DecodeFirstFrame(platform, s->path.c_str(), header.data(), &bitmap) != S_OK) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(bitmap);
    platform.DeleteBitmap(bitmap);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s->fileBytes));
}

// A multi-frame file: `count` frames of size x size, each the sample
// picture with colours of its own (the picture's runs, as sprites hold
// them, in every frame).
struct FramesSample {
  std::string kind;  // spr, s16, c16
  int count;
  int size;
  std::string path;
  std::size_t fileBytes = 0;
};

std::vector<FramesSample> g_framesSamples;

tamsorel::test::FrameSpec SampleFrame(int size, int index, bool indexed) {
  std::vector<uint16_t> px;
  std::vector<bool> clear;
  tamsorel::test::SamplePicture(size, &px, &clear);
  tamsorel::test::FrameSpec f{static_cast<uint16_t>(size), static_cast<uint16_t>(size), {}};
  f.pixels.resize(px.size());
  for (std::size_t i = 0; i < px.size(); ++i) {
    const auto v = static_cast<uint16_t>(px[i] ^ (index * 0x0841));
    f.pixels[i] = clear[i] ? 0 : indexed ? static_cast<uint16_t>(1 + (v >> 8) % 255) : std::max<uint16_t>(v, 1);
  }
  return f;
}

void MakeFramesSamples() {
  using tamsorel::SpriteKind;
  const struct {
    const char* name;
    SpriteKind kind;
  } kinds[] = {{"spr", SpriteKind::kSpr}, {"s16", SpriteKind::kS16}, {"c16", SpriteKind::kC16}};
  for (const auto& k : kinds) {
    for (const auto& shape : {std::pair<int, int>{200, 64}, std::pair<int, int>{20, 256}}) {
      FramesSample s;
      s.kind = k.name;
      s.count = shape.first;
      s.size = shape.second;
      std::vector<tamsorel::test::FrameSpec> frames;
      for (int i = 0; i < s.count; ++i) frames.push_back(SampleFrame(s.size, i, k.kind == SpriteKind::kSpr));
      const std::vector<uint8_t> bytes = tamsorel::test::EncodeFrames(k.kind, tamsorel::SPRITE16_RGB565, frames).bytes;
      s.path = g_dir + "/" + std::to_string(s.count) + "x" + std::to_string(s.size) + "." + k.name;
      std::FILE* f = std::fopen(s.path.c_str(), "wb");
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
      s.fileBytes = bytes.size();
      g_framesSamples.push_back(s);
    }
  }
}

// The floor of every frame: the whole file in one read, its bytes copied
// once.
void FramesFloor(benchmark::State& state, const FramesSample* s) {
  std::vector<uint8_t> buffer(s->fileBytes), copy(s->fileBytes);
  for (auto _ : state) {
    const std::size_t got = ReadWhole(s->path, &buffer);
    std::memcpy(copy.data(), buffer.data(), got);
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s->fileBytes));
}

// Every frame: the file opened, its directory read, each frame decoded as
// stored into the same frame.
void FramesDecode(benchmark::State& state, const FramesSample* s) {
  const std::u16string path = tamsorel::PathToUtf16(s->path);
  tamsorel::StoredFrame frame;
  for (auto _ : state) {
    std::string problem;
    std::unique_ptr<tamsorel::ByteSource> source = tamsorel::OpenFileSource(path, &problem);
    std::unique_ptr<tamsorel::Sprite> sprite =
        source ? tamsorel::Sprite::Open(*source, s->kind == "spr", &problem) : nullptr;
    if (!sprite || sprite->FrameCount() != static_cast<uint32_t>(s->count)) {
      state.SkipWithError(("open failed: " + problem).c_str());
      break;
    }
    for (uint32_t i = 0; i < sprite->FrameCount() && problem.empty(); ++i) {
      problem = sprite->DecodeFrame(i, &frame);
      benchmark::DoNotOptimize(frame.pixels.data());
    }
    if (!problem.empty()) {
      state.SkipWithError(("decode failed: " + problem).c_str());
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s->fileBytes));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MakeSamples();
  MakeFramesSamples();
  for (const Sample& s : g_samples) {
    const std::string id = s.kind + "/" + std::to_string(s.size);
    benchmark::RegisterBenchmark(("floor/" + id).c_str(), Floor, &s)->UseRealTime();
    benchmark::RegisterBenchmark(("decode/" + id).c_str(), Decode, &s)->UseRealTime();
  }
  for (const FramesSample& s : g_framesSamples) {
    const std::string id = "frames/" + s.kind + "/" + std::to_string(s.count) + "x" + std::to_string(s.size) + "x" +
                           std::to_string(s.size);
    benchmark::RegisterBenchmark(("floor/" + id).c_str(), FramesFloor, &s)->UseRealTime();
    benchmark::RegisterBenchmark(("decode/" + id).c_str(), FramesDecode, &s)->UseRealTime();
  }
  tamsorel::bench::RatioReporter reporter("floor", "x_floor",
                                          isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                                : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::system(("rm -rf '" + g_dir + "'").c_str());
  return 0;
}
