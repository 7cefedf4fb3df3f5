// previewhost: plays a preview host's part (Explorer's preview pane) for the
// Tamsorel preview handler.
//
//   previewhost [--dll PATH] [--size WxH] [--resize WxH] [--background RRGGBB]
//               [--text RRGGBB] SPRITE OUT.png
//       shows SPRITE in a window of WxH (default 480x360), optionally
//       resized by SetRect, captures what the window shows into OUT.png and
//       compares it with the frames core's own render of that pane.
//   previewhost [options as above] --out-dir DIR SPRITE...
//       the same for every SPRITE, into DIR/NAME.png.
//   previewhost --cycles N [--dll PATH] [--size WxH] SPRITE...
//       N rounds of initialise, preview, resize and unload over the files;
//       checks through the drawing seam that every window, font and device
//       context is given back, and that committed memory stays flat.
//   previewhost --bench [--dll PATH] [--repeat N]
//       times DoPreview to the finished paint for a 200-frame 64 x 64 C16
//       file and a 1024 x 1024 frame against decoding the same frames, and
//       prints the figures.
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
#include "frames/file_source.h"
#include "frames/sprite.h"
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
               "SPRITE OUT.png\n"
               "       previewhost [options as above] --out-dir DIR SPRITE...\n"
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

int Capture(HandlerSource& source, HostWindow& host, const std::wstring& sprite, const std::wstring& out, uint32_t w,
            uint32_t h, uint32_t rw, uint32_t rh, const Visuals& visuals) {
  ComRef<IPreviewHandler> handler;
  HRESULT hr = source.Create(handler.outTyped());
  if (FAILED(hr)) return std::fprintf(stderr, "previewhost: cannot create the handler\n"), kExitFailed;
  ComRef<IStream> stream;
  if (FAILED(OpenFileStream(sprite, stream.outTyped())))
    return std::fprintf(stderr, "previewhost: %s: cannot open\n", Narrow(sprite).c_str()), kExitFailed;
  std::string problem = ShowPreview(handler.get(), stream.get(), host.get(), w, h, visuals);
  if (problem.empty() && rw) {
    const RECT rect{0, 0, static_cast<LONG>(rw), static_cast<LONG>(rh)};
    if (FAILED(handler->SetRect(&rect))) problem = "SetRect failed";
    w = rw, h = rh;
  }
  std::vector<uint8_t> captured, expected;
  if (problem.empty()) captured = CaptureWindow(host.get(), w, h);
  if (problem.empty()) problem = ExpectedPane(sprite, w, h, visuals, &expected);
  if (problem.empty() && !captured.empty()) problem = WriteBgrxPng(out, captured, w, h);
  if (problem.empty()) problem = ComparePane(captured, expected, w, h, visuals);
  handler->Unload();
  if (!problem.empty())
    return std::fprintf(stderr, "previewhost: %s: %s\n", Narrow(sprite).c_str(), problem.c_str()), kExitFailed;
  std::printf(
      "%s: %ux%u pane, the same pixels as the core's render below the "
      "caption\n",
      Narrow(out).c_str(), w, h);
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
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

int Bench(HandlerSource& source, int repeat) {
  std::vector<test::FrameSpec> many;
  for (uint32_t i = 0; i < 200; ++i) many.push_back(test::PatternFrame(64, 64, i, false));
  const std::wstring files[] = {
      WriteTemp(L"previewhost-200x64.c16", test::EncodeFrames(SpriteKind::kC16, 1, many).bytes),
      WriteTemp(L"previewhost-1024.c16",
                test::EncodeFrames(SpriteKind::kC16, 1, {test::PatternFrame(1024, 1024, 1, false)}).bytes)};
  const uint32_t w = 800, h = 600;
  HostWindow host(w, h);
  int status = kExitOk;
  std::printf("%-24s %14s %14s %8s\n", "file (pane 800x600)", "preview ms", "decode ms", "ratio");
  for (const std::wstring& file : files) {
    std::vector<double> preview, decode;
    for (int r = 0; r < repeat && status == kExitOk; ++r) {
      // Decoding alone: the directory and every frame, from the file.
      LARGE_INTEGER t0, t1, t2;
      QueryPerformanceCounter(&t0);
      std::string problem;
      auto bytes = OpenFileSource(std::u16string(file.begin(), file.end()), &problem);
      auto sprite = bytes ? Sprite::Open(*bytes, false, &problem) : nullptr;
      StoredFrame frame;
      for (uint32_t i = 0; sprite && i < sprite->FrameCount(); ++i) sprite->DecodeFrame(i, &frame);
      QueryPerformanceCounter(&t1);
      decode.push_back(Seconds(t0, t1) * 1000);

      ComRef<IPreviewHandler> handler;
      ComRef<IStream> stream;
      ComRef<IInitializeWithStream> init;
      const RECT rect{0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
      if (FAILED(source.Create(handler.outTyped())) || FAILED(OpenFileStream(file, stream.outTyped())) ||
          FAILED(handler->QueryInterface(IID_IInitializeWithStream, init.out())) ||
          FAILED(init->Initialize(stream.get(), STGM_READ)) || FAILED(handler->SetWindow(host.get(), &rect))) {
        status = kExitFailed;
        break;
      }
      QueryPerformanceCounter(&t1);
      const HRESULT hr = handler->DoPreview();  // paints before it returns
      GdiFlush();
      QueryPerformanceCounter(&t2);
      handler->Unload();
      if (FAILED(hr)) status = kExitFailed;
      preview.push_back(Seconds(t1, t2) * 1000);
      PumpMessages();
    }
    if (status != kExitOk) {
      std::fprintf(stderr, "previewhost: the bench could not show %s\n", Narrow(file).c_str());
      break;
    }
    const double p = Median(preview), d = Median(decode);
    const std::wstring name = file.substr(file.find_last_of(L"\\/") + 1);
    std::printf("%-24s %14.2f %14.2f %8.2f\n", Narrow(name).c_str(), p, d, p / d);
  }
  for (const std::wstring& file : files) DeleteFileW(file.c_str());
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring dll;
  uint32_t w = 480, h = 360, rw = 0, rh = 0, cycles = 0;
  int repeat = 5;
  bool bench = false, registered = false;
  Visuals visuals;
  std::vector<std::wstring> files;
  std::wstring outDir;
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

  if (FAILED(OleInitialize(nullptr))) return std::fprintf(stderr, "previewhost: cannot start COM\n"), kExitFailed;
  int status = kExitOk;
  {
    HandlerSource source;
    if (cycles) CountThroughSeam();
    if (registered && !files.empty()) {
      const std::wstring& first = files[0];
      const std::size_t dot = first.find_last_of(L'.');
      const std::string problem = source.UseRegistered(dot == std::wstring::npos ? L"" : first.substr(dot));
      if (!problem.empty()) {
        std::fprintf(stderr, "previewhost: %s\n", problem.c_str());
        status = kExitFailed;
      }
    } else if (dll.empty()) {
      source.UseCreator(&CreatePreviewHandler);
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
        if (outDir.empty()) {
          status = Capture(source, host, files[0], files[1], w, h, rw, rh, visuals);
        } else {
          for (const std::wstring& sprite : files) {
            const std::wstring name = sprite.substr(sprite.find_last_of(L"\\/:") + 1);
            if (Capture(source, host, sprite, outDir + L"\\" + name + L".png", w, h, rw, rh, visuals) != kExitOk)
              status = kExitFailed;
          }
        }
      }
    }
  }
  OleUninitialize();
  return status;
}
