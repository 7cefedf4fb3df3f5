// previewhost: plays a preview host's part (Explorer's preview pane) for the
// Tamsorel preview handler.
//
//   previewhost [--dll PATH] [--size WxH] [--resize WxH] [--background RRGGBB]
//               [--text RRGGBB] SPRITE OUT.png
//       shows SPRITE in a window of WxH (default 480x360), optionally
//       resized by SetRect, captures what the window shows into OUT.png and
//       compares it with the sprite core's own render of that pane.
//       With --same-pane-as OTHER, OTHER is shown the same way and both
//       panes must show the same pixels below the caption.  The caption (the
//       pane window's text) is printed.
//   previewhost [options as above] --out-dir DIR SPRITE...
//       the same for every SPRITE, into DIR/NAME.png.
//   previewhost --count-decodes [--size WxH] [--resize WxH] SPRITE OUT.png
//       DoPreview, then SetRect, SetFont and SetBackgroundColor, with the
//       class linked in decoding through a seam that counts: prints what each
//       call decoded and the caption, and fails when DoPreview decodes a
//       frame twice or a later call decodes anything (or the pane differs
//       from the core's render).
//   previewhost --cycles N [--dll PATH] [--size WxH] SPRITE...
//       N rounds of initialise, preview, resize and unload over the files;
//       checks through the drawing seam that every window, font and device
//       context is given back, and that committed memory stays flat.
//   previewhost --bench [--dll PATH] [--repeat N]
//       times DoPreview to the finished paint against opening the file and
//       decoding the frames the pane decodes, and a SetRect after it, for a
//       200-frame 64 x 64 C16 file, a 1024 x 1024 frame, 65535 entries
//       sharing one 512 x 512 frame and five 4096 x 4096 frames (past the
//       decode budget), and prints the figures.
//
// --registered takes the handler the registry binds to the first sprite's
// extension, as the shell finds it.  Without --dll or --registered the
// handler is the class linked into this program (the same code as
// Tamsorel.dll's). Exit status: 0 success, 1 failure (one line on
// stderr says why), 2 usage error.
#include <objbase.h>
#include <shobjidl.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "frame_encoder.h"
#include "frames_asked.h"
#include "platform/file_source.h"
#include "preview/pane_render.h"
#include "sprite/sprite.h"
#include "preview/preview_handler.h"
#include "preview_host.h"
#include "win32_files/win32_files.h"

namespace {

using namespace tamsorel;
using namespace tamsorel::previewhost;
using tamsorel::win32_files::Narrow;

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;
// Committed memory may wander this much over the rounds after warm-up
// (heap bookkeeping); a pane or a frame left behind each round is far more.
constexpr uint64_t kFlatMemorySlack = 1u << 20;

int Usage(const char* problem) {
  std::fprintf(stderr,
               "previewhost: %s\n"
               "usage: previewhost [--dll PATH | --registered] [--size WxH] [--resize "
               "WxH] [--background RRGGBB] [--text RRGGBB] "
               "[--same-pane-as OTHER] SPRITE OUT.png\n"
               "       previewhost [options as above] --out-dir DIR SPRITE...\n"
               "       previewhost --count-decodes [--size WxH] [--resize WxH] SPRITE OUT.png\n"
               "       previewhost --cycles N [--dll PATH] [--size WxH] SPRITE...\n"
               "       previewhost --bench [--dll PATH] [--repeat N]\n",
               problem);
  return kExitUsage;
}

bool ParseSize(const wchar_t* text, uint32_t* w, uint32_t* h) {
  unsigned a = 0, b = 0;
  wchar_t tail = 0;
  if (std::swscanf(text, L"%ux%u%lc", &a, &b, &tail) != 2 || a == 0 || b == 0 || a > 8192 || b > 8192) return false;
  *w = a, *h = b;
  return true;
}

bool ParseColour(const wchar_t* text, COLORREF* colour) {
  if (std::wcslen(text) != 6) return false;
  wchar_t* end = nullptr;
  const unsigned long v = std::wcstoul(text, &end, 16);
  if (*end) return false;
  *colour = RGB((v >> 16) & 255, (v >> 8) & 255, v & 255);
  return true;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One preview as a host makes it: Initialize, the visuals, SetWindow and
// DoPreview at w x h, then SetRect to rw x rh when given; what the window
// shows then, and its caption.  "" or what failed.
std::string ShowAndCapture(HandlerSource& source, HostWindow& host, const std::wstring& sprite, uint32_t w, uint32_t h,
                           uint32_t rw, uint32_t rh, const Visuals& visuals, std::vector<uint8_t>* captured,
                           std::wstring* caption) {
  ComRef<IPreviewHandler> handler;
  if (FAILED(source.Create(handler.outTyped()))) return "cannot create the handler";
  ComRef<IStream> stream;
  if (FAILED(OpenFileStream(sprite, stream.outTyped()))) return "cannot open";
  std::string problem = ShowPreview(handler.get(), stream.get(), host.get(), w, h, visuals);
  if (problem.empty() && rw) {
    const RECT rect{0, 0, static_cast<LONG>(rw), static_cast<LONG>(rh)};
    if (FAILED(handler->SetRect(&rect))) problem = "SetRect failed";
    w = rw, h = rh;
  }
  if (problem.empty()) {
    *captured = CaptureWindow(host.get(), w, h);
    *caption = PaneCaptionText(host.get());
  }
  handler->Unload();
  return problem;
}

// Shows SPRITE, writes what the window shows to OUT and compares it with the
// core's render; with `samePaneAs`, also with the pane of that sprite below
// the caption.
int Capture(HandlerSource& source, HostWindow& host, const std::wstring& sprite, const std::wstring& out, uint32_t w,
            uint32_t h, uint32_t rw, uint32_t rh, const Visuals& visuals, const std::wstring& samePaneAs) {
  const uint32_t fw = rw ? rw : w, fh = rw ? rh : h;
  std::vector<uint8_t> captured, expected;
  std::wstring caption;
  std::string problem = ShowAndCapture(source, host, sprite, w, h, rw, rh, visuals, &captured, &caption);
  if (problem.empty()) problem = ExpectedPane(sprite, w, h, visuals, fw, fh, visuals, &expected);
  if (problem.empty() && !captured.empty()) problem = WriteBgrxPng(out, captured, fw, fh);
  if (problem.empty()) problem = ComparePane(captured, expected, fw, fh, visuals);
  if (problem.empty() && !samePaneAs.empty()) {
    std::vector<uint8_t> other;
    std::wstring otherCaption;
    problem = ShowAndCapture(source, host, samePaneAs, w, h, rw, rh, visuals, &other, &otherCaption);
    if (problem.empty()) problem = CompareBelowCaption(captured, other, fw, fh, visuals);
    if (!problem.empty()) problem = "against " + Narrow(samePaneAs) + ": " + problem;
  }
  if (!problem.empty())
    return std::fprintf(stderr, "previewhost: %s: %s\n", Narrow(sprite).c_str(), problem.c_str()), kExitFailed;
  std::printf("%s: %ux%u pane, the same pixels as the core's render below the caption%s\ncaption: %s\n",
              Narrow(out).c_str(), fw, fh, samePaneAs.empty() ? "" : " and as the other sprite's pane",
              Narrow(caption).c_str());
  return kExitOk;
}

// DoPreview at w x h, then SetRect (to rw x rh, or the same size), SetFont
// (a font twice as tall, so the caption band and the cells change) and
// SetBackgroundColor, counting the frames each call decodes through the
// handler's decoder seam.  Fails when DoPreview decodes a frame twice, when
// a later call decodes anything, or when the pane then differs from the
// core's render.
int CountDecodes(HostWindow& host, const std::wstring& sprite, const std::wstring& out, uint32_t w, uint32_t h,
                 uint32_t rw, uint32_t rh) {
  CountingDecoder decoder;
  PreviewSeams seams;
  seams.decoder = &decoder;
  ComRef<IPreviewHandler> handler;
  ComRef<IStream> stream;
  ComRef<IPreviewHandlerVisuals> visualsOf;
  if (FAILED(CreatePreviewHandlerWith(seams, IID_IPreviewHandler, handler.out())) ||
      FAILED(handler->QueryInterface(IID_IPreviewHandlerVisuals, visualsOf.out())))
    return std::fprintf(stderr, "previewhost: cannot create the handler\n"), kExitFailed;
  if (FAILED(OpenFileStream(sprite, stream.outTyped())))
    return std::fprintf(stderr, "previewhost: %s: cannot open\n", Narrow(sprite).c_str()), kExitFailed;
  LARGE_INTEGER t0, t1;
  QueryPerformanceCounter(&t0);
  std::string problem = ShowPreview(handler.get(), stream.get(), host.get(), w, h, Visuals{});
  QueryPerformanceCounter(&t1);
  const CountingDecoder shown = decoder;
  uint64_t later[3] = {};
  Visuals visuals;
  if (problem.empty()) {
    const uint32_t fw = rw ? rw : w, fh = rw ? rh : h;
    const RECT rect{0, 0, static_cast<LONG>(fw), static_cast<LONG>(fh)};
    decoder.Reset();
    if (FAILED(handler->SetRect(&rect))) problem = "SetRect failed";
    later[0] = decoder.calls;
    visuals.hasFont = true;
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(visuals.font), &visuals.font);
    visuals.font.lfHeight = visuals.font.lfHeight ? 2 * visuals.font.lfHeight : -22;
    decoder.Reset();
    if (problem.empty() && FAILED(visualsOf->SetFont(&visuals.font))) problem = "SetFont failed";
    later[1] = decoder.calls;
    visuals.hasBackground = true;
    visuals.background = RGB(0x20, 0x38, 0x48);
    decoder.Reset();
    if (problem.empty() && FAILED(visualsOf->SetBackgroundColor(visuals.background)))
      problem = "SetBackgroundColor failed";
    later[2] = decoder.calls;
    std::vector<uint8_t> captured, expected;
    if (problem.empty()) captured = CaptureWindow(host.get(), fw, fh);
    const std::wstring caption = PaneCaptionText(host.get());
    if (problem.empty()) problem = ExpectedPane(sprite, w, h, Visuals{}, fw, fh, visuals, &expected);
    if (problem.empty() && !captured.empty()) problem = WriteBgrxPng(out, captured, fw, fh);
    if (problem.empty()) problem = ComparePane(captured, expected, fw, fh, visuals);
    std::printf(
        "DoPreview: %llu decodes, %llu pixels, %llu repeated, %.1f ms; SetRect: %llu; SetFont: %llu; "
        "SetBackgroundColor: %llu\ncaption: %s\n",
        static_cast<unsigned long long>(shown.calls), static_cast<unsigned long long>(shown.pixels),
        static_cast<unsigned long long>(shown.repeated), Seconds(t0, t1) * 1000,
        static_cast<unsigned long long>(later[0]), static_cast<unsigned long long>(later[1]),
        static_cast<unsigned long long>(later[2]), Narrow(caption).c_str());
  }
  handler->Unload();
  if (problem.empty() && shown.repeated != 0) problem = "DoPreview decoded a frame more than once";
  if (problem.empty() && (later[0] || later[1] || later[2])) problem = "a call after DoPreview decoded frames";
  if (!problem.empty())
    return std::fprintf(stderr, "previewhost: %s: %s\n", Narrow(sprite).c_str(), problem.c_str()), kExitFailed;
  return kExitOk;
}

int Cycles(HandlerSource& source, const std::vector<std::wstring>& files, uint32_t cycles, uint32_t w, uint32_t h) {
  HostWindow host(w, h);
  const CycleResult r = RunCycles(source, files, cycles, host.get(), w, h);
  if (!r.problem.empty()) return std::fprintf(stderr, "previewhost: %s\n", r.problem.c_str()), kExitFailed;
  const GdiCounts c = SeamCounts();
  const long long growth = static_cast<long long>(r.committedAtEnd) - static_cast<long long>(r.committedAfterWarmUp);
  std::printf(
      "%u cycles: %ld windows and %ld fonts made and all given back; "
      "committed memory %llu KiB after "
      "warm-up, %llu KiB at the end (%+lld KiB)\n",
      cycles, c.windowsMade, c.fontsMade, static_cast<unsigned long long>(r.committedAfterWarmUp >> 10),
      static_cast<unsigned long long>(r.committedAtEnd >> 10), growth / 1024);
  if (c.windowsMade < static_cast<long>(cycles))
    return std::fprintf(stderr, "previewhost: the seam saw too few windows\n"), kExitFailed;
  if (r.committedAfterWarmUp == 0)
    return std::fprintf(stderr, "previewhost: committed memory cannot be read\n"), kExitFailed;
  if (growth > static_cast<long long>(kFlatMemorySlack))
    return std::fprintf(stderr, "previewhost: committed memory grew by %lld KiB\n", growth / 1024), kExitFailed;
  return kExitOk;
}

std::wstring WriteTemp(const std::wstring& name, const std::vector<uint8_t>& bytes) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring path = std::wstring(dir) + name;
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (!f) return L"";
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && written ? path : L"";
}

using test::frame_encoder_detail::Put16;
using test::frame_encoder_detail::Put32;

// A C16 file (5-6-5) of `count` transparent frames of size x size, each
// with lines of its own: every line one transparent run and the end tag.
std::vector<uint8_t> TransparentC16(uint32_t count, uint32_t size) {
  std::vector<uint8_t> out;
  Put32(out, 3);
  Put16(out, count);
  const uint32_t directory = 6 + count * (8 + 4 * (size - 1));
  for (uint32_t f = 0; f < count; ++f) {
    const uint32_t lines = directory + f * 4 * size;
    Put32(out, lines);
    Put16(out, size);
    Put16(out, size);
    for (uint32_t y = 1; y < size; ++y) Put32(out, lines + 4 * y);
  }
  for (uint32_t line = 0; line < count * size; ++line) {
    Put16(out, size << 1);  // a transparent run of `size` pixels
    Put16(out, 0);
  }
  return out;
}

int Bench(HandlerSource& source, int repeat) {
  std::vector<test::FrameSpec> many;
  for (uint32_t i = 0; i < 200; ++i) many.push_back(test::PatternFrame(64, 64, i, false));
  const struct {
    const wchar_t* name;
    std::vector<uint8_t> bytes;
  } made[] = {
      {L"previewhost-200x64.c16", test::EncodeFrames(SpriteKind::kC16, 1, many).bytes},
      {L"previewhost-1024.c16",
       test::EncodeFrames(SpriteKind::kC16, 1, {test::PatternFrame(1024, 1024, 1, false)}).bytes},
      {L"previewhost-65535x512.s16", test::SharedFrameS16(65535, test::PatternFrame(512, 512, 2, false))},
      {L"previewhost-5x4096.c16", TransparentC16(5, 4096)},
  };
  const uint32_t w = 800, h = 600, rw = 700, rh = 500;
  HostWindow host(w, h);
  const uint32_t caption = std::min(CaptionHeightFor(Visuals{}), h);
  int status = kExitOk;
  std::printf(
      "pane 800x600 (DoPreview to the finished paint; decode: opening the file and decoding the frames the "
      "pane decodes; SetRect: to 700x500)\n");
  std::printf("%-28s %6s %7s %11s %10s %6s %10s\n", "file", "shown", "decoded", "preview ms", "decode ms", "ratio",
              "SetRect ms");
  std::vector<std::wstring> paths;
  for (const auto& m : made) {
    const std::wstring file = WriteTemp(m.name, m.bytes);
    if (file.empty()) {
      std::fprintf(stderr, "previewhost: cannot write %s\n", Narrow(m.name).c_str());
      status = kExitFailed;
      break;
    }
    paths.push_back(file);
    // The frames the pane shows and decodes, as the core lays it out.
    std::string problem;
    const std::u16string file16(file.begin(), file.end());
    auto bytes = OpenFileSource(file16, &problem);
    auto sprite = bytes ? Sprite::Open(*bytes, false, &problem) : nullptr;
    if (!sprite) {
      std::fprintf(stderr, "previewhost: %s: %s\n", Narrow(file).c_str(), problem.c_str());
      status = kExitFailed;
      break;
    }
    test::FramesAsked asked;
    PaneFrames plan(*sprite);
    const PaneLayout layout = plan.Prepare(*sprite, asked, w, h, caption);
    sprite.reset();
    bytes.reset();

    std::vector<double> preview, decode, resize;
    for (int r = 0; r < repeat && status == kExitOk; ++r) {
      LARGE_INTEGER t0, t1, t2;
      QueryPerformanceCounter(&t0);
      auto from = OpenFileSource(file16, &problem);
      auto opened = from ? Sprite::Open(*from, false, &problem) : nullptr;
      StoredFrame frame;
      for (uint32_t i : asked.indices)
        if (opened) opened->DecodeFrame(i, &frame);
      QueryPerformanceCounter(&t1);
      decode.push_back(Seconds(t0, t1) * 1000);
      opened.reset();
      from.reset();
      frame = StoredFrame{};

      ComRef<IPreviewHandler> handler;
      ComRef<IStream> stream;
      ComRef<IInitializeWithStream> init;
      const RECT rect{0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
      const RECT smaller{0, 0, static_cast<LONG>(rw), static_cast<LONG>(rh)};
      if (FAILED(source.Create(handler.outTyped())) || FAILED(OpenFileStream(file, stream.outTyped())) ||
          FAILED(handler->QueryInterface(IID_IInitializeWithStream, init.out())) ||
          FAILED(init->Initialize(stream.get(), STGM_READ)) || FAILED(handler->SetWindow(host.get(), &rect))) {
        status = kExitFailed;
        break;
      }
      QueryPerformanceCounter(&t0);
      HRESULT hr = handler->DoPreview();  // paints before it returns
      GdiFlush();
      QueryPerformanceCounter(&t1);
      if (SUCCEEDED(hr)) hr = handler->SetRect(&smaller);
      GdiFlush();
      QueryPerformanceCounter(&t2);
      handler->Unload();
      if (FAILED(hr)) status = kExitFailed;
      preview.push_back(Seconds(t0, t1) * 1000);
      resize.push_back(Seconds(t1, t2) * 1000);
      PumpMessages();
    }
    if (status != kExitOk) {
      std::fprintf(stderr, "previewhost: the bench could not show %s\n", Narrow(file).c_str());
      break;
    }
    const double p = Median(preview), d = Median(decode);
    std::printf("%-28s %6u %7zu %11.2f %10.2f %6.2f %10.2f\n", Narrow(m.name).c_str(), layout.shown,
                asked.indices.size(), p, d, p / d, Median(resize));
  }
  for (const std::wstring& file : paths) DeleteFileW(file.c_str());
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring dll;
  uint32_t w = 480, h = 360, rw = 0, rh = 0, cycles = 0;
  int repeat = 5;
  bool bench = false, registered = false, countDecodes = false;
  Visuals visuals;
  std::vector<std::wstring> files;
  std::wstring outDir, samePaneAs;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    const bool more = i + 1 < argc;
    if (a == L"--dll" && more) {
      dll = argv[++i];
    } else if (a == L"--size" && more) {
      if (!ParseSize(argv[++i], &w, &h)) return Usage("--size takes WxH");
    } else if (a == L"--resize" && more) {
      if (!ParseSize(argv[++i], &rw, &rh)) return Usage("--resize takes WxH");
    } else if (a == L"--background" && more) {
      if (!ParseColour(argv[++i], &visuals.background)) return Usage("--background takes RRGGBB");
      visuals.hasBackground = true;
    } else if (a == L"--text" && more) {
      if (!ParseColour(argv[++i], &visuals.text)) return Usage("--text takes RRGGBB");
      visuals.hasText = true;
    } else if (a == L"--cycles" && more) {
      cycles = static_cast<uint32_t>(std::wcstoul(argv[++i], nullptr, 10));
      if (cycles == 0) return Usage("--cycles takes a number");
    } else if (a == L"--repeat" && more) {
      repeat = std::max(1, static_cast<int>(std::wcstol(argv[++i], nullptr, 10)));
    } else if (a == L"--out-dir" && more) {
      outDir = argv[++i];
    } else if (a == L"--same-pane-as" && more) {
      samePaneAs = argv[++i];
    } else if (a == L"--count-decodes") {
      countDecodes = true;
    } else if (a == L"--registered") {
      registered = true;
    } else if (a == L"--bench") {
      bench = true;
    } else if (a == L"--help") {
      Usage("plays a preview host's part for the Tamsorel preview handler");
      return kExitOk;
    } else if (a.size() > 1 && a[0] == L'-') {
      return Usage(("unknown option " + Narrow(a)).c_str());
    } else {
      files.push_back(a);
    }
  }
  if (!bench && cycles == 0 && outDir.empty() && files.size() != 2) return Usage("give SPRITE and OUT.png");
  if (!outDir.empty() && files.empty()) return Usage("--out-dir needs sprite files");
  if (cycles && files.empty()) return Usage("--cycles needs sprite files");
  if (countDecodes && (files.size() != 2 || !outDir.empty())) return Usage("--count-decodes takes SPRITE and OUT.png");

  if (FAILED(OleInitialize(nullptr))) return std::fprintf(stderr, "previewhost: cannot start COM\n"), kExitFailed;
  int status = kExitOk;
  {
    HandlerSource source;
    if (registered && !files.empty()) {
      const std::wstring& first = files[0];
      const std::size_t dot = first.find_last_of(L'.');
      const std::string problem = source.UseRegistered(dot == std::wstring::npos ? L"" : first.substr(dot));
      if (!problem.empty()) {
        std::fprintf(stderr, "previewhost: %s\n", problem.c_str());
        status = kExitFailed;
      }
    } else if (dll.empty()) {
      // The class linked in; counting what it makes for --cycles.
      PreviewSeams seams;
      if (cycles) seams.gdi = &CountingGdi();
      source.UseLinked(seams);
    } else {
      const std::string problem = source.LoadDll(dll);
      if (!problem.empty()) {
        std::fprintf(stderr, "previewhost: %s: %s\n", Narrow(dll).c_str(), problem.c_str());
        status = kExitFailed;
      }
    }
    if (status == kExitOk) {
      if (bench)
        status = Bench(source, repeat);
      else if (cycles)
        status = Cycles(source, files, cycles, w, h);
      else {
        // One host window for every capture: Wine takes a while to map a
        // new top-level window.
        HostWindow host(std::max(w, rw), std::max(h, rh));
        if (countDecodes) {
          status = CountDecodes(host, files[0], files[1], w, h, rw, rh);
        } else if (outDir.empty()) {
          status = Capture(source, host, files[0], files[1], w, h, rw, rh, visuals, samePaneAs);
        } else {
          for (const std::wstring& sprite : files) {
            const std::wstring name = sprite.substr(sprite.find_last_of(L"\\/:") + 1);
            if (Capture(source, host, sprite, outDir + L"\\" + name + L".png", w, h, rw, rh, visuals, samePaneAs) !=
                kExitOk)
              status = kExitFailed;
          }
        }
      }
    }
  }
  OleUninitialize();
  return status;
}
