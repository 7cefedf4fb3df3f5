// tamsorel-thumb SPRITE OUT.bmp
//
// Decodes the first frame of a sprite file with the portable decoder and
// saves it as a .bmp file: the bitmap header exactly as the decoder wrote it
// (top-down), the palette or channel masks, and the pixel memory as it is.
// OUT.bmp is written complete or not at all (see tools/common/tool_files.h).
//
// Exit status: 0 written; 1 the sprite cannot be used or decoded, or the
// file cannot be written (one line on stderr, OUT.bmp left as it was);
// 2 usage (the wrong argument named, then the usage).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "common/message_line.h"
#include "common/tool_files.h"
#include "bitmap/bmp_file.h"
#include "sprite/first_frame.h"
#include "platform/path_text.h"
#include "platform/portable_platform.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] = "usage: tamsorel-thumb SPRITE OUT.bmp\n";

const char kHelp[] =
    "Decodes the first frame of SPRITE (.spr, .s16 or .c16) and saves it as\n"
    "OUT.bmp: a top-down bitmap at the frame's own size, 8-bit with the\n"
    "built-in palette or 16-bit with its channel masks.\n"
    "\n"
    "SPRITE must be a regular file.  OUT.bmp may be absent, a regular file (its\n"
    "mode and owner are kept) or a symbolic link (its target is written); it\n"
    "is replaced complete or not at all, and never when it is SPRITE itself.\n"
    "\n"
    "Exit status:\n"
    "  0  OUT.bmp written\n"
    "  1  SPRITE cannot be read or decoded, or OUT.bmp cannot be written;\n"
    "     one line on stderr says why, and OUT.bmp is left as it was\n"
    "  2  usage error\n"
    "\n"
    "Example:\n"
    "  tamsorel-thumb samples/shapes.c16 shapes.bmp\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "tamsorel-thumb: %s\n%s", tamsorel::OneLine(problem).c_str(), kUsage);
  return kExitUsage;
}

// A failure: one line on stderr, control characters in names escaped.
void Say(const std::string& line) { std::fprintf(stderr, "%s\n", tamsorel::OneLine(line).c_str()); }

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int Thumbnail(const std::string& sprite, const std::string& output) {
  uint64_t spriteBytes = 0;
  const std::string problem = tamsorel::InputFileProblem(sprite, &spriteBytes);
  if (!problem.empty()) {
    Say(sprite + ": " + problem);
    return kExitFailed;
  }
  // An output that cannot be written is refused before the decode.
  const std::string outputProblem = tamsorel::OutputFileProblem(output, sprite);
  if (!outputProblem.empty()) {
    Say(outputProblem);
    return kExitFailed;
  }

  tamsorel::PortableDecodePlatform platform;
  std::vector<uint8_t> header(tamsorel::kHeaderBufferSize, 0);
  tamsorel::BitmapHandle bitmap = nullptr;
  const std::u16string path = tamsorel::PathToUtf16(sprite);
  tamsorel::FirstFrame frame;
  const HRESULT hr = tamsorel::DecodeFirstFrame(platform, path.c_str(), header.data(), &bitmap, &frame);
  if (hr != S_OK) {
    Say(sprite + ": " + tamsorel::DecodeFailureText(frame, hr, spriteBytes));
    return kExitFailed;
  }

  const tamsorel::HeapBitmap* decoded = tamsorel::AsHeapBitmap(bitmap);
  const std::vector<uint8_t> bmp =
      tamsorel::MakeBmpFile(header.data(), decoded->pixels, decoded->pixelBytes);
  platform.DeleteBitmap(bitmap);
  if (bmp.empty()) {
    Say(sprite + ": bitmap too large for a .bmp file");
    return kExitFailed;
  }
  const std::string failure =
      tamsorel::WriteOutputFile(output, sprite, [&bmp](int fd) { return WriteAll(fd, bmp); });
  if (!failure.empty()) {
    Say(failure);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> operands;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options && (arg == "--help" || arg == "-h")) {
      std::printf("%s\n%s", kUsage, kHelp);
      return kExitOk;
    }
    if (options && arg == "--") {
      options = false;
      continue;
    }
    if (options && arg.size() > 1 && arg[0] == '-')
      return UsageError("unknown option " + arg + " (a file name that starts with - goes after --)");
    if (operands.size() == 2) return UsageError("unexpected argument " + arg + " after OUT.bmp");
    operands.push_back(arg);
  }
  if (operands.empty()) return UsageError("missing SPRITE and OUT.bmp");
  if (operands.size() == 1) return UsageError("missing OUT.bmp after " + operands[0]);
  return Thumbnail(operands[0], operands[1]);
}
