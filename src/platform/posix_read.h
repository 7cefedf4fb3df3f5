// The one pread loop of the POSIX file readers (the decoder's files and the
// sprite core's file source).
#pragma once

#include <cstdint>

namespace tamsorel {

// Reads up to `count` bytes at `offset` from `fd`, whose size was
// `sizeAtOpen`: interrupted calls are retried, and a short read is followed
// by another only before that size, so reading up to the end costs no call
// that returns nothing.  False on failure, with `*obtained` the bytes that
// did arrive.
bool ReadAtOffset(int fd, uint64_t sizeAtOpen, uint64_t offset, uint8_t* target, uint32_t count,
                  uint32_t* obtained);

}  // namespace tamsorel
