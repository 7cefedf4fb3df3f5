// tamsorel-thumbnailer [-s SIZE] INPUT OUTPUT
//
// The thumbnailer desktops run for sprite files (see tamsorel.thumbnailer):
// decodes the first frame of INPUT (a path or a file:// URI) and writes it
// to OUTPUT as an RGBA PNG, scaled down to fit in SIZE x SIZE when -s is
// given and the frame is larger.
//
// Exit status: 0 written; 1 anything else, with one line on stderr that
// names the file and the reason, and no OUTPUT file made or changed.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "common/message_line.h"
#include "common/tool_files.h"
#include "platform/path_text.h"
#include "platform/portable_platform.h"
#include "thumbnailer/input_location.h"
#include "thumbnailer/thumbnail.h"

namespace {

constexpr const char kProgram[] = "tamsorel-thumbnailer";

constexpr const char kUsage[] =
    "usage: tamsorel-thumbnailer [-s SIZE] INPUT OUTPUT\n"
    "\n"
    "Writes the first frame of the sprite INPUT (.spr, .s16 or .c16; a path or a\n"
    "file:// URI) to OUTPUT as an RGBA PNG.  With -s SIZE a frame larger than\n"
    "SIZE x SIZE is scaled down to fit, keeping its aspect ratio.\n"
    "\n"
    "Exit status: 0 written; 1 failed (one line on stderr, no OUTPUT written).\n"
    "\n"
    "Example: tamsorel-thumbnailer -s 256 file:///home/me/shapes.c16 /tmp/shapes.png\n";

int Fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", kProgram, tamsorel::OneLine(what).c_str());
  return 1;
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n%s", kProgram, tamsorel::OneLine(what).c_str(), kUsage);
  return 1;
}

// SIZE: a decimal number from 1 up.  Values beyond the longest possible
// frame side change nothing and are taken as that side (which also keeps
// the sum from overflowing).
bool ParseSize(const char* text, uint32_t* size) {
  if (!*text) return false;
  uint32_t value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = std::min<uint32_t>(value * 10 + static_cast<uint32_t>(*p - '0'),
                               tamsorel::thumbnailer::kLargestFrameSide);
  }
  *size = value;
  return value != 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tamsorel;
  uint32_t size = 0;  // 0: the frame's own size
  const char* positional[2] = {};
  int count = 0;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "-s") {
      if (i + 1 >= argc) return UsageError("-s needs a SIZE");
      if (!ParseSize(argv[++i], &size))
        return UsageError("-s " + std::string(argv[i]) + ": SIZE must be a whole number of pixels from 1 up");
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg);
    } else if (count < 2) {
      positional[count++] = argv[i];
    } else {
      return UsageError("unexpected argument " + arg);
    }
  }
  if (count < 2) return UsageError(count == 0 ? "INPUT and OUTPUT are missing" : "OUTPUT is missing");

  const std::string input = positional[0];
  const std::string output = positional[1];
  std::string path, problem;
  if (!thumbnailer::LocalPathFromArgument(input, &path, &problem)) return Fail(input + ": " + problem);

  uint64_t fileBytes = UINT64_MAX;
  problem = InputFileProblem(path, &fileBytes);
  if (!problem.empty()) return Fail(path + ": " + problem);

  // An OUTPUT that cannot be written is refused before the decode.
  problem = OutputFileProblem(output, path);
  if (!problem.empty()) return Fail(problem);

  PortableDecodePlatform platform;
  thumbnailer::DecodedSprite sprite(platform);
  const HRESULT hr = sprite.Decode(PathToUtf16(path));
  if (hr != S_OK) return Fail(path + ": " + DecodeFailureText(sprite.Frame(), hr, fileBytes));

  std::string encodeProblem;
  problem = WritePngOutputFile(
      output, path,
      [&](const ByteSink& sink) {
        return thumbnailer::WriteThumbnailPng(sprite.Frame(), size, sink);
      },
      &encodeProblem);
  if (!encodeProblem.empty()) return Fail(path + ": " + encodeProblem);
  if (!problem.empty()) return Fail(problem);
  return 0;
}
