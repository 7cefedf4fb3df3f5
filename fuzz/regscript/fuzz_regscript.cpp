// Runs arbitrary script text through the interpreter in both modes against
// the in-memory registry.  The first byte picks the text form and the mode
// order; the rest is the script: 8-bit text widened byte by byte (as the
// scripts the library carries), or little-endian UTF-16.
//
// Checked beyond the sanitizers: every run releases every expansion block
// and every key handle (except the one whose close was made to fail).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "regscript/memory_registry.h"
#include "regscript/script.h"

namespace {

constexpr std::size_t kMaxInput = 16 * 1024;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

// A small quarantine keeps the resident size of long runs near 100 MB.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  const uint8_t flags = data[0];
  ++data;
  --size;

  std::u16string text;
  if (flags & 1) {
    for (std::size_t i = 0; i + 1 < size; i += 2) {
      text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    }
  } else {
    for (std::size_t i = 0; i < size; ++i) text += static_cast<char16_t>(data[i]);
  }
  // The interpreter reads up to the first NUL, as from a terminated string.
  text = text.c_str();

  tamsorel::MemoryRegistry registry;
  tamsorel::ScriptRun run;
  Check(run.AddPair(u"APPID", u"{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}") == S_OK);
  Check(run.AddPair(u"Module", u"C:\\Tam''s dir\\Tamsorel.dll") == S_OK);
  Check(run.AddPair(u"Module_Raw", u"C:\\Tam''s dir\\Tamsorel.dll") == S_OK);
  // Some runs start from a populated registry so that unregistration and
  // ForceRemove find something to remove.
  if (flags & 4) {
    registry.AddKey(u"HKCR\\CLSID\\{062AB647-EA2F-4A58-9156-7AC33789EBF8}\\InprocServer32");
    registry.PutString(u"HKCU\\Software\\A", u"V", u"v");
    registry.AddKey(u"HKCU\\Software\\A\\B\\C");
  }
  // Occasionally a registry call fails, to reach the failure paths.
  using Op = tamsorel::MemoryRegistry::Op;
  const bool injected = (flags & 8) != 0;
  const Op failing = static_cast<Op>((flags >> 4) % 9);
  if (injected) registry.FailCall(failing, 1 + (flags >> 4) / 9, tamsorel::kErrorAccessDenied);
  const bool closesAll = !injected || failing != Op::CloseKey;

  tamsorel::ScriptParser parser(registry, &run);
  const bool registerFirst = (flags & 2) == 0;
  parser.RunScript(text.c_str(), registerFirst);
  Check(registry.LiveBlockCount() == 0);
  if (closesAll) Check(registry.OpenHandleCount() == 0);
  registry.ClearFailures();
  const std::size_t leftOpen = registry.OpenHandleCount();
  parser.RunScript(text.c_str(), !registerFirst);
  Check(registry.LiveBlockCount() == 0);
  Check(registry.OpenHandleCount() == leftOpen);
  return 0;
}
