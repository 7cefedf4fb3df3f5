// The read buffer under the platforms' file readers: the same results as
// unbuffered reads for any order of reads and seeks, and few raw reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sprite/read_buffer.h"

namespace tamsorel {
namespace {

using Bytes = std::vector<uint8_t>;

// A file in memory that records every raw read made of it.
class CountingSource : public ReadBuffer::Source {
 public:
  explicit CountingSource(Bytes bytes) : bytes_(std::move(bytes)) {}

  struct Call {
    uint64_t offset;
    uint32_t count;
  };
  std::vector<Call> calls;
  // Raw reads from this offset on fail, having delivered nothing.
  uint64_t failFrom = UINT64_MAX;

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    calls.push_back({offset, count});
    *obtained = 0;
    if (offset + count > failFrom) return false;
    if (offset >= bytes_.size()) return true;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(count, bytes_.size() - offset));
    std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
              bytes_.begin() + static_cast<std::ptrdiff_t>(offset + n), target);
    *obtained = n;
    return true;
  }

 private:
  Bytes bytes_;
};

Bytes Numbered(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return b;
}

// A buffer of `capacity` bytes over `source`, with its storage.
struct Buffered {
  Buffered(uint32_t capacity) : storage(capacity), buffer(storage.data(), capacity) {}
  Bytes storage;
  ReadBuffer buffer;
};

Bytes Read(ReadBuffer& buffer, CountingSource& source, uint32_t count, bool* ok = nullptr) {
  Bytes out(count, 0xEE);
  uint32_t got = 12345;
  const bool result = buffer.Read(source, out.data(), count, &got);
  if (ok) *ok = result;
  EXPECT_LE(got, count);
  out.resize(got);
  return out;
}

TEST(ReadBuffer, AnyMixOfReadsAndSeeksGivesTheUnbufferedResult) {
  // Small capacities put block edges everywhere; the file sizes sit below,
  // at and above them.  Seeks include offsets past the end and of 2 GiB and
  // more, reads run from nothing to several blocks.
  std::mt19937 random(7);
  for (uint32_t capacity : {1u, 7u, 64u, 4096u}) {
    for (std::size_t size : {0u, 5u, 63u, 64u, 65u, 1000u, 20000u}) {
      SCOPED_TRACE("capacity " + std::to_string(capacity) + " size " + std::to_string(size));
      const Bytes file = Numbered(size);
      CountingSource source(file);
      Buffered b(capacity);
      uint64_t position = 0;
      for (int step = 0; step < 400; ++step) {
        if (random() % 4 == 0) {
          static const uint32_t kFar[] = {0x7FFFFFF0u, 0x80000000u, 0xFFFFFFFFu};
          uint32_t offset;
          switch (random() % 6) {
            case 0: offset = kFar[random() % 3]; break;
            case 1: offset = static_cast<uint32_t>(position); break;  // seek to where it is
            default: offset = static_cast<uint32_t>(random() % (size + 20));
          }
          b.buffer.Seek(offset);
          position = offset;
          continue;
        }
        static const uint32_t kCounts[] = {0, 1, 2, 3, 17, 200, 5000};
        const uint32_t count = kCounts[random() % 7] + static_cast<uint32_t>(random() % 3);
        bool ok = false;
        const Bytes got = Read(b.buffer, source, count, &ok);
        ASSERT_TRUE(ok);
        Bytes expected;
        if (position < size)
          expected.assign(file.begin() + static_cast<std::ptrdiff_t>(position),
                          file.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(size, position + count)));
        ASSERT_EQ(got, expected) << "step " << step << " at " << position << " count " << count;
        position += got.size();
        ASSERT_EQ(b.buffer.position(), position);
      }
    }
  }
}

TEST(ReadBuffer, FileThatFitsIsReadOnceWhateverTheDecoderAsks) {
  // Small, and larger than the first fill of a file that does not fit.
  for (const uint32_t size : {3000u, ReadBuffer::kFirstFill + 5000, ReadBuffer::kMaxCapacity - 2}) {
    SCOPED_TRACE(size);
    const Bytes file = Numbered(size);
    CountingSource source(file);
    Buffered b(ReadBuffer::CapacityFor(file.size()));
    // Tags and runs, seeks back and forth inside the file, reads at its end
    // and beyond it: one raw read of the whole file serves them all.
    for (uint32_t at : {0u, 100u, size - 10, 14u, size, size + 2000, 0x90000000u}) {
      b.buffer.Seek(at);
      for (int i = 0; i < 5; ++i) Read(b.buffer, source, 2);
      Read(b.buffer, source, 40);
    }
    ASSERT_EQ(source.calls.size(), 1u);
    EXPECT_EQ(source.calls[0].offset, 0u);
    EXPECT_EQ(source.calls[0].count, size + 1);
  }
}

TEST(ReadBuffer, FillsShrinkAfterASeekAwayAndGrowWhileReadingOnLongReadsBypass) {
  const Bytes file = Numbered(2'000'000);
  CountingSource source(file);
  Buffered b(ReadBuffer::CapacityFor(file.size()));
  const uint32_t cap = ReadBuffer::kMaxCapacity;

  Read(b.buffer, source, 6);  // the first fill takes the first 64 KiB
  b.buffer.Seek(1'000'000);   // far away: a small fill ...
  Read(b.buffer, source, 2);
  for (int i = 0; i < 2000; ++i) Read(b.buffer, source, 2);  // ... then doubling fills
  b.buffer.Seek(10);          // back into no block held
  EXPECT_EQ(Read(b.buffer, source, cap), Bytes(file.begin() + 10, file.begin() + 10 + cap));

  std::vector<uint64_t> offsets;
  std::vector<uint32_t> counts;
  for (const auto& call : source.calls) {
    offsets.push_back(call.offset);
    counts.push_back(call.count);
  }
  const uint32_t seekFill = ReadBuffer::kSeekFill;
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 1'000'000, 1'000'000 + seekFill, 1'000'000 + 3 * seekFill, 10}));
  EXPECT_EQ(counts, (std::vector<uint32_t>{ReadBuffer::kFirstFill, seekFill, 2 * seekFill, 4 * seekFill, cap}));
}

TEST(ReadBuffer, EndOfFileIsLearnedOnceAndFailuresAreReported) {
  const Bytes file = Numbered(300'000);
  CountingSource source(file);
  Buffered b(ReadBuffer::CapacityFor(file.size()));
  b.buffer.Seek(299'999);
  EXPECT_EQ(Read(b.buffer, source, 4), Bytes{file.back()});
  const std::size_t calls = source.calls.size();
  for (uint32_t at : {300'000u, 400'000u, 0xFFFFFFF0u}) {
    b.buffer.Seek(at);
    EXPECT_TRUE(Read(b.buffer, source, 2).empty());
  }
  EXPECT_EQ(source.calls.size(), calls) << "no raw read past the end once it is known";

  source.failFrom = 100'000;
  b.buffer.Seek(150'000);
  bool ok = true;
  EXPECT_TRUE(Read(b.buffer, source, 2, &ok).empty());
  EXPECT_FALSE(ok);
  b.buffer.Seek(90'000);  // a long read that fails part way
  ok = true;
  Read(b.buffer, source, ReadBuffer::kMaxCapacity, &ok);
  EXPECT_FALSE(ok);
}

}  // namespace
}  // namespace tamsorel
