#include "sprite/read_buffer.h"

#include <algorithm>
#include <cstring>

namespace tamsorel {

uint32_t ReadBuffer::CapacityFor(uint64_t fileBytes) {
  // One byte more than a small file holds, so the first fill already meets
  // the end of the file and no read past it needs another system call.
  return fileBytes < kMaxCapacity ? static_cast<uint32_t>(fileBytes) + 1 : kMaxCapacity;
}

bool ReadBuffer::Fill(Source& source) {
  const bool sequential = position_ == blockStart_ + blockBytes_;
  uint32_t want = capacity_ < kMaxCapacity ? capacity_ : kFirstFill;
  if (!sequential) {
    want = kSeekFill;
  } else if (nextFill_ != 0) {
    want = nextFill_;
  }
  want = std::min(want, capacity_);
  nextFill_ = want > capacity_ / 2 ? capacity_ : 2 * want;

  blockStart_ = position_;
  blockBytes_ = 0;
  uint32_t got = 0;
  if (!source.ReadAt(position_, storage_, want, &got)) return false;
  blockBytes_ = std::min(got, want);
  if (blockBytes_ < want) knownEnd_ = blockStart_ + blockBytes_;
  return true;
}

bool ReadBuffer::ReadThroughSource(Source& source, void* target, uint32_t count,
                                   uint32_t* obtained) {
  auto* out = static_cast<uint8_t*>(target);
  uint32_t done = 0;
  bool ok = true;
  while (done < count) {
    if (position_ >= blockStart_ && position_ < blockStart_ + blockBytes_) {
      const auto at = static_cast<uint32_t>(position_ - blockStart_);
      const uint32_t n = std::min(count - done, blockBytes_ - at);
      std::memcpy(out + done, storage_ + at, n);
      done += n;
      position_ += n;
      continue;
    }
    if (position_ >= knownEnd_) break;
    const uint32_t rest = count - done;
    if (rest >= capacity_) {
      // Long reads (whole frames, long runs) go straight to the target.
      uint32_t got = 0;
      ok = source.ReadAt(position_, out + done, rest, &got);
      got = std::min(got, rest);
      done += got;
      position_ += got;
      if (ok && got < rest) knownEnd_ = position_;
      break;
    }
    ok = Fill(source);
    if (!ok || blockBytes_ == 0) break;
  }
  *obtained = done;
  return ok;
}

}  // namespace tamsorel
