#include "preview/preview_gdi.h"

namespace tamsorel {
namespace {

// Plain functions around the Win32 calls, whose calling convention differs
// from the table's on i686.
HWND CreatePaneWindow(const wchar_t* className, HWND parent, const RECT& rect, HINSTANCE module, void* param) {
  return CreateWindowExW(0, className, nullptr, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, rect.left, rect.top,
                         rect.right - rect.left, rect.bottom - rect.top, parent, nullptr, module, param);
}
BOOL DestroyPaneWindow(HWND window) { return DestroyWindow(window); }
HFONT CreatePaneFont(const LOGFONTW* font) { return CreateFontIndirectW(font); }
BOOL DeletePaneFont(HFONT font) { return DeleteObject(font); }
HDC GetPaneDc(HWND window) { return GetDC(window); }
int ReleasePaneDc(HWND window, HDC dc) { return ReleaseDC(window, dc); }

}  // namespace

const PreviewGdi kWin32PreviewGdi = {&CreatePaneWindow, &DestroyPaneWindow, &CreatePaneFont,
                                     &DeletePaneFont,   &GetPaneDc,         &ReleasePaneDc};

}  // namespace tamsorel
