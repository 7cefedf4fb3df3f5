// What the registration tests share: registry snapshots (every key and value
// below a key, as text, to compare the registry before and after) and
// running a program such as regsvr32 to its end.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "common/win32_owner.h"

namespace tamsorel::test {

// A registry value as text: REG_SZ data, or "<type:size>" for other types.
inline std::wstring ValueText(DWORD type, const std::vector<BYTE>& data) {
  if (type == REG_SZ) return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
  return L"<" + std::to_wstring(type) + L":" + std::to_wstring(data.size()) + L">";
}

// Every key and value below `root\path`, as "path" -> "" for keys and
// "path|name" -> text for values.  A missing key adds nothing.
inline void Snapshot(HKEY root, const std::wstring& path, std::map<std::wstring, std::wstring>* out) {
  UniqueKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) return;
  (*out)[path] = L"";
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256, type = 0, size = 0;
    if (RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 2, 0);
    nameLength = 256;
    RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, data.data(), &size);
    (*out)[path + L"|" + name] = ValueText(type, data);
  }
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  key.reset();  // closed before the children are opened
  for (const std::wstring& child : children) Snapshot(root, path + L"\\" + child, out);
}

// Runs a program to its end (at most a minute; then it is ended) and
// returns its exit code, or -1 when it could not start or had to be ended.
// No handle is inherited: regsvr32's shell notification may start a
// process that outlives it, and must not keep files of the test open.
inline DWORD RunProcess(std::wstring commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return static_cast<DWORD>(-1);
  const UniqueFile child(process.hProcess), thread(process.hThread);
  if (WaitForSingleObject(child.get(), 60000) != WAIT_OBJECT_0) {
    TerminateProcess(child.get(), 3);
    WaitForSingleObject(child.get(), 5000);
    return static_cast<DWORD>(-1);
  }
  DWORD code = static_cast<DWORD>(-1);
  GetExitCodeProcess(child.get(), &code);
  return code;
}

}  // namespace tamsorel::test
