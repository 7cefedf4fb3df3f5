// libFuzzer target for every frame of a sprite: the frame directory, frames
// as stored, their RGBA rows and a sheet of them.
//
// Input: one selector byte, then the file.
//   bit 0      0: SPR (a name ending in "spr"), 1: 16-bit (S16 or C16)
//   bits 1-3   the sheet's columns (0: nearly square)
//   bits 4-5   3: the file is the rest of the input repeated up to a size
//              past the read buffer's capacity (bit 6: 256 KiB + 7 bytes,
//              or 1 MiB + 5), so that the reads of large files (seeks,
//              growing fills, frames read straight into their memory) are
//              fuzzed too; otherwise the rest of the input as it is
//
// The harness opens the sprite, lists every frame, decodes each readable
// frame as stored (and compares it with a plain tag-by-tag decode made
// straight from the input, by the rules the thumbnail follows) and as RGBA
// rows, requires frame 1 to show the thumbnail's pixels, lays out a sheet
// of the readable frames
// and, when it is small, reads every row of it.  Then it decodes the frames
// again in reverse order and requires the same results: the read buffer's
// state must never show in the pixels.
//
// Memory and time stay modest: a frame of more than kFrameCap stored bytes
// is listed but not decoded, and once an input has had kInputBudget bytes or
// kDecodeLimit frames decoded the remaining frames are not either (a file of
// 65535 entries that all name the same frame would otherwise decode it 65535
// times).  The cap still admits frames larger than the read buffer, which
// are read straight into their memory.  RGBA rows are checked for the first
// kRgbaBudget pixels an input decodes, and sheets up to kSheetCap: the
// conversion is the same simple loop for every pixel, and checking more of
// them per input only slows the search.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "decode/bitmap_header.h"
#include "decode/decoder.h"
#include "decode/portable_platform.h"
#include "decode/read_buffer.h"
#include "decode/sprite_format.h"
#include "frames/byte_source.h"
#include "frames/rgba.h"
#include "frames/sheet.h"
#include "frames/sprite.h"
#include "counting_source.h"
#include "fuzz_require.h"

namespace {

using namespace tamsorel;
using tamsorel::fuzz::Require;
using tamsorel::test::CountingSource;

constexpr uint64_t kFrameCap = uint64_t{512} << 10;
constexpr uint64_t kInputBudget = uint64_t{1} << 20;
constexpr uint32_t kDecodeLimit = 1024;
// Sheets up to this many RGBA bytes are read row by row and checked.
constexpr uint64_t kSheetCap = uint64_t{1} << 20;
constexpr uint64_t kRgbaBudget = uint64_t{256} << 10;

// `bytes` repeated from offset 0 on, `size` bytes in all.
class RepeatedSource final : public ByteSource {
 public:
  RepeatedSource(const uint8_t* bytes, std::size_t count, uint64_t size) : bytes_(bytes), count_(count), size_(size) {}

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    uint32_t done = 0;
    while (done < count && offset + done < size_) {
      const uint64_t at = offset + done;
      const auto from = static_cast<std::size_t>(at % count_);
      const uint64_t n = std::min<uint64_t>({count - done, count_ - from, size_ - at});
      std::memcpy(target + done, bytes_ + from, static_cast<std::size_t>(n));
      done += static_cast<uint32_t>(n);
    }
    *obtained = done;
    return true;
  }
  uint64_t Size() const override { return size_; }

 private:
  const uint8_t* bytes_;
  std::size_t count_;
  uint64_t size_;
};

uint64_t StoredBytes(const FrameInfo& f, PixelFormat format) {
  return uint64_t{f.width} * f.height * BytesPerPixel(format);
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
// pixel transparent exactly when its stored value is 0.  The harness's own
// loops are not instrumented for coverage: that would only slow the run.
__attribute__((no_sanitize("coverage"))) void CheckRgbaRows(const StoredFrame& frame) {
  FrameRgbaRows rows(ViewOf(frame));
  Require(rows.Width() == frame.width && rows.Height() == frame.height, "RGBA rows of another size than the frame");
  std::vector<uint8_t> rgba(std::size_t{frame.width} * 4);
  const bool indexed = frame.format == PixelFormat::kIndexed8;
  const uint8_t* stored = frame.pixels.data();
  bool alphaRight = true;
  for (uint32_t y = 0; y < frame.height; ++y, stored += frame.RowBytes()) {
    rows.ReadRow(y, rgba.data());
    for (uint32_t x = 0; x < frame.width; ++x) {
      const bool zero = indexed ? stored[x] == 0 : (stored[2 * x] | stored[2 * x + 1]) == 0;
      alphaRight &= rgba[4 * std::size_t{x} + 3] == (zero ? 0 : 255);
    }
  }
  Require(alphaRight, "alpha other than 0 for value 0 and 255 otherwise");
}

// A readable frame and its decode, to compare between the two passes.
struct Listed {
  uint32_t index = 0;
  FrameInfo info;
  bool decoded = false;  // attempted (not skipped for memory)
  std::string problem;
  const StoredFrame* frame = nullptr;  // when decoded without a problem
};

// The file's bytes as the harness sees them, for the reference decoder.
struct FileView {
  const uint8_t* bytes;
  std::size_t count;  // bytes of input, repeated up to `size`
  uint64_t size;

  uint8_t At(uint64_t offset) const { return bytes[offset % count]; }
  uint32_t Le16(uint64_t offset) const { return At(offset) | (uint32_t{At(offset + 1)} << 8); }
  uint32_t Le32(uint64_t offset) const { return Le16(offset) | (Le16(offset + 2) << 16); }
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
  bool irregular = false;
  if (kind != SpriteKind::kC16) {
    for (std::size_t i = 0; i < pixels->size(); ++i) {
      if (f.offset + i < file.size)
        (*pixels)[i] = file.At(f.offset + i);
      else
        irregular = true;
    }
    return irregular;
  }
  const std::size_t rowPixels = std::size_t{f.width} + (f.width & 1u), total = rowPixels * f.height;
  std::vector<uint8_t> padded(2 * total, 0);
  std::size_t p = 0;
  uint32_t idle = 0;
  auto copy = [&](uint64_t at, std::size_t count) {
    for (std::size_t i = 0; i < 2 * count; ++i) {
      if (at + i < file.size)
        padded[2 * p + i] = file.At(at + i);
      else
        irregular = true;
    }
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
std::vector<uint8_t> ThumbnailPixels(const uint8_t* file, std::size_t bytes, bool spr) {
  MemoryDecodePlatform platform;
  const std::u16string name = spr ? u"f.spr" : u"f.s16";
  platform.AddFileView(name, file, bytes);
  std::vector<uint8_t> header(kHeaderBufferSize);
  BitmapHandle bitmap = nullptr;
  std::vector<uint8_t> pixels;
  if (DecodeFirstFrame(platform, name.c_str(), header.data(), &bitmap) != S_OK) return pixels;
  const HeapBitmap* heap = AsHeapBitmap(bitmap);
  const std::size_t rowBytes = std::size_t{static_cast<uint32_t>(heap->width)} * (spr ? 1 : 2);
  const std::size_t stride = spr ? SprStride(heap->width) : Sprite16Stride(heap->width);
  for (int32_t y = 0; y < heap->height; ++y)
    pixels.insert(pixels.end(), heap->pixels + y * stride, heap->pixels + y * stride + rowBytes);
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

  MemorySource memory(file, fileBytes);
  std::unique_ptr<RepeatedSource> repeated;
  ByteSource* inner = &memory;
  if (((selector >> 4) & 3) == 3 && fileBytes > 0) {
    const uint64_t large = (selector & 0x40) ? (uint64_t{1} << 20) + 5 : ReadBuffer::kMaxCapacity + 7;
    repeated = std::make_unique<RepeatedSource>(file, fileBytes, large);
    inner = repeated.get();
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
    uint8_t flags = 0;
    uint32_t got = 0;
    inner->ReadAt(0, &flags, 1, &got);
    Require(sprite->Kind() == ((flags & SPRITE16_COMPRESSED) ? SpriteKind::kC16 : SpriteKind::kS16) &&
                sprite->Format() == ((flags & SPRITE16_RGB565) ? PixelFormat::kRgb565 : PixelFormat::kRgb555),
            "16-bit kind or format other than the flags say");
  }
  const SpriteKind kind = sprite->Kind();
  const PixelFormat format = sprite->Format();
  const uint32_t count = sprite->FrameCount();
  Require(count > 0, "a sprite of no frames");

  // Every frame as the directory describes it; damaged ones must not decode.
  std::vector<Listed> listed;
  uint32_t cellWidth = 0, cellHeight = 0;
  StoredFrame frame;
  for (uint32_t i = 0; i < count; ++i) {
    const FrameInfo f = sprite->Frame(i);
    Require(f.hasEntry || !f.damaged.empty(), "a frame without an entry is not damaged");
    if (!Readable(f)) {
      frame.pixels.assign(5, 1);
      Require(!sprite->DecodeFrame(i, &frame).empty() && frame.pixels.empty() && frame.width == 0,
              "a damaged frame decodes");
      continue;
    }
    Require(f.width > 0 && f.height > 0, "readable frame without pixels");
    const std::size_t stride = format == PixelFormat::kIndexed8 ? SprStride(f.width) : Sprite16Stride(f.width);
    Require(PixelMemoryBytes(stride, f.height) <= kMaxPixelBytes, "readable frame beyond kMaxPixelBytes");
    Require(f.offset < fileSize, "readable frame starts past the end of the file");
    listed.emplace_back();
    listed.back().index = i;
    listed.back().info = f;
    cellWidth = std::max<uint32_t>(cellWidth, f.width);
    cellHeight = std::max<uint32_t>(cellHeight, f.height);
  }
  frame.pixels.assign(3, 1);
  Require(!sprite->DecodeFrame(count, &frame).empty() && frame.pixels.empty() && frame.width == 0,
          "a frame past the frame count decodes");
  const auto readable = static_cast<uint32_t>(listed.size());

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
      sheet = area * 4 <= kSheetCap;
    } else {
      const uint32_t columns = ColumnsFor(readable, askedColumns);
      const uint64_t rows = (readable + columns - 1) / columns;
      Require(uint64_t{columns} * cellWidth * rows * cellHeight * 4 > kMaxHeldBytes,
              "a sheet within kMaxHeldBytes refused");
    }
  }

  // Every frame as stored and as RGBA, forward; the frames are kept for the
  // sheet and the second pass.
  const FileView view{file, fileBytes, fileSize};
  const std::vector<uint64_t> tables = kind == SpriteKind::kC16 ? TablePositions(view, count) : std::vector<uint64_t>();
  std::vector<uint8_t> reference;
  uint64_t budget = kInputBudget, rgbaBudget = kRgbaBudget;
  uint32_t decodes = 0;
  std::deque<StoredFrame> kept;
  std::vector<const StoredFrame*> cells;
  for (Listed& o : listed) {
    const FrameInfo& f = o.info;
    const uint64_t bytes = StoredBytes(f, format);
    if (bytes > kFrameCap || bytes > budget || decodes == kDecodeLimit) {
      if (sheet) cells.push_back(nullptr);
      continue;
    }
    budget -= bytes;
    ++decodes;
    readBound += DecodeReadBound(f, kind, format, capacity);
    o.decoded = true;
    o.problem = sprite->DecodeFrame(o.index, &frame);
    const uint64_t tableAt = o.index < tables.size() ? tables[o.index] : 0;
    const bool irregular = ReferenceDecode(view, kind, f, tableAt, &reference);
    Require(o.problem.empty() || o.problem == "out of memory", "a readable frame does not decode");
    Require(!o.problem.empty() || frame.pixels == reference, "a frame's pixels other than the plain decode's");
    Require(!o.problem.empty() || frame.irregular.empty() != irregular,
            "a frame irregular where the plain decode finds it regular, or the other way round");
    // Frame 1 shows the thumbnail's pixels (the thumbnail reads the input as
    // it is, so only unrepeated inputs are compared).
    if (o.index == 0 && o.problem.empty() && !repeated) {
      const std::vector<uint8_t> thumbnail = ThumbnailPixels(file, fileBytes, spr);
      Require(thumbnail.empty() || thumbnail == frame.pixels, "frame 1 other than the thumbnail's pixels");
    }
    if (o.problem.empty()) {
      Require(frame.width == f.width && frame.height == f.height && frame.format == format,
              "decoded frame of another size or format than its entry");
      Require(frame.pixels.size() == bytes, "stored pixels other than width * height * bytes per pixel");
      const uint64_t pixels = uint64_t{frame.width} * frame.height;
      if (pixels <= rgbaBudget) {
        rgbaBudget -= pixels;
        CheckRgbaRows(frame);
      }
      kept.push_back(frame);
      o.frame = &kept.back();
    } else {
      Require(frame.pixels.empty() && frame.width == 0 && frame.height == 0, "a failed decode left a frame");
    }
    if (sheet) cells.push_back(o.frame);
  }
  Require(source.requested <= readBound, "decoding read beyond the bound");

  // The sheet, row by row: each cell holds its frame's RGBA rows at its top
  // left, and every other byte of the sheet is 0.
  if (sheet) {
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

  // The same frames again, last first: the same pixels and the same problems.
  for (auto o = listed.rbegin(); o != listed.rend(); ++o) {
    if (!o->decoded) continue;
    readBound += DecodeReadBound(o->info, kind, format, capacity);
    const std::string again = sprite->DecodeFrame(o->index, &frame);
    Require(again == o->problem, "a frame's problem depends on the frames decoded before it");
    Require(!o->frame || frame.pixels == o->frame->pixels, "a frame's pixels depend on the frames decoded before it");
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
