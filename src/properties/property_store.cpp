#include "properties/property_store.h"

#include <algorithm>
#include <new>
#include <vector>

#include "com/module.h"
#include "com/object.h"
#include "com/script_resource.h"
#include "common/win32_owner.h"
#include "platform/stream_source.h"
#include "sprite/sprite_details.h"
#include "sprite/sprite_format.h"

namespace tamsorel {

// {95133135-5DC9-4D6F-9069-6861C1142BDD}
const CLSID CLSID_SpriteProperties = {0x95133135, 0x5DC9, 0x4D6F, {0x90, 0x69, 0x68, 0x61, 0xC1, 0x14, 0x2B, 0xDD}};
// {F9B6B7EB-769D-4E2F-B4DE-BFCD1179A35C}, the format of Tamsorel's own
// properties; identifiers from 2 up, as the property system requires.
const PROPERTYKEY PKEY_Tamsorel_FrameCount = {
    {0xF9B6B7EB, 0x769D, 0x4E2F, {0xB4, 0xDE, 0xBF, 0xCD, 0x11, 0x79, 0xA3, 0x5C}}, 2};
const PROPERTYKEY PKEY_Tamsorel_PixelFormat = {
    {0xF9B6B7EB, 0x769D, 0x4E2F, {0xB4, 0xDE, 0xBF, 0xCD, 0x11, 0x79, 0xA3, 0x5C}}, 3};
const PROPERTYKEY PKEY_Tamsorel_ClaimedFrameCount = {
    {0xF9B6B7EB, 0x769D, 0x4E2F, {0xB4, 0xDE, 0xBF, 0xCD, 0x11, 0x79, 0xA3, 0x5C}}, 4};

namespace {

// The image properties of the system, in the image summary format.
constexpr GUID kImageFormat = {0x6444048F, 0x4C8B, 0x11D1, {0x8B, 0x70, 0x08, 0x00, 0x36, 0xB1, 0x1A, 0x03}};
const PROPERTYKEY kHorizontalSize = {kImageFormat, 3};
const PROPERTYKEY kVerticalSize = {kImageFormat, 4};
const PROPERTYKEY kBitDepth = {kImageFormat, 7};
const PROPERTYKEY kDimensions = {kImageFormat, 13};

// The registry script of the class and the embedded schema.
constexpr UINT kScriptId = 120;
constexpr UINT kSchemaId = 121;
const wchar_t kSchemaType[] = L"PROPDESC";

bool SameKey(const PROPERTYKEY& a, const PROPERTYKEY& b) { return a.pid == b.pid && IsEqualGUID(a.fmtid, b.fmtid); }

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

class CSpriteProperties final
    : public ComObject<CSpriteProperties, IInitializeWithStream, IPropertyStore, IPropertyStoreCapabilities> {
 public:
  static const InterfaceRow<CSpriteProperties> kInterfaces[];

  // IInitializeWithStream
  HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, DWORD mode) noexcept override {
    if (stream == nullptr) return E_POINTER;
    if (initialized_) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    // Nothing is written: a request to open for writing is refused.
    if ((mode & (STGM_WRITE | STGM_READWRITE)) != 0) return STG_E_ACCESSDENIED;
    return Guarded([&]() -> HRESULT {
      std::string problem;
      std::u16string name;
      const std::unique_ptr<ByteSource> source = OpenStreamSource(stream, &name, &problem);
      if (!source) return problem == "out of memory" ? E_OUTOFMEMORY : E_FAIL;
      // SPR files have no header flags; only the name tells them apart.
      const bool spr = IsSprPath(name.c_str());
      SpriteDetails details;
      if (!ReadSpriteDetails(*source, spr, &details, &problem))
        return problem == "out of memory" ? E_OUTOFMEMORY : HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
      std::vector<Value> values;
      values.reserve(7);
      if (details.hasSize) {
        values.push_back({kHorizontalSize, details.width, {}});
        values.push_back({kVerticalSize, details.height, {}});
        values.push_back({kDimensions, 0, Widen(DimensionsText(details.width, details.height))});
      }
      values.push_back({kBitDepth, details.BitDepth(), {}});
      values.push_back({PKEY_Tamsorel_FrameCount, details.frameCount, {}});
      // The header's claim only where it is not the count shown: a number
      // cannot say "claims", so the details show it as a second property.
      if (details.ClaimDiffers()) values.push_back({PKEY_Tamsorel_ClaimedFrameCount, details.claimedFrameCount, {}});
      values.push_back({PKEY_Tamsorel_PixelFormat, 0, Widen(PixelFormatText(details.kind, details.format))});
      values_.swap(values);
      initialized_ = true;
      return S_OK;
    });
  }

  // IPropertyStore
  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) noexcept override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    if (!initialized_) return E_UNEXPECTED;
    *count = static_cast<DWORD>(values_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) noexcept override {
    if (key == nullptr) return E_POINTER;
    *key = PROPERTYKEY{};
    if (!initialized_) return E_UNEXPECTED;
    if (index >= values_.size()) return E_INVALIDARG;
    *key = values_[index].key;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) noexcept override {
    if (value == nullptr) return E_POINTER;
    PropVariantInit(value);
    if (!initialized_) return E_UNEXPECTED;
    for (const Value& v : values_) {
      if (!SameKey(v.key, key)) continue;
      if (v.text.empty()) {
        value->vt = VT_UI4;
        value->ulVal = v.number;
        return S_OK;
      }
      const size_t bytes = (v.text.size() + 1) * sizeof(wchar_t);
      auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
      if (copy == nullptr) return E_OUTOFMEMORY;
      CopyMemory(copy, v.text.c_str(), bytes);
      value->vt = VT_LPWSTR;
      value->pwszVal = copy;
      return S_OK;
    }
    // A property the file does not have: empty, as the contract asks.
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) noexcept override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE Commit() noexcept override { return STG_E_ACCESSDENIED; }

  // IPropertyStoreCapabilities
  HRESULT STDMETHODCALLTYPE IsPropertyWritable(REFPROPERTYKEY) noexcept override { return S_FALSE; }

 private:
  struct Value {
    PROPERTYKEY key;
    ULONG number;       // when `text` is empty
    std::wstring text;  // a string property (never empty)
  };

  bool initialized_ = false;
  std::vector<Value> values_;
};

const InterfaceRow<CSpriteProperties> CSpriteProperties::kInterfaces[] = {
    Row<CSpriteProperties, IInitializeWithStream>(IID_IInitializeWithStream),
    Row<CSpriteProperties, IPropertyStore>(IID_IPropertyStore),
    Row<CSpriteProperties, IPropertyStoreCapabilities>(IID_IPropertyStoreCapabilities),
    {},
};

// ---------------------------------------------------------------------------
// Registration

std::wstring ModulePath() {
  wchar_t path[MAX_PATH];
  if (FAILED(tamsorel::ModulePath(ModuleInstance(), path))) return std::wstring();
  return path;
}

HRESULT LastError() { return LastErrorResult(); }

// The schema embedded in the module.
HRESULT EmbeddedSchema(const char** bytes, DWORD* size) {
  HMODULE module = ModuleInstance();
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kSchemaId), kSchemaType);
  if (found == nullptr) return LastError();
  HGLOBAL loaded = LoadResource(module, found);
  *bytes = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  *size = SizeofResource(module, found);
  return *bytes != nullptr ? S_OK : LastError();
}

// Whether the file at `path` holds exactly `size` bytes equal to `bytes`.
bool FileHolds(const std::wstring& path, const char* bytes, DWORD size) {
  const UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  std::vector<char> held(static_cast<size_t>(size) + 1);
  DWORD got = 0;
  const BOOL read = ReadFile(file.get(), held.data(), size + 1, &got, nullptr);
  return read && got == size && std::equal(held.begin(), held.begin() + size, bytes);
}

// Writes the file whole or leaves none behind.
HRESULT WriteWholeFile(const std::wstring& path, const char* bytes, DWORD size) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return LastError();
  DWORD written = 0;
  const BOOL ok = WriteFile(file.get(), bytes, size, &written, nullptr) && written == size;
  const HRESULT hr = ok ? S_OK : LastError();
  if (!file.reset() || FAILED(hr)) {
    DeleteFileW(path.c_str());
    return FAILED(hr) ? hr : LastError();
  }
  return S_OK;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The property system's schema registration, loaded from the system folder
// while registration runs: the DLL imports nothing the thumbnail handler
// does not need, so it still loads where there is no property system.
class SchemaRegistrar {
 public:
  SchemaRegistrar() {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 13 >= MAX_PATH) return;
    lstrcpyW(path + length, L"\\propsys.dll");
    *module_.out() = LoadLibraryW(path);
    if (!module_.valid()) return;
    register_ =
        reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "PSRegisterPropertySchema")));
    unregister_ = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "PSUnregisterPropertySchema")));
  }
  SchemaRegistrar(const SchemaRegistrar&) = delete;
  SchemaRegistrar& operator=(const SchemaRegistrar&) = delete;

  // False on a system without a property system: there is no schema to
  // register there.
  bool Available() const { return register_ != nullptr && unregister_ != nullptr; }
  HRESULT Register(const wchar_t* path) const { return register_(path); }
  HRESULT Unregister(const wchar_t* path) const { return unregister_(path); }

 private:
  using Function = HRESULT(WINAPI*)(PCWSTR);
  UniqueModule module_;
  Function register_ = nullptr;
  Function unregister_ = nullptr;
};

// Keeps the first failure of steps that all run.
struct FirstFailure {
  HRESULT result = S_OK;
  void Note(HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
};

HRESULT RegisterHandler() {
  const SchemaRegistrar registrar;
  if (!registrar.Available()) return RunScriptResource(kScriptId, TRUE, nullptr);
  const std::wstring module = ModulePath();
  if (module.empty()) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  const std::wstring schema = SchemaPathFor(module.c_str());
  const char* bytes = nullptr;
  DWORD size = 0;
  HRESULT hr = EmbeddedSchema(&bytes, &size);
  if (FAILED(hr)) return hr;

  // Registering again over an earlier registration from this module finds
  // the same schema in place; a failure then leaves it registered, as it
  // was.
  const bool alreadyThere = FileHolds(schema, bytes, size);
  if (!alreadyThere) {
    hr = WriteWholeFile(schema, bytes, size);
    if (FAILED(hr)) return hr;
  }
  hr = registrar.Register(schema.c_str());
  if (SUCCEEDED(hr)) {
    hr = RunScriptResource(kScriptId, TRUE, nullptr);
    if (SUCCEEDED(hr)) return S_OK;
    if (!alreadyThere) registrar.Unregister(schema.c_str());
  }
  if (!alreadyThere) DeleteFileW(schema.c_str());
  return hr;
}

HRESULT UnregisterHandler() {
  FirstFailure result;
  result.Note(RunScriptResource(kScriptId, FALSE, nullptr));
  const std::wstring module = ModulePath();
  if (module.empty()) {
    result.Note(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    return result.result;
  }
  // A schema that is not there was never registered from here, or has been
  // unregistered already.
  const std::wstring schema = SchemaPathFor(module.c_str());
  if (FileExists(schema)) {
    const SchemaRegistrar registrar;
    if (registrar.Available()) {
      // A property system that does not implement unregistration (Wine's
      // answers E_NOTIMPL, and its registration keeps nothing) has nothing
      // to remove.
      const HRESULT hr = registrar.Unregister(schema.c_str());
      if (hr != E_NOTIMPL) result.Note(hr);
    }
    if (!DeleteFileW(schema.c_str())) result.Note(LastError());
  }
  return result.result;
}

}  // namespace

std::wstring SchemaPathFor(const wchar_t* modulePath) {
  std::wstring path(modulePath);
  const size_t separator = path.find_last_of(L"\\/");
  path.resize(separator == std::wstring::npos ? 0 : separator + 1);
  return path + L"Tamsorel.propdesc";
}

HRESULT CreateSpriteProperties(IUnknown* outer, REFIID riid, void** ppv) {
  return CSpriteProperties::Create(outer, riid, ppv);
}

HRESULT UpdateSpritePropertiesRegistry(BOOL doRegister) {
  return Guarded([&] { return doRegister ? RegisterHandler() : UnregisterHandler(); });
}

}  // namespace tamsorel
