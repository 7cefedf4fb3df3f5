// tamsorel-thumb SPRITE OUT.bmp
//
// Decodes the first frame of a sprite file with the portable decoder and
// saves it as a .bmp file: the bitmap header exactly as the decoder wrote it
// (top-down), the palette or channel masks, and the pixel memory as it is.
//
// Exit status: 0 written; 1 the sprite cannot be decoded or the file cannot
// be written (one line on stderr, no output file left behind); 2 usage.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "decode/bmp_file.h"
#include "decode/decoder.h"
#include "decode/path_text.h"
#include "decode/portable_platform.h"

namespace {

// Writes the whole file under a temporary name next to `path` and renames it
// into place, so that a failure never leaves a partial file.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(&temp[0]);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; give it the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const int writeErrno = errno;
  const bool closed = ::close(fd) == 0;
  if (done != bytes.size() || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = std::strerror(done != bytes.size() ? writeErrno : errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tamsorel-thumb SPRITE OUT.bmp\n");
    return 2;
  }
  const std::string sprite = argv[1];
  const std::string output = argv[2];

  tamsorel::PortableDecodePlatform platform;
  std::vector<uint8_t> header(tamsorel::kHeaderBufferSize, 0);
  tamsorel::BitmapHandle bitmap = nullptr;
  const std::u16string path = tamsorel::PathToUtf16(sprite);
  const HRESULT hr = tamsorel::DecodeFirstFrame(platform, path.c_str(), header.data(), &bitmap);
  if (hr != S_OK) {
    std::fprintf(stderr, "%s: not a readable sprite (%s)\n", sprite.c_str(),
                 tamsorel::HResultText(hr).c_str());
    return 1;
  }

  const tamsorel::HeapBitmap* decoded = tamsorel::AsHeapBitmap(bitmap);
  const std::vector<uint8_t> bmp =
      tamsorel::MakeBmpFile(header.data(), decoded->pixels, decoded->pixelBytes);
  platform.DeleteBitmap(bitmap);
  if (bmp.empty()) {
    std::fprintf(stderr, "%s: bitmap too large for a .bmp file\n", sprite.c_str());
    return 1;
  }
  std::string error;
  if (!WriteFileAtomically(output, bmp, &error)) {
    std::fprintf(stderr, "%s: cannot write (%s)\n", output.c_str(), error.c_str());
    return 1;
  }
  return 0;
}
