// prophost: plays the shell's part in showing a sprite's details.  It
// creates the property handler for the file, hands it a stream on the file
// with IInitializeWithStream::Initialize, as Explorer's isolated process
// does, and prints every property the store holds as
// "canonical name = value", one a line, in the store's order.
//
//   prophost --dll PATH SPRITE   the handler in the library at PATH
//   prophost SPRITE              the handler the property system's registry
//                                entry binds to the sprite's extension
//   prophost [--dll PATH] --timing SPRITE...
//                                the cost of the details of each file: time
//                                and bytes read for Initialize and every
//                                GetValue, against reading the file's first
//                                4 KiB through the same kind of stream
//
// Exit status: 0 when the properties were printed, 1 when the sprite or the
// handler could not be used or Initialize failed (one line on stderr says
// why), 2 for a usage error.
#include <windows.h>
#include <objbase.h>
#include <propsys.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "common/win32_owner.h"
#include "win32_files/win32_files.h"

namespace {

using tamsorel::ComRef;
using tamsorel::UniqueLocal;
using tamsorel::UniqueModule;
using tamsorel::UniqueTaskMemory;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const CLSID kClsidSpriteProperties = {0x95133135, 0x5DC9, 0x4D6F, {0x90, 0x69, 0x68, 0x61, 0xC1, 0x14, 0x2B, 0xDD}};
const wchar_t kPropertyHandlers[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers\\";

std::string Narrow(const wchar_t* text) { return tamsorel::win32_files::Narrow(text != nullptr ? text : L""); }

// The canonical names of the properties the handler gives.  They are
// printed from here, not asked of the property system, so that the output
// does not depend on whether the schema is registered.
struct KnownKey {
  GUID fmtid;
  DWORD pid;
  const char* name;
};
constexpr GUID kImage = {0x6444048F, 0x4C8B, 0x11D1, {0x8B, 0x70, 0x08, 0x00, 0x36, 0xB1, 0x1A, 0x03}};
constexpr GUID kTamsorel = {0xF9B6B7EB, 0x769D, 0x4E2F, {0xB4, 0xDE, 0xBF, 0xCD, 0x11, 0x79, 0xA3, 0x5C}};
const KnownKey kKnownKeys[] = {
    {kImage, 3, "System.Image.HorizontalSize"},   {kImage, 4, "System.Image.VerticalSize"},
    {kImage, 13, "System.Image.Dimensions"},      {kImage, 7, "System.Image.BitDepth"},
    {kTamsorel, 2, "Tamsorel.Sprite.FrameCount"}, {kTamsorel, 3, "Tamsorel.Sprite.PixelFormat"},
    {kTamsorel, 4, "Tamsorel.Sprite.ClaimedFrameCount"},
};

std::string KeyName(const PROPERTYKEY& key) {
  for (const KnownKey& known : kKnownKeys)
    if (IsEqualGUID(known.fmtid, key.fmtid) && known.pid == key.pid) return known.name;
  UniqueTaskMemory<wchar_t> name;
  if (SUCCEEDED(PSGetNameFromPropertyKey(key, name.out())) && name.valid()) return Narrow(name.get());
  wchar_t guid[64] = {};
  StringFromGUID2(key.fmtid, guid, 64);
  return Narrow(guid) + " " + std::to_string(key.pid);
}

std::string ValueText(const PROPVARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY:
      return "(empty)";
    case VT_UI4:
      return std::to_string(value.ulVal);
    case VT_UI8:
      return std::to_string(value.uhVal.QuadPart);
    case VT_I4:
      return std::to_string(value.lVal);
    case VT_LPWSTR:
      return Narrow(value.pwszVal);
    default:
      return "(type " + std::to_string(value.vt) + ")";
  }
}

using GetClassObjectFunc = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Where the handler comes from: DllGetClassObject of a given library, or
// CoCreateInstance of the class the registry binds to the extension.
class Handler {
 public:
  // "" or why the library cannot serve.
  std::string OpenDll(const wchar_t* path) {
    const std::string problem = tamsorel::win32_files::InputFileProblem(path);
    if (!problem.empty()) return Narrow(path) + ": " + problem;
    *module_.out() = LoadLibraryW(path);
    if (!module_.valid())
      return Narrow(path) + " cannot be loaded (" +
             tamsorel::HResultText(tamsorel::HResultFromWin32(static_cast<long>(GetLastError()))) + ")";
    auto getClassObject = reinterpret_cast<GetClassObjectFunc>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
    if (getClassObject == nullptr) return Narrow(path) + " does not export DllGetClassObject";
    const HRESULT hr = getClassObject(kClsidSpriteProperties, IID_IClassFactory, factory_.out());
    if (FAILED(hr)) return Narrow(path) + ": DllGetClassObject failed (" + tamsorel::HResultText(hr) + ")";
    return std::string();
  }

  // "" or why no handler is bound to the extension of `sprite`.
  std::string OpenRegistered(const wchar_t* sprite) {
    const wchar_t* extension = PathFindExtensionW(sprite);
    if (*extension == L'\0') return "the file name has no extension";
    const std::wstring key = kPropertyHandlers + std::wstring(extension);
    wchar_t text[64];
    DWORD size = sizeof(text);
    const LONG status = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size);
    if (status != ERROR_SUCCESS)
      return "no property handler is registered for " + Narrow(extension) + " (" +
             tamsorel::HResultText(tamsorel::HResultFromWin32(status)) + ")";
    if (FAILED(CLSIDFromString(text, &clsid_)))
      return "the property handler registered for " + Narrow(extension) + " is not a CLSID: " + Narrow(text);
    return std::string();
  }

  HRESULT Create(IPropertyStore** store) {
    if (factory_.get() != nullptr)
      return factory_->CreateInstance(nullptr, IID_IPropertyStore, reinterpret_cast<void**>(store));
    return CoCreateInstance(clsid_, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyStore, reinterpret_cast<void**>(store));
  }

 private:
  UniqueModule module_;  // declared first: freed after the class object is released
  ComRef<IClassFactory> factory_;
  CLSID clsid_ = {};
};

// A stream on the file, as the shell opens it for a handler: read only,
// others may read too.
HRESULT OpenStream(const wchar_t* path, IStream** stream) {
  return SHCreateStreamOnFileEx(path, STGM_READ | STGM_SHARE_DENY_WRITE, FILE_ATTRIBUTE_NORMAL, FALSE, nullptr, stream);
}

int PrintProperties(Handler& handler, const wchar_t* sprite) {
  ComRef<IStream> stream;
  HRESULT hr = OpenStream(sprite, stream.outTyped());
  if (FAILED(hr)) {
    std::fprintf(stderr, "prophost: %s: cannot be opened as a stream (%s)\n", Narrow(sprite).c_str(),
                 tamsorel::HResultText(hr).c_str());
    return kExitFailed;
  }
  ComRef<IPropertyStore> store;
  hr = handler.Create(store.outTyped());
  if (FAILED(hr)) {
    std::fprintf(stderr, "prophost: the handler could not create an object (%s)\n", tamsorel::HResultText(hr).c_str());
    return kExitFailed;
  }
  ComRef<IInitializeWithStream> init;
  hr = store->QueryInterface(IID_IInitializeWithStream, reinterpret_cast<void**>(init.out()));
  if (SUCCEEDED(hr)) hr = init->Initialize(stream.get(), STGM_READ);
  if (FAILED(hr)) {
    std::fprintf(stderr, "prophost: %s: Initialize failed (%s)\n", Narrow(sprite).c_str(),
                 tamsorel::HResultText(hr).c_str());
    return kExitFailed;
  }
  DWORD count = 0;
  hr = store->GetCount(&count);
  if (FAILED(hr)) {
    std::fprintf(stderr, "prophost: %s: GetCount failed (%s)\n", Narrow(sprite).c_str(),
                 tamsorel::HResultText(hr).c_str());
    return kExitFailed;
  }
  std::string lines;
  for (DWORD i = 0; i < count; ++i) {
    PROPERTYKEY key = {};
    PROPVARIANT value;
    PropVariantInit(&value);
    hr = store->GetAt(i, &key);
    if (SUCCEEDED(hr)) hr = store->GetValue(key, &value);
    if (FAILED(hr)) {
      std::fprintf(stderr, "prophost: %s: property %lu cannot be read (%s)\n", Narrow(sprite).c_str(),
                   static_cast<unsigned long>(i), tamsorel::HResultText(hr).c_str());
      return kExitFailed;
    }
    lines += KeyName(key) + " = " + ValueText(value) + "\n";
    PropVariantClear(&value);
  }
  std::fputs(lines.c_str(), stdout);
  return kExitOk;
}

// A stream that counts the bytes it hands out, over another.
class CountingStream final : public IStream {
 public:
  explicit CountingStream(IStream* inner) { inner_.share(inner); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream) || IsEqualIID(riid, IID_ISequentialStream)) {
      *ppv = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Read(void* target, ULONG count, ULONG* read) override {
    ULONG got = 0;
    const HRESULT hr = inner_->Read(target, count, &got);
    bytes += got;
    if (read != nullptr) *read = got;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    return inner_->Seek(move, origin, position);
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override { return inner_->Stat(stat, flags); }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

  ULONGLONG bytes = 0;

 private:
  ComRef<IStream> inner_;
  ULONG refs_ = 1;
};

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One round of the details of `sprite` (a new stream, a new handler,
// Initialize, every GetValue), or of a 4 KiB read when `handler` is null.
// The bytes the stream handed out go to `*bytes`.
HRESULT Round(Handler* handler, const wchar_t* sprite, ULONGLONG* bytes) {
  ComRef<IStream> file;
  HRESULT hr = OpenStream(sprite, file.outTyped());
  if (FAILED(hr)) return hr;
  CountingStream* counting = new CountingStream(file.get());
  ComRef<IStream> stream(counting);
  if (handler == nullptr) {
    static char block[4096];
    ULONG got = 0;
    hr = stream->Read(block, sizeof(block), &got);
  } else {
    ComRef<IPropertyStore> store;
    hr = handler->Create(store.outTyped());
    ComRef<IInitializeWithStream> init;
    if (SUCCEEDED(hr)) hr = store->QueryInterface(IID_IInitializeWithStream, reinterpret_cast<void**>(init.out()));
    if (SUCCEEDED(hr)) hr = init->Initialize(stream.get(), STGM_READ);
    DWORD count = 0;
    if (SUCCEEDED(hr)) hr = store->GetCount(&count);
    for (DWORD i = 0; SUCCEEDED(hr) && i < count; ++i) {
      PROPERTYKEY key;
      PROPVARIANT value;
      PropVariantInit(&value);
      hr = store->GetAt(i, &key);
      if (SUCCEEDED(hr)) hr = store->GetValue(key, &value);
      PropVariantClear(&value);
    }
  }
  *bytes = counting->bytes;
  return hr;
}

int Timing(Handler& handler, const std::vector<const wchar_t*>& sprites) {
  std::printf("%-28s %12s %12s %10s %12s %10s\n", "file", "size", "details_us", "bytes", "4KiB_us", "bytes");
  int status = kExitOk;
  for (const wchar_t* sprite : sprites) {
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(sprite, GetFileExInfoStandard, &attributes);
    const ULONGLONG size = (ULONGLONG{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
    // Alternate the two so that both see the same state of the machine.
    constexpr int kRounds = 200;
    double details = 0, floor = 0;
    ULONGLONG detailBytes = 0, floorBytes = 0;
    HRESULT hr = S_OK;
    for (int i = 0; i < kRounds && SUCCEEDED(hr); ++i) {
      LARGE_INTEGER a, b, c;
      QueryPerformanceCounter(&a);
      hr = Round(&handler, sprite, &detailBytes);
      QueryPerformanceCounter(&b);
      if (SUCCEEDED(hr)) hr = Round(nullptr, sprite, &floorBytes);
      QueryPerformanceCounter(&c);
      details += Seconds(a, b);
      floor += Seconds(b, c);
    }
    const wchar_t* name = PathFindFileNameW(sprite);
    if (FAILED(hr)) {
      std::printf("%-28s failed (%s)\n", Narrow(name).c_str(), tamsorel::HResultText(hr).c_str());
      status = kExitFailed;
      continue;
    }
    std::printf("%-28s %12llu %12.1f %10llu %12.1f %10llu\n", Narrow(name).c_str(), size, 1e6 * details / kRounds,
                detailBytes, 1e6 * floor / kRounds, floorBytes);
  }
  return status;
}

const char kUsage[] =
    "usage: prophost [--dll PATH] SPRITE\n"
    "       prophost [--dll PATH] --timing SPRITE...\n";

const char kHelp[] =
    "Shows the details of SPRITE as Explorer gets them: creates the property\n"
    "handler, initialises it with a stream on SPRITE and prints every property\n"
    "as \"canonical name = value\", one a line.  The handler is the one in the\n"
    "library PATH or, without --dll, the one the registry binds to SPRITE's\n"
    "extension (HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\\n"
    "PropertyHandlers).\n"
    "\n"
    "--timing measures, for each SPRITE, the time and the bytes read of\n"
    "Initialize and every GetValue against reading the first 4 KiB of the\n"
    "file through the same kind of stream (averages over 200 rounds).\n"
    "\n"
    "Exit status:\n"
    "  0  the properties were printed\n"
    "  1  SPRITE or the handler cannot be used, or Initialize failed; one line\n"
    "     on stderr says why\n"
    "  2  usage error\n"
    "\n"
    "Example:\n"
    "  prophost --dll Tamsorel.dll shapes.c16\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "prophost: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

class ComApartment {
 public:
  ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT hr_;
};

int Run(int argc, wchar_t** argv) {
  const wchar_t* dll = nullptr;
  bool timing = false;
  bool options = true;
  std::vector<const wchar_t*> sprites;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (options && (arg == L"--help" || arg == L"-h" || arg == L"/?")) {
      std::printf("%s\n%s", kUsage, kHelp);
      return kExitOk;
    }
    if (options && arg == L"--") {
      options = false;
    } else if (options && arg == L"--dll") {
      if (i + 1 == argc) return UsageError("--dll needs the PATH of a library");
      if (dll != nullptr) return UsageError("--dll given twice");
      dll = argv[++i];
    } else if (options && arg == L"--timing") {
      timing = true;
    } else if (options && arg.size() > 1 && arg[0] == L'-') {
      return UsageError("unknown option " + Narrow(arg.c_str()));
    } else {
      sprites.push_back(argv[i]);
    }
  }
  if (sprites.empty()) return UsageError("missing SPRITE");
  if (!timing && sprites.size() > 1) return UsageError("unexpected argument " + Narrow(sprites[1]) + " after SPRITE");
  for (const wchar_t* sprite : sprites) {
    const std::string problem = tamsorel::win32_files::InputFileProblem(sprite);
    if (!problem.empty()) {
      std::fprintf(stderr, "prophost: %s: %s\n", Narrow(sprite).c_str(), problem.c_str());
      return kExitFailed;
    }
  }

  ComApartment apartment;
  Handler handler;
  const std::string problem = dll != nullptr ? handler.OpenDll(dll) : handler.OpenRegistered(sprites[0]);
  if (!problem.empty()) {
    std::fprintf(stderr, "prophost: %s: %s\n", Narrow(sprites[0]).c_str(), problem.c_str());
    return kExitFailed;
  }
  return timing ? Timing(handler, sprites) : PrintProperties(handler, sprites[0]);
}

}  // namespace

int main() {
  int argc = 0;
  const UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
  if (!argv.valid()) return UsageError("the command line cannot be read");
  const int status = Run(argc, argv.get());
  std::fflush(stdout);
  return status;
}
