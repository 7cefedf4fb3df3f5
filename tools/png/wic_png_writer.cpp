// PNG encoding through the Windows Imaging Component: the system's PNG
// encoder takes the rows in bands of 32-bit BGRA (straight alpha, which it
// stores as 8-bit RGBA without any colour conversion) and writes into a
// memory stream; the finished file then goes to the sink in one piece.
#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <new>
#include <vector>

#include "common/hresult.h"
#include "common/win32_owner.h"
#include "png/png_writer.h"

namespace tamsorel {

namespace {

// The largest width and height written: the Linux writer's (libpng's
// default limit), so that both platforms accept the same images.
constexpr uint32_t kMaxSide = 1000000;

// About this many bytes of pixels go to the encoder at a time, and at least
// one row: memory for a band, never for the whole image.
constexpr std::size_t kBandBytes = std::size_t{1} << 20;

// COM on the calling thread for as long as this lives, given back as often
// as it was taken.  A thread that already has COM in the other apartment
// kind keeps it (RPC_E_CHANGED_MODE): the imaging factory works in both.
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

  bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

struct GlobalMemoryTraits {
  using Type = HGLOBAL;
  static HGLOBAL Invalid() { return nullptr; }
  static bool Valid(HGLOBAL h) { return h != nullptr; }
  static bool Close(HGLOBAL h) { return GlobalFree(h) == nullptr; }
};
using UniqueGlobal = UniqueHandle<GlobalMemoryTraits>;

// Movable global memory locked for as long as this lives.
class GlobalLocked {
 public:
  explicit GlobalLocked(HGLOBAL memory) : memory_(memory), bytes_(static_cast<const uint8_t*>(GlobalLock(memory))) {}
  ~GlobalLocked() {
    if (bytes_ != nullptr) GlobalUnlock(memory_);
  }
  GlobalLocked(const GlobalLocked&) = delete;
  GlobalLocked& operator=(const GlobalLocked&) = delete;

  const uint8_t* bytes() const { return bytes_; }

 private:
  HGLOBAL memory_;
  const uint8_t* bytes_;
};

// "what failed (E_FAIL 0x80004005)", or the words for running out of memory.
std::string Failed(const char* what, HRESULT hr) {
  if (hr == E_OUTOFMEMORY || hr == HResultFromWin32(ERROR_NOT_ENOUGH_MEMORY)) return "out of memory for the PNG";
  return std::string(what) + " (" + HResultText(hr) + ")";
}

// Asks the encoder for a non-interlaced file: its default everywhere, said
// out loud because the PNG must be readable row by row.
HRESULT ChooseNoInterlace(IPropertyBag2* options) {
  if (options == nullptr) return S_OK;
  PROPBAG2 option = {};
  option.pstrName = const_cast<LPOLESTR>(L"InterlaceOption");
  VARIANT value = {};
  value.vt = VT_BOOL;
  value.boolVal = VARIANT_FALSE;
  return options->Write(1, &option, &value);
}

// Every encoding step; the file's bytes end up in `memory`, `*size` of them.
std::string Encode(RgbaRows& rows, HGLOBAL memory, uint64_t* size) {
  ComRef<IStream> stream;
  HRESULT hr = CreateStreamOnHGlobal(memory, FALSE, stream.outTyped());
  if (FAILED(hr)) return Failed("cannot make a memory stream for the PNG", hr);

  ComRef<IWICImagingFactory> factory;
  hr = CoCreateInstance(CLSID_WICImagingFactory1, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                        factory.out());
  if (FAILED(hr)) return Failed("the Windows Imaging Component is not available", hr);
  ComRef<IWICBitmapEncoder> encoder;
  hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.outTyped());
  if (FAILED(hr)) return Failed("the system has no PNG encoder", hr);
  hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
  if (FAILED(hr)) return Failed("the PNG encoder cannot be started", hr);

  ComRef<IWICBitmapFrameEncode> frame;
  ComRef<IPropertyBag2> options;
  hr = encoder->CreateNewFrame(frame.outTyped(), options.outTyped());
  if (FAILED(hr)) return Failed("the PNG encoder cannot make an image", hr);
  hr = ChooseNoInterlace(options.get());
  if (FAILED(hr)) return Failed("the PNG encoder does not take its options", hr);
  hr = frame->Initialize(options.get());
  if (FAILED(hr)) return Failed("the PNG encoder cannot make an image", hr);
  const uint32_t width = rows.Width(), height = rows.Height();
  hr = frame->SetSize(width, height);
  if (FAILED(hr)) return Failed("the PNG encoder refuses the image's size", hr);
  // The encoder answers with the format it will take instead when it does
  // not take this one; converting would be a colour conversion, so that is
  // a failure.
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  hr = frame->SetPixelFormat(&format);
  if (FAILED(hr) || !IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA))
    return Failed("the PNG encoder does not take 32-bit pixels with alpha", FAILED(hr) ? hr : E_FAIL);

  const std::size_t stride = std::size_t{width} * 4;
  const uint32_t bandRows = static_cast<uint32_t>(std::max<std::size_t>(1, kBandBytes / stride));
  std::vector<uint8_t> band(stride * std::min(bandRows, height));
  for (uint32_t y = 0; y < height;) {
    const uint32_t count = std::min(bandRows, height - y);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* row = band.data() + i * stride;
      rows.ReadRow(y + i, row);
      for (std::size_t x = 0; x < stride; x += 4) std::swap(row[x], row[x + 2]);  // RGBA -> BGRA
    }
    hr = frame->WritePixels(count, static_cast<UINT>(stride), static_cast<UINT>(count * stride), band.data());
    if (FAILED(hr)) return Failed("the PNG encoder failed on the pixels", hr);
    y += count;
  }
  hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  if (FAILED(hr)) return Failed("the PNG encoder could not finish the file", hr);

  STATSTG status = {};
  hr = stream->Stat(&status, STATFLAG_NONAME);
  if (FAILED(hr)) return Failed("the PNG's length is unknown", hr);
  *size = status.cbSize.QuadPart;
  return {};
}

}  // namespace

std::string WritePng(RgbaRows& rows, const ByteSink& sink) {
  if (rows.Width() == 0 || rows.Height() == 0) return "an image without pixels cannot be a PNG";
  if (rows.Width() > kMaxSide || rows.Height() > kMaxSide) return "the image is too large for a PNG";
  try {
    // Declared in this order so that every COM reference (inside Encode) is
    // given back before the memory, and all of it before COM itself.
    ComScope com;
    if (!com.usable()) return Failed("COM cannot be started for the PNG encoder", com.result());
    UniqueGlobal memory(GlobalAlloc(GMEM_MOVEABLE, 0));
    if (!memory.valid()) return "out of memory for the PNG";
    uint64_t size = 0;
    const std::string problem = Encode(rows, memory.get(), &size);
    if (!problem.empty()) return problem;
    if (size > GlobalSize(memory.get())) return "the PNG encoder reported more bytes than it wrote";
    GlobalLocked locked(memory.get());
    if (locked.bytes() == nullptr) return "out of memory for the PNG";
    if (!sink(locked.bytes(), static_cast<std::size_t>(size))) return "write failed";
    return {};
  } catch (const std::bad_alloc&) {
    return "out of memory for the PNG";
  } catch (...) {
    return "PNG encoding failed";
  }
}

}  // namespace tamsorel
