#include "png/png_writer.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <memory>
#include <vector>

#include "common/tool_files.h"

namespace tamsorel {

namespace {

// State the libpng callbacks reach through the write pointer.
struct PngOutput {
  const ByteSink* sink = nullptr;
  bool sinkFailed = false;
  std::string libpngMessage;
};

void WriteBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<PngOutput*>(png_get_io_ptr(png));
  if (!(*out->sink)(data, length)) {
    out->sinkFailed = true;
    png_error(png, "write failed");
  }
}

void FlushNothing(png_structp) {}

// libpng reports errors by calling this and then jumping back to the
// setjmp in Encode; the message is kept for the caller.
void OnError(png_structp png, png_const_charp message) {
  auto* out = static_cast<PngOutput*>(png_get_error_ptr(png));
  if (out->libpngMessage.empty()) out->libpngMessage = message ? message : "unknown error";
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Owns the libpng write and info structures.
class PngWriteStruct {
 public:
  explicit PngWriteStruct(PngOutput* output)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, output, OnError, OnWarning)),
        info_(png_ ? png_create_info_struct(png_) : nullptr) {}
  ~PngWriteStruct() {
    if (png_) png_destroy_write_struct(&png_, info_ ? &info_ : nullptr);
  }
  PngWriteStruct(const PngWriteStruct&) = delete;
  PngWriteStruct& operator=(const PngWriteStruct&) = delete;

  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

// Every libpng call that can fail.  Nothing with a destructor lives in this
// frame after setjmp, so the jump back from OnError skips no clean-up; the
// row buffer and the libpng structures belong to the caller.
bool Encode(png_structp png, png_infop info, RgbaRows& rows, uint8_t* row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, png_get_io_ptr(png), WriteBytes, FlushNothing);
  png_set_IHDR(png, info, rows.Width(), rows.Height(), 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < rows.Height(); ++y) {
    rows.ReadRow(y, row);
    png_write_row(png, row);
  }
  png_write_end(png, info);
  return true;
}

}  // namespace

std::string WritePng(RgbaRows& rows, const ByteSink& sink) {
  if (rows.Width() == 0 || rows.Height() == 0) return "an image without pixels cannot be a PNG";
  if (rows.Width() > PNG_USER_WIDTH_MAX || rows.Height() > PNG_USER_HEIGHT_MAX)
    return "the image is too large for a PNG";
  PngOutput output;
  output.sink = &sink;
  std::vector<uint8_t> row(std::size_t{rows.Width()} * 4);
  PngWriteStruct writer(&output);
  if (!writer.png() || !writer.info()) return "out of memory for the PNG encoder";
  // The write pointer set here is the one Encode's png_set_write_fn keeps.
  png_set_write_fn(writer.png(), &output, WriteBytes, FlushNothing);
  if (Encode(writer.png(), writer.info(), rows, row.data())) return {};
  if (output.sinkFailed) return "write failed";
  return "PNG encoding failed: " + output.libpngMessage;
}

ByteSink FdSink(int fd, int* error) {
  return [fd, error](const uint8_t* bytes, std::size_t count) {
    while (count > 0) {
      const ssize_t n = ::write(fd, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = n < 0 ? errno : EIO;
        return false;
      }
      bytes += n;
      count -= static_cast<std::size_t>(n);
    }
    return true;
  };
}

std::string WritePngOutputFile(const std::string& out, const std::string& input,
                               const std::function<std::string(const ByteSink&)>& encode,
                               std::string* encodeProblem) {
  // A failed write comes back through errno and WriteOutputFile's message.
  return WriteOutputFile(out, input, [&](int fd) {
    int writeErrno = 0;
    *encodeProblem = encode(FdSink(fd, &writeErrno));
    if (encodeProblem->empty()) return true;
    if (writeErrno != 0) {
      encodeProblem->clear();
      errno = writeErrno;
    } else {
      errno = EINVAL;
    }
    return false;
  });
}

}  // namespace tamsorel
