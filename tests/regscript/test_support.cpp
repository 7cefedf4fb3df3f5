#include "test_support.h"

#include <cstdio>

namespace tamsorel::test {

namespace {
#include "carried_scripts.inc"
}  // namespace

std::u16string U(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) out += static_cast<char16_t>(c);
  return out;
}

HRESULT RunText(RegistryPlatform& registry, const std::u16string& script, bool registerMode,
                std::initializer_list<Pair> pairs) {
  ScriptRun run;
  for (const Pair& pair : pairs) {
    HRESULT hr = run.AddPair(pair.key, pair.value);
    if (FAILED(hr)) return hr;
  }
  ScriptParser parser(registry, &run);
  return parser.RunScript(script.c_str(), registerMode);
}

std::string BindingsScript() {
  return std::string(reinterpret_cast<const char*>(kBindingsScript), sizeof kBindingsScript);
}

std::string QuorrelScript() {
  return std::string(reinterpret_cast<const char*>(kQuorrelScript), sizeof kQuorrelScript);
}

HRESULT RunBindings(RegistryPlatform& registry, bool registerMode, const char16_t* module) {
  return RunText(registry, BindingsScript(), registerMode,
                 {{u"APPID", kAppId}, {u"APPID", kAppId}, {u"Module", module},
                  {u"Module_Raw", module}});
}

HRESULT RunQuorrel(RegistryPlatform& registry, bool registerMode, const char16_t* module) {
  return RunText(registry, QuorrelScript(), registerMode,
                 {{u"APPID", kAppId}, {u"Module", module}, {u"Module_Raw", module}});
}

namespace {
std::string Noted(const char16_t* name, uint32_t access) {
  char mask[16];
  std::snprintf(mask, sizeof mask, ":%X", static_cast<unsigned>(access));
  return (name ? DumpText(name) : std::string("-")) + mask;
}
}  // namespace

long RecordingRegistry::OpenKey(RegKey parent, const char16_t* name, uint32_t access, RegKey* out) {
  opens.push_back(Noted(name, access));
  return MemoryRegistry::OpenKey(parent, name, access, out);
}

long RecordingRegistry::CreateKey(RegKey parent, const char16_t* name, RegKey* out,
                                  bool* created) {
  opens.push_back("create " + (name ? DumpText(name) : std::string("-")));
  return MemoryRegistry::CreateKey(parent, name, out, created);
}

long RecordingRegistry::EnumKey(RegKey key, uint32_t index, char16_t* name, uint32_t* size) {
  enumIndexes.push_back(index);
  return MemoryRegistry::EnumKey(key, index, name, size);
}

void* RecordingRegistry::Alloc(std::size_t bytes) {
  allocations.push_back(bytes);
  return MemoryRegistry::Alloc(bytes);
}

void* RecordingRegistry::Realloc(void* block, std::size_t bytes) {
  allocations.push_back(bytes);
  return MemoryRegistry::Realloc(block, bytes);
}

std::vector<uint8_t> SzBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

}  // namespace tamsorel::test
