// tamsorel_soak: Tamsorel.dll loaded the way Explorer's thumbnail threads
// use it, for a long time.
//
//   tamsorel_soak DLL SAMPLES_DIR [--threads N] [--cycles N]
//   tamsorel_soak DLL --timing [--seconds S]
//
// Soak: several threads, each in its own single-threaded apartment, take the
// class object from DllGetClassObject, create an object, Load a file,
// GetLocation, Extract, GetDateStamp and release everything, over and over.
// The files are the samples plus malformed, truncated, huge-claim and
// missing ones, in a private temporary folder.  Every result must equal the
// single-threaded result for its file, byte for byte.  Afterwards the module
// must be unloadable (no lock, no object), committed private memory must
// not have grown by more than a small bound since the warm-up, and every
// file must open with no sharing and delete: no handle was left behind.
//
// Timing: decodes the frames bench_decode measures through the DLL (create,
// Load, Extract, release) and, in the same run, the floor: ReadFile of the
// whole file and a copy of its bytes into a DIB section of the same size.
//
// Exit status 0 when every check holds.
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "common/win32_owner.h"
#include "loaded_dll.h"
#include "sample_pictures.h"
#include "sprite_encoder.h"

namespace {

using tamsorel::ComRef;
using tamsorel::UniqueFile;
using tamsorel::UniqueFind;
using tamsorel::UniqueBitmap;
using tamsorel::UniqueMemoryDc;
using tamsorel::UniqueWindowDc;

using tamsorel::test::Bytes;

const CLSID kClsidQuorrel = {0x062AB647, 0xEA2F, 0x4A58, {0x91, 0x56, 0x7A, 0xC3, 0x37, 0x89, 0xEB, 0xF8}};

// Committed private memory may grow by this much between the end of the
// warm-up and the end of the run: heaps settle, nothing accumulates.
constexpr SIZE_T kMemoryGrowthBound = SIZE_T{4} << 20;

// A new object from the library's class object, as the shell makes one.
HRESULT CreateObject(const testutil::LoadedDll& dll, IPersistFile** persist) {
  ComRef<IClassFactory> factory;
  const HRESULT hr = dll.GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(persist));
}

// --- files -----------------------------------------------------------------

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string Narrow(const std::wstring& s) {
  std::string out;
  for (wchar_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

bool WriteWholeFile(const std::wstring& path, const Bytes& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.valid() && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool ReadWholeFile(const std::wstring& path, Bytes* bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size;
  if (!file.valid() || !GetFileSizeEx(file.get(), &size)) return false;
  bytes->resize(static_cast<std::size_t>(size.QuadPart));
  DWORD got = 0;
  return bytes->empty() ||
         (::ReadFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) &&
          got == bytes->size());
}

// A private folder under the temporary directory, removed with its files.
class WorkDir {
 public:
  WorkDir() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Process ids come back under Wine: a folder a failed run left behind
    // is passed over, not reused.
    for (unsigned attempt = 0; attempt < 100 && !created_; ++attempt) {
      path_ = std::wstring(temp) + L"tamsorel-soak-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(attempt);
      created_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
    }
  }
  ~WorkDir() {
    for (const std::wstring& f : files_) DeleteFileW(f.c_str());
    if (created_) RemoveDirectoryW(path_.c_str());
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  bool ok() const { return created_; }
  std::wstring Add(const std::wstring& name, const Bytes& bytes) {
    const std::wstring full = path_ + L"\\" + name;
    if (!WriteWholeFile(full, bytes)) return std::wstring();
    files_.push_back(full);
    return full;
  }
  std::wstring Missing(const std::wstring& name) const { return path_ + L"\\" + name; }
  const std::vector<std::wstring>& files() const { return files_; }

 private:
  std::wstring path_;
  bool created_ = false;
  std::vector<std::wstring> files_;
};

// The samples, copies of them cut short, and the malformed and hostile
// files the handler must survive.  Returns every path the soak loads,
// missing ones included.
std::vector<std::wstring> MakeFiles(WorkDir& dir, const std::wstring& samples) {
  using namespace tamsorel::test;
  std::vector<std::wstring> paths;
  WIN32_FIND_DATAW found;
  const UniqueFind search(FindFirstFileW((samples + L"\\*").c_str(), &found));
  if (search.valid()) {
    do {
      const std::wstring name = found.cFileName;
      const std::size_t dot = name.find_last_of(L'.');
      if (dot == std::wstring::npos) continue;
      std::wstring kind = name.substr(dot + 1);
      for (wchar_t& c : kind) c = static_cast<wchar_t>(towlower(c));
      if (kind != L"spr" && kind != L"s16" && kind != L"c16") continue;
      Bytes bytes;
      if (!ReadWholeFile(samples + L"\\" + name, &bytes)) continue;
      paths.push_back(dir.Add(name, bytes));
      for (std::size_t keep : {bytes.size() / 2, bytes.size() - 1, std::size_t{9}}) {
        Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(keep, bytes.size())));
        paths.push_back(dir.Add(L"cut" + std::to_wstring(keep) + L"-" + name, cut));
      }
    } while (FindNextFileW(search.get(), &found));
  }
  std::sort(paths.begin(), paths.end());

  const std::vector<uint16_t> px = {0x1234, 0x5678, 0x9ABC, 0xDEF0, 1, 2};
  Bytes hugeSpr = EncodeSpr(1, 1, {9});
  PatchLe16(hugeSpr, kSprEntryAt + 4, 0xFFFF);
  PatchLe16(hugeSpr, kSprEntryAt + 6, 0xFFFF);
  Bytes hugeS16 = EncodeS16(0, 1, 1, {7});
  PatchLe16(hugeS16, kS16EntryAt + 4, 0xFFFF);
  PatchLe16(hugeS16, kS16EntryAt + 6, 0xFFFF);
  hugeS16.resize(14 + 4 * 65534, 0);
  Bytes farLines = EncodeC16(0, 3, 2, px);
  PatchLe32(farLines, kS16LineOffsetsAt, 0x90000000u);
  Bytes zeroFrames = EncodeSpr(2, 1, {1, 2});
  PatchLe16(zeroFrames, 0, 0);
  // Lines that all point at one long chain of empty colour runs.
  Bytes busy;
  PutLe32(busy, 2);
  PutLe16(busy, 1);
  PutLe32(busy, 14 + 4 * 199);
  PutLe16(busy, 1);
  PutLe16(busy, 200);
  for (int k = 1; k < 200; ++k) PutLe32(busy, 14 + 4 * 199);
  for (int i = 0; i < 20000; ++i) PutLe16(busy, 1);
  PutLe16(busy, 0);
  Bytes garbage(777);
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 131 + 7);

  paths.push_back(dir.Add(L"huge.spr", hugeSpr));
  paths.push_back(dir.Add(L"huge.s16", hugeS16));
  paths.push_back(dir.Add(L"far-lines.c16", farLines));
  paths.push_back(dir.Add(L"zero-frames.spr", zeroFrames));
  paths.push_back(dir.Add(L"busy.c16", busy));
  paths.push_back(dir.Add(L"garbage.c16", garbage));
  paths.push_back(dir.Add(L"empty.s16", Bytes()));
  paths.push_back(dir.Add(L"small.c16", EncodeC16(1, 3, 2, px, {false, true, false, false, false, true})));
  paths.push_back(dir.Missing(L"missing.spr"));
  paths.push_back(dir.Missing(L"missing.c16"));
  return paths;
}

// --- one visit, as a thumbnail thread makes it ------------------------------

// Everything a visit of one file produces.
struct Visit {
  HRESULT created = E_UNEXPECTED, loaded = E_UNEXPECTED, location = E_UNEXPECTED, extracted = E_UNEXPECTED,
          stamped = E_UNEXPECTED;
  std::wstring where;
  Bytes bitmap;  // DIBSECTION fields that describe it, then its pixel memory
  FILETIME stamp = {};

  bool operator==(const Visit& o) const {
    return created == o.created && loaded == o.loaded && location == o.location && extracted == o.extracted &&
           stamped == o.stamped && where == o.where && bitmap == o.bitmap &&
           stamp.dwLowDateTime == o.stamp.dwLowDateTime && stamp.dwHighDateTime == o.stamp.dwHighDateTime;
  }
};

Bytes BitmapBytes(HBITMAP bitmap) {
  DIBSECTION ds{};
  if (GetObjectW(bitmap, sizeof ds, &ds) != sizeof ds) return Bytes{0xFF};
  const LONG fields[] = {ds.dsBm.bmWidth, ds.dsBm.bmHeight, ds.dsBm.bmWidthBytes, ds.dsBm.bmBitsPixel,
                         static_cast<LONG>(ds.dsBmih.biCompression), static_cast<LONG>(ds.dsBitfields[0]),
                         static_cast<LONG>(ds.dsBitfields[1]), static_cast<LONG>(ds.dsBitfields[2])};
  Bytes out(reinterpret_cast<const uint8_t*>(fields), reinterpret_cast<const uint8_t*>(fields) + sizeof fields);
  const auto* bits = static_cast<const uint8_t*>(ds.dsBm.bmBits);
  if (bits) out.insert(out.end(), bits, bits + std::size_t(ds.dsBm.bmWidthBytes) * std::abs(ds.dsBm.bmHeight));
  if (ds.dsBm.bmBitsPixel == 8) {  // the colour table belongs to the picture
    const UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    HGDIOBJ old = SelectObject(dc.get(), bitmap);
    RGBQUAD table[256] = {};
    GetDIBColorTable(dc.get(), 0, 256, table);
    SelectObject(dc.get(), old);
    out.insert(out.end(), reinterpret_cast<uint8_t*>(table), reinterpret_cast<uint8_t*>(table) + sizeof table);
  }
  return out;
}

Visit VisitFile(const testutil::LoadedDll& dll, const std::wstring& path) {
  Visit v;
  ComRef<IPersistFile> persist;
  v.created = CreateObject(dll, reinterpret_cast<IPersistFile**>(persist.out()));
  if (FAILED(v.created)) return v;
  v.loaded = persist->Load(path.c_str(), STGM_READ);
  ComRef<IExtractImage2> image;
  if (FAILED(persist->QueryInterface(IID_IExtractImage2, image.out()))) {
    v.created = E_NOINTERFACE;
    return v;
  }
  wchar_t where[MAX_PATH] = {};
  DWORD priority = 0, flags = IEIFLAG_ASPECT;
  const SIZE size = {96, 96};
  v.location = image->GetLocation(where, MAX_PATH, &priority, &size, 32, &flags);
  v.where = where;
  UniqueBitmap bitmap;
  v.extracted = image->Extract(bitmap.out());
  if (bitmap.get()) v.bitmap = BitmapBytes(bitmap.get());
  v.stamped = image->GetDateStamp(&v.stamp);
  return v;
}

// --- memory ----------------------------------------------------------------

// Committed private memory of the process, from its address space itself:
// heaps, DIB sections and thread stacks all live there, and Wine reports it
// as faithfully as Windows.
SIZE_T CommittedPrivateBytes() {
  SIZE_T total = 0;
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

// --- the soak --------------------------------------------------------------

struct Shared {
  const testutil::LoadedDll* dll;
  const std::vector<std::wstring>* paths;
  const std::vector<Visit>* expected;
  int cycles;
  std::atomic<long> visits{0};
  std::atomic<long> mismatches{0};
  CRITICAL_SECTION lock;
  std::string firstMismatch;
};

struct Worker {
  Shared* shared;
  int index;
};

DWORD WINAPI SoakThread(void* argument) {
  const Worker& worker = *static_cast<Worker*>(argument);
  Shared& s = *worker.shared;
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    s.mismatches++;
    return 1;
  }
  const std::size_t n = s.paths->size();
  for (int cycle = 0; cycle < s.cycles; ++cycle) {
    // Each thread walks the files in its own order.
    const std::size_t i = (std::size_t(cycle) * (2 * worker.index + 1) + std::size_t(worker.index) * 5) % n;
    const Visit v = VisitFile(*s.dll, (*s.paths)[i]);
    s.visits++;
    if (!(v == (*s.expected)[i])) {
      if (s.mismatches++ == 0) {
        EnterCriticalSection(&s.lock);
        s.firstMismatch = "thread " + std::to_string(worker.index) + " cycle " + std::to_string(cycle) + ": " +
                          Narrow((*s.paths)[i]);
        LeaveCriticalSection(&s.lock);
      }
    }
  }
  CoUninitialize();
  return 0;
}

bool RunThreads(Shared& shared, int threads) {
  std::vector<Worker> workers(threads);
  std::vector<UniqueFile> handles;
  for (int t = 0; t < threads; ++t) {
    workers[t] = {&shared, t};
    UniqueFile h(CreateThread(nullptr, 0, &SoakThread, &workers[t], 0, nullptr));
    if (!h.valid()) break;
    handles.push_back(std::move(h));
  }
  for (const UniqueFile& h : handles) WaitForSingleObject(h.get(), INFINITE);
  return static_cast<int>(handles.size()) == threads;
}

int Soak(const std::wstring& dllPath, const std::wstring& samples, int threads, int cycles) {
  WorkDir dir;
  if (!dir.ok()) {
    std::fprintf(stderr, "soak: cannot make a temporary folder\n");
    return 1;
  }
  const std::vector<std::wstring> paths = MakeFiles(dir, samples);
  if (paths.size() < 20 || std::find(paths.begin(), paths.end(), std::wstring()) != paths.end()) {
    std::fprintf(stderr, "soak: could not write the files (%u; samples in %s?)\n", unsigned(paths.size()),
                 Narrow(samples).c_str());
    return 1;
  }
  int failures = 0;
  {
    testutil::LoadedDll dll(dllPath);
    if (!dll.ok()) {
      std::fprintf(stderr, "soak: cannot load %s\n", Narrow(dllPath).c_str());
      return 1;
    }
    // The results of one thread, one file at a time: what every later
    // visit must give again.
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    std::vector<Visit> expected;
    int decoded = 0;
    for (const std::wstring& p : paths) {
      expected.push_back(VisitFile(dll, p));
      if (expected.back().extracted == S_OK) ++decoded;
    }
    std::printf("soak: %u files (%d decode), %d threads x %d cycles\n", unsigned(paths.size()), decoded, threads,
                cycles);

    Shared shared;
    shared.dll = &dll;
    shared.paths = &paths;
    shared.expected = &expected;
    InitializeCriticalSection(&shared.lock);

    // Warm-up: every thread's first visits make the heaps and GDI reach the
    // size they keep.
    shared.cycles = std::max(50, cycles / 10);
    const bool warmed = RunThreads(shared, threads);
    const SIZE_T afterWarmUp = CommittedPrivateBytes();

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    shared.cycles = cycles;
    const long before = shared.visits;
    const bool ran = RunThreads(shared, threads);
    QueryPerformanceCounter(&end);
    const SIZE_T afterRun = CommittedPrivateBytes();
    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    const long visits = shared.visits - before;

    std::printf("soak: %ld visits in %.2f s (%.0f us each, %.0f per second)\n", visits, seconds,
                1e6 * seconds / std::max(1L, visits), visits / std::max(seconds, 1e-9));
    const double growth = (double(afterRun) - double(afterWarmUp)) / 1024.0;
    std::printf("soak: committed private memory %.1f MiB after warm-up, %.1f MiB after the run (%+.0f KiB; bound %u KiB)\n",
                afterWarmUp / 1048576.0, afterRun / 1048576.0, growth, unsigned(kMemoryGrowthBound / 1024));

    if (!warmed || !ran) {
      std::printf("soak: FAILED: could not start %d threads\n", threads);
      ++failures;
    }
    if (shared.mismatches != 0) {
      std::printf("soak: FAILED: %ld visits differ from the single-threaded result; first: %s\n",
                  long(shared.mismatches), shared.firstMismatch.c_str());
      ++failures;
    }
    if (afterRun > afterWarmUp + kMemoryGrowthBound) {
      std::printf("soak: FAILED: memory grew by more than the bound\n");
      ++failures;
    }
    DeleteCriticalSection(&shared.lock);
    CoUninitialize();
    const HRESULT unload = dll.CanUnloadNow();
    std::printf("soak: DllCanUnloadNow 0x%08lX\n", static_cast<unsigned long>(unload));
    if (unload != S_OK) {
      std::printf("soak: FAILED: the module still holds a lock or an object\n");
      ++failures;
    }
  }
  // No handle of any visit outlived it: each file opens with no sharing.
  int held = 0;
  for (const std::wstring& f : dir.files()) {
    UniqueFile exclusive(CreateFileW(f.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!exclusive.valid()) {
      if (held++ == 0) std::printf("soak: FAILED: %s cannot be opened exclusively\n", Narrow(f).c_str());
    }
  }
  for (const std::wstring& f : dir.files()) {
    if (!DeleteFileW(f.c_str()) && held++ == 0) std::printf("soak: FAILED: %s cannot be deleted\n", Narrow(f).c_str());
  }
  if (held) ++failures;
  std::printf("soak: %s\n", failures ? "FAILED" : "passed");
  return failures ? 1 : 0;
}

// --- timing ----------------------------------------------------------------

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return double(t.QuadPart) / double(frequency.QuadPart);
}

// Microseconds per call of `work`, the best of three rounds of about
// `seconds` / 3 each.
template <class Work>
double MicrosecondsPer(Work work, double seconds) {
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    int calls = 0;
    const double start = Now();
    double elapsed = 0;
    do {
      if (!work()) return -1;
      ++calls;
      elapsed = Now() - start;
    } while (elapsed < seconds / 3 || calls < 5);
    best = std::min(best, 1e6 * elapsed / calls);
  }
  return best;
}

int Timing(const std::wstring& dllPath, double seconds) {
  WorkDir dir;
  testutil::LoadedDll dll(dllPath);
  if (!dir.ok() || !dll.ok() || FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::fprintf(stderr, "soak: cannot set up the timing run\n");
    return 1;
  }
  std::printf("%-10s %8s %12s %12s %8s\n", "frame", "bytes", "floor_us", "dll_us", "x_floor");
  int failures = 0;
  for (const char* kind : {"spr", "s16", "c16"}) {
    for (int size : {64, 256, 1024}) {
      const Bytes bytes = tamsorel::test::EncodeSamplePicture(kind, size);
      const std::wstring path = dir.Add(std::to_wstring(size) + L"." + Widen(kind), bytes);
      // The description of the bitmap the DLL makes, for the floor's copy.
      std::vector<uint8_t> info(sizeof(BITMAPINFOHEADER) + 1024, 0);
      {
        ComRef<IPersistFile> persist;
        ComRef<IExtractImage> image;
        UniqueBitmap made;
        if (FAILED(CreateObject(dll, reinterpret_cast<IPersistFile**>(persist.out()))) ||
            persist->Load(path.c_str(), STGM_READ) != S_OK ||
            FAILED(persist->QueryInterface(IID_IExtractImage, image.out())) || image->Extract(made.out()) != S_OK) {
          std::printf("%s/%d: the DLL does not decode it\n", kind, size);
          ++failures;
          continue;
        }
        DIBSECTION ds{};
        GetObjectW(made.get(), sizeof ds, &ds);
        auto* header = reinterpret_cast<BITMAPINFOHEADER*>(info.data());
        *header = ds.dsBmih;
        header->biHeight = -std::abs(ds.dsBmih.biHeight);
        if (header->biCompression == BI_BITFIELDS) std::memcpy(header + 1, ds.dsBitfields, 12);
      }
      std::vector<uint8_t> buffer(bytes.size());
      auto floor = [&]() {
        UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size;
        DWORD got = 0;
        if (!file.valid() || !GetFileSizeEx(file.get(), &size) ||
            !::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(size.QuadPart), &got, nullptr))
          return false;
        void* bits = nullptr;
        UniqueBitmap section;
        {
          const UniqueWindowDc dc(GetDC(nullptr));
          *section.out() = CreateDIBSection(dc.get(), reinterpret_cast<BITMAPINFO*>(info.data()), DIB_RGB_COLORS,
                                            &bits, nullptr, 0);
        }
        DIBSECTION ds{};
        if (!bits || GetObjectW(section.get(), sizeof ds, &ds) != sizeof ds) return false;
        const std::size_t room = std::size_t(ds.dsBm.bmWidthBytes) * std::abs(ds.dsBm.bmHeight);
        std::memcpy(bits, buffer.data(), std::min<std::size_t>(got, room));
        return true;
      };
      auto decode = [&]() {
        ComRef<IPersistFile> persist;
        ComRef<IExtractImage> image;
        UniqueBitmap made;
        return SUCCEEDED(CreateObject(dll, reinterpret_cast<IPersistFile**>(persist.out()))) &&
               persist->Load(path.c_str(), STGM_READ) == S_OK &&
               SUCCEEDED(persist->QueryInterface(IID_IExtractImage, image.out())) && image->Extract(made.out()) == S_OK;
      };
      const double floorUs = MicrosecondsPer(floor, seconds);
      const double dllUs = MicrosecondsPer(decode, seconds);
      if (floorUs <= 0 || dllUs <= 0) ++failures;
      std::printf("%-10s %8u %12.1f %12.1f %8.2f\n", (std::string(kind) + "/" + std::to_string(size)).c_str(),
                  unsigned(bytes.size()), floorUs, dllUs, floorUs > 0 ? dllUs / floorUs : 0.0);
    }
  }
  CoUninitialize();
  return failures ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: tamsorel_soak DLL SAMPLES_DIR [--threads N] [--cycles N]\n"
                 "       tamsorel_soak DLL --timing [--seconds S]\n");
    return 2;
  }
  int threads = 8, cycles = 2000;
  double seconds = 1.5;
  bool timing = false;
  for (int i = 2; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == L"--timing") {
      timing = true;
    } else if (arg == L"--threads" && hasValue) {
      threads = std::max(1, _wtoi(argv[++i]));
    } else if (arg == L"--cycles" && hasValue) {
      cycles = std::max(1, _wtoi(argv[++i]));
    } else if (arg == L"--seconds" && hasValue) {
      seconds = std::max(0.1, _wtof(argv[++i]));
    } else if (i != 2) {
      std::fprintf(stderr, "tamsorel_soak: unknown argument %s\n", Narrow(arg).c_str());
      return 2;
    }
  }
  return timing ? Timing(argv[1], seconds) : Soak(argv[1], argv[2], threads, cycles);
}
