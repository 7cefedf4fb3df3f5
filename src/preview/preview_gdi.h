// The window and GDI calls of the preview handler that make or free
// something, behind one table of functions: each handler is made with the
// table it calls (preview_handler.h), the Win32 functions themselves unless
// a test hands in a table that counts what is made and freed (Wine's
// GetGuiResources always reports 0, so counting here is the only way to see
// that an Unload gave everything back).  Windows only.
#pragma once

#include <windows.h>

#include "common/unique_handle.h"

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

// A window or font made through a table, given back through the same table.
template <typename Handle, BOOL (*PreviewGdi::*Free)(Handle)>
struct PreviewGdiTraits {
  using Type = Handle;
  const PreviewGdi* gdi = nullptr;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  bool Close(Handle h) const { return (gdi->*Free)(h) != FALSE; }
};

template <typename Handle, BOOL (*PreviewGdi::*Free)(Handle)>
class PreviewGdiHandle : public UniqueHandle<PreviewGdiTraits<Handle, Free>> {
 public:
  explicit PreviewGdiHandle(const PreviewGdi& gdi)
      : UniqueHandle<PreviewGdiTraits<Handle, Free>>(nullptr, PreviewGdiTraits<Handle, Free>{&gdi}) {}
};

using PreviewWindow = PreviewGdiHandle<HWND, &PreviewGdi::destroyWindow>;
using PreviewFont = PreviewGdiHandle<HFONT, &PreviewGdi::deleteFont>;

}  // namespace tamsorel
