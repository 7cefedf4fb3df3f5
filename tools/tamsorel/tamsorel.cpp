// tamsorel info [--json] FILE...
// tamsorel export [-o DIR] [--frames LIST] [--sheet [--columns N]] FILE...
//
// Every frame of sprite files: `info` lists each file's kind, pixel format
// and frames without decoding pixels; `export` writes frames as RGBA PNG
// files, one per frame or all on one sheet.  The same command line runs on
// Linux and Windows; what differs lives behind tool_platform.h.
//
// Exit status: 0 done; 1 a file could not be read or written, or a frame
// was damaged (the rest is still done, and one line on stderr names each
// problem); 2 usage.  An irregular frame (lines that do not add up to its
// width, pixels cut off by the end of the file) is exported as every other
// surface shows it, with a warning, and does not change the status.
#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "platform/path_text.h"
#include "sprite/sprite_format.h"
#include "image/rgba.h"
#include "image/sheet.h"
#include "sprite/sprite.h"
#include "tamsorel/tool_platform.h"

namespace tamsorel::cli {

namespace {

// What the tool lets one file cost: the core's limits; info spends at most
// decodedPixels per file on finding irregular C16 lines.
constexpr SpriteLimits kToolLimits{};

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char kUsage[] =
    "usage: tamsorel info [--json] FILE...\n"
    "       tamsorel export [-o DIR] [--frames LIST] [--sheet [--columns N]] FILE...\n";

constexpr const char kHelp[] =
    "Lists and exports every frame of sprite files (.spr, .s16, .c16).\n"
    "\n"
    "info      For each FILE: its kind, pixel format and frames (index from 1,\n"
    "          width, height, offset of the pixel data), each damaged frame\n"
    "          (left out everywhere) with the reason, and each irregular frame\n"
    "          (shown all the same: pixels the file does not give are\n"
    "          transparent) with the first thing that does not add up.  Only\n"
    "          compressed lines are decoded to find those, up to 64 million\n"
    "          pixels per file (later frames say \"not checked\").\n"
    "  --json  one JSON object per FILE, one per line:\n"
    "          {\"file\": ..., \"kind\": \"spr\"|\"s16\"|\"c16\",\n"
    "           \"format\": \"indexed8\"|\"rgb565\"|\"rgb555\", \"compressed\": bool,\n"
    "           \"frames\": [{\"index\": 1, \"width\": W, \"height\": H, \"offset\": O,\n"
    "                       \"damaged\": null|\"reason\",\n"
    "                       \"irregular\": null|\"what\"}]}\n"
    "\n"
    "export    Writes frames as RGBA PNG files named STEM-NNNN.png (the frame's\n"
    "          index from 1, four digits or more) beside each FILE.  Pixels of\n"
    "          value 0 are transparent.\n"
    "  -o DIR          write into the existing folder DIR instead\n"
    "  --frames LIST   only these frames, e.g. 1,3-5\n"
    "  --sheet         one image STEM-sheet.png with the frames in a grid of\n"
    "                  cells the size of the largest frame, in order, the rest\n"
    "                  of each cell transparent\n"
    "  --columns N     the sheet's columns (default: a nearly square grid)\n"
    "          A damaged frame is skipped (its sheet cell stays empty) with a\n"
    "          line on stderr; an irregular one is written with a warning on\n"
    "          stderr.  Files are written complete or not at all, never\n"
    "          over an input; a sheet larger than 1 GiB is refused.\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  a file could not be read or written, or a frame was damaged; the\n"
    "     rest was done, and one line on stderr names each problem\n"
    "  2  usage error\n"
    "\n"
    "Examples:\n"
    "  tamsorel info walk.c16\n"
    "  tamsorel export --sheet -o sheets walk.c16 run.c16\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "tamsorel: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

// A line on stderr, first taking away a progress line if one is shown.
class Reporter {
 public:
  explicit Reporter(bool progress) : progress_(progress && StderrIsTerminal()) {}
  ~Reporter() { Clear(); }

  // A line on stderr: a problem (the caller fails) or a warning.
  void Problem(const std::string& line) {
    Clear();
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  void Progress(std::size_t done, std::size_t total, const std::string& file) {
    if (!progress_) return;
    Clear();
    std::fprintf(stderr, "exporting %zu/%zu: %s", done, total, file.c_str());
    std::fflush(stderr);
    shown_ = true;
  }

 private:
  void Clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
  }

  bool progress_;
  bool shown_ = false;
};

// A sprite file opened for listing or export: the source and the directory.
struct OpenedSprite {
  std::unique_ptr<ByteSource> source;
  std::unique_ptr<Sprite> sprite;
};

bool OpenSprite(const std::string& path, OpenedSprite* opened, std::string* problem) {
  opened->source = OpenInput(path, problem);
  if (!opened->source) return false;
  opened->sprite =
      Sprite::Open(*opened->source, IsSprPath(PathToUtf16(path).c_str()), problem, Sprite::Reading::kFrames, kToolLimits);
  if (!opened->sprite) {
    *problem = "not a readable sprite: " + *problem;
    return false;
  }
  return true;
}

// --- info --------------------------------------------------------------------

// JSON string: quotes, backslashes and control characters escaped; bytes
// that are not UTF-8 become U+FFFD, so the line is always valid JSON.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // The length of a well-formed sequence that starts here, or 0.
      std::size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
      if (n > text.size() - i) n = 0;
      for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) n = 0;
      if (n >= 3) {
        const auto c1 = static_cast<unsigned char>(text[i + 1]);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 >= 0x90))
          n = 0;  // overlong, surrogate or beyond U+10FFFF
      }
      if (n == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, n);
        i += n;
      }
    }
  }
  return out + "\"";
}


// Why each frame the file holds is irregular ("" when it is not): known from
// the directory for uncompressed kinds, found by expanding the lines of
// compressed ones while the budget lasts.
std::vector<std::string> Irregularities(Sprite& sprite) {
  std::vector<std::string> out(sprite.HeldFrames());
  uint64_t spent = 0;
  StoredFrame frame;
  for (uint32_t i = 0; i < out.size(); ++i) {
    const FrameInfo& f = sprite.Frame(i);
    if (!Readable(f)) continue;
    if (!sprite.Compressed()) {
      out[i] = f.irregular;
      continue;
    }
    spent += uint64_t{f.width} * f.height;
    if (spent > kToolLimits.decodedPixels) {
      out[i] = "not checked";
      continue;
    }
    if (sprite.DecodeFrame(i, &frame).empty()) out[i] = frame.irregular;
  }
  return out;
}

void PrintJson(const std::string& path, Sprite& sprite) {
  const std::vector<std::string> irregular = Irregularities(sprite);
  std::string line = "{\"file\": " + JsonString(path) + ", \"kind\": \"" + KindName(sprite.Kind()) +
                     "\", \"format\": \"" + FormatName(sprite.Format()) +
                     "\", \"compressed\": " + (sprite.Compressed() ? "true" : "false") + ", \"frames\": [";
  for (uint32_t i = 0; i < sprite.FrameCount(); ++i) {
    const FrameInfo& f = sprite.Frame(i);
    if (i > 0) line += ", ";
    line += "{\"index\": " + std::to_string(i + 1);
    if (f.hasEntry) {
      line += ", \"width\": " + std::to_string(f.width) + ", \"height\": " + std::to_string(f.height) +
              ", \"offset\": " + std::to_string(f.offset);
    } else {
      line += ", \"width\": null, \"height\": null, \"offset\": null";
    }
    line += ", \"damaged\": " + (f.damaged.empty() ? std::string("null") : JsonString(f.damaged));
    const bool isIrregular = i < irregular.size() && !irregular[i].empty();
    line += ", \"irregular\": " + (isIrregular ? JsonString(irregular[i]) : std::string("null")) + "}";
  }
  line += "]}\n";
  std::fputs(line.c_str(), stdout);
}

const char* FormatWords(PixelFormat format) {
  switch (format) {
    case PixelFormat::kIndexed8: return "8-bit palette indices";
    case PixelFormat::kRgb565: return "16-bit 5-6-5";
    case PixelFormat::kRgb555: return "16-bit 5-5-5";
  }
  return "";
}

void PrintText(const std::string& path, Sprite& sprite) {
  const std::vector<std::string> irregular = Irregularities(sprite);
  const uint32_t count = sprite.FrameCount();
  std::printf("%s: %s, %s (%s), %s, %u frame%s\n", path.c_str(), KindName(sprite.Kind()), FormatWords(sprite.Format()),
              FormatName(sprite.Format()), sprite.Compressed() ? "compressed" : "uncompressed", count,
              count == 1 ? "" : "s");
  std::printf("  %5s %6s %6s %10s\n", "frame", "width", "height", "offset");
  for (uint32_t i = 0; i < count; ++i) {
    const FrameInfo& f = sprite.Frame(i);
    if (!f.hasEntry) {
      // Every later entry is missing too: one line says it for all.
      const std::string frames = i + 1 == count ? std::to_string(count) : std::to_string(i + 1) + "-" + std::to_string(count);
      std::printf("  %5s %6s %6s %10s  damaged: %s\n", frames.c_str(), "-", "-", "-", f.damaged.c_str());
      break;
    }
    std::printf("  %5u %6u %6u %10u", i + 1, f.width, f.height, f.offset);
    if (!f.damaged.empty()) std::printf("  damaged: %s", f.damaged.c_str());
    if (!irregular[i].empty()) std::printf("  irregular: %s", irregular[i].c_str());
    std::printf("\n");
  }
}

int Info(const std::vector<std::string>& args) {
  bool json = false, options = true;
  std::vector<std::string> files;
  for (const std::string& arg : args) {
    if (options && arg == "--json") {
      json = true;
    } else if (options && arg == "--") {
      options = false;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg + " for info (a file name that starts with - goes after --)");
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) return UsageError("info needs at least one FILE");
  int status = kExitOk;
  for (std::size_t i = 0; i < files.size(); ++i) {
    OpenedSprite opened;
    std::string problem;
    if (!OpenSprite(files[i], &opened, &problem)) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s: %s\n", files[i].c_str(), problem.c_str());
      status = kExitFailed;
      continue;
    }
    if (json) {
      PrintJson(files[i], *opened.sprite);
    } else {
      if (i > 0) std::printf("\n");
      PrintText(files[i], *opened.sprite);
    }
  }
  std::fflush(stdout);
  return status;
}

// --- export ------------------------------------------------------------------

// LIST: comma-separated frame numbers from 1 and ranges A-B (A <= B).
bool ParseFrameList(const std::string& text, std::set<uint32_t>* frames) {
  std::size_t at = 0;
  auto number = [&](uint32_t* value) {
    const std::size_t start = at;
    uint32_t v = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      v = v * 10 + static_cast<uint32_t>(text[at++] - '0');
      if (v > 65535) return false;  // no sprite holds more frames
    }
    *value = v;
    return at > start && v >= 1;
  };
  for (;;) {
    uint32_t first = 0, last = 0;
    if (!number(&first)) return false;
    last = first;
    if (at < text.size() && text[at] == '-') {
      ++at;
      if (!number(&last) || last < first) return false;
    }
    for (uint32_t f = first; f <= last; ++f) frames->insert(f);
    if (at == text.size()) return true;
    if (text[at++] != ',') return false;
  }
}

struct ExportOptions {
  std::string folder;            // -o; empty: beside each input
  std::set<uint32_t> frames;     // from 1; empty: all
  bool sheet = false;
  uint32_t columns = 0;          // 0: nearly square
};

std::string FrameFileName(const std::string& stem, uint32_t index) {
  char number[16];
  std::snprintf(number, sizeof number, "%04u", index);
  return stem + "-" + number + ".png";
}

class Exporter {
 public:
  Exporter(const ExportOptions& options, Reporter& reporter) : options_(options), reporter_(reporter) {}

  // Exports one file; false when anything in it failed.
  bool Export(const std::string& path) {
    OpenedSprite opened;
    std::string problem;
    if (!OpenSprite(path, &opened, &problem)) return Fail(path + ": " + problem);
    Sprite& sprite = *opened.sprite;

    // The frames asked for, from 0; numbers beyond the file are named.
    std::vector<uint32_t> selected;
    bool ok = true;
    if (options_.frames.empty()) {
      for (uint32_t i = 0; i < sprite.FrameCount(); ++i) selected.push_back(i);
    } else {
      for (uint32_t f : options_.frames) {
        if (f <= sprite.FrameCount()) {
          selected.push_back(f - 1);
        } else {
          ok = Fail(path + ": there is no frame " + std::to_string(f) + " (it holds " +
                    std::to_string(sprite.FrameCount()) + ")");
        }
      }
    }
    if (selected.empty()) return false;
    const std::string folder = options_.folder.empty() ? FolderOf(path) : options_.folder;
    const std::string stem = StemOf(path);
    return (options_.sheet ? ExportSheet(path, sprite, selected, JoinPath(folder, stem + "-sheet.png"))
                           : ExportFrames(path, sprite, selected, folder, stem)) &&
           ok;
  }

 private:
  bool Fail(const std::string& line) {
    reporter_.Problem(line);
    return false;
  }

  bool Skipped(const std::string& path, uint32_t index, const std::string& reason) {
    return Fail(path + ": frame " + std::to_string(index + 1) + " skipped: " + reason);
  }

  void WarnIrregular(const std::string& path, uint32_t index, const StoredFrame& frame) {
    if (!frame.irregular.empty())
      reporter_.Problem(path + ": warning: frame " + std::to_string(index + 1) + " is irregular: " + frame.irregular);
  }

  // Entries are missing from some frame on to the last: the selected frames
  // from `from` on are all named in one line rather than one each.
  bool SkippedWithoutEntries(const std::string& path, const std::vector<uint32_t>& selected, std::size_t from) {
    if (from + 1 == selected.size()) return Skipped(path, selected[from], "its directory entry lies past the end of the file");
    return Fail(path + ": " + std::to_string(selected.size() - from) + " frames from frame " +
                std::to_string(selected[from] + 1) + " on skipped: their directory entries lie past the end of the file");
  }

  // Writes a PNG unless an earlier input of this run already wrote that
  // file (two inputs with the same stem in one folder).
  bool Write(const std::string& path, const std::string& out, RgbaRows& rows) {
    const std::string key = OutputKey(out);
    if (written_.count(key)) return Fail(path + ": not written: " + out + " was already written for an earlier FILE");
    const std::string problem = WritePngFile(out, path, rows);
    if (!problem.empty()) return Fail(path + ": " + problem);
    written_.insert(key);
    return true;
  }

  bool ExportFrames(const std::string& path, Sprite& sprite, const std::vector<uint32_t>& selected,
                    const std::string& folder, const std::string& stem) {
    bool ok = true;
    StoredFrame frame;
    for (std::size_t i = 0; i < selected.size(); ++i) {
      const uint32_t index = selected[i];
      if (!sprite.Frame(index).hasEntry) return SkippedWithoutEntries(path, selected, i);
      const std::string problem = sprite.DecodeFrame(index, &frame);
      if (!problem.empty()) {
        ok = Skipped(path, index, problem);
        continue;
      }
      WarnIrregular(path, index, frame);
      FrameRgbaRows rows(ViewOf(frame));
      if (!Write(path, JoinPath(folder, FrameFileName(stem, index + 1)), rows)) ok = false;
    }
    return ok;
  }

  bool ExportSheet(const std::string& path, Sprite& sprite, const std::vector<uint32_t>& selected,
                   const std::string& out) {
    // The cells take the size of the largest frame the directory finds
    // readable; the sheet's size is checked before any pixel is decoded.
    uint32_t cellWidth = 0, cellHeight = 0;
    for (uint32_t index : selected) {
      const FrameInfo& f = sprite.Frame(index);
      if (!Readable(f)) continue;
      cellWidth = std::max<uint32_t>(cellWidth, f.width);
      cellHeight = std::max<uint32_t>(cellHeight, f.height);
    }
    bool ok = true;
    if (cellWidth == 0) return Fail(path + ": no sheet written: none of the frames can be read");
    SheetLayout layout;
    std::string problem;
    if (!LayoutSheet(static_cast<uint32_t>(selected.size()), cellWidth, cellHeight, options_.columns, &layout,
                     &problem))
      return Fail(path + ": " + problem);

    std::vector<StoredFrame> frames(selected.size());
    std::vector<const StoredFrame*> cells(selected.size(), nullptr);
    for (std::size_t i = 0; i < selected.size(); ++i) {
      if (!sprite.Frame(selected[i]).hasEntry) {
        ok = SkippedWithoutEntries(path, selected, i);
        break;
      }
      problem = sprite.DecodeFrame(selected[i], &frames[i]);
      if (problem.empty()) {
        WarnIrregular(path, selected[i], frames[i]);
        cells[i] = &frames[i];
      } else {
        ok = Skipped(path, selected[i], problem);
      }
    }
    SheetRows rows(layout, cells);
    return Write(path, out, rows) && ok;
  }

  const ExportOptions& options_;
  Reporter& reporter_;
  std::set<std::string> written_;  // OutputKey of every file written
};

int Export(const std::vector<std::string>& args) {
  ExportOptions chosen;
  bool options = true, columnsGiven = false;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (options && arg == "--") {
      options = false;
    } else if (options && arg == "-o") {
      if (!hasValue) return UsageError("-o needs a DIR");
      chosen.folder = args[++i];
      if (chosen.folder.empty()) return UsageError("-o needs a DIR");
    } else if (options && arg == "--frames") {
      if (!hasValue) return UsageError("--frames needs a LIST");
      if (!ParseFrameList(args[++i], &chosen.frames))
        return UsageError("--frames " + args[i] + ": LIST is frame numbers from 1 and ranges such as 1,3-5");
    } else if (options && arg == "--sheet") {
      chosen.sheet = true;
    } else if (options && arg == "--columns") {
      if (!hasValue) return UsageError("--columns needs a number N");
      const std::string& text = args[++i];
      uint32_t n = 0;
      bool digits = !text.empty() && text.size() <= 5;
      for (char c : text) digits = digits && c >= '0' && c <= '9';
      if (digits) n = static_cast<uint32_t>(std::stoul(text));
      if (!digits || n == 0 || n > 65535) return UsageError("--columns " + text + ": N must be a number from 1 to 65535");
      chosen.columns = n;
      columnsGiven = true;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg + " for export (a file name that starts with - goes after --)");
    } else {
      files.push_back(arg);
    }
  }
  if (columnsGiven && !chosen.sheet) return UsageError("--columns goes with --sheet");
  if (files.empty()) return UsageError("export needs at least one FILE");
  if (!chosen.folder.empty()) {
    const std::string problem = OutputFolderProblem(chosen.folder);
    if (!problem.empty()) {
      std::fprintf(stderr, "tamsorel: %s\n", problem.c_str());
      return kExitFailed;
    }
  }
  Reporter reporter(true);
  Exporter exporter(chosen, reporter);
  int status = kExitOk;
  for (std::size_t i = 0; i < files.size(); ++i) {
    reporter.Progress(i + 1, files.size(), files[i]);
    if (!exporter.Export(files[i])) status = kExitFailed;
  }
  return status;
}

}  // namespace

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return UsageError("a command is missing: info or export");
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::printf("%s\n%s", kUsage, kHelp);
      return kExitOk;
    }
  }
  if (command == "info") return Info(rest);
  if (command == "export") return Export(rest);
  return UsageError("unknown command " + command + " (info or export)");
}

}  // namespace tamsorel::cli
