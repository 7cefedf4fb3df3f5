#include "wic/wic_decoder.h"

#include <wincodec.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "com/object.h"
#include "com/script_resource.h"
#include "common/win32_owner.h"
#include "platform/stream_source.h"
#include "sprite/sprite_format.h"
#include "sprite/sprite_probe.h"
#include "tamsorel_version.h"
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

// What neither the decoder nor its frames have: metadata, colour contexts
// (none: the pixels are sRGB), thumbnails.
HRESULT NoMetadata(IWICMetadataQueryReader** reader) {
  if (reader) *reader = nullptr;
  return WINCODEC_ERR_UNSUPPORTEDOPERATION;
}
HRESULT NoColorContexts(UINT* actual) {
  if (!actual) return E_INVALIDARG;
  *actual = 0;
  return S_OK;
}
HRESULT NoThumbnail(IWICBitmapSource** thumbnail) {
  if (thumbnail) *thumbnail = nullptr;
  return WINCODEC_ERR_CODECNOTHUMBNAIL;
}

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
    return NoMetadata(reader);
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* actual) noexcept override {
    return NoColorContexts(actual);
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) noexcept override {
    return NoThumbnail(thumbnail);
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
    return NoMetadata(reader);
  }
  HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) noexcept override {
    if (preview) *preview = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* actual) noexcept override {
    return NoColorContexts(actual);
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) noexcept override {
    return NoThumbnail(thumbnail);
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

// ---------------------------------------------------------------------------
// Registration

namespace {

#define TAMSOREL_WIDE_TEXT(text) L##text
#define TAMSOREL_WIDE(text) TAMSOREL_WIDE_TEXT(text)

constexpr UINT kScriptId = 104;
const wchar_t kClassKey[] = L"CLSID\\{229C1A6F-EED6-4DAE-9942-50F981AFBBEC}";
// Under the class key: the entries registration added, one per line of a
// multi-string ("HKCR\\.spr\\PerceivedType", ...).
const wchar_t kAddedValue[] = L"Tamsorel.Added";
const wchar_t kKindMapKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap";
const wchar_t* const kExtensions[] = {L".spr", L".s16", L".c16"};

// One value the photo programs look at, and what registration puts there.
struct Entry {
  HKEY root;
  std::wstring key, name, value, record;
};

std::vector<Entry> Entries() {
  std::vector<Entry> entries;
  for (const wchar_t* extension : kExtensions) {
    entries.push_back({HKEY_CLASSES_ROOT, extension, L"PerceivedType", L"image",
                       std::wstring(L"HKCR\\") + extension + L"\\PerceivedType"});
    entries.push_back({HKEY_LOCAL_MACHINE, kKindMapKey, extension, L"picture",
                       std::wstring(L"HKLM\\KindMap\\") + extension});
  }
  return entries;
}

HRESULT FromStatus(LONG status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

// Whether the value exists (of any type).
bool HasValue(HKEY root, const std::wstring& key, const std::wstring& name) {
  UniqueKey opened;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, opened.out()) != ERROR_SUCCESS) return false;
  return RegQueryValueExW(opened.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// The string the value holds, or "" when it holds none.
std::wstring StringOf(HKEY root, const std::wstring& key, const std::wstring& name) {
  wchar_t text[64] = {};
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  DWORD type = 0;
  UniqueKey opened;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, opened.out()) != ERROR_SUCCESS) return std::wstring();
  if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return std::wstring();
  return std::wstring(text);
}

HRESULT SetString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  UniqueKey created;
  LONG status = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, created.out(), nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  return FromStatus(RegSetValueExW(created.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

HRESULT DeleteValue(HKEY root, const std::wstring& key, const std::wstring& name) {
  UniqueKey opened;
  LONG status = RegOpenKeyExW(root, key.c_str(), 0, KEY_SET_VALUE, opened.out());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(opened.get(), name.c_str());
  return status == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(status);
}

// The records of what registration added, read from the class key.
std::vector<std::wstring> AddedRecords() {
  std::vector<std::wstring> records;
  UniqueKey opened;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_QUERY_VALUE, opened.out()) != ERROR_SUCCESS) return records;
  DWORD bytes = 0, type = 0;
  if (RegQueryValueExW(opened.get(), kAddedValue, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ || bytes > 4096)
    return records;
  std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 2, L'\0');
  if (RegQueryValueExW(opened.get(), kAddedValue, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
      ERROR_SUCCESS)
    return records;
  for (const wchar_t* line = text.data(); *line; line += wcslen(line) + 1) records.emplace_back(line);
  return records;
}

// Takes away the entries `records` name, where they still hold what
// registration put there.
HRESULT RemoveAdded(const std::vector<std::wstring>& records) {
  HRESULT first = S_OK;
  for (const Entry& entry : Entries()) {
    bool added = false;
    for (const std::wstring& record : records) added = added || record == entry.record;
    if (!added || StringOf(entry.root, entry.key, entry.name) != entry.value) continue;
    const HRESULT hr = DeleteValue(entry.root, entry.key, entry.name);
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  }
  return first;
}

HRESULT Register() {
  const ReplacementPair pairs[] = {{L"VERSION", TAMSOREL_WIDE(TAMSOREL_VERSION_TEXT)}, {nullptr, nullptr}};
  // Read before the script runs: it makes the class key anew.
  std::vector<std::wstring> added = AddedRecords();
  HRESULT hr = RunScriptResource(kScriptId, TRUE, pairs);
  if (FAILED(hr)) return hr;
  // An entry already there, ours from an earlier registration or another
  // program's, is left as it is; only what is missing is added.
  std::vector<std::wstring> addedNow;
  for (const Entry& entry : Entries()) {
    bool ours = false;
    for (const std::wstring& record : added) ours = ours || record == entry.record;
    if (ours || HasValue(entry.root, entry.key, entry.name)) continue;
    hr = SetString(entry.root, entry.key, entry.name, entry.value);
    if (FAILED(hr)) break;
    addedNow.push_back(entry.record);
  }
  if (SUCCEEDED(hr)) {
    std::wstring list;
    for (const std::wstring& record : added) list += record + L'\0';
    for (const std::wstring& record : addedNow) list += record + L'\0';
    list += L'\0';
    UniqueKey classKey;
    hr = FromStatus(RegOpenKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_SET_VALUE, classKey.out()));
    if (SUCCEEDED(hr))
      hr = FromStatus(RegSetValueExW(classKey.get(), kAddedValue, 0, REG_MULTI_SZ,
                                     reinterpret_cast<const BYTE*>(list.data()),
                                     static_cast<DWORD>(list.size() * sizeof(wchar_t))));
  }
  if (SUCCEEDED(hr)) return S_OK;
  RemoveAdded(addedNow);
  RunScriptResource(kScriptId, FALSE, pairs);
  return hr;
}

HRESULT Unregister() {
  const ReplacementPair pairs[] = {{L"VERSION", TAMSOREL_WIDE(TAMSOREL_VERSION_TEXT)}, {nullptr, nullptr}};
  const HRESULT removed = RemoveAdded(AddedRecords());
  const HRESULT script = RunScriptResource(kScriptId, FALSE, pairs);
  return FAILED(removed) ? removed : script;
}

}  // namespace

HRESULT UpdateWicDecoderRegistry(BOOL doRegister) {
  return Guarded([&] { return doRegister ? Register() : Unregister(); });
}

}  // namespace tamsorel
