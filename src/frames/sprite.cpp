#include "frames/sprite.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "decode/bitmap_header.h"
#include "decode/decoder.h"
#include "decode/sprite_format.h"

namespace tamsorel {

namespace {

// Entries are read in pieces of this many, so a directory of any claimed
// length costs memory for the entries the file really holds.
constexpr uint32_t kEntriesPerRead = 512;

// Line offsets of C16 frames kept from the directory for decoding, at most
// (a million lines); the tables of further frames are read again when their
// frame is decoded.
constexpr std::size_t kKeptLineTableBytes = std::size_t{4} << 20;

// Bitmap memory a frame would take as a thumbnail: the same limit holds
// for every surface that decodes frames.
uint64_t FrameMemory(PixelFormat format, uint32_t width, uint32_t height) {
  const std::size_t stride = format == PixelFormat::kIndexed8 ? SprStride(width) : Sprite16Stride(width);
  return PixelMemoryBytes(stride, height);
}

std::string LineProblem(uint32_t line, const char* what) {
  return "line " + std::to_string(line) + " " + what;
}

}  // namespace

const char* KindName(SpriteKind kind) {
  switch (kind) {
    case SpriteKind::kSpr: return "spr";
    case SpriteKind::kS16: return "s16";
    case SpriteKind::kC16: return "c16";
  }
  return "?";
}

const char* FormatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::kIndexed8: return "indexed8";
    case PixelFormat::kRgb565: return "rgb565";
    case PixelFormat::kRgb555: return "rgb555";
  }
  return "?";
}

Sprite::Sprite(ByteSource& source, uint32_t capacity)
    : source_(source), storage_(new (std::nothrow) uint8_t[capacity]), buffer_(storage_.get(), capacity) {}

std::unique_ptr<Sprite> Sprite::Open(ByteSource& source, bool spr, std::string* problem) {
  std::unique_ptr<Sprite> sprite(new (std::nothrow) Sprite(source, ReadBuffer::CapacityFor(source.Size())));
  if (!sprite || !sprite->storage_) {
    *problem = "out of memory";
    return nullptr;
  }
  try {
    if (!sprite->ReadDirectory(spr, problem)) return nullptr;
  } catch (const std::bad_alloc&) {
    *problem = "out of memory";
    return nullptr;
  }
  return sprite;
}

bool Sprite::ReadExactly(uint64_t offset, void* target, uint32_t count) {
  buffer_.Seek(offset);
  uint32_t obtained = 0;
  return buffer_.Read(source_, target, count, &obtained) && obtained == count;
}

bool Sprite::ReadDirectory(bool spr, std::string* problem) {
  const uint64_t size = source_.Size();
  uint8_t header[kSprite16HeaderSize];
  const uint32_t headerSize = spr ? kSprHeaderSize : kSprite16HeaderSize;
  if (!ReadExactly(0, header, headerSize)) {
    *problem = size < headerSize ? "too short for the header of a sprite" : "its header cannot be read";
    return false;
  }
  if (spr) {
    kind_ = SpriteKind::kSpr;
    format_ = PixelFormat::kIndexed8;
    frameCount_ = LoadLe16(header);
  } else {
    const uint32_t flags = LoadLe32(header);
    kind_ = (flags & SPRITE16_COMPRESSED) ? SpriteKind::kC16 : SpriteKind::kS16;
    format_ = (flags & SPRITE16_RGB565) ? PixelFormat::kRgb565 : PixelFormat::kRgb555;
    frameCount_ = LoadLe16(header + 4);
  }
  if (frameCount_ == 0) {
    *problem = "its header says it holds no frames";
    return false;
  }

  uint64_t directoryEnd = 0;
  if (kind_ != SpriteKind::kC16) {
    // Consecutive entries; only those the file holds are read.
    directoryEnd = headerSize + uint64_t{kFrameEntrySize} * frameCount_;
    const uint64_t held = size > headerSize ? (size - headerSize) / kFrameEntrySize : 0;
    entries_.resize(static_cast<std::size_t>(std::min<uint64_t>(frameCount_, held)));
    uint8_t bytes[kEntriesPerRead * kFrameEntrySize];
    for (std::size_t first = 0; first < entries_.size(); first += kEntriesPerRead) {
      const auto n = static_cast<uint32_t>(std::min<std::size_t>(kEntriesPerRead, entries_.size() - first));
      if (!ReadExactly(headerSize + first * kFrameEntrySize, bytes, n * kFrameEntrySize)) {
        entries_.resize(first);
        break;
      }
      for (uint32_t i = 0; i < n; ++i) {
        const FrameEntry e = ParseFrameEntry(bytes + i * kFrameEntrySize);
        entries_[first + i].info = FrameInfo{e.offset, e.width, e.height, true, {}};
      }
    }
  } else {
    // Each entry is followed by its frame's line table, so the entries are
    // found one after the other; the walk stops at the end of the file.
    uint64_t at = headerSize;
    bool whole = true;
    for (uint32_t i = 0; i < frameCount_; ++i) {
      uint8_t bytes[kFrameEntrySize];
      if (at + kFrameEntrySize > size || !ReadExactly(at, bytes, kFrameEntrySize)) {
        whole = false;
        break;
      }
      const FrameEntry e = ParseFrameEntry(bytes);
      Entry entry;
      entry.info = FrameInfo{e.offset, e.width, e.height, true, {}};
      entry.tableAt = at + kFrameEntrySize;
      const uint64_t tableBytes = e.height > 0 ? 4 * (uint64_t{e.height} - 1) : 0;
      at = entry.tableAt + tableBytes;
      if (at > size) entry.info.damaged = "its line table is cut off by the end of the file";
      entries_.push_back(std::move(entry));
      if (at > size) {
        whole = false;
        break;
      }
    }
    // A directory that runs past the end of the file leaves no room for
    // pixels after it: everything the file holds counts as directory.
    directoryEnd = whole ? at : size;
  }

  for (Entry& entry : entries_) {
    if (!entry.info.damaged.empty()) continue;
    CheckPixelsOf(entry, directoryEnd);
    if (kind_ == SpriteKind::kC16 && entry.info.damaged.empty()) CheckLinesOf(entry, directoryEnd);
  }
  return true;
}

// What the directory alone tells about a frame's pixels.
void Sprite::CheckPixelsOf(Entry& entry, uint64_t directoryEnd) const {
  FrameInfo& f = entry.info;
  const std::string size = std::to_string(f.width) + " × " + std::to_string(f.height);
  if (f.width == 0 || f.height == 0) {
    f.damaged = "it has no pixels (" + size + ")";
  } else if (FrameMemory(format_, f.width, f.height) > kMaxPixelBytes) {
    f.damaged = "its " + size + " pixels are more than the 256 MiB a frame may have";
  } else if (f.offset < directoryEnd) {
    f.damaged = "its pixel data would start inside the frame directory";
  } else if (kind_ != SpriteKind::kC16 &&
             f.offset + uint64_t{f.width} * BytesPerPixel(format_) * f.height > source_.Size()) {
    f.damaged = "its pixel data runs past the end of the file";
  } else if (f.offset >= source_.Size()) {
    f.damaged = "line 1 starts past the end of the file";
  }
}

// C16: every line must start after the directory and inside the file.  The
// table of a frame that passes is kept while kKeptLineTableBytes allows.
void Sprite::CheckLinesOf(Entry& entry, uint64_t directoryEnd) {
  const uint64_t size = source_.Size();
  uint8_t chunk[4 * 1024];
  const uint32_t lines = entry.info.height - 1u;
  const std::size_t tableBytes = 4 * std::size_t{lines};
  const std::size_t keptAt = lineTables_.size();
  const bool keep = tableBytes <= kKeptLineTableBytes - keptAt;
  if (keep) lineTables_.resize(keptAt + tableBytes);
  for (uint32_t first = 0; first < lines; first += 1024) {
    const uint32_t n = std::min<uint32_t>(1024, lines - first);
    uint8_t* const bytes = keep ? lineTables_.data() + keptAt + 4 * std::size_t{first} : chunk;
    const char* problem = nullptr;
    uint32_t line = 0;
    if (!ReadExactly(entry.tableAt + 4 * uint64_t{first}, bytes, 4 * n)) {
      problem = "its line table cannot be read";
    } else {
      for (uint32_t i = 0; i < n && !problem; ++i) {
        const uint32_t offset = LoadLe32(bytes + 4 * i);
        line = first + i + 2;
        if (offset < directoryEnd) {
          problem = "would start inside the frame directory";
        } else if (offset >= size) {
          problem = "starts past the end of the file";
        }
      }
    }
    if (problem) {
      entry.info.damaged = line == 0 ? problem : LineProblem(line, problem);
      if (keep) lineTables_.resize(keptAt);
      return;
    }
  }
  if (keep) entry.keptAt = keptAt;
}

FrameInfo Sprite::Frame(uint32_t index) const {
  if (index < entries_.size()) return entries_[index].info;
  FrameInfo missing;
  missing.damaged = "its directory entry lies past the end of the file";
  return missing;
}

std::string Sprite::DecodeFrame(uint32_t index, StoredFrame* out) {
  out->width = out->height = 0;
  std::string problem;
  if (index >= frameCount_) {
    problem = "there is no frame " + std::to_string(index + 1);
  } else if (index >= entries_.size()) {
    problem = Frame(index).damaged;
  } else if (!entries_[index].info.damaged.empty()) {
    problem = entries_[index].info.damaged;
  }
  if (!problem.empty()) {
    out->pixels.clear();
    return problem;
  }
  const Entry& entry = entries_[index];
  try {
    out->format = format_;
    out->width = entry.info.width;
    out->height = entry.info.height;
    // Every byte is written below, so memory the frame had before is
    // reused as it is (resize clears only what it adds).
    out->pixels.resize(out->RowBytes() * out->height);
    if (kind_ == SpriteKind::kC16) {
      problem = ExpandLines(entry, out);
    } else if (!ReadExactly(entry.info.offset, out->pixels.data(), static_cast<uint32_t>(out->pixels.size()))) {
      problem = "its pixel data cannot be read";
    }
  } catch (const std::bad_alloc&) {
    problem = "out of memory";
  }
  if (!problem.empty()) {
    out->width = out->height = 0;
    out->pixels.clear();
  }
  return problem;
}

namespace {

// Runs of at most this many bytes are copied, or cleared, as one move of
// this fixed size when the bytes held and the frame's memory both reach that
// far.  The bytes moved beyond the run land later in the row or in rows not
// expanded yet, which every line writes whole (runs, then the transparent
// rest), so they never stand.  Most runs are short, and a fixed move costs
// far less than a call that copies a length known only at run time.
constexpr std::size_t kShortRun = 64;
constexpr uint8_t kZeros[kShortRun] = {};

// Expands the runs of one C16 line into its row.  Runs beyond the row, a
// line cut off by the end of the file and endless chains of empty runs make
// the frame damaged; a line that ends early leaves the rest of its row
// transparent.
class LineExpansion {
 public:
  LineExpansion(uint8_t* row, uint32_t width, const uint8_t* frameEnd)
      : rowEnd_(row + 2 * std::size_t{width}), frameEnd_(frameEnd), out_(row) {}

  enum class Step { kMore, kEnd, kFailed };

  // Takes the tags in [*in, end) and the colour runs that follow them there
  // whole, moving *in past what it took.  kMore: the next tag or colour run
  // is not held whole, and *in points at its tag.
  Step TakeHeld(const uint8_t** in, const uint8_t* end) {
    const uint8_t* p = *in;
    uint8_t* out = out_;
    Step step = Step::kMore;
    for (;;) {
      const std::ptrdiff_t held = end - p;
      if (held < 2) break;
      const uint32_t tag = LoadLe16(p);
      const std::size_t bytes = tag & ~1u;  // the run's pixels times two
      const std::size_t colour = tag & 1u;
      const auto room = static_cast<std::size_t>(rowEnd_ - out);
      if (bytes - 1 < kShortRun && held >= static_cast<std::ptrdiff_t>(2 + kShortRun) &&
          frameEnd_ - out >= static_cast<std::ptrdiff_t>(kShortRun)) {
        // A short run of either kind, with room to move kShortRun bytes.
        if (bytes > room) {
          step = Fail("holds more pixels than the frame is wide");
          break;
        }
        if (colour) {
          std::memcpy(out, p + 2, kShortRun);
          p += 2 + bytes;
        } else {
          std::memcpy(out, kZeros, kShortRun);
          p += 2;
        }
        out += bytes;
        continue;
      }
      if (tag == 0) {
        p += 2;
        step = Step::kEnd;
        break;
      }
      if (bytes == 0) {
        p += 2;
        if (++idle_ > kIdleTagAllowance) {
          step = Fail("holds more empty runs than any line needs");
          break;
        }
        continue;
      }
      if (bytes > room) {
        step = Fail("holds more pixels than the frame is wide");
        break;
      }
      if (colour) {
        if (static_cast<std::size_t>(held - 2) < bytes) break;  // the caller reads this run
        std::memcpy(out, p + 2, bytes);
        p += 2 + bytes;
      } else {
        std::memset(out, 0, bytes);
        p += 2;
      }
      out += bytes;
    }
    *in = p;
    out_ = out;
    return step;
  }

  // Takes one tag read on its own.  For a colour run (kMore with
  // ColourBytes() non-zero) the caller reads its pixels into Target() and
  // then calls Advance.
  Step TakeTag(uint16_t tag) {
    colourBytes_ = 0;
    if (tag == 0) return Step::kEnd;
    const std::size_t bytes = tag & ~1u;
    if (bytes == 0) {
      if (++idle_ > kIdleTagAllowance) return Fail("holds more empty runs than any line needs");
      return Step::kMore;
    }
    if (bytes > static_cast<std::size_t>(rowEnd_ - out_)) return Fail("holds more pixels than the frame is wide");
    if (tag & 1) {
      colourBytes_ = static_cast<uint32_t>(bytes);
    } else {
      std::memset(out_, 0, bytes);
      out_ += bytes;
    }
    return Step::kMore;
  }

  uint32_t ColourBytes() const { return colourBytes_; }
  uint8_t* Target() const { return out_; }
  void Advance() { out_ += colourBytes_; }
  void FillRest() {
    if (out_ < rowEnd_) std::memset(out_, 0, static_cast<std::size_t>(rowEnd_ - out_));
  }
  const char* problem() const { return problem_; }

 private:
  Step Fail(const char* problem) {
    problem_ = problem;
    return Step::kFailed;
  }

  uint8_t* const rowEnd_;
  const uint8_t* const frameEnd_;
  uint8_t* out_;  // where the next run goes
  uint32_t idle_ = 0;
  uint32_t colourBytes_ = 0;
  const char* problem_ = nullptr;
};

}  // namespace

std::string Sprite::ExpandLines(const Entry& entry, StoredFrame* out) {
  const uint32_t height = entry.info.height;
  const uint8_t* table = nullptr;
  if (entry.keptAt != kNotKept) {
    table = lineTables_.data() + entry.keptAt;
  } else {
    lineTable_.resize(4 * std::size_t{height - 1u});
    if (height > 1 && !ReadExactly(entry.tableAt, lineTable_.data(), static_cast<uint32_t>(lineTable_.size())))
      return "its line table cannot be read";
    table = lineTable_.data();
  }
  const std::size_t rowBytes = out->RowBytes();
  uint8_t* const pixels = out->pixels.data();
  const uint8_t* const pixelsEnd = pixels + out->pixels.size();
  for (uint32_t k = 0; k < height; ++k) {
    const uint32_t line = k + 1;
    LineExpansion x(pixels + k * rowBytes, entry.info.width, pixelsEnd);
    buffer_.Seek(k == 0 ? entry.info.offset : LoadLe32(table + 4 * (k - 1)));
    for (;;) {
      // The tags and runs the buffer holds whole are taken in place.
      uint32_t held = 0;
      const uint8_t* const first = buffer_.Held(&held);
      const uint8_t* in = first;
      LineExpansion::Step step = held >= 2 ? x.TakeHeld(&in, first + held) : LineExpansion::Step::kMore;
      buffer_.Consume(static_cast<uint32_t>(in - first));
      if (step == LineExpansion::Step::kFailed) return LineProblem(line, x.problem());
      if (step == LineExpansion::Step::kEnd) break;

      // One tag, and its run, through reads that fill the buffer again.
      uint8_t tagBytes[2];
      uint32_t obtained = 0;
      if (!buffer_.Read(source_, tagBytes, 2, &obtained) || obtained < 2)
        return LineProblem(line, "is cut off by the end of the file");
      step = x.TakeTag(LoadLe16(tagBytes));
      if (step == LineExpansion::Step::kFailed) return LineProblem(line, x.problem());
      if (step == LineExpansion::Step::kEnd) break;
      if (x.ColourBytes() > 0) {
        const uint32_t bytes = x.ColourBytes();
        if (!buffer_.Read(source_, x.Target(), bytes, &obtained) || obtained < bytes)
          return LineProblem(line, "is cut off by the end of the file");
        x.Advance();
      }
    }
    x.FillRest();
  }
  return {};
}

}  // namespace tamsorel
