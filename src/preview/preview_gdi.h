// The window and GDI calls of the preview handler that make or free
// something, behind one table of functions: the product calls Windows
// through it, and tests swap in a table that counts what is made and freed
// (Wine's GetGuiResources always reports 0, so counting here is the only
// way to see that an Unload gave everything back).  Windows only.
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
// What every preview handler of the process calls: kWin32PreviewGdi unless a
// test has swapped it (before any handler exists).
extern PreviewGdi previewGdi;

// Owners that give their handle back through previewGdi.
struct PreviewWindowTraits {
  using Type = HWND;
  static HWND Invalid() { return nullptr; }
  static bool Valid(HWND h) { return h != nullptr; }
  static bool Close(HWND h) { return previewGdi.destroyWindow(h) != FALSE; }
};
struct PreviewFontTraits {
  using Type = HFONT;
  static HFONT Invalid() { return nullptr; }
  static bool Valid(HFONT h) { return h != nullptr; }
  static bool Close(HFONT h) { return previewGdi.deleteFont(h) != FALSE; }
};

}  // namespace tamsorel
