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
// OUT.bmp follows the same rules as tamsorel-thumb's output (win32_files.h):
// written complete or not at all, never over a device, a directory or the
// sprite itself.
//
// Exit status: 0 when Extract succeeded and the file was written, 1 when the
// sprite, the handler or OUT.bmp could not be used or Extract failed (one
// line on stderr says why; no file is written), 2 for a usage error (the
// wrong argument named, then the usage).
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
#include "common/win32_owner.h"
#include "bitmap/bitmap_header.h"
#include "bitmap/bmp_file.h"
#include "shell_lookup.h"
#include "win32_files/win32_files.h"

namespace {

using tamsorel::ComRef;
using tamsorel::UniqueBitmap;
using tamsorel::UniqueLocal;
using tamsorel::UniqueMemoryDc;
using tamsorel::UniqueModule;

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

std::string Narrow(const wchar_t* text) { return tamsorel::win32_files::Narrow(text != nullptr ? text : L""); }

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

  // Loads the library; "" or why it cannot serve as the handler.
  std::string Open() {
    const std::string name = Narrow(path_.c_str());
    const std::string problem = tamsorel::win32_files::InputFileProblem(path_);
    if (!problem.empty()) return name + ": " + problem;
    // A library of the other bitness cannot be loaded; say which it is
    // rather than leave the user with a bare ERROR_BAD_EXE_FORMAT.
    const int bits = tamsorel::win32_files::ImageBits(path_);
    const int hostBits = static_cast<int>(sizeof(void*) * 8);
    if (bits < 0)
      return name + " is a DLL for another processor; this is the " + std::to_string(hostBits) + "-bit x86 host";
    if (bits != 0 && bits != hostBits) {
      return name + " is a " + std::to_string(bits) + "-bit DLL; this is the " + std::to_string(hostBits) +
             "-bit host (" + tamsorel::HResultText(tamsorel::HResultFromWin32(ERROR_BAD_EXE_FORMAT)) + ")";
    }
    *module_.out() = LoadLibraryW(path_.c_str());
    if (!module_.valid()) {
      const DWORD error = GetLastError();
      const std::string code = " (" + tamsorel::HResultText(tamsorel::HResultFromWin32(static_cast<long>(error))) + ")";
      if (bits == 0) return name + " is not a DLL" + code;
      if (error == ERROR_MOD_NOT_FOUND) return name + " needs a DLL that cannot be found" + code;
      return name + " cannot be loaded" + code;
    }
    getClassObject_ = reinterpret_cast<GetClassObjectFunc>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFunc>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllCanUnloadNow")));
    const char* missing = getClassObject_ == nullptr ? "DllGetClassObject"
                          : canUnloadNow_ == nullptr ? "DllCanUnloadNow"
                                                     : nullptr;
    if (missing != nullptr) {
      return name + " does not export " + missing + " (" +
             tamsorel::HResultText(tamsorel::HResultFromWin32(ERROR_PROC_NOT_FOUND)) + ")";
    }
    return std::string();
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
  UniqueModule module_;
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
      *problem = "no thumbnail handler is bound to " + Narrow(extension) + " (" + tamsorel::HResultText(hr) + ")";
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
    const UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    if (!dc.valid()) {
      *problem = "no device context for the colour table";
      return false;
    }
    HGDIOBJ previous = SelectObject(dc.get(), bitmap);
    const UINT colours =
        GetDIBColorTable(dc.get(), 0, 256, reinterpret_cast<RGBQUAD*>(header + tamsorel::kInfoHeaderSize));
    SelectObject(dc.get(), previous);
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
  bool aboutSprite = true;  // `problem` follows the sprite's name
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
    outcome.problem = "the handler could not create an object (" + step + ": " + tamsorel::HResultText(hr) + ")";
    return outcome;
  }
  hr = persist->Load(sprite, STGM_READ);
  line += " Load=" + ResultText(hr);
  ComRef<IExtractImage> extract;
  const HRESULT qi = persist->QueryInterface(IID_IExtractImage, extract.out());
  persist.reset();
  if (FAILED(qi)) {
    line += " IExtractImage=" + ResultText(qi);
    outcome.problem = "the object has no IExtractImage (" + tamsorel::HResultText(qi) + ")";
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

  UniqueBitmap bitmap;
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
    outcome.problem = "Extract failed (" + tamsorel::HResultText(extracted) + ")";
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
    outcome.problem = tamsorel::win32_files::WriteOutputFile(output, sprite, bmp);
    outcome.aboutSprite = false;
    if (outcome.problem.empty()) line += " -> " + Narrow(output);
  }
  return outcome;
}

const char kUsage[] = "usage: thumbhost [--dll PATH | --shell] SPRITE OUT.bmp\n";

const char kHelp[] =
    "Extracts the thumbnail of SPRITE as the shell does (IPersistFile::Load,\n"
    "GetLocation, Extract, GetDateStamp) and writes the bitmap to OUT.bmp, with\n"
    "the same bytes as tamsorel-thumb.  The handler is the one in the library\n"
    "PATH or, without --dll, the one the registry binds to SPRITE's extension;\n"
    "with --shell, the one the shell itself hands out for SPRITE's item.\n"
    "One line on standard output gives every call's result.\n"
    "\n"
    "SPRITE must be a regular file.  OUT.bmp may be absent or a regular file\n"
    "(a link counts as its target); it is replaced complete or not at all, and\n"
    "never when it is SPRITE itself.\n"
    "\n"
    "Exit status:\n"
    "  0  OUT.bmp written\n"
    "  1  SPRITE, the handler or OUT.bmp cannot be used, or Extract failed; one\n"
    "     line on stderr says why, and OUT.bmp is left as it was\n"
    "  2  usage error\n"
    "\n"
    "Example:\n"
    "  thumbhost --dll Tamsorel.dll shapes.c16 shapes.bmp\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "thumbhost: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

// The command line, once it has been understood.
struct Arguments {
  const wchar_t* dll = nullptr;  // --dll PATH
  bool shell = false;            // --shell
  std::vector<const wchar_t*> operands;
};

// "" when the arguments make sense (or --help was shown: `*help` set),
// else what is wrong with them, naming the argument.
std::string ParseArguments(int argc, wchar_t** argv, Arguments* arguments, bool* help) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (options && (arg == L"--help" || arg == L"-h" || arg == L"/?")) {
      *help = true;
      return std::string();
    }
    if (options && arg == L"--") {
      options = false;
    } else if (options && arg == L"--dll") {
      if (i + 1 == argc) return "--dll needs the PATH of a library";
      if (arguments->dll != nullptr) return "--dll given twice";
      arguments->dll = argv[++i];
    } else if (options && arg == L"--shell") {
      arguments->shell = true;
    } else if (options && arg.size() > 1 && arg[0] == L'-') {
      return "unknown option " + Narrow(arg.c_str());
    } else if (arguments->operands.size() == 2) {
      return "unexpected argument " + Narrow(arg.c_str()) + " after OUT.bmp";
    } else {
      arguments->operands.push_back(argv[i]);
    }
  }
  if (arguments->dll != nullptr && arguments->shell) return "--dll and --shell exclude each other";
  if (arguments->operands.empty()) return "missing SPRITE and OUT.bmp";
  if (arguments->operands.size() == 1) return "missing OUT.bmp after " + Narrow(arguments->operands[0]);
  return std::string();
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
    if (outcome.aboutSprite)
      std::fprintf(stderr, "thumbhost: %s: %s; no thumbnail written\n", Narrow(sprite).c_str(),
                   outcome.problem.c_str());
    else
      std::fprintf(stderr, "thumbhost: %s\n", outcome.problem.c_str());
    return kExitFailed;
  }
  if (unload != S_OK) {
    std::fprintf(stderr, "thumbhost: %s: the handler still holds locks after every release (%s)\n",
                 source.Describe().c_str(), tamsorel::HResultText(unload).c_str());
  }
  return kExitOk;
}

int Run(int argc, wchar_t** argv) {
  Arguments arguments;
  bool help = false;
  const std::string wrong = ParseArguments(argc, argv, &arguments, &help);
  if (help) {
    std::printf("%s\n%s", kUsage, kHelp);
    return kExitOk;
  }
  if (!wrong.empty()) return UsageError(wrong);
  const wchar_t* sprite = arguments.operands[0];
  const wchar_t* output = arguments.operands[1];

  // The files first: nothing is loaded for a sprite or an output that
  // cannot be used.
  const std::string spriteProblem = tamsorel::win32_files::InputFileProblem(sprite);
  if (!spriteProblem.empty()) {
    std::fprintf(stderr, "thumbhost: %s: %s\n", Narrow(sprite).c_str(), spriteProblem.c_str());
    return kExitFailed;
  }
  const std::string outputProblem = tamsorel::win32_files::OutputFileProblem(output, sprite);
  if (!outputProblem.empty()) {
    std::fprintf(stderr, "thumbhost: %s\n", outputProblem.c_str());
    return kExitFailed;
  }

  ComApartment apartment;
  if (arguments.dll != nullptr) {
    DllHandlerSource source(arguments.dll);
    const std::string problem = source.Open();
    if (!problem.empty()) {
      std::fprintf(stderr, "thumbhost: %s\n", problem.c_str());
      return kExitFailed;
    }
    return Thumbnail(source, sprite, output);
  }
  if (arguments.shell) {
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
  const UniqueLocal<wchar_t**> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
  if (!argv.valid()) return UsageError("the command line cannot be read");
  return Run(argc, argv.get());
}
