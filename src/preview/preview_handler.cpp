#include "preview/preview_handler.h"

#include <shobjidl.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/win32_owner.h"
#include "sprite/sprite_format.h"
#include "preview/pane_render.h"
#include "sprite/sprite.h"
#include "platform/stream_source.h"
#include "preview/preview_gdi.h"
#include "com/module.h"
#include "com/object.h"
#include "com/script_resource.h"

namespace tamsorel {

const CLSID CLSID_TamsorelPreview = {0x6e603337, 0x6d05, 0x4fcc, {0xba, 0xe0, 0xad, 0xcf, 0x8e, 0x18, 0xb5, 0xdf}};

namespace {

constexpr UINT kPreviewScriptId = 103;
constexpr const wchar_t* kPaneClassName = L"TamsorelPreviewPane";
// Space left of the caption text.
constexpr int kCaptionInset = 4;
// The pane is painted in bands of rows of at most this many bytes (and 64
// rows), drawn from the kept frames into memory the handler reuses.
constexpr uint32_t kBandBytes = 256 << 10;
constexpr uint32_t kBandRows = 64;

PaneColour FromColorRef(COLORREF c) { return PaneColour{GetRValue(c), GetGValue(c), GetBValue(c)}; }

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

// The pane's work: DoPreview opens the sprite (once), lays the pane out for
// its size and decodes the frames it shows (PaneFrames: each distinct frame
// once, within the decode budget), then paints it.  SetRect, SetFont and
// SetBackgroundColor lay the pane out again and paint it from the frames
// kept, decoding nothing; frames a larger pane would add wait for the next
// DoPreview.  Painting (WM_PAINT) draws the pane band by band from what was
// kept and hands each band to the window.
class CPreviewHandler final : public ComObject<CPreviewHandler, IPreviewHandler, IInitializeWithStream,
                                                IObjectWithSite, IOleWindow, IPreviewHandlerVisuals> {
 public:
  static const InterfaceRow<CPreviewHandler> kInterfaces[];

  explicit CPreviewHandler(const PreviewSeams& seams)
      : gdi_(seams.gdi ? *seams.gdi : kWin32PreviewGdi),
        decoder_(seams.decoder ? *seams.decoder : SpriteDecoder()),
        window_(gdi_),
        font_(gdi_) {}
  ~CPreviewHandler() { Unload(); }

  // IInitializeWithStream
  HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, DWORD) noexcept override {
    if (!stream) return E_INVALIDARG;
    if (stream_.valid()) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    stream_.share(stream);
    return S_OK;
  }

  // IObjectWithSite
  HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) noexcept override {
    site_.share(site);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppv) noexcept override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!site_.valid()) return E_FAIL;
    return site_->QueryInterface(riid, ppv);
  }

  // IOleWindow
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) noexcept override {
    if (!window) return E_INVALIDARG;
    *window = parent_;
    return parent_ ? S_OK : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) noexcept override { return E_NOTIMPL; }

  // IPreviewHandler
  HRESULT STDMETHODCALLTYPE SetWindow(HWND parent, const RECT* rect) noexcept override {
    if (!parent || !rect) return E_INVALIDARG;
    parent_ = parent;
    rect_ = *rect;
    if (window_.valid()) {
      ::SetParent(window_.get(), parent_);
      return Place();
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetRect(const RECT* rect) noexcept override {
    if (!rect) return E_INVALIDARG;
    rect_ = *rect;
    return window_.valid() ? Place() : S_OK;
  }
  HRESULT STDMETHODCALLTYPE DoPreview() noexcept override {
    return Guarded([&] {
      if (!stream_.valid()) return E_FAIL;
      if (!parent_) return E_UNEXPECTED;
      if (!sprite_ && problem_.empty()) Open();
      if (!window_.valid()) {
        const HRESULT hr = MakeWindow();
        if (FAILED(hr)) return hr;
      }
      Prepare();
      Draw();
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Unload() noexcept override {
    if (window_.valid()) {
      window_.reset();
      // Fails while another handler's pane still uses the class; the last
      // one to go takes it away.
      UnregisterClassW(kPaneClassName, ModuleInstance());
    }
    framesDrawn_ = false;
    std::vector<uint8_t>().swap(band_);
    font_.reset();
    frames_.reset();
    sprite_.reset();
    source_.reset();
    stream_.reset();
    problem_.clear();
    caption_.clear();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetFocus() noexcept override {
    if (!window_.valid()) return S_FALSE;
    ::SetFocus(window_.get());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryFocus(HWND* window) noexcept override {
    if (!window) return E_INVALIDARG;
    *window = ::GetFocus();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* message) noexcept override {
    // Keys the pane does not use go to the host's frame.
    ComRef<IPreviewHandlerFrame> frame;
    if (site_.valid() && SUCCEEDED(site_->QueryInterface(IID_IPreviewHandlerFrame, frame.out())))
      return frame->TranslateAccelerator(message);
    return S_FALSE;
  }

  // IPreviewHandlerVisuals
  HRESULT STDMETHODCALLTYPE SetBackgroundColor(COLORREF colour) noexcept override {
    hasBackground_ = true;
    background_ = colour;
    return Redraw();
  }
  HRESULT STDMETHODCALLTYPE SetFont(const LOGFONTW* font) noexcept override {
    if (!font) return E_INVALIDARG;
    const HFONT made = gdi_.createFont(font);
    if (!made) return E_FAIL;
    font_.reset(made);
    return Redraw();
  }
  HRESULT STDMETHODCALLTYPE SetTextColor(COLORREF colour) noexcept override {
    hasTextColour_ = true;
    textColour_ = colour;
    if (window_.valid()) InvalidateRect(window_.get(), nullptr, FALSE);
    return S_OK;
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CPreviewHandler*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
      case WM_ERASEBKGND:
        return 1;  // the paint covers every pixel
      case WM_PAINT:
        if (self) {
          PAINTSTRUCT paint;
          HDC dc = BeginPaint(window, &paint);
          if (dc) self->Paint(window, dc);
          EndPaint(window, &paint);
          return 0;
        }
        break;
      case WM_PRINTCLIENT:
        if (self) {
          self->Paint(window, reinterpret_cast<HDC>(wParam));
          return 0;
        }
        break;
      case WM_NCDESTROY:
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
      default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  void Open() {
    std::string problem;
    source_ = OpenStreamSource(stream_.get(), &problem);
    if (source_) {
      const std::u16string name = StreamName(stream_.get());
      sprite_ = Sprite::Open(*source_, IsSprPath(name.c_str()), &problem);
    }
    if (!sprite_) {
      source_.reset();
      problem_ = problem.empty() ? "unreadable" : problem;
      caption_ = L"Not a sprite: " + WideFromUtf8(problem_);
      return;
    }
    frames_ = std::make_unique<PaneFrames>(*sprite_);
  }

  HRESULT MakeWindow() {
    const HINSTANCE module = ModuleInstance();
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (!GetClassInfoExW(module, kPaneClassName, &existing)) {
      WNDCLASSEXW paneClass{};
      paneClass.cbSize = sizeof(paneClass);
      paneClass.lpfnWndProc = &WindowProc;
      paneClass.hInstance = module;
      paneClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      paneClass.lpszClassName = kPaneClassName;
      if (!RegisterClassExW(&paneClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return HRESULT_FROM_WIN32(GetLastError());
    }
    window_.reset(gdi_.createWindow(kPaneClassName, parent_, rect_, module, this));
    if (!window_.valid()) {
      const DWORD error = GetLastError();
      return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    return S_OK;
  }

  HRESULT Place() {
    return Guarded([&] {
      SetWindowPos(window_.get(), nullptr, rect_.left, rect_.top, rect_.right - rect_.left, rect_.bottom - rect_.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      Draw();
      return S_OK;
    });
  }

  HRESULT Redraw() {
    if (!window_.valid()) return S_OK;
    return Guarded([&] {
      Draw();
      return S_OK;
    });
  }

  HFONT CurrentFont() const {
    return font_.valid() ? font_.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }
  COLORREF CaptionBackground() const { return hasBackground_ ? background_ : GetSysColor(COLOR_WINDOW); }

  uint32_t LineHeight() const {
    TEXTMETRICW metrics{};
    HDC dc = gdi_.getDc(window_.get());
    if (!dc) return 0;
    const HGDIOBJ old = SelectObject(dc, CurrentFont());
    const BOOL ok = GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    gdi_.releaseDc(window_.get(), dc);
    return ok && metrics.tmHeight > 0 ? static_cast<uint32_t>(metrics.tmHeight) : 0;
  }

  uint32_t PaneWidth() const { return static_cast<uint32_t>(std::max<LONG>(rect_.right - rect_.left, 0)); }
  uint32_t PaneHeight() const { return static_cast<uint32_t>(std::max<LONG>(rect_.bottom - rect_.top, 0)); }
  bool PaneFits() const { return uint64_t{PaneWidth()} * PaneHeight() * 4 <= kMaxPanePixelBytes; }

  // Decodes the frames the pane shows at its current size (none for a pane
  // too large to hold).
  void Prepare() {
    if (!frames_ || !PaneFits()) return;
    const uint32_t height = PaneHeight();
    captionHeight_ = std::min(CaptionBandHeight(LineHeight()), height);
    frames_->Prepare(*sprite_, decoder_, PaneWidth(), height, captionHeight_);
  }

  // Lays the pane out for the current size, makes what painting it from the
  // frames prepared needs, and paints it now.
  void Draw() {
    const uint32_t width = PaneWidth(), height = PaneHeight();
    captionHeight_ = std::min(CaptionBandHeight(LineHeight()), height);
    framesDrawn_ = false;
    if (frames_) {
      layout_ = frames_->Layout(width, height, captionHeight_);
      const std::u16string caption = PaneCaption(frames_->Counts(layout_));
      caption_.assign(caption.begin(), caption.end());
      if (width > 0 && height > 0 && PaneFits()) {
        style_.captionHeight = captionHeight_;
        style_.hasBackground = hasBackground_;
        style_.background = FromColorRef(background_);
        style_.captionBackground = FromColorRef(CaptionBackground());
        frames_->Refresh(layout_);
        bandRows_ = std::max<uint32_t>(1, std::min(kBandRows, kBandBytes / (width * 4)));
        band_.resize(std::size_t{width} * bandRows_ * 4);
        framesDrawn_ = true;
      }
    }
    if (!framesDrawn_) std::vector<uint8_t>().swap(band_);
    // The caption is the window's text too, for whatever reads it aloud.
    SetWindowTextW(window_.get(), caption_.c_str());
    InvalidateRect(window_.get(), nullptr, FALSE);
    UpdateWindow(window_.get());
  }

  // The pane band by band; false when it cannot be drawn now.
  bool PaintFrames(HDC dc) noexcept {
    if (!framesDrawn_) return false;
    try {
      const uint32_t width = layout_.width, height = layout_.height;
      BITMAPINFO info{};
      info.bmiHeader.biSize = sizeof(info.bmiHeader);
      info.bmiHeader.biWidth = static_cast<LONG>(width);
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 32;
      info.bmiHeader.biCompression = BI_RGB;
      for (uint32_t top = 0; top < height; top += bandRows_) {
        const uint32_t rows = std::min(bandRows_, height - top);
        frames_->Render(layout_, style_,
                        PaneCanvas{band_.data(), static_cast<std::ptrdiff_t>(width) * 4, PixelOrder::kBgrx}, top, rows);
        info.bmiHeader.biHeight = -static_cast<LONG>(rows);  // top row first
        SetDIBitsToDevice(dc, 0, static_cast<int>(top), width, rows, 0, 0, 0, rows, band_.data(), &info,
                          DIB_RGB_COLORS);
      }
      return true;
    } catch (...) {
      return false;
    }
  }

  void Paint(HWND window, HDC dc) {
    RECT client{};
    GetClientRect(window, &client);
    if (!PaintFrames(dc)) {
      // No frames to show (no sprite, or a pane too large to hold): the
      // background and the caption.
      const HGDIOBJ brush = GetStockObject(DC_BRUSH);
      const COLORREF oldColour = SetDCBrushColor(dc, CaptionBackground());
      FillRect(dc, &client, static_cast<HBRUSH>(brush));
      SetDCBrushColor(dc, oldColour);
    }
    if (!caption_.empty()) {
      const HGDIOBJ oldFont = SelectObject(dc, CurrentFont());
      const int oldMode = SetBkMode(dc, TRANSPARENT);
      const COLORREF oldText = ::SetTextColor(dc, hasTextColour_ ? textColour_ : GetSysColor(COLOR_WINDOWTEXT));
      RECT band{kCaptionInset, 0, std::max<LONG>(client.right - kCaptionInset, kCaptionInset),
                static_cast<LONG>(captionHeight_)};
      DrawTextW(dc, caption_.c_str(), static_cast<int>(caption_.size()), &band,
                DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX | DT_END_ELLIPSIS);
      ::SetTextColor(dc, oldText);
      SetBkMode(dc, oldMode);
      SelectObject(dc, oldFont);
    }
  }

  const PreviewGdi& gdi_;
  PaneDecoder& decoder_;
  ComRef<IStream> stream_;
  ComRef<IUnknown> site_;
  std::unique_ptr<ByteSource> source_;
  std::unique_ptr<Sprite> sprite_;      // reads from source_
  std::unique_ptr<PaneFrames> frames_;  // sprite_'s frames as the pane shows them
  std::string problem_;                 // why the stream is no sprite
  std::wstring caption_;

  HWND parent_ = nullptr;
  RECT rect_{};
  PreviewWindow window_;
  PreviewFont font_;  // the host's, if it gave one
  bool hasBackground_ = false, hasTextColour_ = false;
  COLORREF background_ = 0, textColour_ = 0;

  uint32_t captionHeight_ = 0;
  // What painting draws: the layout and style Draw made, in bands of
  // bandRows_ rows through band_ (BGRX, top row first).
  bool framesDrawn_ = false;
  PaneLayout layout_;
  PaneStyle style_;
  uint32_t bandRows_ = 0;
  std::vector<uint8_t> band_;
};

const InterfaceRow<CPreviewHandler> CPreviewHandler::kInterfaces[] = {
    Row<CPreviewHandler, IPreviewHandler>(IID_IPreviewHandler),
    Row<CPreviewHandler, IInitializeWithStream>(IID_IInitializeWithStream),
    Row<CPreviewHandler, IObjectWithSite>(IID_IObjectWithSite),
    Row<CPreviewHandler, IOleWindow>(IID_IOleWindow),
    Row<CPreviewHandler, IPreviewHandlerVisuals>(IID_IPreviewHandlerVisuals),
    {},
};

}  // namespace

HRESULT CreatePreviewHandlerWith(const PreviewSeams& seams, REFIID riid, void** ppv) {
  return CPreviewHandler::Create(nullptr, riid, ppv, seams);
}

HRESULT CreatePreviewHandler(IUnknown* outer, REFIID riid, void** ppv) {
  return CPreviewHandler::Create(outer, riid, ppv, PreviewSeams{});
}

const wchar_t* PreviewHostAppId() {
  constexpr const wchar_t* kNativeHost = L"{6d2b5079-2f0b-48dd-ab7f-97cec514d30b}";
#if defined(_WIN64)
  return kNativeHost;
#else
  BOOL wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) return L"{534A1E02-D58F-44f0-B58B-36CBED287C7C}";
  return kNativeHost;
#endif
}

HRESULT UpdatePreviewRegistry(BOOL doRegister) {
  const ReplacementPair pairs[] = {{L"PREVIEWHOST", PreviewHostAppId()}, {nullptr, nullptr}};
  return RunScriptResource(kPreviewScriptId, doRegister, pairs);
}

}  // namespace tamsorel
