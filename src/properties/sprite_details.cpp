#include "properties/sprite_details.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "decode/sprite_format.h"

namespace tamsorel {

std::string PixelFormatText(SpriteKind kind, PixelFormat format) {
  std::string text = format == PixelFormat::kIndexed8 ? "8-bit palette"
                     : format == PixelFormat::kRgb565 ? "16-bit 5-6-5"
                                                      : "16-bit 5-5-5";
  if (kind == SpriteKind::kC16) text += ", compressed";
  return text;
}

std::string DimensionsText(uint32_t width, uint32_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

bool DirectoryWindow::FetchInner(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) {
  uint32_t got = 0;
  const bool ok = inner_.ReadAt(offset, target, count, &got);
  got = std::min(got, count);
  fetched_ += got;
  *obtained = got;
  return ok;
}

bool DirectoryWindow::FetchAndKeep(uint64_t offset, uint32_t count, uint8_t* target) {
  uint32_t got = 0;
  if (!FetchInner(offset, target, count, &got) || got != count) return false;
  Kept kept;
  kept.offset = offset;
  kept.count = count;
  std::memcpy(kept.bytes, target, count);
  kept_.push_back(kept);
  return true;
}

bool DirectoryWindow::FindEnd(bool spr) {
  const uint64_t size = inner_.Size();
  end_ = 0;
  uint8_t header[kSprite16HeaderSize];
  const auto headerSize = static_cast<uint32_t>(spr ? kSprHeaderSize : kSprite16HeaderSize);
  if (size < headerSize || !FetchAndKeep(0, headerSize, header)) return false;
  const uint32_t count = LoadLe16(spr ? header : header + 4);
  if (spr || !(LoadLe32(header) & SPRITE16_COMPRESSED)) {
    claimedEnd_ = headerSize + uint64_t{kFrameEntrySize} * count;
    end_ = std::min<uint64_t>(size, claimedEnd_);
    return true;
  }
  // C16: each entry is followed by its frame's line table.  Where the
  // entries run past the end of the file, the directory is read no further
  // than the last whole entry.
  uint64_t at = headerSize;
  claimedEnd_ = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t entry[kFrameEntrySize];
    if (at + kFrameEntrySize > size || !FetchAndKeep(at, kFrameEntrySize, entry)) {
      claimedEnd_ = std::max<uint64_t>(size, at + kFrameEntrySize);
      break;
    }
    const uint32_t height = ParseFrameEntry(entry).height;
    const uint64_t next = at + kFrameEntrySize + (height > 0 ? 4 * (uint64_t{height} - 1) : 0);
    if (next > size) {
      claimedEnd_ = next;
      at += kFrameEntrySize;
      break;
    }
    at = next;
  }
  end_ = at;
  claimedEnd_ = std::max(claimedEnd_, end_);
  return true;
}

bool DirectoryWindow::ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) {
  *obtained = 0;
  if (offset >= end_) return true;
  const auto wanted = static_cast<uint32_t>(std::min<uint64_t>(count, end_ - offset));
  // The first kept piece that ends after `offset`.
  auto kept = std::lower_bound(kept_.begin(), kept_.end(), offset,
                               [](const Kept& k, uint64_t at) { return k.offset + k.count <= at; });
  uint32_t done = 0;
  while (done < wanted) {
    const uint64_t at = offset + done;
    if (kept != kept_.end() && kept->offset <= at) {
      const auto from = static_cast<uint32_t>(at - kept->offset);
      const uint32_t n = std::min(kept->count - from, wanted - done);
      std::memcpy(target + done, kept->bytes + from, n);
      done += n;
      ++kept;
      continue;
    }
    uint32_t gap = wanted - done;
    if (kept != kept_.end()) gap = static_cast<uint32_t>(std::min<uint64_t>(gap, kept->offset - at));
    uint32_t got = 0;
    const bool ok = FetchInner(at, target + done, gap, &got);
    done += got;
    if (!ok || got < gap) {
      *obtained = done;
      return ok;
    }
  }
  *obtained = done;
  return true;
}

bool ReadSpriteDetails(ByteSource& source, bool spr, SpriteDetails* details, std::string* problem, uint64_t* fetched) {
  DirectoryWindow window(source);
  struct Report {
    const DirectoryWindow& window;
    uint64_t* fetched;
    ~Report() {
      if (fetched) *fetched = window.Fetched();
    }
  } report{window, fetched};
  try {
    if (!window.FindEnd(spr)) {
      *problem = source.Size() < (spr ? kSprHeaderSize : kSprite16HeaderSize) ? "too short for the header of a sprite"
                                                                              : "its header cannot be read";
      return false;
    }
    const std::unique_ptr<Sprite> sprite = Sprite::Open(window, spr, problem);
    if (!sprite) return false;

    SpriteDetails d;
    d.kind = sprite->Kind();
    d.format = sprite->Format();
    bool anyReadable = false;
    for (uint32_t i = 0; i < sprite->FrameCount(); ++i) {
      const FrameInfo frame = sprite->Frame(i);
      if (!frame.hasEntry) break;  // the entries the file holds come first
      ++d.frameCount;
      anyReadable = anyReadable || frame.damaged.empty();
    }
    const FrameInfo first = sprite->Frame(0);
    d.hasSize = first.hasEntry;
    d.width = first.width;
    d.height = first.height;
    const uint64_t firstEntryEnd = (spr ? kSprHeaderSize : kSprite16HeaderSize) + kFrameEntrySize;
    const bool firstDescribesAFrame = first.hasEntry && first.width > 0 && first.height > 0 &&
                                      first.offset >= firstEntryEnd &&
                                      first.offset <= std::max(source.Size(), window.ClaimedEnd());
    if (!anyReadable && !firstDescribesAFrame) {
      *problem = "its frame directory describes no frame";
      return false;
    }
    *details = d;
    return true;
  } catch (const std::bad_alloc&) {
    *problem = "out of memory";
    return false;
  }
}

}  // namespace tamsorel
