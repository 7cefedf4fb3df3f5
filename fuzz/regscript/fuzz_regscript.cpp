// Runs arbitrary script text through the interpreter in both modes against
// the in-memory registry.  The first byte picks the text form and the mode
// order; the rest is the script: 8-bit text widened byte by byte (as the
// scripts the library carries), or little-endian UTF-16.
//
// Checked beyond the sanitizers: every run releases every expansion block
// and every key handle (except the one whose close was made to fail), and
// after every failed register run the registry equals its state before the
// failing root block started.  That state is rebuilt on a second registry
// by running, from the same start, the root blocks the failed run reports
// as completed.
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

using Op = tamsorel::MemoryRegistry::Op;

// How one input prepares its registry: seeds, and one registry call made to
// fail.
struct Start {
  bool seeded;
  bool injected;
  Op failing;
  int nth;

  void Prepare(tamsorel::MemoryRegistry& registry, bool withAllocations) const {
    // Some runs start from a populated registry so that unregistration and
    // ForceRemove find something to remove.
    if (seeded) {
      registry.AddKey(u"HKCR\\CLSID\\{062AB647-EA2F-4A58-9156-7AC33789EBF8}\\InprocServer32");
      registry.PutString(u"HKCU\\Software\\A", u"V", u"v");
      registry.PutValue(u"HKCU\\Software\\A", u"D", tamsorel::kRegDword, {1, 2, 3, 4});
      registry.PutString(u"HKCU\\Software\\A\\B", nullptr, u"b");
      registry.AddKey(u"HKCU\\Software\\A\\B\\C");
    }
    // Allocations serve only the expansion, which a rebuilt state does not
    // share with the run it stands in for.
    const bool allocation = failing == Op::Alloc || failing == Op::Realloc;
    if (injected && (withAllocations || !allocation)) {
      registry.FailCall(failing, nth, tamsorel::kErrorAccessDenied);
    }
  }
};

void SetPairs(tamsorel::ScriptRun& run) {
  Check(run.AddPair(u"APPID", u"{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}") == S_OK);
  Check(run.AddPair(u"Module", u"C:\\Tam''s dir\\Tamsorel.dll") == S_OK);
  Check(run.AddPair(u"Module_Raw", u"C:\\Tam''s dir\\Tamsorel.dll") == S_OK);
}

// The state a failed register run must have left: from `start`, the first
// run (when the failed one was the second), then the root blocks the failed
// run completed.
std::string StateBeforeFailingBlock(const Start& start, const std::u16string& text,
                                    const std::u16string* firstText, bool firstMode,
                                    std::size_t completedUnits) {
  tamsorel::ScriptRun run;
  SetPairs(run);
  // The expanded text, from a registry no failure is injected into.
  tamsorel::MemoryRegistry plain;
  tamsorel::ScriptParser expander(plain, &run);
  char16_t* expanded = nullptr;
  std::u16string completed;
  if (expander.ExpandReplacements(text.c_str(), &expanded) == S_OK) {
    // Doubled percent signs make the completed part expand to itself.
    for (std::size_t i = 0; i < completedUnits && expanded[i]; ++i) {
      completed += expanded[i];
      if (expanded[i] == u'%') completed += u'%';
    }
    plain.Free(expanded);
  } else {
    // A text that does not expand runs no block at all.
    Check(completedUnits == 0);
  }

  tamsorel::MemoryRegistry rebuilt;
  tamsorel::ScriptParser parser(rebuilt, &run);
  if (firstText) {
    start.Prepare(rebuilt, true);
    parser.RunScript(firstText->c_str(), firstMode);
    rebuilt.ClearFailures();
  } else {
    start.Prepare(rebuilt, false);
  }
  Check(parser.RunScript(completed.c_str(), true) == S_OK);
  return rebuilt.Dump();
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

  // Occasionally a registry call fails, to reach the failure paths.
  const Start start{(flags & 4) != 0, (flags & 8) != 0,
                    static_cast<Op>((flags >> 4) % tamsorel::MemoryRegistry::kOpCount),
                    1 + (flags >> 4) / tamsorel::MemoryRegistry::kOpCount};
  const bool closesAll = !start.injected || start.failing != Op::CloseKey;

  tamsorel::MemoryRegistry registry;
  start.Prepare(registry, true);
  tamsorel::ScriptRun run;
  SetPairs(run);
  tamsorel::ScriptParser parser(registry, &run);
  const bool registerFirst = (flags & 2) == 0;

  HRESULT hr = parser.RunScript(text.c_str(), registerFirst);
  Check(registry.LiveBlockCount() == 0);
  if (closesAll) Check(registry.OpenHandleCount() == 0);
  if (registerFirst && FAILED(hr)) {
    // Only an injected failure can make an undo step fail.
    Check(start.injected || parser.UndoFailures() == 0);
    if (parser.UndoFailures() == 0) {
      Check(registry.Dump() == StateBeforeFailingBlock(start, text, nullptr, true,
                                                       parser.CompletedTextUnits()));
    }
  }
  registry.ClearFailures();
  const std::size_t leftOpen = registry.OpenHandleCount();

  hr = parser.RunScript(text.c_str(), !registerFirst);
  Check(registry.LiveBlockCount() == 0);
  Check(registry.OpenHandleCount() == leftOpen);
  if (!registerFirst && FAILED(hr)) {
    Check(parser.UndoFailures() == 0);
    Check(registry.Dump() == StateBeforeFailingBlock(start, text, &text, false,
                                                     parser.CompletedTextUnits()));
  }
  return 0;
}
