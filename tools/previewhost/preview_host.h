// The host's side of a preview pane, for previewhost and the preview tests:
// a top-level window, a handler made from Tamsorel.dll or from the class
// linked into the program, a stream on a sprite file, the calls a preview
// host makes (Initialize, the visuals, SetWindow, SetRect, DoPreview,
// Unload), the pixels the window shows, and the sprite core's own render
// of the same pane to compare them with.  Windows only.
#pragma once

#include <objbase.h>
#include <shobjidl.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/win32_owner.h"
#include "preview/pane_render.h"
#include "preview/preview_gdi.h"
#include "preview/preview_handler.h"

namespace tamsorel::previewhost {

// {6E603337-6D05-4FCC-BAE0-ADCF8E18B5DF}
extern const CLSID kClsidPreview;

// What the host hands over through IPreviewHandlerVisuals (nothing, unless
// set).
struct Visuals {
  bool hasBackground = false;
  COLORREF background = 0;
  bool hasText = false;
  COLORREF text = 0;
  bool hasFont = false;
  LOGFONTW font{};
};

// Where handlers come from: the class object of the DLL at `dllPath`
// (loaded here, freed when this goes), or the class linked into this
// program, made with the seams given.
class HandlerSource {
 public:
  HandlerSource() = default;
  HandlerSource(const HandlerSource&) = delete;
  HandlerSource& operator=(const HandlerSource&) = delete;
  // "" or what went wrong.
  std::string LoadDll(const std::wstring& dllPath);
  void UseLinked(const PreviewSeams& seams) {
    seams_ = seams;
    linked_ = true;
  }
  // The class the registry binds as preview handler to `extension`
  // (".c16"), as the shell finds it.  "" or what went wrong.
  std::string UseRegistered(const std::wstring& extension);
  HRESULT Create(IPreviewHandler** handler);

 private:
  UniqueModule dll_;  // declared first: the class object goes before its library
  ComRef<IClassFactory> factory_;
  PreviewSeams seams_;
  bool linked_ = false;
  CLSID registered_{};
  bool useRegistered_ = false;
};

// A visible top-level window at the screen's top left with a client area
// of width x height.
class HostWindow {
 public:
  HostWindow(uint32_t width, uint32_t height);
  ~HostWindow();
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;
  HWND get() const { return window_; }
  void Resize(uint32_t width, uint32_t height);

 private:
  HWND window_ = nullptr;
};

// A read-only stream on the file at `path`, named after the file as the
// shell's streams are.
HRESULT OpenFileStream(const std::wstring& path, IStream** stream);

// Initialize, the visuals, SetWindow and DoPreview, as a preview host calls
// them.  "" or the call that failed with its result.
std::string ShowPreview(IPreviewHandler* handler, IStream* stream, HWND host, uint32_t width, uint32_t height,
                        const Visuals& visuals);

// The caption the handler's pane shows: its window's text.
std::wstring PaneCaptionText(HWND host);

// Handles the messages waiting for this thread's windows.
void PumpMessages();

// What the screen shows of `window`'s client area, width x height pixels
// in BGRX order, top row first.  Empty when it cannot be read.
std::vector<uint8_t> CaptureWindow(HWND window, uint32_t width, uint32_t height);

// The caption band's height for the visuals' font (the default GUI font
// when it gives none), as the handler lays it out.
uint32_t CaptionHeightFor(const Visuals& visuals);

// The sprite core's own render of the pane for the sprite at `path`, BGRX,
// the caption band filled with its background and no text: its frames
// prepared for a pane of prepareWidth x prepareHeight under the caption of
// `prepareVisuals` (what DoPreview saw), drawn at width x height with
// `visuals`.  "" or why not.
std::string ExpectedPane(const std::wstring& path, uint32_t prepareWidth, uint32_t prepareHeight,
                         const Visuals& prepareVisuals, uint32_t width, uint32_t height, const Visuals& visuals,
                         std::vector<uint8_t>* bgrx);

// Whether two captured panes show the same pixels below the caption band.
// "" or the first difference.
std::string CompareBelowCaption(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint32_t width,
                                uint32_t height, const Visuals& visuals);

// Compares a captured pane with the core's render: below the caption band
// pixel for pixel; in the band, every pixel left of the text inset is the
// band's background, and the text shows in the text colour (the host's,
// when given).  "" or the first difference.
std::string ComparePane(const std::vector<uint8_t>& captured, const std::vector<uint8_t>& expected, uint32_t width,
                        uint32_t height, const Visuals& visuals);

// Writes BGRX pixels as an RGBA PNG file (alpha 255).  "" or why not.
std::string WriteBgrxPng(const std::wstring& path, const std::vector<uint8_t>& bgrx, uint32_t width, uint32_t height);

// The process's committed private memory, in bytes.
uint64_t CommittedBytes();

// What the preview handlers made with CountingGdi hold now, and have made
// in all.
struct GdiCounts {
  long windows = 0, fonts = 0, dcs = 0;
  long windowsMade = 0, fontsMade = 0;
};
// The Win32 calls, counted.
const PreviewGdi& CountingGdi();
GdiCounts SeamCounts();

// Decodes as the sprite does and counts: calls, pixels, and calls for a
// frame (offset, width, height) already decoded since the last Reset.
class CountingDecoder final : public PaneDecoder {
 public:
  std::string Decode(Sprite& sprite, uint32_t index, StoredFrame* out) override;
  void Reset();
  uint64_t calls = 0, pixels = 0, repeated = 0;

 private:
  std::vector<uint64_t> seen_;  // sorted keys of the frames decoded
};

// `cycles` rounds of create, Initialize (the files in turn), the visuals
// with a font, SetWindow, DoPreview, a SetRect on every other round, Unload
// and Release, as a preview host makes them while the user moves from file
// to file.  Stops at the first failed call or at the first Unload that
// leaves a window, font or device context behind.
struct CycleResult {
  std::string problem;
  uint64_t committedAfterWarmUp = 0;  // after the first 50 rounds
  uint64_t committedAtEnd = 0;
};
CycleResult RunCycles(HandlerSource& source, const std::vector<std::wstring>& files, uint32_t cycles, HWND host,
                      uint32_t width, uint32_t height);

}  // namespace tamsorel::previewhost
