// The preview handler the shell's preview pane creates for a sprite file:
// every frame drawn as a sheet that fills the pane, with a caption line.
// IPreviewHandler, IInitializeWithStream (the file arrives as a stream),
// IObjectWithSite, IOleWindow and IPreviewHandlerVisuals (the host's
// background, font and text colour).  Windows only.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <cstdint>

namespace tamsorel {

class PaneDecoder;
struct PreviewGdi;

// {6E603337-6D05-4FCC-BAE0-ADCF8E18B5DF}
extern const CLSID CLSID_TamsorelPreview;

// Bytes the pane's pixels would take at most for frames to be shown: a
// larger pane is filled with its background and the caption.
constexpr uint64_t kMaxPanePixelBytes = uint64_t{256} << 20;

// The class entry's instance creator; no aggregation.
HRESULT CreatePreviewHandler(IUnknown* outer, REFIID riid, void** ppv);

// What a handler calls to make windows and fonts and to decode frames.
// Both must outlive the handler.
struct PreviewSeams {
  const PreviewGdi* gdi = nullptr;  // null: kWin32PreviewGdi
  PaneDecoder* decoder = nullptr;   // null: the sprite's own DecodeFrame
};
// A handler that calls `seams` (tests that count what it makes and decodes).
HRESULT CreatePreviewHandlerWith(const PreviewSeams& seams, REFIID riid, void** ppv);

// The class entry's updateRegistry: the preview handler's registry script,
// with the AppID of the system's preview host for this module's bitness.
HRESULT UpdatePreviewRegistry(BOOL doRegister);

// The AppID of the process that hosts this module's preview handlers: the
// 32-bit host on 64-bit Windows for a 32-bit module there, otherwise the
// host of the system's own bitness.
const wchar_t* PreviewHostAppId();

}  // namespace tamsorel
