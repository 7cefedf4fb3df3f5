// libFuzzer target for every frame of a sprite: the frame directory, frames
// as stored, their RGBA rows and a sheet of them.
//
// Input: one selector byte, then the file.
//   bit 0      0: SPR (a name ending in "spr"), 1: 16-bit (S16 or C16)
//   bits 1-3   the sheet's columns (0: nearly square)
//   bits 4-5   3: the file is the rest of the input repeated up to a size
//              past the read buffer's capacity (bit 6: 1 MiB + 5 bytes,
//              else 256 KiB + 7), so that the reads of large files (seeks,
//              growing fills, frames read straight into their memory) are
//              fuzzed too; otherwise the rest of the input as it is.  A
//              repeated file claims at most kRepeatedFrames frames: where
//              the input's header claims more, the repeated bytes claim
//              kRepeatedFrames instead.
//
// The harness opens the sprite, checks its three frame counts against the
// directory, lists every frame, decodes each readable frame as stored (and
// compares it with a plain tag-by-tag decode made straight from the file's
// bytes, by the rules the thumbnail follows) and as RGBA rows, requires
// frame 1 to show the thumbnail's pixels, lays out a sheet of the readable
// frames and, when it is small, reads every row of it.  Then it decodes the
// frames again in reverse order and requires the same results: the read
// buffer's state must never show in the pixels.
//
// What one input costs is bounded, so that the search stays fast; every
// frame that is decoded still gets every check.
//   - Frames whose entries are alike (the same offset and size and, for a
//     C16 frame of several lines, the same line table bytes) must decode
//     alike.  Each such group is decoded going forward from its first frame
//     and going back from its last, and the two must agree; a damaged
//     entry's refusal is checked once for all the entries alike.
//   - Frames past the entries the file holds are all described alike: the
//     first and the last of them are checked, and must agree.
//   - Decoding stops at kDecodeBudget per input, counted in stored bytes,
//     C16 lines and decodes; later frames are listed but not decoded.
//     Frame 1 comes first, so it is decoded, and compared with the
//     thumbnail, whenever it fits.  Besides the budget, one SPR or S16
//     frame per input larger than the read buffer (up to kLargeFrame) is
//     decoded: the buffer reads it straight into the frame's memory.
//   - RGBA rows are checked whole while kRgbaPixels lasts; past it, each
//     frame's first and last row.
//   - Sheets are read row by row when they are small (kSheetPixels).
//   - A repeated file claims at most kRepeatedFrames frames: opening a
//     sprite costs time for every entry it holds, and a repeated file has
//     room for up to 65535.  kRepeatedFrames is enough for a directory read
//     in more than one piece.
// Under the sanitizers most of what a large input costs is fresh memory,
// each page faulted in on first use: hence budgets in bytes, and the
// harness's own buffers kept from input to input (Scratch).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "sprite/c16_lines.h"
#include "sprite/first_frame.h"
#include "platform/portable_platform.h"
#include "sprite/read_buffer.h"
#include "sprite/sprite_format.h"
#include "sprite/byte_source.h"
#include "image/rgba.h"
#include "image/sheet.h"
#include "sprite/sprite.h"
#include "counting_source.h"
#include "fuzz_require.h"

namespace {

using namespace tamsorel;
using tamsorel::fuzz::Require;
using tamsorel::test::CountingSource;

constexpr uint32_t kRepeatedFrames = 600;
// Work decoded per input, in stored bytes: a frame's pixels, kLineCost for
// every line of a C16 frame (each may start a read elsewhere in the file)
// and kDecodeCost for every decode.
constexpr uint64_t kDecodeBudget = uint64_t{64} << 10;
// Besides the budget, one SPR or S16 frame of at least the read buffer's
// capacity and at most kLargeFrame bytes.
constexpr uint64_t kLargeFrame = uint64_t{288} << 10;
constexpr uint64_t kLineCost = 64;
constexpr uint64_t kDecodeCost = 256;
// RGBA rows checked per input, in pixels (see CheckRgbaRows).
constexpr uint64_t kRgbaPixels = uint64_t{8} << 10;
// Sheets are read row by row up to kSheetPixels, counting kCellCost more
// for every cell (each has RGBA rows of its own to set up).
constexpr uint64_t kSheetPixels = uint64_t{16} << 10;
constexpr uint64_t kCellCost = 256;

// Keys of frames alike: an open-addressing table, emptied for each input.
class AlikeTable {
 public:
  void Reset(std::size_t keys) {
    std::size_t size = 16;
    while (size < 2 * keys) size *= 2;
    slots_.assign(size, Slot{});
  }
  // The value stored under (a, b); `value`, stored there, when there is none.
  uint32_t FindOrAdd(uint64_t a, uint64_t b, uint32_t value) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>((a * 0x9E3779B97F4A7C15u) ^ (b * 0xC2B2AE3D27D4EB4Fu) ^ (a >> 29)) & mask;
    while (slots_[i].used && (slots_[i].a != a || slots_[i].b != b)) i = (i + 1) & mask;
    if (!slots_[i].used) slots_[i] = Slot{a, b, value, true};
    return slots_[i].value;
  }

 private:
  struct Slot {
    uint64_t a = 0;
    uint64_t b = 0;
    uint32_t value = 0;
    bool used = false;
  };
  std::vector<Slot> slots_;
};

// The harness's own working memory, kept from input to input: memory in use
// costs nothing more, fresh memory a page fault per page, which under the
// sanitizers is most of what a large frame costs.  Every input overwrites
// what it uses of it.  What the code under test reads or writes (the frames
// it decodes into, the frames of a sheet, the thumbnail's bitmap) is never
// taken from here: it gets memory of its exact size, where the sanitizers
// see every access past the end.
struct Scratch {
  AlikeTable groups;   // readable frames: entry and line table -> group
  AlikeTable damaged;  // damaged frames: entry and reason
  std::vector<uint8_t> reference;  // the plain decode
  std::vector<uint8_t> padded;     // its C16 rows, padded to an even width
  std::vector<uint8_t> thumbnail;  // its pixels, copied from the bitmap
  std::vector<std::vector<uint8_t>> forward;  // pixels of the first pass
};

Scratch& TheScratch() {
  static Scratch scratch;
  return scratch;
}

// The file's bytes as the harness sees them: `count` bytes repeated from
// offset 0 on, `size` bytes in all (an unrepeated file has size == count).
struct FileView {
  const uint8_t* bytes;
  std::size_t count;
  uint64_t size;

  uint8_t At(uint64_t offset) const { return bytes[offset % count]; }
  uint32_t Le16(uint64_t offset) const { return At(offset) | (uint32_t{At(offset + 1)} << 8); }
  uint32_t Le32(uint64_t offset) const { return Le16(offset) | (Le16(offset + 2) << 16); }

  // Copies the bytes from `offset` on that the file holds, at most `n`;
  // returns how many it copied.
  std::size_t Copy(uint64_t offset, uint8_t* target, std::size_t n) const {
    if (offset >= size) return 0;
    n = static_cast<std::size_t>(std::min<uint64_t>(n, size - offset));
    const auto from = static_cast<std::size_t>(offset % count);
    const std::size_t head = std::min(n, count - from);
    std::memcpy(target, bytes + from, head);
    // After the head the bytes start at the beginning of `bytes`: the first
    // time round from there, then as many again from what is copied.
    for (std::size_t done = head; done < n;) {
      const std::size_t part = std::min(n - done, done == head ? count : done - head);
      std::memcpy(target + done, done == head ? bytes : target + head, part);
      done += part;
    }
    return n;
  }
};

// A repeated file as a byte source.
class RepeatedSource final : public ByteSource {
 public:
  explicit RepeatedSource(const FileView& file) : file_(file) {}

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    *obtained = static_cast<uint32_t>(file_.Copy(offset, target, count));
    return true;
  }
  uint64_t Size() const override { return file_.size; }

 private:
  FileView file_;
};

// The bytes a repeated file repeats: the input, itself repeated until it
// holds a whole header, with the frame count it claims lowered to
// kRepeatedFrames where it claims more.
std::vector<uint8_t> RepeatedPattern(const uint8_t* bytes, std::size_t count, bool spr) {
  std::vector<uint8_t> pattern(bytes, bytes + count);
  while (pattern.size() < kSprite16HeaderSize) pattern.insert(pattern.end(), bytes, bytes + count);
  uint8_t* claimed = pattern.data() + (spr ? 0 : 4);
  if (LoadLe16(claimed) > kRepeatedFrames) StoreLe16(claimed, kRepeatedFrames);
  return pattern;
}

// The repeated file as the thumbnail's decoder reads it, under any name.
class RepeatedDecodePlatform final : public PortableBitmapPlatform {
 public:
  explicit RepeatedDecodePlatform(const FileView& file) : file_(file) {}

  FileHandle OpenFile(const char16_t*) override {
    ++liveFiles_;
    return new uint64_t(0);
  }
  bool ReadFile(FileHandle file, void* buffer, uint32_t count, uint32_t* obtained) override {
    uint64_t* position = static_cast<uint64_t*>(file);
    *obtained = static_cast<uint32_t>(file_.Copy(*position, static_cast<uint8_t*>(buffer), count));
    *position += *obtained;
    return true;
  }
  void SeekFile(FileHandle file, uint32_t offset) override { *static_cast<uint64_t*>(file) = offset; }
  void CloseFile(FileHandle file) override {
    delete static_cast<uint64_t*>(file);
    --liveFiles_;
  }

 private:
  FileView file_;
};

uint64_t StoredBytes(const FrameInfo& f, PixelFormat format) {
  return uint64_t{f.width} * f.height * BytesPerPixel(format);
}

// What decoding a frame counts against kDecodeBudget.
uint64_t DecodeCost(const FrameInfo& f, SpriteKind kind, PixelFormat format) {
  return StoredBytes(f, format) + (kind == SpriteKind::kC16 ? kLineCost * f.height : 0) + kDecodeCost;
}

// The most bytes one decode of a readable frame may ask the source for, on a
// source of capacity `capacity` (ReadBuffer::CapacityFor of its size).
//
// Each read of the decoder goes to a position, then on forward only; in
// such a run of reads the buffer's fills start at increasing positions and
// do not overlap, so they cover the bytes the run passed plus one last fill
// of at most the capacity (a fill right after a seek may be as large as the
// capacity when the seek lands exactly at the end of the previous block).
//   SPR, S16: one run, the frame's bytes.
//   C16: the line table in one run, then one run per line.  The write
//   position only moves forward over the frame's memory (rows padded to an
//   even width), so the frame's lines pass at most a tag per pixel and two
//   bytes per pixel of colour runs in all, kIdleTagAllowance + 1 empty runs
//   (the one past the allowance stops the frame), and an end tag each.
uint64_t DecodeReadBound(const FrameInfo& f, SpriteKind kind, PixelFormat format, uint64_t capacity) {
  if (kind != SpriteKind::kC16) return StoredBytes(f, format) + capacity;
  const uint64_t height = f.height, pixels = (uint64_t{f.width} + (f.width & 1u)) * height;
  return 4 * (height - 1) + capacity + height * (4 + capacity) + 2 * (kIdleTagAllowance + 1) + 4 * pixels;
}

// The RGBA rows of a decoded frame: as wide and high as the frame, and a
// pixel transparent exactly when its stored value is 0.  Every row while
// `*budget` (pixels) lasts, then the first and the last row of each frame:
// the conversion is one loop for every row, and converting every row of
// every large frame would take most of the run.  The harness's own loops
// are not instrumented for coverage: that would only slow the run.
__attribute__((no_sanitize("coverage"))) void CheckRgbaRows(const StoredFrame& frame, uint64_t* budget) {
  FrameRgbaRows rows(ViewOf(frame));
  Require(rows.Width() == frame.width && rows.Height() == frame.height, "RGBA rows of another size than the frame");
  const uint64_t pixels = uint64_t{frame.width} * frame.height;
  const bool every = pixels <= *budget;
  if (every) *budget -= pixels;
  std::vector<uint8_t> row(std::size_t{frame.width} * 4);
  const bool indexed = frame.format == PixelFormat::kIndexed8;
  bool alphaRight = true;
  for (uint32_t y = 0; y < frame.height; y = every || y + 1 == frame.height ? y + 1 : frame.height - 1) {
    const uint8_t* stored = frame.pixels.data() + frame.RowBytes() * y;
    const uint8_t* rgba = row.data();
    rows.ReadRow(y, row.data());
    for (uint32_t x = 0; x < frame.width; ++x) {
      const bool zero = indexed ? stored[x] == 0 : (stored[2 * x] | stored[2 * x + 1]) == 0;
      alphaRight &= rgba[4 * std::size_t{x} + 3] == (zero ? 0 : 255);
    }
  }
  Require(alphaRight, "alpha other than 0 for value 0 and 255 otherwise");
}

// A frame that must not decode: the reason is given and no frame is left.
void CheckUndecodable(Sprite& sprite, uint32_t index, StoredFrame* frame, const char* what) {
  frame->pixels.assign(5, 1);
  frame->width = frame->height = 7;
  Require(!sprite.DecodeFrame(index, frame).empty() && frame->pixels.empty() && frame->width == 0 &&
              frame->height == 0,
          what);
}

// Readable frames whose entries are alike, and their decode, to compare
// between the two passes.
struct Group {
  uint32_t first = 0;  // the first and the last frame of the group
  uint32_t last = 0;
  FrameInfo info;
  uint64_t tableAt = 0;  // C16: where the first frame's line offsets start
  bool decoded = false;  // attempted (not left out by the budget)
  std::string problem;
  std::string irregular;
  std::size_t forward = SIZE_MAX;  // its pixels in Scratch::forward, when decoded without a problem
  const StoredFrame* frame = nullptr;  // the frame, when it is decoded and the sheet is read
};

// A frame decoded the plain way, straight from the file's bytes, tag by tag,
// by the thumbnail's rules: one write position over rows padded to an even
// width, carried from line to line, never past the frame; bytes the file
// does not hold read as 0.  What Sprite::DecodeFrame must give pixel for
// pixel, however it reads and copies; true when the frame is irregular.
// `tableAt` is where a C16 frame's line offsets start.
__attribute__((no_sanitize("coverage"))) bool ReferenceDecode(const FileView& file, SpriteKind kind,
                                                             const FrameInfo& f, uint64_t tableAt,
                                                             std::vector<uint8_t>* pixels) {
  const std::size_t bpp = kind == SpriteKind::kSpr ? 1 : 2;
  pixels->assign(std::size_t{f.width} * f.height * bpp, 0);
  if (kind != SpriteKind::kC16) return file.Copy(f.offset, pixels->data(), pixels->size()) < pixels->size();
  const std::size_t rowPixels = std::size_t{f.width} + (f.width & 1u), total = rowPixels * f.height;
  std::vector<uint8_t>& padded = TheScratch().padded;
  padded.assign(2 * total, 0);
  std::size_t p = 0;
  uint32_t idle = 0;
  bool irregular = false;
  // The write position's pixels are still 0: what the file does not hold
  // stays so.
  auto copy = [&](uint64_t at, std::size_t count) {
    if (file.Copy(at, padded.data() + 2 * p, 2 * count) < 2 * count) irregular = true;
  };
  bool over = false;
  for (uint32_t k = 0; k < f.height && !over; ++k) {
    uint64_t at = k == 0 ? f.offset : file.Le32(tableAt + 4 * uint64_t{k - 1});
    for (;;) {
      uint32_t tag = 0;
      if (at + 2 <= file.size)
        tag = file.Le16(at);
      else
        irregular = true;
      at += 2;
      if (tag == 0) {
        irregular |= p != k * rowPixels + f.width;
        if (f.width & 1u) {
          if (p == total) over = true;
          ++p;
        }
        break;
      }
      const std::size_t run = tag >> 1;
      if (run == 0) {
        if (++idle > kIdleTagAllowance) irregular = over = true;
        if (over) break;
        continue;
      }
      if (run > total - p) {
        if (tag & 1) copy(at, total - p);
        irregular = over = true;
        break;
      }
      if (tag & 1) {
        copy(at, run);
        at += 2 * run;
      }
      p += run;
    }
  }
  for (uint32_t y = 0; y < f.height; ++y)
    std::memcpy(pixels->data() + 2 * std::size_t{f.width} * y, padded.data() + 2 * rowPixels * y, 2 * std::size_t{f.width});
  return irregular;
}

// Frame 1 as the thumbnail shows it: the bitmap's rows without their
// padding (indices or 16-bit values as stored); empty when it fails.
// `platform` serves the file under the name ThumbnailName gives.
const char16_t* ThumbnailName(bool spr) { return spr ? u"f.spr" : u"f.s16"; }

const std::vector<uint8_t>& ThumbnailPixels(DecodePlatform& platform, bool spr) {
  std::vector<uint8_t> header(kHeaderBufferSize);
  BitmapHandle bitmap = nullptr;
  std::vector<uint8_t>& pixels = TheScratch().thumbnail;
  pixels.clear();
  if (DecodeFirstFrame(platform, ThumbnailName(spr), header.data(), &bitmap) != S_OK) return pixels;
  const HeapBitmap* heap = AsHeapBitmap(bitmap);
  const std::size_t rowBytes = std::size_t{static_cast<uint32_t>(heap->width)} * (spr ? 1 : 2);
  const std::size_t stride = spr ? SprStride(heap->width) : Sprite16Stride(heap->width);
  pixels.resize(rowBytes * static_cast<uint32_t>(heap->height));
  for (int32_t y = 0; y < heap->height; ++y) std::memcpy(pixels.data() + y * rowBytes, heap->pixels + y * stride, rowBytes);
  platform.DeleteBitmap(bitmap);
  return pixels;
}

// Where each C16 frame's line offsets start: the entries are found one after
// the other, each followed by its table.
std::vector<uint64_t> TablePositions(const FileView& file, uint32_t count) {
  std::vector<uint64_t> at;
  uint64_t next = kSprite16HeaderSize;
  for (uint32_t i = 0; i < count && next + kFrameEntrySize <= file.size; ++i) {
    at.push_back(next + kFrameEntrySize);
    const uint32_t height = file.Le16(next + 6);
    next += kFrameEntrySize + (height > 0 ? 4 * (uint64_t{height} - 1) : 0);
  }
  return at;
}

// Columns as LayoutSheet chooses them, to judge a refused layout.
uint32_t ColumnsFor(uint32_t count, uint32_t asked) {
  uint32_t columns = asked;
  if (columns == 0) {
    columns = 1;
    while (uint64_t{columns} * columns < count) ++columns;
  }
  return std::min(columns, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const bool spr = (selector & 1) == 0;
  const uint32_t askedColumns = (selector >> 1) & 7;
  const uint8_t* file = data + 1;
  const std::size_t fileBytes = size - 1;
  const bool repeated = ((selector >> 4) & 3) == 3 && fileBytes > 0;

  MemorySource memory(file, fileBytes);
  FileView view{file, fileBytes, fileBytes};
  std::vector<uint8_t> pattern;
  std::unique_ptr<RepeatedSource> repeatedSource;
  ByteSource* inner = &memory;
  if (repeated) {
    pattern = RepeatedPattern(file, fileBytes, spr);
    const uint64_t large = (selector & 0x40) ? (uint64_t{1} << 20) + 5 : ReadBuffer::kMaxCapacity + 7;
    view = FileView{pattern.data(), pattern.size(), large};
    repeatedSource = std::make_unique<RepeatedSource>(view);
    inner = repeatedSource.get();
  }
  CountingSource source(*inner);
  const uint64_t fileSize = source.Size();
  const uint64_t capacity = ReadBuffer::CapacityFor(fileSize);

  std::string problem;
  std::unique_ptr<Sprite> sprite = Sprite::Open(source, spr, &problem);
  // Reading the directory: the header, then forward over the entries; C16
  // forward again over the line tables.  Two runs of reads as described at
  // DecodeReadBound, each passing at most the file.
  uint64_t readBound = 6 + 2 * (fileSize + capacity);
  Require(source.requested <= readBound, "directory reads beyond the bound");
  if (!sprite) {
    Require(!problem.empty(), "no sprite and no reason");
    return 0;
  }

  // The kind and format the header names.
  if (spr) {
    Require(sprite->Kind() == SpriteKind::kSpr && sprite->Format() == PixelFormat::kIndexed8, "SPR kind or format");
  } else {
    const uint32_t flags = view.At(0);
    Require(sprite->Kind() == ((flags & SPRITE16_COMPRESSED) ? SpriteKind::kC16 : SpriteKind::kS16) &&
                sprite->Format() == ((flags & SPRITE16_RGB565) ? PixelFormat::kRgb565 : PixelFormat::kRgb555),
            "16-bit kind or format other than the flags say");
  }
  const SpriteKind kind = sprite->Kind();
  const PixelFormat format = sprite->Format();
  const uint32_t count = sprite->FrameCount();
  const uint32_t held = sprite->HeldFrames();
  Require(count > 0, "a sprite of no frames");
  Require(held <= count && sprite->ReadableFrames() <= held, "more entries held than claimed, or readable than held");

  // The entries the file holds: SPR and S16 as many as it has room for,
  // C16 those the walk from entry to entry over their line tables reaches.
  const std::vector<uint64_t> tables = kind == SpriteKind::kC16 ? TablePositions(view, count) : std::vector<uint64_t>();
  if (kind == SpriteKind::kC16) {
    Require(held == tables.size(), "C16 entries held other than the walk over the line tables finds");
  } else {
    const uint64_t header = spr ? kSprHeaderSize : kSprite16HeaderSize;
    Require(held == std::min<uint64_t>(count, (fileSize - header) / kFrameEntrySize),
            "entries held other than the file has room for");
  }

  // Every frame the file holds, as the directory describes it; damaged ones
  // must not decode, and readable ones are grouped with those alike.
  std::vector<Group> groups;          // in the order of their first frames
  std::vector<uint32_t> groupOf;      // per readable frame, in order
  Scratch& scratch = TheScratch();
  scratch.groups.Reset(held);
  scratch.damaged.Reset(held);
  uint32_t cellWidth = 0, cellHeight = 0;
  StoredFrame frame;
  for (uint32_t i = 0; i < held; ++i) {
    const FrameInfo& f = sprite->Frame(i);
    Require(f.hasEntry, "a frame the file holds without an entry");
    const uint64_t entry = (uint64_t{f.offset} << 32) | (uint64_t{f.width} << 16) | f.height;
    if (!Readable(f)) {
      if (scratch.damaged.FindOrAdd(entry, std::hash<std::string>()(f.damaged), i) != i) continue;
      CheckUndecodable(*sprite, i, &frame, "a damaged frame decodes");
      continue;
    }
    Require(f.width > 0 && f.height > 0, "readable frame without pixels");
    const std::size_t stride = format == PixelFormat::kIndexed8 ? SprStride(f.width) : Sprite16Stride(f.width);
    Require(PixelMemoryBytes(stride, f.height) <= kMaxPixelBytes, "readable frame beyond kMaxPixelBytes");
    Require(f.offset < fileSize, "readable frame starts past the end of the file");
    cellWidth = std::max<uint32_t>(cellWidth, f.width);
    cellHeight = std::max<uint32_t>(cellHeight, f.height);
    // A C16 frame of several lines also needs the same line table bytes:
    // in a repeated file, those of a table at the same place in the
    // repeated bytes.
    uint64_t table = 0;
    if (kind == SpriteKind::kC16 && f.height > 1) table = repeated ? tables[i] % view.count : tables[i];
    const auto size = static_cast<uint32_t>(groups.size());
    const uint32_t at = scratch.groups.FindOrAdd(entry, table, size);
    if (at == size) {
      groups.emplace_back();
      groups.back().first = i;
      groups.back().info = f;
      groups.back().tableAt = kind == SpriteKind::kC16 ? tables[i] : 0;
    }
    Group& group = groups[at];
    Require(f.irregular == group.info.irregular, "frames alike described differently");
    group.last = i;
    groupOf.push_back(at);
  }
  const auto readable = static_cast<uint32_t>(groupOf.size());
  Require(readable == sprite->ReadableFrames(), "readable frames other than ReadableFrames() counts");

  // Frames past the entries the file holds: all alike, without an entry.
  if (held < count) {
    const FrameInfo first = sprite->Frame(held);
    const FrameInfo& last = sprite->Frame(count - 1);
    Require(!first.hasEntry && !first.damaged.empty() && !last.hasEntry && !last.damaged.empty(),
            "a frame past the entries held has an entry or is not damaged");
    Require(first.damaged == last.damaged && first.offset == last.offset && first.width == last.width &&
                first.height == last.height,
            "frames past the entries held described differently");
    CheckUndecodable(*sprite, held, &frame, "a frame past the entries held decodes");
    CheckUndecodable(*sprite, count - 1, &frame, "a frame past the entries held decodes");
  }
  CheckUndecodable(*sprite, count, &frame, "a frame past the frame count decodes");

  // The sheet of the readable frames; small ones are read below.
  SheetLayout layout;
  bool sheet = false;
  if (readable > 0) {
    if (LayoutSheet(readable, cellWidth, cellHeight, askedColumns, &layout, &problem)) {
      const uint64_t area = uint64_t{layout.Width()} * layout.Height();
      Require(area * 4 <= kMaxHeldBytes, "a laid-out sheet beyond kMaxHeldBytes");
      Require(layout.count == readable && layout.cellWidth == cellWidth && layout.cellHeight == cellHeight &&
                  layout.columns == ColumnsFor(readable, askedColumns) &&
                  uint64_t{layout.rows} * layout.columns >= readable &&
                  uint64_t{layout.rows - 1} * layout.columns < readable,
              "sheet layout other than asked");
      sheet = area + kCellCost * readable <= kSheetPixels;
    } else {
      const uint32_t columns = ColumnsFor(readable, askedColumns);
      const uint64_t rows = (readable + columns - 1) / columns;
      Require(uint64_t{columns} * cellWidth * rows * cellHeight * 4 > kMaxHeldBytes,
              "a sheet within kMaxHeldBytes refused");
    }
  }

  // Each group as stored and as RGBA, forward, from its first frame; the
  // pixels are kept for the second pass, and the frames for the sheet.
  std::vector<uint8_t>& reference = scratch.reference;
  std::size_t forwardKept = 0;
  uint64_t budget = kDecodeBudget, rgbaBudget = kRgbaPixels;
  bool largeDecoded = false;
  std::deque<StoredFrame> kept;
  for (Group& group : groups) {
    const FrameInfo& f = group.info;
    const uint64_t cost = DecodeCost(f, kind, format), bytes = StoredBytes(f, format);
    if (!largeDecoded && kind != SpriteKind::kC16 && bytes >= ReadBuffer::kMaxCapacity && bytes <= kLargeFrame) {
      largeDecoded = true;
    } else if (cost <= budget) {
      budget -= cost;
    } else {
      continue;
    }
    readBound += DecodeReadBound(f, kind, format, capacity);
    group.decoded = true;
    group.problem = sprite->DecodeFrame(group.first, &frame);
    const bool irregular = ReferenceDecode(view, kind, f, group.tableAt, &reference);
    Require(group.problem.empty() || group.problem == "out of memory", "a readable frame does not decode");
    Require(!group.problem.empty() || frame.pixels == reference, "a frame's pixels other than the plain decode's");
    Require(!group.problem.empty() || frame.irregular.empty() != irregular,
            "a frame irregular where the plain decode finds it regular, or the other way round");
    // Frame 1 shows the thumbnail's pixels.
    if (group.first == 0 && group.problem.empty()) {
      RepeatedDecodePlatform repeatedPlatform(view);
      MemoryDecodePlatform memoryPlatform;
      memoryPlatform.AddFileView(ThumbnailName(spr), file, fileBytes);
      const std::vector<uint8_t>& thumbnail =
          ThumbnailPixels(repeated ? static_cast<DecodePlatform&>(repeatedPlatform) : memoryPlatform, spr);
      Require(thumbnail.empty() || thumbnail == frame.pixels, "frame 1 other than the thumbnail's pixels");
    }
    if (group.problem.empty()) {
      Require(frame.width == f.width && frame.height == f.height && frame.format == format,
              "decoded frame of another size or format than its entry");
      Require(frame.pixels.size() == StoredBytes(f, format), "stored pixels other than width * height * bytes per pixel");
      CheckRgbaRows(frame, &rgbaBudget);
      group.irregular = frame.irregular;
      if (forwardKept == scratch.forward.size()) scratch.forward.emplace_back();
      scratch.forward[forwardKept].assign(frame.pixels.begin(), frame.pixels.end());
      group.forward = forwardKept++;
      if (sheet) {
        kept.push_back(frame);
        group.frame = &kept.back();
      }
    } else {
      Require(frame.pixels.empty() && frame.width == 0 && frame.height == 0, "a failed decode left a frame");
    }
  }
  Require(source.requested <= readBound, "decoding read beyond the bound");

  // The sheet, row by row: each cell holds its frame's RGBA rows at its top
  // left, and every other byte of the sheet is 0.
  if (sheet) {
    std::vector<const StoredFrame*> cells;
    for (uint32_t group : groupOf) cells.push_back(groups[group].frame);
    SheetRows rows(layout, cells);
    Require(rows.Width() == layout.Width() && rows.Height() == layout.Height(), "sheet rows of another size");
    std::vector<std::unique_ptr<FrameRgbaRows>> frameRows;
    for (const StoredFrame* cell : cells)
      frameRows.push_back(cell ? std::make_unique<FrameRgbaRows>(ViewOf(*cell)) : nullptr);
    const std::size_t cellBytes = std::size_t{layout.cellWidth} * 4;
    std::vector<uint8_t> row(std::size_t{layout.Width()} * 4), expected(row.size());
    for (uint32_t y = 0; y < layout.Height(); ++y) {
      std::fill(expected.begin(), expected.end(), 0);
      const uint32_t gridRow = y / layout.cellHeight, inCell = y % layout.cellHeight;
      for (uint32_t column = 0; column < layout.columns; ++column) {
        const uint64_t cell = uint64_t{gridRow} * layout.columns + column;
        if (cell >= cells.size() || !cells[cell] || inCell >= cells[cell]->height) continue;
        frameRows[cell]->ReadRow(inCell, expected.data() + column * cellBytes);
      }
      std::fill(row.begin(), row.end(), 0xA5);
      rows.ReadRow(y, row.data());
      Require(row == expected, "sheet row other than its frames' rows");
    }
  }

  // The groups again, last first, each from its last frame: the same
  // pixels and the same problems as going forward from the first.
  for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
    if (!group->decoded) continue;
    readBound += DecodeReadBound(group->info, kind, format, capacity);
    const std::string again = sprite->DecodeFrame(group->last, &frame);
    Require(again == group->problem, "a frame's problem depends on the frames decoded before it, or differs from a frame alike");
    Require(group->forward == SIZE_MAX ||
                (frame.pixels == scratch.forward[group->forward] && frame.irregular == group->irregular),
            "a frame's pixels depend on the frames decoded before it, or differ from a frame alike");
  }
  Require(source.requested <= readBound, "decoding again read beyond the bound");

  // A file smaller than the buffer's capacity is read whole by the first
  // fill (a header longer than the file is asked for in one read instead),
  // and never again.
  if (fileSize < ReadBuffer::kMaxCapacity)
    Require(source.reads <= 1 && source.requested <= std::max<uint64_t>(fileSize + 1, 6),
            "a small file read more than once");
  return 0;
}
