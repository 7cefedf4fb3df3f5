// The registry-script seam on Windows: the real registry (advapi32), the
// OLE Automation number conversion, the user-interface library's character
// functions and the COM task allocator.
#pragma once

#include "regscript/registry_platform.h"

namespace tamsorel {

class Win32Registry : public RegistryPlatform {
 public:
  long OpenKey(RegKey parent, const char16_t* name, uint32_t access, RegKey* out) override;
  long CreateKey(RegKey parent, const char16_t* name, RegKey* out, bool* created) override;
  long SetValue(RegKey key, const char16_t* name, uint32_t type, const void* data,
                uint32_t size) override;
  long QueryValue(RegKey key, const char16_t* name, uint32_t* type, void* data,
                  uint32_t* size) override;
  long EnumValue(RegKey key, uint32_t index, char16_t* name, uint32_t* nameSize, uint32_t* type,
                 void* data, uint32_t* dataSize) override;
  long DeleteValue(RegKey key, const char16_t* name) override;
  long DeleteKey(RegKey parent, const char16_t* name) override;
  long EnumKey(RegKey key, uint32_t index, char16_t* name, uint32_t* size) override;
  long CloseKey(RegKey key) override;

  HRESULT ParseUInt32(const char16_t* text, uint32_t* out) override;
  int CompareNoCase(const char16_t* a, const char16_t* b) override;
  const char16_t* NextChar(const char16_t* p) override;

  void* Alloc(std::size_t bytes) override;
  void* Realloc(void* block, std::size_t bytes) override;
  void Free(void* block) override;
};

}  // namespace tamsorel
