// The window and GDI calls of the preview handler that make or free
// something, behind one table of functions: each handler is made with the
// table it calls (preview_handler.h), the Win32 functions themselves unless
// a test hands in a table that counts what is made and freed (Wine's
// GetGuiResources always reports 0, so counting here is the only way to see
// that an Unload gave everything back).  Windows only.
#pragma once

#include <windows.h>

namespace tamsorel {

struct PreviewGdi {
  HWND(*createWindow)
  (const wchar_t* className, HWND parent, const RECT& rect, HINSTANCE module, void* param);
  BOOL (*destroyWindow)(HWND window);
  HFONT (*createFont)(const LOGFONTW* font);
  BOOL (*deleteFont)(HFONT font);
  HDC (*getDc)(HWND window);
  int (*releaseDc)(HWND window, HDC dc);
};

// The Win32 functions themselves.
extern const PreviewGdi kWin32PreviewGdi;

// The one owner of a window or font made through a table: gives it back
// through the same table.
template <typename Handle, BOOL (*PreviewGdi::*Free)(Handle)>
class PreviewGdiHandle {
 public:
  explicit PreviewGdiHandle(const PreviewGdi& gdi) : gdi_(gdi) {}
  ~PreviewGdiHandle() { reset(); }
  PreviewGdiHandle(const PreviewGdiHandle&) = delete;
  PreviewGdiHandle& operator=(const PreviewGdiHandle&) = delete;

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  // Gives back the handle held, then holds `made` (null: nothing).
  void reset(Handle made = nullptr) {
    if (handle_) (gdi_.*Free)(handle_);
    handle_ = made;
  }

 private:
  const PreviewGdi& gdi_;
  Handle handle_ = nullptr;
};

using PreviewWindow = PreviewGdiHandle<HWND, &PreviewGdi::destroyWindow>;
using PreviewFont = PreviewGdiHandle<HFONT, &PreviewGdi::deleteFont>;

}  // namespace tamsorel
