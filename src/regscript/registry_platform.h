// The seam between the registry-script interpreter and the system it runs on.
//
// The interpreter touches the registry, the text services and the allocator
// for the expanded script only through RegistryPlatform.  Windows supplies
// Win32Registry (win32_registry.h); tests, tools and the fuzzer use
// MemoryRegistry (memory_registry.h), which behaves like the Windows registry
// wherever the interpreter can tell the difference.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/hresult.h"

namespace tamsorel {

// An open registry key (an HKEY on Windows).  Zero is "no key".
using RegKey = uintptr_t;

// The predefined root keys as the platform spells them: the 32-bit values
// 0x80000000.. sign-extended to pointer width, as HKEY_CLASSES_ROOT and its
// siblings are on 64-bit Windows.
constexpr RegKey PredefinedKey(uint32_t value) {
  return static_cast<RegKey>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

// Access masks used by the walker.
constexpr uint32_t kKeyQueryValue = 0x0001;  // KEY_QUERY_VALUE
constexpr uint32_t kKeyRead = 0x20019;       // KEY_READ
constexpr uint32_t kKeyWrite = 0x20006;      // KEY_WRITE
constexpr uint32_t kKeyReadWrite = 0x2001F;  // KEY_READ | KEY_WRITE

// Value types written by the walker.
constexpr uint32_t kRegSz = 1;        // REG_SZ
constexpr uint32_t kRegBinary = 3;    // REG_BINARY
constexpr uint32_t kRegDword = 4;     // REG_DWORD
constexpr uint32_t kRegMultiSz = 7;   // REG_MULTI_SZ

// Win32 error codes the registry operations return (LONG status values).
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorNotEnoughMemory = 8;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;
constexpr long kErrorKeyDeleted = 1018;

class RegistryPlatform {
 public:
  virtual ~RegistryPlatform() = default;

  // --- Registry (each returns a Win32 error code, 0 on success) ---

  // RegOpenKeyExW(parent, name, 0, access, out).  A null or empty name opens
  // the parent itself again.
  virtual long OpenKey(RegKey parent, const char16_t* name, uint32_t access, RegKey* out) = 0;
  // RegCreateKeyExW(parent, name, 0, no class, REG_OPTION_NON_VOLATILE,
  // KEY_READ | KEY_WRITE, default security, out, disposition).  *created
  // (when `created` is not null) tells whether the key is new.
  virtual long CreateKey(RegKey parent, const char16_t* name, RegKey* out, bool* created) = 0;
  // RegSetValueExW(key, name, 0, type, data, size).  A null name is the
  // key's default value.
  virtual long SetValue(RegKey key, const char16_t* name, uint32_t type, const void* data,
                        uint32_t size) = 0;
  // RegQueryValueExW(key, name, 0, type, data, size): *size is the capacity
  // of `data` in bytes on entry and the value's size on return.  With a null
  // `data` only the type and size are read; a value larger than *size is
  // ERROR_MORE_DATA.
  virtual long QueryValue(RegKey key, const char16_t* name, uint32_t* type, void* data,
                          uint32_t* size) = 0;
  // RegEnumValueW(key, index, name, nameSize, 0, type, data, dataSize): the
  // value at `index`.  *nameSize is the capacity of `name` in characters
  // (terminator included) on entry and the name's length on success; data
  // and *dataSize as for QueryValue.
  virtual long EnumValue(RegKey key, uint32_t index, char16_t* name, uint32_t* nameSize,
                         uint32_t* type, void* data, uint32_t* dataSize) = 0;
  // RegDeleteValueW(key, name).
  virtual long DeleteValue(RegKey key, const char16_t* name) = 0;
  // RegDeleteKeyW(parent, name): deletes one key, refusing a key that still
  // has subkeys.
  virtual long DeleteKey(RegKey parent, const char16_t* name) = 0;
  // RegEnumKeyExW(key, index, name, size): *size is the capacity of `name`
  // in characters (terminator included) on entry and the name's length on
  // success.
  virtual long EnumKey(RegKey key, uint32_t index, char16_t* name, uint32_t* size) = 0;
  // RegCloseKey(key).
  virtual long CloseKey(RegKey key) = 0;

  // --- Text ---

  // VarUI4FromStr(text, 0, 0, out): S_OK or the conversion's failure.
  virtual HRESULT ParseUInt32(const char16_t* text, uint32_t* out) = 0;
  // lstrcmpiW: 0 when the two strings are equal without regard to case.
  virtual int CompareNoCase(const char16_t* a, const char16_t* b) = 0;
  // CharNextW: the next character after `p`; `p` itself at the terminator.
  virtual const char16_t* NextChar(const char16_t* p) = 0;

  // --- Memory for the expanded script text (the COM task allocator) ---
  virtual void* Alloc(std::size_t bytes) = 0;
  virtual void* Realloc(void* block, std::size_t bytes) = 0;
  virtual void Free(void* block) = 0;
};

// Owns at most one open key and closes it when replaced or destroyed.
// Predefined root keys are never handed to a holder.
class RegKeyHolder {
 public:
  explicit RegKeyHolder(RegistryPlatform& platform) : platform_(platform) {}
  ~RegKeyHolder() { Close(); }
  RegKeyHolder(const RegKeyHolder&) = delete;
  RegKeyHolder& operator=(const RegKeyHolder&) = delete;

  RegKey get() const { return key_; }
  void Reset(RegKey key) {
    Close();
    key_ = key;
  }
  // Closes the key now; the platform's result (0 when none was held).
  long Close() {
    if (!key_) return kErrorSuccess;
    RegKey key = key_;
    key_ = 0;
    return platform_.CloseKey(key);
  }

 private:
  RegistryPlatform& platform_;
  RegKey key_ = 0;
};

// Portable forms of the text services, used by MemoryRegistry and anywhere
// the Windows functions are not available.
namespace portable_text {

// Case-insensitive comparison over UTF-16 units: ASCII and Latin-1 letters
// fold to upper case, everything else compares by unit value.
int CompareNoCase(const char16_t* a, const char16_t* b);
// One UTF-16 unit, or a whole surrogate pair; stays put at the terminator.
const char16_t* NextChar(const char16_t* p);
// Plain decimal digits only: anything else is DISP_E_TYPEMISMATCH, a value
// above 0xFFFFFFFF is DISP_E_OVERFLOW.
HRESULT ParseUInt32(const char16_t* text, uint32_t* out);

}  // namespace portable_text

}  // namespace tamsorel
