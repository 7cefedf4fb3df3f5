// Helpers shared by the registry-script tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "regscript/memory_registry.h"
#include "regscript/script.h"

namespace tamsorel::test {

constexpr char16_t kClsid[] = u"{062AB647-EA2F-4A58-9156-7AC33789EBF8}";
constexpr char16_t kAppId[] = u"{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}";

struct Pair {
  const char16_t* key;
  const char16_t* value;
};

// ASCII (or Latin-1) text as UTF-16, one unit per byte.
std::u16string U(const std::string& text);

// Runs `script` through a fresh ScriptRun holding `pairs`.
HRESULT RunText(RegistryPlatform& registry, const std::u16string& script, bool registerMode,
                std::initializer_list<Pair> pairs = {});
inline HRESULT RunText(RegistryPlatform& registry, const std::string& script, bool registerMode,
                       std::initializer_list<Pair> pairs = {}) {
  return RunText(registry, U(script), registerMode, pairs);
}

// The carried scripts exactly as stored in resources/registry.
std::string BindingsScript();  // REGISTRY 101
std::string QuorrelScript();   // REGISTRY 102

// The replacements the registration code gives each script: "APPID" (twice
// for the bindings script), "Module" and "Module_Raw" with `modulePath`
// (apostrophes already doubled by the caller).
HRESULT RunBindings(RegistryPlatform& registry, bool registerMode, const char16_t* module);
HRESULT RunQuorrel(RegistryPlatform& registry, bool registerMode, const char16_t* module);

// The in-memory registry, also noting each open and creation as
// "name:access" (in hexadecimal; name "-" for a null name) or "create name",
// each Alloc and Realloc size in bytes (in call order), and each
// enumeration index.
class RecordingRegistry : public MemoryRegistry {
 public:
  long OpenKey(RegKey parent, const char16_t* name, uint32_t access, RegKey* out) override;
  long CreateKey(RegKey parent, const char16_t* name, RegKey* out, bool* created) override;
  long EnumKey(RegKey key, uint32_t index, char16_t* name, uint32_t* size) override;
  void* Alloc(std::size_t bytes) override;
  void* Realloc(void* block, std::size_t bytes) override;

  std::vector<std::string> opens;
  std::vector<std::size_t> allocations;
  std::vector<uint32_t> enumIndexes;
};

// The little-endian bytes of a UTF-16 string, terminator included.
std::vector<uint8_t> SzBytes(const std::u16string& text);

}  // namespace tamsorel::test
