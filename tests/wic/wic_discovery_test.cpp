// The WIC decoder as Windows' image programs reach it: Tamsorel.dll (the one
// built beside this program) registered through DllRegisterServer, then only
// WIC's public calls.  The factory finds the decoder on its own for S16 and
// C16 files (by the registered pattern), from a file name and from a stream;
// SPR files, whose bytes carry no mark, are opened by their container
// format.  Every frame, through WIC's converter to premultiplied and
// straight BGRA, must show the pixels `tamsorel.exe export` writes for it,
// read back with WIC's own PNG decoder.  Files of other kinds must not be
// taken for sprites.  At the end DllUnregisterServer must take the decoder
// away again, so that WIC no longer finds it.
#include <windows.h>
#include <shlwapi.h>
#include <wincodec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/win32_owner.h"
#include "frame_encoder.h"
#include "registration_support.h"

namespace tamsorel {
namespace {

using test::EncodedSprite;
using test::EncodeFrames;
using test::FrameSpec;
using test::PatternFrame;

// What registration promises, written out here apart from the DLL's own
// definitions.
const CLSID kDecoderClsid = {0x229C1A6F, 0xEED6, 0x4DAE, {0x99, 0x42, 0x50, 0xF9, 0x81, 0xAF, 0xBB, 0xEC}};
const GUID kSprContainer = {0x192246EA, 0x6C47, 0x4C31, {0x87, 0x4E, 0x30, 0x21, 0x14, 0x4F, 0x18, 0x96}};
const GUID kS16Container = {0x6448ACDF, 0x0A58, 0x4D7D, {0xBD, 0x3F, 0x8D, 0x73, 0x55, 0xFA, 0xBA, 0x4E}};
const GUID kC16Container = {0x00BCAF99, 0xA355, 0x4759, {0x8E, 0x79, 0xE8, 0x12, 0x18, 0x66, 0x60, 0x9D}};
const wchar_t kDecoderKey[] = L"CLSID\\{229C1A6F-EED6-4DAE-9942-50F981AFBBEC}";
const wchar_t kInstanceKey[] =
    L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\{229C1A6F-EED6-4DAE-9942-50F981AFBBEC}";
const wchar_t kKindMapKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap";
const wchar_t* const kExtensions[] = {L".spr", L".s16", L".c16"};

bool IsTamsorelContainer(const GUID& g) {
  return IsEqualGUID(g, kSprContainer) || IsEqualGUID(g, kS16Container) || IsEqualGUID(g, kC16Container);
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

std::wstring BinDirectory() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

std::vector<uint8_t> ReadBytes(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return bytes;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 24)) return bytes;
  bytes.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) got = 0;
  bytes.resize(got);
  return bytes;
}

bool WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file.valid() && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Removes a folder of files (no subfolders are made below the ones used).
void RemoveFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const UniqueFind search(FindFirstFileW((folder + L"*").c_str(), &found));
  if (search.valid()) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveFolder(folder + name + L"\\");
      else DeleteFileW((folder + name).c_str());
    } while (FindNextFileW(search.get(), &found));
  }
  RemoveDirectoryW(folder.c_str());
}

// `tamsorel.exe export -o folder files...`: one PNG per frame, named
// STEM-NNNN.png from 1.
DWORD Export(const std::wstring& folder, const std::vector<std::wstring>& files) {
  // Without its last backslash, which would escape the closing quote.
  const std::wstring bare = folder.substr(0, folder.find_last_not_of(L"\\") + 1);
  std::wstring line = L"\"" + BinDirectory() + L"tamsorel.exe\" export -o \"" + bare + L"\"";
  for (const std::wstring& file : files) line += L" \"" + file + L"\"";
  return test::RunProcess(line);
}

std::wstring ExportedPng(const std::wstring& folder, const std::wstring& stem, UINT index) {
  wchar_t number[16];
  swprintf(number, 16, L"%04u", index + 1);
  return folder + stem + L"-" + number + L".png";
}

std::wstring StemOf(const std::wstring& path) {
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  return name.substr(0, name.find_last_of(L'.'));
}

bool ReadString(HKEY root, const std::wstring& key, const wchar_t* name, std::wstring* value) {
  wchar_t data[1024] = {};
  DWORD size = sizeof(data) - sizeof(wchar_t), type = 0;
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS || type != REG_SZ)
    return false;
  *value = data;
  return true;
}

bool KeyExists(HKEY root, const std::wstring& key) {
  UniqueKey opened;
  return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.out()) == ERROR_SUCCESS;
}

// The values registration adds where an extension has none, as text
// ("<none>" when missing), to compare before registration and after
// unregistration.
std::vector<std::wstring> AddedValues() {
  std::vector<std::wstring> values;
  for (const wchar_t* extension : kExtensions) {
    std::wstring perceived = L"<none>", kind = L"<none>";
    ReadString(HKEY_CLASSES_ROOT, extension, L"PerceivedType", &perceived);
    ReadString(HKEY_LOCAL_MACHINE, kKindMapKey, extension, &kind);
    values.push_back(std::wstring(extension) + L" " + perceived + L" " + kind);
  }
  return values;
}

ComRef<IWICImagingFactory> Factory() {
  ComRef<IWICImagingFactory> factory;
  EXPECT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                             factory.out()),
            S_OK);
  return factory;
}

ComRef<IStream> MemoryStream(const std::vector<uint8_t>& bytes) {
  return ComRef<IStream>(SHCreateMemStream(bytes.data(), static_cast<UINT>(bytes.size())));
}

// A frame's pixels, 4 bytes each, rows packed.
struct Pixels {
  UINT width = 0, height = 0;
  std::vector<uint8_t> bytes;
};

// `source` through WIC's converter to `format`; empty on a failure, which
// is reported.
Pixels Convert(IWICImagingFactory* factory, IWICBitmapSource* source, const GUID& format) {
  Pixels out;
  ComRef<IWICFormatConverter> converter;
  EXPECT_EQ(factory->CreateFormatConverter(converter.outTyped()), S_OK);
  if (!converter.valid()) return out;
  EXPECT_EQ(converter->Initialize(source, format, WICBitmapDitherTypeNone, nullptr, 0, WICBitmapPaletteTypeCustom),
            S_OK);
  WICPixelFormatGUID got{};
  EXPECT_EQ(converter->GetPixelFormat(&got), S_OK);
  EXPECT_TRUE(IsEqualGUID(got, format));
  UINT width = 0, height = 0;
  EXPECT_EQ(converter->GetSize(&width, &height), S_OK);
  std::vector<uint8_t> bytes(std::size_t{width} * height * 4, 0xCD);
  const HRESULT copied = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(bytes.size()), bytes.data());
  EXPECT_EQ(copied, S_OK);
  if (copied != S_OK) return out;
  out.width = width;
  out.height = height;
  out.bytes = std::move(bytes);
  return out;
}

// An exported PNG through WIC's own PNG decoder, as straight BGRA.
Pixels LoadPng(IWICImagingFactory* factory, const std::wstring& path) {
  ComRef<IWICBitmapDecoder> decoder;
  EXPECT_EQ(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                               decoder.outTyped()),
            S_OK)
      << Narrow(path);
  if (!decoder.valid()) return {};
  GUID container{};
  EXPECT_EQ(decoder->GetContainerFormat(&container), S_OK);
  EXPECT_TRUE(IsEqualGUID(container, GUID_ContainerFormatPng));
  ComRef<IWICBitmapFrameDecode> frame;
  EXPECT_EQ(decoder->GetFrame(0, frame.outTyped()), S_OK);
  if (!frame.valid()) return {};
  return Convert(factory, frame.get(), GUID_WICPixelFormat32bppBGRA);
}

// A decoded frame against the exported one.  Sprite pixels are opaque or
// wholly transparent: alphas must be equal and 0 or 255, colours equal
// where opaque, and transparent pixels all zero when premultiplied.
::testing::AssertionResult SamePixels(const Pixels& decoded, const Pixels& exported, bool premultiplied) {
  if (decoded.width != exported.width || decoded.height != exported.height || decoded.bytes.empty())
    return ::testing::AssertionFailure() << "decoded " << decoded.width << "x" << decoded.height << ", exported "
                                         << exported.width << "x" << exported.height;
  for (std::size_t i = 0; i < decoded.bytes.size(); i += 4) {
    const uint8_t* d = &decoded.bytes[i];
    const uint8_t* e = &exported.bytes[i];
    const std::size_t pixel = i / 4;
    const bool alphaOk = d[3] == e[3] && (e[3] == 0 || e[3] == 255);
    const bool colourOk = e[3] != 255 || (d[0] == e[0] && d[1] == e[1] && d[2] == e[2]);
    const bool clearOk = !premultiplied || e[3] != 0 || (d[0] == 0 && d[1] == 0 && d[2] == 0);
    if (!alphaOk || !colourOk || !clearOk)
      return ::testing::AssertionFailure()
             << "pixel (" << pixel % decoded.width << ", " << pixel / decoded.width << "): decoded BGRA " << int{d[0]}
             << "," << int{d[1]} << "," << int{d[2]} << "," << int{d[3]} << ", exported " << int{e[0]} << ","
             << int{e[1]} << "," << int{e[2]} << "," << int{e[3]};
  }
  return ::testing::AssertionSuccess();
}

// How a case's file is handed to WIC.
enum class Route {
  kFilename,         // CreateDecoderFromFilename: discovery by pattern
  kStream,           // CreateDecoderFromStream over a memory copy (no name)
  kSprFile,          // CreateDecoder(SPR container) + Initialize, a stream on the file
  kSprMemory,        // CreateDecoder(SPR container) + Initialize, a memory copy
};

const char* RouteName(Route route) {
  switch (route) {
    case Route::kFilename: return "CreateDecoderFromFilename";
    case Route::kStream: return "CreateDecoderFromStream";
    case Route::kSprFile: return "CreateDecoder(SPR) on a file stream";
    case Route::kSprMemory: return "CreateDecoder(SPR) on a memory stream";
  }
  return "?";
}

// A decoder for `path` by `route`; null when WIC gave none (`*hr` says why).
ComRef<IWICBitmapDecoder> OpenByRoute(IWICImagingFactory* factory, const std::wstring& path, Route route,
                                      HRESULT* hr) {
  ComRef<IWICBitmapDecoder> decoder;
  const std::vector<uint8_t> bytes = ReadBytes(path);
  switch (route) {
    case Route::kFilename:
      *hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                               decoder.outTyped());
      break;
    case Route::kStream: {
      const ComRef<IStream> stream = MemoryStream(bytes);
      *hr = factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.outTyped());
      break;
    }
    case Route::kSprFile:
    case Route::kSprMemory: {
      *hr = factory->CreateDecoder(kSprContainer, nullptr, decoder.outTyped());
      if (FAILED(*hr)) break;
      ComRef<IStream> stream;
      if (route == Route::kSprMemory) {
        stream = MemoryStream(bytes);
      } else {
        ComRef<IWICStream> fileStream;
        *hr = factory->CreateStream(fileStream.outTyped());
        if (SUCCEEDED(*hr)) *hr = fileStream->InitializeFromFilename(path.c_str(), GENERIC_READ);
        if (SUCCEEDED(*hr)) *hr = fileStream->QueryInterface(IID_IStream, stream.out());
      }
      if (SUCCEEDED(*hr)) *hr = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
      break;
    }
  }
  if (FAILED(*hr)) decoder.reset();
  return decoder;
}

// One file: where it is, what it holds and which frames are damaged.
struct Case {
  std::string what;
  std::wstring path;
  const GUID* container;
  UINT frames;
  std::vector<UINT> damaged;
};

// The frame count a sprite's header states (SPR: the first two bytes; S16
// and C16: two bytes after the flags).
UINT StatedFrames(const std::vector<uint8_t>& bytes, bool spr) {
  const std::size_t at = spr ? 0 : 4;
  return bytes.size() >= at + 2 ? UINT{bytes[at]} | (UINT{bytes[at + 1]} << 8) : 0;
}

void Patch16(std::vector<uint8_t>& bytes, std::size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

using DllFunction = HRESULT(STDAPICALLTYPE*)();

class WicDiscovery : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    folder_ = new std::wstring(std::wstring(temp) + L"tamsorel-wic-discovery-" +
                               std::to_wstring(GetCurrentProcessId()) + L"\\");
    RemoveFolder(*folder_);
    ASSERT_TRUE(CreateDirectoryW(folder_->c_str(), nullptr));
    before_ = new std::vector<std::wstring>(AddedValues());
    dll_ = new std::wstring(BinDirectory() + L"Tamsorel.dll");
    module_ = new UniqueModule(LoadLibraryW(dll_->c_str()));
    ASSERT_TRUE(module_->valid()) << "Tamsorel.dll beside the test program";
    const auto registerServer =
        reinterpret_cast<DllFunction>(reinterpret_cast<void*>(GetProcAddress(module_->get(), "DllRegisterServer")));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
    // The decoder's class runs from this very file, and WIC's category
    // lists it.
    std::wstring server;
    ASSERT_TRUE(ReadString(HKEY_CLASSES_ROOT, std::wstring(kDecoderKey) + L"\\InprocServer32", nullptr, &server));
    EXPECT_EQ(CompareStringOrdinal(server.c_str(), -1, dll_->c_str(), -1, TRUE), CSTR_EQUAL) << Narrow(server);
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kInstanceKey));
    registered_ = true;
  }

  static void TearDownTestSuite() {
    if (module_ && module_->valid()) {
      const auto unregisterServer = reinterpret_cast<DllFunction>(
          reinterpret_cast<void*>(GetProcAddress(module_->get(), "DllUnregisterServer")));
      EXPECT_NE(unregisterServer, nullptr);
      if (unregisterServer) {
        EXPECT_EQ(unregisterServer(), S_OK);
        // Every key of the decoder is gone, the extensions' values are as
        // they were, and WIC no longer finds the decoder.
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kDecoderKey));
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kInstanceKey));
        if (before_) {
          EXPECT_EQ(AddedValues(), *before_);
        }
        const ComRef<IWICImagingFactory> factory = Factory();
        if (factory.valid()) {
          ComRef<IWICBitmapDecoder> decoder;
          ExpectNoTamsorelDecoder(factory->CreateDecoder(kSprContainer, nullptr, decoder.outTyped()), decoder);
          EXPECT_FALSE(ListsDecoder(factory.get()));
        }
      }
    }
    CoUninitialize();
    // COM let go of the DLL with CoUninitialize; this is the last reference.
    delete module_;
    module_ = nullptr;
    if (folder_) RemoveFolder(*folder_);
    delete folder_;
    delete dll_;
    delete before_;
    folder_ = dll_ = nullptr;
    before_ = nullptr;
  }

 protected:
  void SetUp() override {
    ASSERT_TRUE(registered_) << "the DLL could not be registered";
    factory_ = Factory();
    ASSERT_TRUE(factory_.valid());
  }

  // Whether WIC's list of decoders holds Tamsorel's.
  static bool ListsDecoder(IWICImagingFactory* factory) {
    ComRef<IEnumUnknown> list;
    if (FAILED(factory->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateDefault, list.outTyped())))
      return false;
    for (;;) {
      ComRef<IUnknown> item;
      ULONG fetched = 0;
      if (list->Next(1, item.outTyped(), &fetched) != S_OK || fetched != 1) return false;
      ComRef<IWICComponentInfo> info;
      CLSID clsid{};
      if (SUCCEEDED(item->QueryInterface(IID_IWICComponentInfo, info.out())) && SUCCEEDED(info->GetCLSID(&clsid)) &&
          IsEqualGUID(clsid, kDecoderClsid))
        return true;
    }
  }

  // After unregistration the factory gives no decoder for the SPR
  // container, or one that is not Tamsorel's.
  static void ExpectNoTamsorelDecoder(HRESULT hr, const ComRef<IWICBitmapDecoder>& decoder) {
    if (FAILED(hr)) return;
    ComRef<IWICBitmapDecoderInfo> info;
    CLSID clsid{};
    ASSERT_EQ(decoder->GetDecoderInfo(info.outTyped()), S_OK);
    ASSERT_EQ(info->GetCLSID(&clsid), S_OK);
    EXPECT_FALSE(IsEqualGUID(clsid, kDecoderClsid)) << "the unregistered decoder is still found";
  }

  static std::wstring Folder() { return *folder_; }

  // Writes `bytes` into the suite's folder as `name`.
  static std::wstring Fixture(const std::wstring& name, const std::vector<uint8_t>& bytes) {
    const std::wstring path = Folder() + name;
    EXPECT_TRUE(WriteBytes(path, bytes)) << Narrow(name);
    return path;
  }

  // Exports `c` and checks every frame, by every route its kind takes,
  // against the PNGs.
  void CheckAgainstExport(const Case& c) {
    SCOPED_TRACE(c.what);
    const std::wstring out = Folder() + L"export-" + std::to_wstring(++exports_) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
    // Damaged frames are skipped with status 1; irregular ones are written.
    EXPECT_EQ(Export(out, {c.path}), c.damaged.empty() ? 0u : 1u);
    const std::wstring stem = StemOf(c.path);
    std::vector<Pixels> exported(c.frames);
    for (UINT i = 0; i < c.frames; ++i) {
      const bool damaged = std::count(c.damaged.begin(), c.damaged.end(), i) != 0;
      const std::wstring png = ExportedPng(out, stem, i);
      ASSERT_EQ(FileExists(png), !damaged) << "frame " << i << ": the export " << (damaged ? "has" : "lacks")
                                           << " it";
      if (!damaged) exported[i] = LoadPng(factory_.get(), png);
    }
    EXPECT_FALSE(FileExists(ExportedPng(out, stem, c.frames))) << "the export holds more frames";

    const bool spr = IsEqualGUID(*c.container, kSprContainer);
    const std::vector<Route> routes = spr ? std::vector<Route>{Route::kSprFile, Route::kSprMemory}
                                          : std::vector<Route>{Route::kFilename, Route::kStream};
    for (Route route : routes) {
      SCOPED_TRACE(RouteName(route));
      HRESULT hr = E_FAIL;
      const ComRef<IWICBitmapDecoder> decoder = OpenByRoute(factory_.get(), c.path, route, &hr);
      ASSERT_EQ(hr, S_OK);
      // The decoder WIC chose is Tamsorel's, and says which kind it read.
      ComRef<IWICBitmapDecoderInfo> info;
      ASSERT_EQ(decoder->GetDecoderInfo(info.outTyped()), S_OK);
      CLSID clsid{};
      ASSERT_EQ(info->GetCLSID(&clsid), S_OK);
      EXPECT_TRUE(IsEqualGUID(clsid, kDecoderClsid));
      GUID container{};
      ASSERT_EQ(decoder->GetContainerFormat(&container), S_OK);
      EXPECT_TRUE(IsEqualGUID(container, *c.container));
      UINT count = 0;
      ASSERT_EQ(decoder->GetFrameCount(&count), S_OK);
      ASSERT_EQ(count, c.frames);
      for (UINT i = 0; i < count; ++i) {
        ComRef<IWICBitmapFrameDecode> frame;
        const HRESULT got = decoder->GetFrame(i, frame.outTyped());
        if (exported[i].bytes.empty()) {
          EXPECT_EQ(got, WINCODEC_ERR_BADIMAGE) << "damaged frame " << i;
          continue;
        }
        ASSERT_EQ(got, S_OK) << "frame " << i;
        WICPixelFormatGUID format{};
        ASSERT_EQ(frame->GetPixelFormat(&format), S_OK);
        EXPECT_TRUE(IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA));
        EXPECT_TRUE(SamePixels(Convert(factory_.get(), frame.get(), GUID_WICPixelFormat32bppPBGRA), exported[i],
                               /*premultiplied=*/true))
            << "frame " << i << " as PBGRA";
        EXPECT_TRUE(SamePixels(Convert(factory_.get(), frame.get(), GUID_WICPixelFormat32bppBGRA), exported[i],
                               /*premultiplied=*/false))
            << "frame " << i << " as BGRA";
      }
    }
  }

  // A sample of the project as a case: every frame sound.
  static Case Sample(const wchar_t* name) {
    const std::wstring path = std::wstring(TAMSOREL_SAMPLES_DIR) + name;
    const std::wstring extension = path.substr(path.size() - 4);
    const GUID* container = extension == L".spr" ? &kSprContainer : extension == L".s16" ? &kS16Container
                                                                                          : &kC16Container;
    return {Narrow(name), path, container, StatedFrames(ReadBytes(path), container == &kSprContainer), {}};
  }

  ComRef<IWICImagingFactory> factory_;

 private:
  static bool registered_;
  static std::wstring* folder_;
  static std::wstring* dll_;
  static std::vector<std::wstring>* before_;
  static UniqueModule* module_;
  static int exports_;
};

bool WicDiscovery::registered_ = false;
std::wstring* WicDiscovery::folder_ = nullptr;
std::wstring* WicDiscovery::dll_ = nullptr;
std::vector<std::wstring>* WicDiscovery::before_ = nullptr;
UniqueModule* WicDiscovery::module_ = nullptr;
int WicDiscovery::exports_ = 0;

const wchar_t* const kSamples[] = {L"bounce.s16",     L"bounce.spr",  L"checker.spr", L"gradient.s16",
                                   L"ring-555.c16",   L"shapes.c16",  L"shapes.spr",  L"spin.c16",
                                   L"sunset-555.s16", L"sunset.spr"};

// What WIC reads of the registered decoder: the container, extensions and
// pixel format, and the pattern that lets S16 and C16 headers through (flags
// 0 to 3) and nothing else.
TEST_F(WicDiscovery, WicReadsTheRegisteredDecoder) {
  EXPECT_TRUE(ListsDecoder(factory_.get()));
  ComRef<IWICComponentInfo> component;
  ASSERT_EQ(factory_->CreateComponentInfo(kDecoderClsid, component.outTyped()), S_OK);
  ComRef<IWICBitmapDecoderInfo> info;
  ASSERT_EQ(component->QueryInterface(IID_IWICBitmapDecoderInfo, info.out()), S_OK);
  GUID container{};
  ASSERT_EQ(info->GetContainerFormat(&container), S_OK);
  EXPECT_TRUE(IsEqualGUID(container, kSprContainer));
  wchar_t extensions[64] = {};
  UINT length = 0;
  ASSERT_EQ(info->GetFileExtensions(64, extensions, &length), S_OK);
  EXPECT_STREQ(extensions, L".spr,.s16,.c16");
  GUID formats[4] = {};
  UINT formatCount = 0;
  ASSERT_EQ(info->GetPixelFormats(4, formats, &formatCount), S_OK);
  ASSERT_EQ(formatCount, 1u);
  EXPECT_TRUE(IsEqualGUID(formats[0], GUID_WICPixelFormat32bppBGRA));
  // Wine's decoder info does not answer DoesSupportMultiframe (E_NOTIMPL);
  // there the registry value it would read is checked instead.
  BOOL multiframe = FALSE;
  const HRESULT asked = info->DoesSupportMultiframe(&multiframe);
  if (asked == E_NOTIMPL) {
    DWORD value = 0, size = sizeof(value);
    ASSERT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, kDecoderKey, L"SupportMultiframe", RRF_RT_REG_DWORD, nullptr, &value,
                           &size),
              ERROR_SUCCESS);
    multiframe = value != 0;
  } else {
    ASSERT_EQ(asked, S_OK);
  }
  EXPECT_TRUE(multiframe);

  const FrameSpec frame = PatternFrame(3, 2, 1, false);
  struct Pattern {
    const char* what;
    std::vector<uint8_t> bytes;
    BOOL matches;
  } patterns[] = {
      {"S16, 5-5-5", EncodeFrames(SpriteKind::kS16, 0, {frame}).bytes, TRUE},
      {"S16, 5-6-5", EncodeFrames(SpriteKind::kS16, 1, {frame}).bytes, TRUE},
      {"C16, 5-5-5", EncodeFrames(SpriteKind::kC16, 0, {frame}).bytes, TRUE},
      {"C16, 5-6-5", EncodeFrames(SpriteKind::kC16, 1, {frame}).bytes, TRUE},
      {"a flag no writer sets", EncodeFrames(SpriteKind::kS16, 4 | 1, {frame}).bytes, FALSE},
      {"SPR", EncodeFrames(SpriteKind::kSpr, 0, {PatternFrame(3, 2, 1, true)}).bytes, FALSE},
      {"text", {'h', 'e', 'l', 'l', 'o', '\r', '\n'}, FALSE},
      {"three bytes", {0, 0, 0}, FALSE},
  };
  for (const Pattern& p : patterns) {
    const ComRef<IStream> stream = MemoryStream(p.bytes);
    BOOL matches = !p.matches;
    EXPECT_EQ(info->MatchesPattern(stream.get(), &matches), S_OK) << p.what;
    EXPECT_EQ(matches, p.matches) << p.what;
  }
}

// The samples, and files made here: several frames of changing size (one
// pixel, wide, tall, wholly transparent), damaged frames beside sound ones,
// irregular C16 lines, files cut short.
TEST_F(WicDiscovery, EveryFrameMatchesTheExport) {
  std::vector<Case> cases;
  for (const wchar_t* sample : kSamples) cases.push_back(Sample(sample));

  const FrameSpec clear{4, 3, std::vector<uint16_t>(12, 0)};
  const std::vector<FrameSpec> sizes16 = {PatternFrame(7, 5, 1, false), PatternFrame(1, 1, 2, false),
                                          PatternFrame(300, 2, 3, false), PatternFrame(2, 150, 4, false), clear,
                                          PatternFrame(33, 17, 5, false)};
  std::vector<FrameSpec> sizesSpr;
  for (const FrameSpec& f : sizes16) sizesSpr.push_back(PatternFrame(f.width, f.height, f.width + 7u, true));
  cases.push_back({"S16 5-6-5, frames of changing size",
                   Fixture(L"sizes.s16", EncodeFrames(SpriteKind::kS16, 1, sizes16).bytes), &kS16Container, 6, {}});
  cases.push_back({"S16 5-5-5, frames of changing size",
                   Fixture(L"sizes-555.s16", EncodeFrames(SpriteKind::kS16, 0, sizes16).bytes), &kS16Container, 6,
                   {}});
  cases.push_back({"C16 5-6-5, frames of changing size",
                   Fixture(L"sizes.c16", EncodeFrames(SpriteKind::kC16, 1, sizes16).bytes), &kC16Container, 6, {}});
  cases.push_back({"SPR, frames of changing size",
                   Fixture(L"sizes.spr", EncodeFrames(SpriteKind::kSpr, 0, sizesSpr).bytes), &kSprContainer, 6, {}});

  // Damaged: pixels past the end of the file, pixels inside the header,
  // a frame without pixels.
  {
    EncodedSprite s16 = EncodeFrames(SpriteKind::kS16, 1, {sizes16[0], sizes16[1], sizes16[5], sizes16[2]});
    test::frame_encoder_detail::Patch32(s16.bytes, s16.entryAt[1], 0x7FFFFFF0);
    test::frame_encoder_detail::Patch32(s16.bytes, s16.entryAt[2], 2);
    cases.push_back({"S16, frames 2 and 3 damaged", Fixture(L"damaged.s16", s16.bytes), &kS16Container, 4, {1, 2}});
    EncodedSprite c16 =
        EncodeFrames(SpriteKind::kC16, 1, {sizes16[5], FrameSpec{0, 0, {}}, sizes16[0], sizes16[3]});
    test::frame_encoder_detail::Patch32(c16.bytes, c16.entryAt[3], 0x7FFFFFF0);
    cases.push_back({"C16, frames 2 and 4 damaged", Fixture(L"damaged.c16", c16.bytes), &kC16Container, 4, {1, 3}});
    EncodedSprite spr = EncodeFrames(SpriteKind::kSpr, 0, {sizesSpr[0], sizesSpr[1], sizesSpr[2]});
    test::frame_encoder_detail::Patch32(spr.bytes, spr.entryAt[0], 0x7FFFFFF0);
    cases.push_back({"SPR, frame 1 damaged", Fixture(L"damaged.spr", spr.bytes), &kSprContainer, 3, {0}});
  }
  // Irregular C16 frames: lines shorter than the frame is wide (the rest of
  // each row stays transparent) and lines longer.
  {
    EncodedSprite c16 = EncodeFrames(SpriteKind::kC16, 1, {sizes16[0], sizes16[5], sizes16[2]});
    Patch16(c16.bytes, c16.entryAt[0] + 4, static_cast<uint16_t>(sizes16[0].width + 3));
    Patch16(c16.bytes, c16.entryAt[1] + 4, static_cast<uint16_t>(sizes16[5].width - 5));
    cases.push_back({"C16, irregular lines", Fixture(L"irregular.c16", c16.bytes), &kC16Container, 3, {}});
  }
  // Cut short inside the pixels: the frame cut is irregular, the next one
  // starts past the end (damaged).
  {
    const EncodedSprite s16 = EncodeFrames(SpriteKind::kS16, 1, {sizes16[0], sizes16[5], sizes16[2]});
    const std::size_t cut = s16.dataAt[1] + (s16.dataAt[2] - s16.dataAt[1]) / 2 + 1;
    cases.push_back({"S16 cut inside frame 2",
                     Fixture(L"cut.s16", std::vector<uint8_t>(s16.bytes.begin(), s16.bytes.begin() + cut)),
                     &kS16Container, 3, {2}});
    const EncodedSprite c16 = EncodeFrames(SpriteKind::kC16, 1, {sizes16[5], sizes16[3], sizes16[0]});
    const std::size_t c16Cut = c16.dataAt[1] + (c16.dataAt[2] - c16.dataAt[1]) / 2;
    cases.push_back({"C16 cut inside frame 2",
                     Fixture(L"cut.c16", std::vector<uint8_t>(c16.bytes.begin(), c16.bytes.begin() + c16Cut)),
                     &kC16Container, 3, {2}});
  }

  for (const Case& c : cases) CheckAgainstExport(c);
}

// Files that are no sprites: discovery must not hand them to Tamsorel's
// decoder, whatever their name.  The factory either finds no decoder or one
// of another container.
TEST_F(WicDiscovery, OtherFilesAreNotTakenForSprites) {
  // A small PNG, written with WIC's own encoder.
  std::vector<uint8_t> png;
  {
    const std::wstring path = Folder() + L"picture.png";
    ComRef<IWICStream> stream;
    ASSERT_EQ(factory_->CreateStream(stream.outTyped()), S_OK);
    ASSERT_EQ(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE), S_OK);
    ComRef<IWICBitmapEncoder> encoder;
    ASSERT_EQ(factory_->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.outTyped()), S_OK);
    ASSERT_EQ(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache), S_OK);
    ComRef<IWICBitmapFrameEncode> frame;
    ASSERT_EQ(encoder->CreateNewFrame(frame.outTyped(), nullptr), S_OK);
    ASSERT_EQ(frame->Initialize(nullptr), S_OK);
    ASSERT_EQ(frame->SetSize(3, 2), S_OK);
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    ASSERT_EQ(frame->SetPixelFormat(&format), S_OK);
    ASSERT_TRUE(IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA));
    std::vector<uint8_t> pixels(3 * 2 * 4, 0);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 37 + 255);
    ASSERT_EQ(frame->WritePixels(2, 12, static_cast<UINT>(pixels.size()), pixels.data()), S_OK);
    ASSERT_EQ(frame->Commit(), S_OK);
    ASSERT_EQ(encoder->Commit(), S_OK);
    // The file is complete once the encoder lets go of the stream.
    frame.reset();
    encoder.reset();
    stream.reset();
    png = ReadBytes(path);
    ASSERT_FALSE(png.empty());
  }
  const std::string text = "Sprites are kept in .spr, .s16 and .c16 files.\r\n";
  struct Other {
    const char* what;
    std::wstring name;
    std::vector<uint8_t> bytes;
    const GUID* container;  // the decoder WIC must choose, or null for none
    HRESULT refusal;        // with none: the factory's answer (S_OK: any failure)
  } const others[] = {
      {"a PNG", L"picture.png", png, &GUID_ContainerFormatPng, S_OK},
      {"a PNG named as S16", L"picture.s16", png, &GUID_ContainerFormatPng, S_OK},
      {"a text file", L"notes.txt", std::vector<uint8_t>(text.begin(), text.end()), nullptr,
       WINCODEC_ERR_COMPONENTNOTFOUND},
      {"text named as C16", L"notes.c16", std::vector<uint8_t>(text.begin(), text.end()), nullptr,
       WINCODEC_ERR_COMPONENTNOTFOUND},
      // The pattern lets these bytes through, and the decoder must still
      // not take them (no frame).  Windows asks QueryCapability (0) and finds
      // no decoder; Wine skips QueryCapability, calls Initialize and answers
      // with its refusal (WINCODEC_ERR_BADHEADER).  Either way, a failure.
      {"zeros named as S16", L"zeros.s16", std::vector<uint8_t>(32, 0), nullptr, S_OK},
  };
  for (const Other& o : others) {
    SCOPED_TRACE(o.what);
    const std::wstring path = Fixture(o.name, o.bytes);
    for (Route route : {Route::kFilename, Route::kStream}) {
      SCOPED_TRACE(RouteName(route));
      HRESULT hr = E_FAIL;
      const ComRef<IWICBitmapDecoder> decoder = OpenByRoute(factory_.get(), path, route, &hr);
      if (!o.container) {
        // Whatever else Wine or Windows may find for these bytes, never a
        // sprite.
        if (FAILED(hr)) {
          if (o.refusal != S_OK) {
            EXPECT_EQ(hr, o.refusal);
          }
          continue;
        }
      } else {
        ASSERT_EQ(hr, S_OK);
      }
      GUID container{};
      ASSERT_EQ(decoder->GetContainerFormat(&container), S_OK);
      EXPECT_FALSE(IsTamsorelContainer(container));
      if (o.container) {
        EXPECT_TRUE(IsEqualGUID(container, *o.container));
      }
    }
  }
  // SPR files carry no mark: discovery by their bytes leaves them alone;
  // programs reach them by the container format.
  for (const wchar_t* sample : {L"checker.spr", L"sunset.spr"}) {
    SCOPED_TRACE(Narrow(sample));
    HRESULT hr = E_FAIL;
    const ComRef<IWICBitmapDecoder> decoder =
        OpenByRoute(factory_.get(), std::wstring(TAMSOREL_SAMPLES_DIR) + sample, Route::kFilename, &hr);
    if (FAILED(hr)) continue;
    GUID container{};
    ASSERT_EQ(decoder->GetContainerFormat(&container), S_OK);
    EXPECT_FALSE(IsTamsorelContainer(container));
  }
}

// The figure for the report (printed, not asserted): every frame of the
// samples decoded through WIC, against `tamsorel.exe export` of the same
// files (a process of its own, writing PNGs), in the same run.
TEST_F(WicDiscovery, FigureWicAgainstExport) {
  using Clock = std::chrono::steady_clock;
  // Copies of the samples, their names made distinct (bounce.s16 and
  // bounce.spr would both export bounce-0001.png), for one export run.
  std::vector<Case> samples;
  std::vector<std::wstring> paths;
  for (const wchar_t* sample : kSamples) {
    Case c = Sample(sample);
    std::wstring name = StemOf(c.path) + L"_" + (c.path.substr(c.path.size() - 3)) + c.path.substr(c.path.size() - 4);
    c.path = Fixture(name, ReadBytes(c.path));
    samples.push_back(c);
    paths.push_back(c.path);
  }
  constexpr int kRounds = 5;
  double wicBest = 1e30, exportBest = 1e30;
  uint64_t pixels = 0;
  for (int round = 0; round < kRounds; ++round) {
    pixels = 0;
    const Clock::time_point start = Clock::now();
    for (const Case& c : samples) {
      HRESULT hr = E_FAIL;
      const bool spr = IsEqualGUID(*c.container, kSprContainer);
      const ComRef<IWICBitmapDecoder> decoder =
          OpenByRoute(factory_.get(), c.path, spr ? Route::kSprFile : Route::kFilename, &hr);
      ASSERT_EQ(hr, S_OK) << c.what;
      UINT count = 0;
      ASSERT_EQ(decoder->GetFrameCount(&count), S_OK);
      for (UINT i = 0; i < count; ++i) {
        ComRef<IWICBitmapFrameDecode> frame;
        ASSERT_EQ(decoder->GetFrame(i, frame.outTyped()), S_OK);
        UINT width = 0, height = 0;
        ASSERT_EQ(frame->GetSize(&width, &height), S_OK);
        std::vector<uint8_t> buffer(std::size_t{width} * height * 4);
        ASSERT_EQ(frame->CopyPixels(nullptr, width * 4, static_cast<UINT>(buffer.size()), buffer.data()), S_OK);
        pixels += std::size_t{width} * height;
      }
    }
    wicBest = std::min(wicBest, std::chrono::duration<double, std::milli>(Clock::now() - start).count());

    const std::wstring out = Folder() + L"figure-" + std::to_wstring(round) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
    const Clock::time_point exportStart = Clock::now();
    ASSERT_EQ(Export(out, paths), 0u);
    exportBest = std::min(exportBest, std::chrono::duration<double, std::milli>(Clock::now() - exportStart).count());
  }
  std::printf("[ figure   ] %zu sample files, %llu pixels: WIC decode of every frame %.2f ms, "
              "tamsorel.exe export %.2f ms (best of %d); export / WIC = %.1f\n",
              samples.size(), static_cast<unsigned long long>(pixels), wicBest, exportBest, kRounds,
              exportBest / std::max(wicBest, 1e-3));
  RecordProperty("wic_ms", std::to_string(wicBest));
  RecordProperty("export_ms", std::to_string(exportBest));
}

}  // namespace
}  // namespace tamsorel
