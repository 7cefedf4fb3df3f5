#include "wic/wic_decoder.h"

#include <wincodec.h>

#include <memory>
#include <string>

#include "com/object.h"
#include "common/win32_owner.h"
#include "platform/stream_source.h"
#include "sprite/sprite_format.h"
#include "sprite/sprite_probe.h"
#include "wic/bgra_frames.h"

namespace tamsorel {

const CLSID CLSID_TamsorelWicDecoder = {0x229C1A6F, 0xEED6, 0x4DAE, {0x99, 0x42, 0x50, 0xF9, 0x81, 0xAF, 0xBB, 0xEC}};
const GUID GUID_ContainerFormatTamsorelSpr = {
    0x192246EA, 0x6C47, 0x4C31, {0x87, 0x4E, 0x30, 0x21, 0x14, 0x4F, 0x18, 0x96}};
const GUID GUID_ContainerFormatTamsorelS16 = {
    0x6448ACDF, 0x0A58, 0x4D7D, {0xBD, 0x3F, 0x8D, 0x73, 0x55, 0xFA, 0xBA, 0x4E}};
const GUID GUID_ContainerFormatTamsorelC16 = {
    0x00BCAF99, 0xA355, 0x4759, {0x8E, 0x79, 0xE8, 0x12, 0x18, 0x66, 0x60, 0x9D}};
const GUID GUID_VendorTamsorel = {0x82422DF2, 0xF7B7, 0x49AA, {0x93, 0xB5, 0x77, 0xBF, 0x34, 0x3B, 0x10, 0xEF}};

namespace {

// Screens' resolution: sprites carry none.
constexpr double kDotsPerInch = 96.0;

// What a decoder and the frames it handed out share: the sprite's frames,
// copied from under one lock (a frame keeps its decoded pixels between
// copies).
struct SharedFrames {
  SRWLOCK lock = SRWLOCK_INIT;
  std::unique_ptr<BgraFrames> frames;
};

class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK* lock_;
};

const GUID& ContainerOf(SpriteKind kind) {
  switch (kind) {
    case SpriteKind::kS16: return GUID_ContainerFormatTamsorelS16;
    case SpriteKind::kC16: return GUID_ContainerFormatTamsorelC16;
    default: return GUID_ContainerFormatTamsorelSpr;
  }
}

// The first bytes of a stream, its position kept.  False when the stream
// cannot be read or seeked.
bool PeekHeader(IStream* stream, uint8_t (&header)[kProbeBytes], ULONG* got) {
  LARGE_INTEGER zero = {};
  ULARGE_INTEGER was = {};
  if (FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &was))) return false;
  const bool read = SUCCEEDED(stream->Seek(zero, STREAM_SEEK_SET, nullptr)) &&
                    SUCCEEDED(stream->Read(header, sizeof(header), got)) && *got <= sizeof(header);
  LARGE_INTEGER back;
  back.QuadPart = static_cast<LONGLONG>(was.QuadPart);
  stream->Seek(back, STREAM_SEEK_SET, nullptr);
  return read;
}

class CWicFrame final : public ComObject<CWicFrame, IWICBitmapFrameDecode> {
 public:
  static const InterfaceRow<CWicFrame> kInterfaces[];

  CWicFrame(std::shared_ptr<SharedFrames> shared, uint32_t index)
      : shared_(std::move(shared)),
        index_(index),
        width_(shared_->frames->Width(index)),
        height_(shared_->frames->Height(index)) {}

  // IWICBitmapSource
  HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) noexcept override {
    if (!width || !height) return E_INVALIDARG;
    *width = width_;
    *height = height_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) noexcept override {
    if (!format) return E_INVALIDARG;
    *format = GUID_WICPixelFormat32bppBGRA;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResolution(double* dpiX, double* dpiY) noexcept override {
    if (!dpiX || !dpiY) return E_INVALIDARG;
    *dpiX = *dpiY = kDotsPerInch;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) noexcept override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
  HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize,
                                       BYTE* buffer) noexcept override {
    if (!buffer) return E_INVALIDARG;
    WICRect whole = {0, 0, static_cast<INT>(width_), static_cast<INT>(height_)};
    if (!rect) rect = &whole;
    if (rect->X < 0 || rect->Y < 0 || rect->Width < 0 || rect->Height < 0) return E_INVALIDARG;
    std::string problem;
    BgraFrames::Copied copied;
    {
      ExclusiveLock held(&shared_->lock);
      copied = shared_->frames->Copy(index_, static_cast<uint32_t>(rect->X), static_cast<uint32_t>(rect->Y),
                                     static_cast<uint32_t>(rect->Width), static_cast<uint32_t>(rect->Height), stride,
                                     bufferSize, buffer, &problem);
    }
    switch (copied) {
      case BgraFrames::Copied::kDone: return S_OK;
      case BgraFrames::Copied::kBadRectangle:
      case BgraFrames::Copied::kBadStride: return E_INVALIDARG;
      case BgraFrames::Copied::kBufferTooSmall: return WINCODEC_ERR_INSUFFICIENTBUFFER;
      case BgraFrames::Copied::kUnreadable: return WINCODEC_ERR_BADIMAGE;
      case BgraFrames::Copied::kNoMemory: return E_OUTOFMEMORY;
    }
    return E_FAIL;
  }

  // IWICBitmapFrameDecode
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) noexcept override {
    if (reader) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* actual) noexcept override {
    if (!actual) return E_INVALIDARG;
    *actual = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) noexcept override {
    if (thumbnail) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
  }

 private:
  std::shared_ptr<SharedFrames> shared_;
  const uint32_t index_;
  const uint32_t width_, height_;
};

const InterfaceRow<CWicFrame> CWicFrame::kInterfaces[] = {
    Row<CWicFrame, IWICBitmapFrameDecode>(IID_IWICBitmapFrameDecode),
    Row<CWicFrame, IWICBitmapFrameDecode>(IID_IWICBitmapSource),
    {},
};

class CWicDecoder final : public ComObject<CWicDecoder, IWICBitmapDecoder> {
 public:
  static const InterfaceRow<CWicDecoder> kInterfaces[];

  // IWICBitmapDecoder
  HRESULT STDMETHODCALLTYPE QueryCapability(IStream* stream, DWORD* capability) noexcept override {
    if (!stream || !capability) return E_INVALIDARG;
    *capability = 0;
    uint8_t header[kProbeBytes];
    ULONG got = 0;
    if (!PeekHeader(stream, header, &got)) return E_FAIL;
    // S16 and C16 are known by their header; SPR has none to be known by.
    if (Is16BitSpriteHeader(header, got))
      *capability = WICBitmapDecoderCapabilityCanDecodeAllImages | WICBitmapDecoderCapabilityCanDecodeSomeImages;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, WICDecodeOptions) noexcept override {
    if (!stream) return E_INVALIDARG;
    return Guarded([&]() -> HRESULT {
      ExclusiveLock held(&shared_->lock);
      if (shared_->frames) return WINCODEC_ERR_WRONGSTATE;
      std::string problem;
      std::u16string name;
      std::unique_ptr<ByteSource> source = OpenStreamSource(stream, &name, &problem);
      if (!source) return problem == "out of memory" ? E_OUTOFMEMORY : E_FAIL;
      // The kind: SPR when the name says so, S16 or C16 when the header
      // does, and otherwise SPR, the kind whose bytes carry no mark.
      uint8_t header[kProbeBytes] = {};
      uint32_t got = 0;
      const bool read = source->ReadAt(0, header, sizeof(header), &got);
      const bool spr = IsSprPath(name.c_str()) || !read || !Is16BitSpriteHeader(header, got);
      std::unique_ptr<BgraFrames> frames = BgraFrames::Open(std::move(source), spr, &problem);
      if (!frames) return problem == "out of memory" ? E_OUTOFMEMORY : WINCODEC_ERR_BADHEADER;
      // An image has at least one frame: a file whose every entry is missing
      // is no image.
      if (frames->Count() == 0) return WINCODEC_ERR_BADHEADER;
      shared_->frames = std::move(frames);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) noexcept override {
    if (!format) return E_INVALIDARG;
    ExclusiveLock held(&shared_->lock);
    if (!shared_->frames) return WINCODEC_ERR_NOTINITIALIZED;
    *format = ContainerOf(shared_->frames->Kind());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo** info) noexcept override {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    // What the registry says about this decoder, through WIC's own reading.
    ComRef<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  factory.out());
    if (FAILED(hr)) return hr;
    ComRef<IWICComponentInfo> component;
    hr = factory->CreateComponentInfo(CLSID_TamsorelWicDecoder, component.outTyped());
    if (FAILED(hr)) return hr;
    return component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(info));
  }
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) noexcept override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) noexcept override {
    if (reader) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) noexcept override {
    if (preview) *preview = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* actual) noexcept override {
    if (!actual) return E_INVALIDARG;
    *actual = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) noexcept override {
    if (thumbnail) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
  }
  HRESULT STDMETHODCALLTYPE GetFrameCount(UINT* count) noexcept override {
    if (!count) return E_INVALIDARG;
    ExclusiveLock held(&shared_->lock);
    if (!shared_->frames) return WINCODEC_ERR_NOTINITIALIZED;
    *count = shared_->frames->Count();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode** frame) noexcept override {
    if (!frame) return E_INVALIDARG;
    *frame = nullptr;
    {
      ExclusiveLock held(&shared_->lock);
      if (!shared_->frames) return WINCODEC_ERR_NOTINITIALIZED;
      if (index >= shared_->frames->Count()) return WINCODEC_ERR_FRAMEMISSING;
      // A frame the directory finds damaged is not handed out.
      if (!shared_->frames->Damage(index).empty()) return WINCODEC_ERR_BADIMAGE;
    }
    return CWicFrame::Create(nullptr, IID_IWICBitmapFrameDecode, reinterpret_cast<void**>(frame), shared_,
                             static_cast<uint32_t>(index));
  }

 private:
  std::shared_ptr<SharedFrames> shared_ = std::make_shared<SharedFrames>();
};

const InterfaceRow<CWicDecoder> CWicDecoder::kInterfaces[] = {
    Row<CWicDecoder, IWICBitmapDecoder>(IID_IWICBitmapDecoder),
    {},
};

}  // namespace

HRESULT CreateWicDecoder(IUnknown* outer, REFIID riid, void** ppv) { return CWicDecoder::Create(outer, riid, ppv); }

}  // namespace tamsorel
