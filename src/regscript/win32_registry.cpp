#include "regscript/win32_registry.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

namespace tamsorel {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

HKEY AsHkey(RegKey key) { return reinterpret_cast<HKEY>(key); }
RegKey AsRegKey(HKEY key) { return reinterpret_cast<RegKey>(key); }
const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

long Win32Registry::OpenKey(RegKey parent, const char16_t* name, uint32_t access, RegKey* out) {
  HKEY key = nullptr;
  LONG error = RegOpenKeyExW(AsHkey(parent), Wide(name), 0, access, &key);
  if (error == ERROR_SUCCESS) *out = AsRegKey(key);
  return error;
}

long Win32Registry::CreateKey(RegKey parent, const char16_t* name, RegKey* out, bool* created) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG error = RegCreateKeyExW(AsHkey(parent), Wide(name), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_READ | KEY_WRITE, nullptr, &key, &disposition);
  if (error == ERROR_SUCCESS) {
    *out = AsRegKey(key);
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
  }
  return error;
}

long Win32Registry::SetValue(RegKey key, const char16_t* name, uint32_t type, const void* data,
                             uint32_t size) {
  return RegSetValueExW(AsHkey(key), Wide(name), 0, type, static_cast<const BYTE*>(data), size);
}

long Win32Registry::QueryValue(RegKey key, const char16_t* name, uint32_t* type, void* data,
                               uint32_t* size) {
  DWORD valueType = 0;
  DWORD bytes = size ? *size : 0;
  LONG error = RegQueryValueExW(AsHkey(key), Wide(name), nullptr, &valueType,
                                static_cast<BYTE*>(data), size ? &bytes : nullptr);
  if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
    if (type) *type = valueType;
    if (size) *size = bytes;
  }
  return error;
}

long Win32Registry::EnumValue(RegKey key, uint32_t index, char16_t* name, uint32_t* nameSize,
                              uint32_t* type, void* data, uint32_t* dataSize) {
  DWORD length = *nameSize;
  DWORD valueType = 0;
  DWORD bytes = dataSize ? *dataSize : 0;
  LONG error = RegEnumValueW(AsHkey(key), index, reinterpret_cast<wchar_t*>(name), &length,
                             nullptr, &valueType, static_cast<BYTE*>(data),
                             dataSize ? &bytes : nullptr);
  if (error == ERROR_SUCCESS) *nameSize = length;
  if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
    if (type) *type = valueType;
    if (dataSize) *dataSize = bytes;
  }
  return error;
}

long Win32Registry::DeleteValue(RegKey key, const char16_t* name) {
  return RegDeleteValueW(AsHkey(key), Wide(name));
}

long Win32Registry::DeleteKey(RegKey parent, const char16_t* name) {
  return RegDeleteKeyW(AsHkey(parent), Wide(name));
}

long Win32Registry::EnumKey(RegKey key, uint32_t index, char16_t* name, uint32_t* size) {
  DWORD length = *size;
  LONG error = RegEnumKeyExW(AsHkey(key), index, reinterpret_cast<wchar_t*>(name), &length,
                             nullptr, nullptr, nullptr, nullptr);
  if (error == ERROR_SUCCESS) *size = length;
  return error;
}

long Win32Registry::CloseKey(RegKey key) { return RegCloseKey(AsHkey(key)); }

HRESULT Win32Registry::ParseUInt32(const char16_t* text, uint32_t* out) {
  ULONG number = 0;
  HRESULT hr = VarUI4FromStr(const_cast<OLECHAR*>(Wide(text)), 0, 0, &number);
  if (SUCCEEDED(hr)) *out = number;
  return hr;
}

int Win32Registry::CompareNoCase(const char16_t* a, const char16_t* b) {
  return lstrcmpiW(Wide(a), Wide(b));
}

const char16_t* Win32Registry::NextChar(const char16_t* p) {
  return reinterpret_cast<const char16_t*>(CharNextW(Wide(p)));
}

void* Win32Registry::Alloc(std::size_t bytes) { return CoTaskMemAlloc(bytes); }
void* Win32Registry::Realloc(void* block, std::size_t bytes) { return CoTaskMemRealloc(block, bytes); }
void Win32Registry::Free(void* block) { CoTaskMemFree(block); }

}  // namespace tamsorel
