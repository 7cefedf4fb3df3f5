#include "preview_host.h"

#include <shlwapi.h>
#include <winreg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sprite/sprite_format.h"
#include "platform/file_source.h"
#include "preview/pane_render.h"
#include "image/rgba.h"
#include "sprite/sprite.h"
#include "png/png_writer.h"
#include "preview/preview_gdi.h"

namespace tamsorel::previewhost {

const CLSID kClsidPreview = {0x6e603337, 0x6d05, 0x4fcc, {0xba, 0xe0, 0xad, 0xcf, 0x8e, 0x18, 0xb5, 0xdf}};

namespace {

constexpr wchar_t kHostClassName[] = L"TamsorelPreviewHost";
// The handler's caption text starts this far from the left.
constexpr uint32_t kCaptionInset = 4;

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

PaneColour FromColorRef(COLORREF c) { return PaneColour{GetRValue(c), GetGValue(c), GetBValue(c)}; }

COLORREF CaptionBackground(const Visuals& v) { return v.hasBackground ? v.background : GetSysColor(COLOR_WINDOW); }
COLORREF TextColour(const Visuals& v) { return v.hasText ? v.text : GetSysColor(COLOR_WINDOWTEXT); }

bool Is(const uint8_t* bgrx, COLORREF c) {
  return bgrx[2] == GetRValue(c) && bgrx[1] == GetGValue(c) && bgrx[0] == GetBValue(c);
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ERASEBKGND) return 1;
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

std::string HandlerSource::LoadDll(const std::wstring& dllPath) {
  *dll_.out() = LoadLibraryW(dllPath.c_str());
  if (!dll_.valid()) return "cannot load the library (error " + std::to_string(GetLastError()) + ")";
  using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), "DllGetClassObject")));
  if (!get) return "the library has no DllGetClassObject";
  const HRESULT hr = get(kClsidPreview, IID_IClassFactory, factory_.out());
  if (FAILED(hr)) return "DllGetClassObject failed: " + Hex(hr);
  return "";
}

std::string HandlerSource::UseRegistered(const std::wstring& extension) {
  const std::wstring key =
      L"SystemFileAssociations\\" + extension + L"\\shellex\\{8895b1c6-b41f-4c1c-a562-0d564250836f}";
  wchar_t text[64];
  DWORD bytes = sizeof(text);
  const LSTATUS status = RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &bytes);
  if (status != ERROR_SUCCESS)
    return "no preview handler is registered for " + std::string(extension.begin(), extension.end());
  if (FAILED(CLSIDFromString(text, &registered_))) return "the preview binding names no class";
  useRegistered_ = true;
  return "";
}

HRESULT HandlerSource::Create(IPreviewHandler** handler) {
  *handler = nullptr;
  if (useRegistered_)
    return CoCreateInstance(registered_, nullptr, CLSCTX_INPROC_SERVER, IID_IPreviewHandler,
                            reinterpret_cast<void**>(handler));
  if (factory_.valid())
    return factory_->CreateInstance(nullptr, IID_IPreviewHandler, reinterpret_cast<void**>(handler));
  if (linked_) return CreatePreviewHandlerWith(seams_, IID_IPreviewHandler, reinterpret_cast<void**>(handler));
  return E_UNEXPECTED;
}

HostWindow::HostWindow(uint32_t width, uint32_t height) {
  WNDCLASSEXW hostClass{};
  hostClass.cbSize = sizeof(hostClass);
  hostClass.lpfnWndProc = &HostProc;
  hostClass.hInstance = GetModuleHandleW(nullptr);
  hostClass.lpszClassName = kHostClassName;
  RegisterClassExW(&hostClass);  // already there from an earlier window: fine
  window_ = CreateWindowExW(WS_EX_TOPMOST, kHostClassName, L"previewhost", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0,
                            0, static_cast<int>(width), static_cast<int>(height), nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  if (window_) {
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
    PumpMessages();
  }
}

HostWindow::~HostWindow() {
  if (window_) DestroyWindow(window_);
}

void HostWindow::Resize(uint32_t width, uint32_t height) {
  SetWindowPos(window_, nullptr, 0, 0, static_cast<int>(width), static_cast<int>(height), SWP_NOZORDER | SWP_NOMOVE);
  PumpMessages();
}

HRESULT OpenFileStream(const std::wstring& path, IStream** stream) {
  return SHCreateStreamOnFileEx(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, FILE_ATTRIBUTE_NORMAL, FALSE, nullptr,
                                stream);
}

std::string ShowPreview(IPreviewHandler* handler, IStream* stream, HWND host, uint32_t width, uint32_t height,
                        const Visuals& visuals) {
  ComRef<IInitializeWithStream> init;
  HRESULT hr = handler->QueryInterface(IID_IInitializeWithStream, init.out());
  if (FAILED(hr)) return "no IInitializeWithStream: " + Hex(hr);
  hr = init->Initialize(stream, STGM_READ);
  if (FAILED(hr)) return "Initialize: " + Hex(hr);
  if (visuals.hasBackground || visuals.hasText || visuals.hasFont) {
    ComRef<IPreviewHandlerVisuals> v;
    hr = handler->QueryInterface(IID_IPreviewHandlerVisuals, v.out());
    if (FAILED(hr)) return "no IPreviewHandlerVisuals: " + Hex(hr);
    if (visuals.hasBackground && FAILED(hr = v->SetBackgroundColor(visuals.background)))
      return "SetBackgroundColor: " + Hex(hr);
    if (visuals.hasText && FAILED(hr = v->SetTextColor(visuals.text))) return "SetTextColor: " + Hex(hr);
    if (visuals.hasFont && FAILED(hr = v->SetFont(&visuals.font))) return "SetFont: " + Hex(hr);
  }
  const RECT rect{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
  hr = handler->SetWindow(host, &rect);
  if (FAILED(hr)) return "SetWindow: " + Hex(hr);
  hr = handler->DoPreview();
  if (FAILED(hr)) return "DoPreview: " + Hex(hr);
  return "";
}

std::wstring PaneCaptionText(HWND host) {
  const HWND pane = GetWindow(host, GW_CHILD);
  if (!pane) return L"";
  wchar_t text[512] = L"";
  GetWindowTextW(pane, text, static_cast<int>(sizeof(text) / sizeof(text[0])));
  return text;
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

std::vector<uint8_t> CaptureWindow(HWND window, uint32_t width, uint32_t height) {
  PumpMessages();
  GdiFlush();
  std::vector<uint8_t> pixels;
  const UniqueWindowDc windowDc(GetDC(window), {window});
  if (!windowDc.valid()) return pixels;
  const UniqueMemoryDc memory(CreateCompatibleDC(windowDc.get()));
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = static_cast<LONG>(width);
  info.bmiHeader.biHeight = -static_cast<LONG>(height);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  UniqueBitmap bitmap(CreateDIBSection(windowDc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (memory.valid() && bitmap.valid()) {
    const HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    if (BitBlt(memory.get(), 0, 0, static_cast<int>(width), static_cast<int>(height), windowDc.get(), 0, 0,
               SRCCOPY)) {
      GdiFlush();
      const auto* p = static_cast<const uint8_t*>(bits);
      pixels.assign(p, p + std::size_t{width} * height * 4);
      for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
    }
    SelectObject(memory.get(), old);
  }
  return pixels;
}

uint32_t CaptionHeightFor(const Visuals& visuals) {
  const UniqueFont made(visuals.hasFont ? CreateFontIndirectW(&visuals.font) : nullptr);
  const UniqueWindowDc dc(GetDC(nullptr));
  const HGDIOBJ old = SelectObject(dc.get(), made.valid() ? made.get() : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW metrics{};
  const bool ok = GetTextMetricsW(dc.get(), &metrics) && metrics.tmHeight > 0;
  SelectObject(dc.get(), old);
  return CaptionBandHeight(ok ? static_cast<uint32_t>(metrics.tmHeight) : 0);
}

std::string ExpectedPane(const std::wstring& path, uint32_t prepareWidth, uint32_t prepareHeight,
                         const Visuals& prepareVisuals, uint32_t width, uint32_t height, const Visuals& visuals,
                         std::vector<uint8_t>* bgrx) {
  std::string problem;
  const std::u16string path16(path.begin(), path.end());
  std::unique_ptr<ByteSource> source = OpenFileSource(path16, &problem);
  if (!source) return problem;
  std::unique_ptr<Sprite> sprite = Sprite::Open(*source, IsSprPath(path16.c_str()), &problem);
  if (!sprite) return problem;
  PaneFrames frames(*sprite);
  frames.Prepare(*sprite, SpriteDecoder(), prepareWidth, prepareHeight,
                 std::min(CaptionHeightFor(prepareVisuals), prepareHeight));
  const uint32_t caption = std::min(CaptionHeightFor(visuals), height);
  const PaneLayout layout = frames.Layout(width, height, caption);
  PaneStyle style;
  style.captionHeight = caption;
  style.hasBackground = visuals.hasBackground;
  style.background = FromColorRef(visuals.background);
  style.captionBackground = FromColorRef(CaptionBackground(visuals));
  bgrx->assign(std::size_t{width} * height * 4, 0);
  frames.Render(layout, style, PaneCanvas{bgrx->data(), static_cast<std::ptrdiff_t>(width) * 4, PixelOrder::kBgrx});
  return "";
}

std::string CompareBelowCaption(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint32_t width,
                                uint32_t height, const Visuals& visuals) {
  if (a.size() != std::size_t{width} * height * 4 || b.size() != a.size()) return "a pane could not be read";
  const uint32_t caption = std::min(CaptionHeightFor(visuals), height);
  for (uint32_t y = caption; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const std::size_t at = (std::size_t{y} * width + x) * 4;
      if (std::memcmp(&a[at], &b[at], 3) != 0) {
        char text[120];
        std::snprintf(text, sizeof(text), "pixel (%u, %u): %02X%02X%02X in one pane, %02X%02X%02X in the other", x, y,
                      a[at + 2], a[at + 1], a[at], b[at + 2], b[at + 1], b[at]);
        return text;
      }
    }
  }
  return "";
}

std::string ComparePane(const std::vector<uint8_t>& captured, const std::vector<uint8_t>& expected, uint32_t width,
                        uint32_t height, const Visuals& visuals) {
  if (captured.size() != std::size_t{width} * height * 4) return "the window's pixels could not be read";
  if (expected.size() != captured.size()) return "no render to compare with";
  const uint32_t caption = std::min(CaptionHeightFor(visuals), height);
  for (uint32_t y = caption; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const std::size_t at = (std::size_t{y} * width + x) * 4;
      if (std::memcmp(&captured[at], &expected[at], 3) != 0) {
        char text[160];
        std::snprintf(text, sizeof(text),
                      "pixel (%u, %u): the window shows %02X%02X%02X, the core "
                      "renders %02X%02X%02X",
                      x, y, captured[at + 2], captured[at + 1], captured[at], expected[at + 2], expected[at + 1],
                      expected[at]);
        return text;
      }
    }
  }
  const COLORREF band = CaptionBackground(visuals), text = TextColour(visuals);
  std::size_t textPixels = 0;
  for (uint32_t y = 0; y < caption; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* p = &captured[(std::size_t{y} * width + x) * 4];
      if (x < kCaptionInset && !Is(p, band))
        return "caption band pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is not its background";
      textPixels += Is(p, text);
    }
  }
  if (caption > 0 && textPixels == 0) return "the caption shows no text in the text colour";
  return "";
}

std::string WriteBgrxPng(const std::wstring& path, const std::vector<uint8_t>& bgrx, uint32_t width, uint32_t height) {
  class BgrxRows : public RgbaRows {
   public:
    BgrxRows(const std::vector<uint8_t>& p, uint32_t w, uint32_t h) : p_(p), w_(w), h_(h) {}
    uint32_t Width() const override { return w_; }
    uint32_t Height() const override { return h_; }
    void ReadRow(uint32_t y, uint8_t* rgba) override {
      const uint8_t* s = &p_[std::size_t{y} * w_ * 4];
      for (uint32_t x = 0; x < w_; ++x, s += 4, rgba += 4)
        rgba[0] = s[2], rgba[1] = s[1], rgba[2] = s[0], rgba[3] = 255;
    }

   private:
    const std::vector<uint8_t>& p_;
    uint32_t w_, h_;
  } rows(bgrx, width, height);
  std::vector<uint8_t> bytes;
  std::string problem = WritePng(rows, [&bytes](const uint8_t* b, std::size_t n) {
    bytes.insert(bytes.end(), b, b + n);
    return true;
  });
  if (!problem.empty()) return problem;
  FILE* out = _wfopen(path.c_str(), L"wb");
  if (!out) return "cannot create the file";
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return (std::fclose(out) == 0 && written) ? "" : "cannot write the file";
}

uint64_t CommittedBytes() {
  // Walked from the address space itself: heaps, DIB sections and thread
  // stacks all live there, and Wine reports it as Windows does (its
  // GetProcessMemoryInfo leaves PrivateUsage at 0).
  uint64_t total = 0;
  MEMORY_BASIC_INFORMATION info;
  const char* at = nullptr;
  while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return total;
}

namespace {

GdiCounts counts;

HWND CountedCreateWindow(const wchar_t* className, HWND parent, const RECT& rect, HINSTANCE module, void* param) {
  HWND made = kWin32PreviewGdi.createWindow(className, parent, rect, module, param);
  if (made) ++counts.windows, ++counts.windowsMade;
  return made;
}
BOOL CountedDestroyWindow(HWND window) {
  const BOOL done = kWin32PreviewGdi.destroyWindow(window);
  if (done) --counts.windows;
  return done;
}
HFONT CountedCreateFont(const LOGFONTW* font) {
  HFONT made = kWin32PreviewGdi.createFont(font);
  if (made) ++counts.fonts, ++counts.fontsMade;
  return made;
}
BOOL CountedDeleteFont(HFONT font) {
  const BOOL done = kWin32PreviewGdi.deleteFont(font);
  if (done) --counts.fonts;
  return done;
}
HDC CountedGetDc(HWND window) {
  HDC dc = kWin32PreviewGdi.getDc(window);
  if (dc) ++counts.dcs;
  return dc;
}
int CountedReleaseDc(HWND window, HDC dc) {
  const int done = kWin32PreviewGdi.releaseDc(window, dc);
  if (done) --counts.dcs;
  return done;
}

const PreviewGdi kCountingGdi{&CountedCreateWindow, &CountedDestroyWindow, &CountedCreateFont,
                              &CountedDeleteFont,   &CountedGetDc,         &CountedReleaseDc};

}  // namespace

const PreviewGdi& CountingGdi() { return kCountingGdi; }

GdiCounts SeamCounts() { return counts; }

std::string CountingDecoder::Decode(Sprite& sprite, uint32_t index, StoredFrame* out) {
  const FrameInfo& info = sprite.Frame(index);
  const uint64_t key = (uint64_t{info.offset} << 32) | (uint32_t{info.width} << 16) | info.height;
  const auto at = std::lower_bound(seen_.begin(), seen_.end(), key);
  if (at != seen_.end() && *at == key) {
    ++repeated;
  } else {
    seen_.insert(at, key);
  }
  ++calls;
  pixels += uint64_t{info.width} * info.height;
  return sprite.DecodeFrame(index, out);
}

void CountingDecoder::Reset() {
  calls = pixels = repeated = 0;
  seen_.clear();
}

CycleResult RunCycles(HandlerSource& source, const std::vector<std::wstring>& files, uint32_t cycles, HWND host,
                      uint32_t width, uint32_t height) {
  CycleResult result;
  Visuals visuals;
  visuals.hasFont = true;  // the host's font: one more object to give back
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(visuals.font), &visuals.font);
  constexpr uint32_t kWarmUp = 50;
  for (uint32_t cycle = 0; cycle < cycles; ++cycle) {
    if (cycle == std::min(kWarmUp, cycles - 1)) result.committedAfterWarmUp = CommittedBytes();
    const std::wstring& file = files[cycle % files.size()];
    ComRef<IPreviewHandler> handler;
    HRESULT hr = source.Create(handler.outTyped());
    if (FAILED(hr)) {
      result.problem = "creating the handler: " + Hex(hr);
      return result;
    }
    ComRef<IStream> stream;
    hr = OpenFileStream(file, stream.outTyped());
    if (FAILED(hr)) {
      result.problem = "opening a stream: " + Hex(hr);
      return result;
    }
    // Every other cycle resizes once, as a pane being dragged does.
    const std::string shown = ShowPreview(handler.get(), stream.get(), host, width, height, visuals);
    if (!shown.empty()) {
      result.problem = "cycle " + std::to_string(cycle) + ": " + shown;
      return result;
    }
    if (cycle % 2) {
      const RECT smaller{0, 0, static_cast<LONG>(width / 2), static_cast<LONG>(height / 2)};
      handler->SetRect(&smaller);
    }
    PumpMessages();
    handler->Unload();
    const GdiCounts now = SeamCounts();
    if (now.windows != 0 || now.fonts != 0 || now.dcs != 0) {
      result.problem = "cycle " + std::to_string(cycle) + ": after Unload " + std::to_string(now.windows) +
                       " window(s), " + std::to_string(now.fonts) + " font(s), " + std::to_string(now.dcs) +
                       " device context(s) of the handler are still there";
      return result;
    }
  }
  PumpMessages();
  result.committedAtEnd = CommittedBytes();
  return result;
}

}  // namespace tamsorel::previewhost
