// thumbhost: plays the shell's part for one sprite file.  It obtains the
// class object of the Quorrel thumbnail handler, creates an instance, hands
// it the file with IPersistFile::Load, asks GetLocation, Extract and
// GetDateStamp as Explorer does, and saves the bitmap it receives as a .bmp
// file with the same bytes as tamsorel-thumb writes for that sprite.
//
//   thumbhost --dll PATH SPRITE OUT.bmp   the handler in the library at PATH
//   thumbhost SPRITE OUT.bmp              the handler the registry binds to
//                                         the sprite's extension, as Explorer
//                                         finds it
//   thumbhost --shell SPRITE OUT.bmp      the handler the shell itself hands
//                                         out for the file's item
//
// Exit status: 0 when Extract succeeded and the file was written, 1 when the
// handler could not be used or Extract failed (no file is written), 2 for a
// usage error.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "decode/bitmap_header.h"
#include "decode/bmp_file.h"
#include "shell_lookup.h"

namespace {

// CLSID of the Quorrel class.
const CLSID kClsidQuorrel = {0x062AB647, 0xEA2F, 0x4A58, {0x91, 0x56, 0x7A, 0xC3, 0x37, 0x89, 0xEB, 0xF8}};
// The shell's thumbnail-handler binding: the subkey of an extension's ShellEx
// key named after IID_IExtractImage.
const wchar_t kExtractImageBinding[] = L"\\ShellEx\\{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string ResultText(HRESULT hr) {
  char text[64];
  const char* name = tamsorel::HResultName(hr);
  if (name != nullptr)
    std::snprintf(text, sizeof(text), "%s", name);
  else
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

std::string Narrow(const wchar_t* text) {
  if (text == nullptr || *text == 0) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

// Owns one COM interface reference.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  void** out() {
    reset();
    return reinterpret_cast<void**>(&pointer_);
  }
  void reset() {
    if (pointer_ != nullptr) {
      T* held = pointer_;
      pointer_ = nullptr;
      held->Release();
    }
  }

 private:
  T* pointer_ = nullptr;
};

// Deletes a GDI bitmap handed over by the handler.
class BitmapRef {
 public:
  BitmapRef() = default;
  ~BitmapRef() {
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
  }
  BitmapRef(const BitmapRef&) = delete;
  BitmapRef& operator=(const BitmapRef&) = delete;
  HBITMAP* out() { return &bitmap_; }
  HBITMAP get() const { return bitmap_; }

 private:
  HBITMAP bitmap_ = nullptr;
};

// Where the handler comes from.  --dll loads a given library and calls its
// DllGetClassObject; otherwise the handler is looked up under the file's
// extension in the registry and created with CoCreateInstance.
class HandlerSource {
 public:
  virtual ~HandlerSource() = default;
  // Creates a handler object.  On failure `step` names the call that failed.
  virtual HRESULT CreateObject(IPersistFile** object, std::string* step) = 0;
  // After every reference is released: whether the handler agrees to be
  // unloaded (S_OK) or not (S_FALSE), or a failure.
  virtual HRESULT CanUnloadNow() = 0;
  virtual std::string Describe() const = 0;
};

class DllHandlerSource final : public HandlerSource {
 public:
  explicit DllHandlerSource(const wchar_t* path) : path_(path) {}
  ~DllHandlerSource() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  HRESULT Open() {
    module_ = LoadLibraryW(path_.c_str());
    if (module_ == nullptr) return tamsorel::HResultFromWin32(static_cast<long>(GetLastError()));
    getClassObject_ = reinterpret_cast<GetClassObjectFunc>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFunc>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    if (getClassObject_ == nullptr || canUnloadNow_ == nullptr)
      return tamsorel::HResultFromWin32(ERROR_PROC_NOT_FOUND);
    return S_OK;
  }

  HRESULT CreateObject(IPersistFile** object, std::string* step) override {
    ComRef<IClassFactory> factory;
    *step = "DllGetClassObject";
    HRESULT hr = getClassObject_(kClsidQuorrel, IID_IClassFactory, factory.out());
    if (FAILED(hr)) return hr;
    *step = "CreateInstance";
    return factory->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(object));
  }

  HRESULT CanUnloadNow() override { return canUnloadNow_(); }

  std::string Describe() const override { return Narrow(path_.c_str()); }

 private:
  using GetClassObjectFunc = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFunc = HRESULT(STDAPICALLTYPE*)();

  std::wstring path_;
  HMODULE module_ = nullptr;
  GetClassObjectFunc getClassObject_ = nullptr;
  CanUnloadNowFunc canUnloadNow_ = nullptr;
};

class RegistryHandlerSource : public HandlerSource {
 public:
  // Finds the class bound to the extension of `sprite`.  On failure
  // `problem` says why.
  HRESULT Open(const wchar_t* sprite, std::string* problem) {
    const wchar_t* extension = PathFindExtensionW(sprite);
    if (*extension == L'\0') {
      *problem = "the file name has no extension";
      return E_FAIL;
    }
    const std::wstring binding = extension + std::wstring(kExtractImageBinding);
    wchar_t clsidText[64];
    DWORD size = sizeof(clsidText);
    const LONG status =
        RegGetValueW(HKEY_CLASSES_ROOT, binding.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, clsidText, &size);
    if (status != ERROR_SUCCESS) {
      const HRESULT hr = tamsorel::HResultFromWin32(status);
      *problem = "no thumbnail handler is bound to " + Narrow(extension) + " (" + ResultText(hr) + ")";
      return hr;
    }
    const HRESULT hr = CLSIDFromString(clsidText, &clsid_);
    if (FAILED(hr)) {
      *problem = "the handler bound to " + Narrow(extension) + " is not a CLSID: " + Narrow(clsidText);
      return hr;
    }
    clsidText_ = clsidText;
    return S_OK;
  }

  HRESULT CreateObject(IPersistFile** object, std::string* step) override {
    *step = "CoCreateInstance";
    return CoCreateInstance(clsid_, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile,
                            reinterpret_cast<void**>(object));
  }

  // Asks the server library COM loaded, if it is still loaded.
  HRESULT CanUnloadNow() override {
    wchar_t server[MAX_PATH];
    DWORD size = sizeof(server);
    const std::wstring key = L"CLSID\\" + clsidText_ + L"\\InprocServer32";
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, server, &size) != ERROR_SUCCESS)
      return S_OK;
    HMODULE module = GetModuleHandleW(server);
    if (module == nullptr) return S_OK;
    auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    return canUnloadNow != nullptr ? canUnloadNow() : tamsorel::HResultFromWin32(ERROR_PROC_NOT_FOUND);
  }

  std::string Describe() const override { return Narrow(clsidText_.c_str()); }

 protected:
  CLSID clsid_ = {};
  std::wstring clsidText_;
};

// The handler as the shell's folder hands it out for the file's item (see
// shell_lookup.h).  The shell has already loaded the file into it; the Load
// that follows in ThumbnailOne repeats that with the same file, as a host
// may.  Which class it is, and so which library to ask DllCanUnloadNow, the
// object says itself.
class ShellHandlerSource final : public RegistryHandlerSource {
 public:
  explicit ShellHandlerSource(const wchar_t* sprite) : sprite_(sprite) {}

  HRESULT CreateObject(IPersistFile** object, std::string* step) override {
    ComRef<IExtractImage> extract;
    const char* failed = "";
    HRESULT hr = thumbhost::ShellItemObject(sprite_, IID_IExtractImage, extract.out(), &failed);
    *step = failed;
    if (FAILED(hr)) return hr;
    *step = "IExtractImage::QueryInterface(IPersistFile)";
    hr = extract->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(object));
    if (FAILED(hr)) return hr;
    wchar_t clsidText[64];
    if (SUCCEEDED((*object)->GetClassID(&clsid_)) && StringFromGUID2(clsid_, clsidText, 64) > 0)
      clsidText_ = clsidText;
    return S_OK;
  }

 private:
  const wchar_t* sprite_;
};

// The bitmap as a .bmp file: the header the bitmap describes itself with,
// its colour table or channel masks, and its pixel memory as it is.
bool BitmapToBmpFile(HBITMAP bitmap, std::vector<uint8_t>* file, std::string* problem) {
  DIBSECTION section = {};
  if (GetObjectW(bitmap, sizeof(section), &section) != sizeof(section) || section.dsBm.bmBits == nullptr) {
    *problem = "the bitmap is not a DIB section";
    return false;
  }
  const BITMAPINFOHEADER& info = section.dsBmih;
  const LONG height = info.biHeight < 0 ? -info.biHeight : info.biHeight;
  uint8_t header[tamsorel::kInfoHeaderSize + tamsorel::kPaletteSize] = {};
  BITMAPINFOHEADER out = {};
  out.biSize = sizeof(BITMAPINFOHEADER);
  out.biWidth = info.biWidth;
  out.biHeight = -height;  // the handler makes top-down bitmaps only
  out.biPlanes = 1;
  out.biBitCount = info.biBitCount;
  out.biCompression = info.biCompression;
  std::memcpy(header, &out, sizeof(out));
  if (info.biBitCount == 8) {
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr) {
      *problem = "no device context for the colour table";
      return false;
    }
    HGDIOBJ previous = SelectObject(dc, bitmap);
    const UINT colours =
        GetDIBColorTable(dc, 0, 256, reinterpret_cast<RGBQUAD*>(header + tamsorel::kInfoHeaderSize));
    SelectObject(dc, previous);
    DeleteDC(dc);
    if (colours != 256) {
      *problem = "the colour table has " + std::to_string(colours) + " entries, not 256";
      return false;
    }
  } else if (info.biBitCount == 16 && info.biCompression == BI_BITFIELDS) {
    std::memcpy(header + tamsorel::kInfoHeaderSize, section.dsBitfields, tamsorel::kMaskBytes);
  } else {
    *problem = "unexpected bitmap format (" + std::to_string(info.biBitCount) + " bits)";
    return false;
  }
  const size_t pixelBytes = static_cast<size_t>(section.dsBm.bmWidthBytes) * static_cast<size_t>(height);
  *file = tamsorel::MakeBmpFile(header, static_cast<const uint8_t*>(section.dsBm.bmBits), pixelBytes);
  if (file->empty()) {
    *problem = "the bitmap cannot be written as a .bmp file";
    return false;
  }
  return true;
}

bool WriteWholeFile(const wchar_t* path, const std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  const BOOL closed = CloseHandle(file);
  if (!ok || !closed || written != bytes.size()) {
    DeleteFileW(path);
    return false;
  }
  return true;
}

std::string FileTimeText(const FILETIME& time) {
  SYSTEMTIME utc = {};
  if (!FileTimeToSystemTime(&time, &utc)) return "?";
  char text[40];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u UTC", utc.wYear, utc.wMonth, utc.wDay,
                utc.wHour, utc.wMinute, utc.wSecond);
  return text;
}

struct Outcome {
  std::string line;     // the results, one line
  std::string problem;  // why no file was written, empty on success
};

// Runs the shell's sequence on one sprite.  Every interface and the bitmap
// are released before it returns.
Outcome ThumbnailOne(HandlerSource& source, const wchar_t* sprite, const wchar_t* output) {
  Outcome outcome;
  std::string& line = outcome.line;
  line = Narrow(sprite) + ":";

  ComRef<IPersistFile> persist;
  std::string step;
  HRESULT hr = source.CreateObject(reinterpret_cast<IPersistFile**>(persist.out()), &step);
  if (FAILED(hr)) {
    line += " " + step + "=" + ResultText(hr);
    outcome.problem = "the handler could not create an object (" + step + ": " + ResultText(hr) + ")";
    return outcome;
  }
  hr = persist->Load(sprite, STGM_READ);
  line += " Load=" + ResultText(hr);
  ComRef<IExtractImage> extract;
  const HRESULT qi = persist->QueryInterface(IID_IExtractImage, extract.out());
  persist.reset();
  if (FAILED(qi)) {
    line += " IExtractImage=" + ResultText(qi);
    outcome.problem = "the object has no IExtractImage (" + ResultText(qi) + ")";
    return outcome;
  }

  // Explorer's request: normal priority, a 96x96 thumbnail in 32-bit colour,
  // aspect ratio kept, offline.
  WCHAR location[MAX_PATH] = {};
  DWORD priority = IEIT_PRIORITY_NORMAL;
  SIZE size = {96, 96};
  DWORD flags = IEIFLAG_ASPECT | IEIFLAG_OFFLINE;
  hr = extract->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags);
  char extras[64];
  std::snprintf(extras, sizeof(extras), " priority=%lu flags=0x%lX", static_cast<unsigned long>(priority),
                static_cast<unsigned long>(flags));
  line += " GetLocation=" + ResultText(hr) + " \"" + Narrow(location) + "\"" + extras;

  BitmapRef bitmap;
  const HRESULT extracted = extract->Extract(bitmap.out());
  line += " Extract=" + ResultText(extracted);
  std::vector<uint8_t> bmp;
  if (extracted == S_OK && bitmap.get() != nullptr) {
    BITMAP info = {};
    if (GetObjectW(bitmap.get(), sizeof(info), &info) == sizeof(info)) {
      char dims[48];
      std::snprintf(dims, sizeof(dims), " %ldx%ld %u-bit", static_cast<long>(info.bmWidth),
                    static_cast<long>(info.bmHeight), static_cast<unsigned>(info.bmBitsPixel));
      line += dims;
    }
    if (!BitmapToBmpFile(bitmap.get(), &bmp, &outcome.problem)) bmp.clear();
  } else if (extracted == S_OK) {
    outcome.problem = "Extract succeeded without a bitmap";
  } else {
    outcome.problem = "Extract failed (" + ResultText(extracted) + ")";
  }

  ComRef<IExtractImage2> extract2;
  if (SUCCEEDED(extract->QueryInterface(IID_IExtractImage2, extract2.out()))) {
    FILETIME stamp = {};
    hr = extract2->GetDateStamp(&stamp);
    line += " GetDateStamp=" + ResultText(hr);
    if (hr == S_OK) line += " " + FileTimeText(stamp);
  } else {
    line += " GetDateStamp=n/a";
  }
  extract2.reset();
  extract.reset();

  if (outcome.problem.empty()) {
    if (WriteWholeFile(output, bmp))
      line += " -> " + Narrow(output);
    else
      outcome.problem = "cannot write " + Narrow(output);
  }
  return outcome;
}

int Usage() {
  std::fprintf(stderr,
               "usage: thumbhost [--dll PATH | --shell] SPRITE OUT.bmp\n"
               "  Extracts the thumbnail of SPRITE as the shell does and writes it to\n"
               "  OUT.bmp, with the handler in the library PATH or, without --dll, the\n"
               "  handler the registry binds to the sprite's extension; with --shell,\n"
               "  the handler the shell hands out for the sprite's item.\n");
  return kExitUsage;
}

// Balances CoInitializeEx.
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

// Runs the shell's sequence with `source` and reports the outcome.
int Thumbnail(HandlerSource& source, const wchar_t* sprite, const wchar_t* output) {
  Outcome outcome = ThumbnailOne(source, sprite, output);
  const HRESULT unload = source.CanUnloadNow();
  outcome.line += " DllCanUnloadNow=" + ResultText(unload);
  std::printf("%s\n", outcome.line.c_str());
  std::fflush(stdout);
  if (!outcome.problem.empty()) {
    std::fprintf(stderr, "thumbhost: %s: %s; no thumbnail written\n", Narrow(sprite).c_str(),
                 outcome.problem.c_str());
    return kExitFailed;
  }
  if (unload != S_OK) {
    std::fprintf(stderr, "thumbhost: %s: the handler still holds locks after every release (%s)\n",
                 source.Describe().c_str(), ResultText(unload).c_str());
  }
  return kExitOk;
}

int Run(int argc, wchar_t** argv) {
  const bool withDll = argc == 5 && std::wcscmp(argv[1], L"--dll") == 0;
  const bool withShell = argc == 4 && std::wcscmp(argv[1], L"--shell") == 0;
  if (!withDll && !withShell && (argc != 3 || argv[1][0] == L'-')) return Usage();
  const wchar_t* sprite = argv[argc - 2];
  const wchar_t* output = argv[argc - 1];

  ComApartment apartment;
  if (withDll) {
    DllHandlerSource source(argv[2]);
    const HRESULT opened = source.Open();
    if (FAILED(opened)) {
      std::fprintf(stderr, "thumbhost: cannot use %s as a handler (%s)\n", Narrow(argv[2]).c_str(),
                   ResultText(opened).c_str());
      return kExitFailed;
    }
    return Thumbnail(source, sprite, output);
  }
  if (withShell) {
    ShellHandlerSource source(sprite);
    return Thumbnail(source, sprite, output);
  }
  RegistryHandlerSource source;
  std::string problem;
  if (FAILED(source.Open(sprite, &problem))) {
    std::fprintf(stderr, "thumbhost: %s: %s; no thumbnail written\n", Narrow(sprite).c_str(), problem.c_str());
    return kExitFailed;
  }
  return Thumbnail(source, sprite, output);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return Usage();
  const int status = Run(argc, argv);
  LocalFree(argv);
  return status;
}
