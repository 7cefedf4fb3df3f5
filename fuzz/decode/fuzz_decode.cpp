// libFuzzer target for the first-frame decoder.  The first input byte picks
// the file name (and so the kind: SPR or 16-bit); the rest is the file,
// served from memory.  Pixel memory has poisoned guard regions on both
// sides; after each decode the harness checks the guards, the handles left
// open, the out-parameter and the header buffer, and that a decode through
// a read buffer gives the same frame.  The probe is checked against the
// frame directory's full open and against the thumbnail, and on every
// prefix of the file.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "bitmap/bitmap_header.h"
#include "sprite/c16_lines.h"
#include "sprite/first_frame.h"
#include "sprite/read_buffer.h"
#include "sprite/sprite_format.h"
#include "sprite/sprite_probe.h"
#include "sprite/byte_source.h"
#include "sprite/sprite.h"
#include "fuzz_require.h"
#include "test_platforms.h"

namespace {

// Small bitmaps only: the fuzzer's memory limit is not for GDI stand-ins,
// and every byte of a bitmap is fresh memory to fill, twice per input, which
// is most of what a large frame costs.  The cap still admits the widest and
// the tallest frames (65535 pixels a side, 16-bit); a larger frame takes
// the path of a bitmap that cannot be had.
constexpr std::size_t kFuzzPixelCap = std::size_t{256} << 10;

// Counts the reads the decoder makes, to hold them to the work bound.
class CountingPlatform : public tamsorel::test::GuardedMemoryPlatform {
 public:
  using GuardedMemoryPlatform::GuardedMemoryPlatform;
  uint64_t reads = 0;
  bool ReadFile(FileHandle file, void* buffer, uint32_t count, uint32_t* obtained) override {
    ++reads;
    return GuardedMemoryPlatform::ReadFile(file, buffer, count, obtained);
  }
};

// The same bytes served through a read buffer, as the file platforms serve
// them, but with blocks much smaller than a line, so that tags and runs fall
// across block ends and the decoder's in-place path and its read path both
// come into play.  Its decode must equal the unbuffered one byte for byte.
class BufferedPlatform : public tamsorel::test::GuardedMemoryPlatform,
                         private tamsorel::ReadBuffer::Source {
 public:
  BufferedPlatform(const uint8_t* bytes, std::size_t size)
      : GuardedMemoryPlatform(kFuzzPixelCap), bytes_(bytes), size_(size) {}

  FileHandle OpenFile(const char16_t* path) override {
    buffer_ = tamsorel::ReadBuffer(storage_, sizeof storage_);
    return GuardedMemoryPlatform::OpenFile(path);
  }
  bool ReadFile(FileHandle, void* target, uint32_t count, uint32_t* obtained) override {
    return buffer_.Read(*this, target, count, obtained);
  }
  void SeekFile(FileHandle, uint32_t offset) override { buffer_.Seek(offset); }
  tamsorel::ReadBuffer* BufferOf(FileHandle) override { return &buffer_; }

 private:
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    *obtained = offset >= size_ ? 0 : static_cast<uint32_t>(std::min<uint64_t>(count, size_ - offset));
    if (*obtained) std::memcpy(target, bytes_ + offset, *obtained);
    return true;
  }

  const uint8_t* bytes_;
  std::size_t size_;
  uint8_t storage_[61];
  tamsorel::ReadBuffer buffer_{storage_, sizeof storage_};
};

}  // namespace

using tamsorel::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace tamsorel;
  if (size < 1) return 0;
  static const char16_t* const kNames[] = {u"fuzz.spr", u"fuzz.s16", u"FUZZ.SPR", u"c16"};
  const char16_t* name = kNames[data[0] & 3];
  const bool spr = IsSprPath(name);

  CountingPlatform platform(kFuzzPixelCap);
  platform.AddFileView(name, data + 1, size - 1);
  std::array<uint8_t, kHeaderBufferSize> header;
  header.fill(0xCC);
  static char untouched;
  BitmapHandle bitmap = &untouched;

  FirstFrame first;
  const HRESULT hr = DecodeFirstFrame(platform, name, header.data(), &bitmap, &first);
  Require((hr == S_OK) == (first.failure == FirstFrame::Failure::kNone), "result and failure disagree");

  // The probe of the whole file says what the full open finds.
  const uint8_t* file = data + 1;
  const std::size_t fileSize = size - 1;
  const SpriteProbe probe = ProbeSprite(file, fileSize, spr, /*whole=*/true);
  Require(probe.result != SpriteProbe::Result::kNeedMore, "the whole file is never too short to answer");
  MemorySource source(file, fileSize);
  std::string problem;
  const std::unique_ptr<Sprite> opened = Sprite::Open(source, spr, &problem);
  Require((probe.result == SpriteProbe::Result::kSprite) == (opened != nullptr), "probe and open disagree");
  if (opened) {
    Require(probe.kind == opened->Kind() && probe.format == opened->Format(), "probe and open: kind or format");
    Require(probe.claimedFrames == opened->FrameCount(), "probe and open: claimed frames");
    Require(probe.hasFirstEntry == (opened->HeldFrames() > 0), "probe and open: frame 1's entry");
    const FrameInfo& one = opened->Frame(0);
    if (probe.hasFirstEntry)
      Require(one.offset == probe.firstEntry.offset && one.width == probe.firstEntry.width &&
                  one.height == probe.firstEntry.height,
              "probe and open: frame 1's entry differs");
  } else {
    Require(hr == E_FAIL, "a thumbnail of a file that is no sprite");
  }
  if (hr == S_OK)
    Require(probe.hasFirstEntry && first.width == probe.firstEntry.width && first.height == probe.firstEntry.height &&
                first.kind == probe.kind && first.format == probe.format,
            "thumbnail and probe: frame 1 differs");
  // A prefix either needs more bytes than it has or answers as the whole
  // file does.
  for (std::size_t at = 0; at <= std::min(fileSize, kProbeBytes); ++at) {
    const SpriteProbe part = ProbeSprite(file, at, spr, /*whole=*/false);
    if (part.result == SpriteProbe::Result::kNeedMore) {
      Require(part.bytesNeeded > at && part.bytesNeeded <= kProbeBytes, "need more: a length it already has");
      continue;
    }
    Require(part.result == probe.result && part.claimedFrames == probe.claimedFrames && part.kind == probe.kind,
            "a prefix answers differently from the whole file");
  }

  Require(hr == S_OK || hr == E_FAIL, "result other than S_OK or E_FAIL");
  Require(platform.GuardsIntact(), "write outside the pixel memory");
  Require(platform.LiveFiles() == 0 && platform.LivePalettes() == 0 && platform.LiveBlocks() == 0 &&
              platform.LiveDcs() == 0,
          "handle left open");
  if (hr == S_OK) {
    Require(bitmap != nullptr && bitmap != &untouched, "S_OK without a bitmap");
    Require(platform.LiveBitmaps() == 1, "bitmap count after success");
    const HeapBitmap* made = AsHeapBitmap(bitmap);
    const BitmapHeaderView view = ReadBitmapHeader(header.data());
    Require(view.width == made->width && -view.height == made->height, "header and bitmap differ");
    Require(view.bitCount == (spr ? 8 : 16), "bit count of the kind");
    if (!spr) Require(header[kSprite16HeaderClear] == 0xCC, "16-bit decode cleared beyond its header");
    // The work bound: the header reads, then per line at most one tag that
    // ends it; every other tag moves the write position by a pixel or more
    // (and may bring one read of pixels), except the allowance of empty
    // runs.  Never the product of lines and tags.
    const uint64_t pixels = made->pixelBytes / (spr ? 1 : 2);
    const uint64_t lines = static_cast<uint64_t>(made->height);
    Require(platform.reads <= 3 + lines + 2 * (pixels + 1) + kIdleTagAllowance + 1,
            "more reads than the work bound allows");

    BufferedPlatform buffered(data + 1, size - 1);
    buffered.AddFileView(name, data + 1, size - 1);
    std::array<uint8_t, kHeaderBufferSize> bufferedHeader;
    bufferedHeader.fill(0xCC);
    BitmapHandle bufferedBitmap = nullptr;
    Require(DecodeFirstFrame(buffered, name, bufferedHeader.data(), &bufferedBitmap) == S_OK,
            "buffered reads fail a frame that plain reads decode");
    const HeapBitmap* same = AsHeapBitmap(bufferedBitmap);
    Require(buffered.GuardsIntact(), "buffered reads wrote outside the pixel memory");
    Require(bufferedHeader == header && same->pixelBytes == made->pixelBytes &&
                std::memcmp(same->pixels, made->pixels, made->pixelBytes) == 0,
            "buffered reads decode differently from plain reads");
    buffered.DeleteBitmap(bufferedBitmap);
    platform.DeleteBitmap(bitmap);
  } else {
    Require(bitmap == &untouched || bitmap == nullptr, "failure left a bitmap behind");
    Require(platform.LiveBitmaps() == 0, "bitmap leaked on failure");
  }
  return 0;
}
