#include "sprite/sprite.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "bitmap/bitmap_header.h"
#include "sprite/frame_fill.h"
#include "sprite/sprite_format.h"

namespace tamsorel {

namespace {

// Entries are read in pieces of this many, so a directory of any claimed
// length costs memory for the entries the file really holds.
constexpr uint32_t kEntriesPerRead = 512;

// Line offsets of C16 frames kept from the directory for decoding, at most
// (a million lines); the tables of further frames are read again when their
// frame is decoded.
constexpr std::size_t kKeptLineTableBytes = std::size_t{4} << 20;


std::string LineProblem(uint32_t line, const char* what) {
  return "line " + std::to_string(line) + " " + what;
}

std::string Pixels(uint64_t count) { return std::to_string(count) + (count == 1 ? " pixel" : " pixels"); }

// The file as the C16 expander reads it: through the sprite's read buffer.
class BufferReader {
 public:
  BufferReader(ReadBuffer& buffer, ByteSource& source) : buffer_(buffer), source_(source) {}

  ReadBuffer* Buffer() const { return &buffer_; }
  void Seek(uint64_t offset) { buffer_.Seek(offset); }
  bool ReadExactly(void* target, uint32_t count) {
    uint32_t obtained = 0;
    return buffer_.Read(source_, target, count, &obtained) && obtained == count;
  }
  uint32_t ReadSome(uint8_t* target, std::size_t count) {
    uint32_t obtained = 0;
    buffer_.Read(source_, target, static_cast<uint32_t>(count), &obtained);
    return obtained;
  }

 private:
  ReadBuffer& buffer_;
  ByteSource& source_;
};

}  // namespace

Sprite::Sprite(ByteSource& source, uint32_t capacity, Reading reading, const SpriteLimits& limits)
    : source_(source),
      reading_(reading),
      limits_(limits),
      storage_(new (std::nothrow) uint8_t[capacity]),
      buffer_(storage_.get(), capacity) {}

std::unique_ptr<Sprite> Sprite::Open(ByteSource& source, bool spr, std::string* problem, Reading reading,
                                     const SpriteLimits& limits) {
  // Reading only the directory, the buffer serves the decodes of frames a
  // host may still ask for: a small one will do.
  const uint32_t capacity =
      reading == Reading::kDirectory ? ReadBuffer::kSeekFill : ReadBuffer::CapacityFor(source.Size());
  std::unique_ptr<Sprite> sprite(new (std::nothrow) Sprite(source, capacity, reading, limits));
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
  uint32_t obtained = 0;
  if (reading_ == Reading::kDirectory)
    return source_.ReadAt(offset, static_cast<uint8_t*>(target), count, &obtained) && obtained == count;
  buffer_.Seek(offset);
  return buffer_.Read(source_, target, count, &obtained) && obtained == count;
}

bool Sprite::ReadDirectory(bool spr, std::string* problem) {
  const uint64_t size = source_.Size();
  uint8_t header[kSprite16HeaderSize];
  const uint32_t headerSize = spr ? kSprHeaderSize : kSprite16HeaderSize;
  if (size >= headerSize && !ReadExactly(0, header, headerSize)) {
    *problem = "its header cannot be read";
    return false;
  }
  // Frame 1's entry is read with the others below.
  const SpriteProbe probe = ProbeSprite(header, static_cast<std::size_t>(std::min<uint64_t>(size, headerSize)), spr, true);
  if (probe.result != SpriteProbe::Result::kSprite) {
    *problem = probe.problem;
    return false;
  }
  kind_ = probe.kind;
  format_ = probe.format;
  frameCount_ = probe.claimedFrames;

  uint64_t directoryEnd = 0;
  if (kind_ != SpriteKind::kC16) {
    // Consecutive entries; only those the file holds are read, and they
    // end the directory: a header that claims more frames than the file
    // has room for still shows those it holds.
    const uint64_t held = size > headerSize ? (size - headerSize) / kFrameEntrySize : 0;
    entries_.resize(static_cast<std::size_t>(std::min<uint64_t>(frameCount_, held)));
    directoryEnd = headerSize + uint64_t{kFrameEntrySize} * entries_.size();
    uint8_t bytes[kEntriesPerRead * kFrameEntrySize];
    for (std::size_t first = 0; first < entries_.size(); first += kEntriesPerRead) {
      const auto n = static_cast<uint32_t>(std::min<std::size_t>(kEntriesPerRead, entries_.size() - first));
      if (!ReadExactly(headerSize + first * kFrameEntrySize, bytes, n * kFrameEntrySize)) {
        entries_.resize(first);
        break;
      }
      for (uint32_t i = 0; i < n; ++i) {
        const FrameEntry e = ParseFrameEntry(bytes + i * kFrameEntrySize);
        entries_[first + i].info = FrameInfo{e.offset, e.width, e.height, true, {}, {}};
      }
    }
  } else {
    // Each entry is followed by its frame's line table, so the entries are
    // found one after the other; the walk stops at the end of the file.
    uint64_t at = headerSize;
    directoryEnd = at;
    for (uint32_t i = 0; i < frameCount_; ++i) {
      uint8_t bytes[kFrameEntrySize];
      if (at + kFrameEntrySize > size || !ReadExactly(at, bytes, kFrameEntrySize)) break;
      const FrameEntry e = ParseFrameEntry(bytes);
      Entry entry;
      entry.info = FrameInfo{e.offset, e.width, e.height, true, {}, {}};
      entry.tableAt = at + kFrameEntrySize;
      const uint64_t tableBytes = e.height > 0 ? 4 * (uint64_t{e.height} - 1) : 0;
      at = entry.tableAt + tableBytes;
      if (at > size) {
        // Where its lines start cannot be known.  Its bytes may well be
        // the pixels of the frames before it: only whole entries end the
        // directory.
        entry.info.damaged = "its line table is cut off by the end of the file";
        entries_.push_back(std::move(entry));
        break;
      }
      entries_.push_back(std::move(entry));
      directoryEnd = at;
    }
  }

  for (Entry& entry : entries_) {
    if (!entry.info.damaged.empty()) continue;
    CheckPixelsOf(entry, directoryEnd);
    if (kind_ == SpriteKind::kC16 && entry.info.damaged.empty() && reading_ == Reading::kFrames) KeepLinesOf(entry);
    if (entry.info.damaged.empty()) ++readableFrames_;
  }
  return true;
}

// What the directory alone tells about a frame's pixels.
void Sprite::CheckPixelsOf(Entry& entry, uint64_t directoryEnd) const {
  FrameInfo& f = entry.info;
  // The size in words only for the messages that give it.
  auto size = [&f] { return std::to_string(f.width) + " × " + std::to_string(f.height); };
  if (f.width == 0 || f.height == 0) {
    f.damaged = "it has no pixels (" + size() + ")";
  } else if (PixelMemoryBytes(FrameStride(kind_, format_, f.width, /*packed=*/false), f.height) >
             limits_.framePixelBytes) {
    f.damaged = "its " + size() + " pixels are more than the " + MiBText(limits_.framePixelBytes) + " a frame may have";
  } else if (f.offset < directoryEnd) {
    f.damaged = "its pixel data would start inside the frame directory";
  } else if (f.offset >= source_.Size()) {
    f.damaged = kind_ == SpriteKind::kC16 ? "line 1 starts past the end of the file"
                                          : "its pixel data starts past the end of the file";
  } else if (kind_ != SpriteKind::kC16) {
    const uint64_t bytes = uint64_t{f.width} * BytesPerPixel(format_) * f.height;
    if (f.offset + bytes > source_.Size())
      f.irregular = "its pixel data is cut off by the end of the file: the last " +
                    Pixels((f.offset + bytes - source_.Size() + BytesPerPixel(format_) - 1) / BytesPerPixel(format_)) +
                    " stay transparent";
  }
}

// C16: keeps the frame's line table while kKeptLineTableBytes allows, so
// that decoding frames one after the other does not go back to the
// directory for each.  Where lines start does not damage a frame: lines
// that point outside the pixel data are expanded by the same rules as any
// other (what cannot be read stays transparent).
void Sprite::KeepLinesOf(Entry& entry) {
  const std::size_t tableBytes = 4 * std::size_t{entry.info.height - 1u};
  const std::size_t keptAt = lineTables_.size();
  if (tableBytes > kKeptLineTableBytes - keptAt) return;
  lineTables_.resize(keptAt + tableBytes);
  if (tableBytes > 0 &&
      !ReadExactly(entry.tableAt, lineTables_.data() + keptAt, static_cast<uint32_t>(tableBytes))) {
    lineTables_.resize(keptAt);
    return;
  }
  entry.keptAt = keptAt;
}

const FrameInfo& Sprite::Frame(uint32_t index) const {
  if (index < entries_.size()) return entries_[index].info;
  static const FrameInfo missing = [] {
    FrameInfo info;
    info.damaged = "its directory entry lies past the end of the file";
    return info;
  }();
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
    out->irregular.clear();
    if (kind_ == SpriteKind::kC16) {
      problem = ExpandLines(entry, out);
    } else {
      // What the file does not hold stays transparent.
      out->pixels.resize(out->RowBytes() * out->height);
      BufferReader reader(buffer_, source_);
      const FrameEntry frameEntry{entry.info.offset, entry.info.width, entry.info.height};
      const FrameFill fill = FillFrame(reader, kind_, format_, frameEntry, nullptr, out->pixels.data(),
                                       out->RowBytes(), out->pixels.size());
      if (fill.missingBytes > 0) {
        const uint32_t bpp = BytesPerPixel(format_);
        out->irregular = entry.info.irregular.empty()
                             ? "its pixel data cannot be read whole: the last " +
                                   Pixels((fill.missingBytes + bpp - 1) / bpp) + " stay transparent"
                             : entry.info.irregular;
      }
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

std::string Sprite::ExpandLines(const Entry& entry, StoredFrame* out) {
  const uint32_t width = entry.info.width;
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
  // The expander's rows are a 16-bit bitmap's (odd widths carry a padding
  // pixel); they are packed to the frame's width afterwards.
  const std::size_t rowPixels = std::size_t{width} + (width & 1u);
  out->pixels.assign(2 * rowPixels * height, 0);
  BufferReader reader(buffer_, source_);
  const FrameEntry frameEntry{entry.info.offset, entry.info.width, entry.info.height};
  const FrameFill fill = FillFrame(reader, kind_, format_, frameEntry, table, out->pixels.data(), 2 * rowPixels,
                                   out->pixels.size());
  if (width & 1u) {
    uint8_t* const pixels = out->pixels.data();
    for (uint32_t y = 1; y < height; ++y) std::memmove(pixels + 2 * std::size_t{width} * y, pixels + 2 * rowPixels * y, 2 * std::size_t{width});
    out->pixels.resize(2 * std::size_t{width} * height);
  }
  const C16Irregularity& irregular = fill.lines;
  switch (irregular.kind) {
    case C16Irregularity::Kind::kNone: break;
    case C16Irregularity::Kind::kShortLine:
      out->irregular = LineProblem(irregular.line, ("holds " + Pixels(irregular.pixels) +
                                                    " fewer than the frame is wide: the next line starts early").c_str());
      break;
    case C16Irregularity::Kind::kLongLine:
      out->irregular = LineProblem(irregular.line, ("holds " + Pixels(irregular.pixels) +
                                                    " more than the frame is wide: they run on into the next row").c_str());
      break;
    case C16Irregularity::Kind::kCut:
      out->irregular = LineProblem(irregular.line, "is cut off by the end of the file: what is missing stays transparent");
      break;
    case C16Irregularity::Kind::kPastFrame:
      out->irregular = LineProblem(irregular.line, "runs past the end of the frame: the rest is cut off");
      break;
    case C16Irregularity::Kind::kIdleRuns:
      out->irregular = LineProblem(irregular.line, "holds more empty runs than any frame needs: the rest stays transparent");
      break;
  }
  return {};
}

}  // namespace tamsorel
