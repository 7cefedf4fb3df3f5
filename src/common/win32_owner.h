// The Windows kinds of the one owner template (unique_handle.h): every
// kernel handle, module, GDI object, device context, registry key, search,
// local block, automation string and COM reference that Tamsorel.dll, the
// Windows tools and the tests hold.  Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "common/unique_handle.h"

namespace tamsorel {

struct KernelHandleTraits {
  using Type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE h) { return CloseHandle(h) != FALSE; }
};

template <typename T>
struct GdiObjectTraits {
  using Type = T;
  static T Invalid() { return nullptr; }
  static bool Valid(T h) { return h != nullptr; }
  static bool Close(T h) { return DeleteObject(h) != FALSE; }
};

template <typename T>
struct LocalMemoryTraits {
  using Type = T;
  static T Invalid() { return nullptr; }
  static bool Valid(T h) { return h != nullptr; }
  static bool Close(T h) { return LocalFree(h) == nullptr; }
};

// Memory the COM task allocator gave out (names from IStream::Stat, ...).
template <typename T>
struct TaskMemoryTraits {
  using Type = T*;
  static T* Invalid() { return nullptr; }
  static bool Valid(T* p) { return p != nullptr; }
  static bool Close(T* p) {
    CoTaskMemFree(p);
    return true;
  }
};

template <typename T>
struct ComReferenceTraits {
  using Type = T*;
  static T* Invalid() { return nullptr; }
  static bool Valid(T* p) { return p != nullptr; }
  static bool Close(T* p) {
    p->Release();
    return true;
  }
};

// A search FindFirstFileW started (INVALID_HANDLE_VALUE when none).
struct FindTraits {
  using Type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE h) { return h != INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE h) { return FindClose(h) != FALSE; }
};

// An opened or created registry key.
struct RegistryKeyTraits {
  using Type = HKEY;
  static HKEY Invalid() { return nullptr; }
  static bool Valid(HKEY h) { return h != nullptr; }
  static bool Close(HKEY h) { return RegCloseKey(h) == ERROR_SUCCESS; }
};

// A memory device context (CreateCompatibleDC).
struct MemoryDcTraits {
  using Type = HDC;
  static HDC Invalid() { return nullptr; }
  static bool Valid(HDC h) { return h != nullptr; }
  static bool Close(HDC h) { return DeleteDC(h) != FALSE; }
};

// A window's device context (GetDC), given back to the window it came from.
struct WindowDcTraits {
  using Type = HDC;
  HWND window = nullptr;
  static HDC Invalid() { return nullptr; }
  static bool Valid(HDC h) { return h != nullptr; }
  bool Close(HDC h) const { return ReleaseDC(window, h) != 0; }
};

// A string the automation allocator gave out (SysAllocString, type library
// names and paths).
struct BstrTraits {
  using Type = BSTR;
  static BSTR Invalid() { return nullptr; }
  static bool Valid(BSTR s) { return s != nullptr; }
  static bool Close(BSTR s) {
    SysFreeString(s);
    return true;
  }
};

struct LibraryTraits {
  using Type = HMODULE;
  static HMODULE Invalid() { return nullptr; }
  static bool Valid(HMODULE h) { return h != nullptr; }
  static bool Close(HMODULE h) { return FreeLibrary(h) != FALSE; }
};

// Any kernel handle: files, pipes, processes and threads.
using UniqueFile = UniqueHandle<KernelHandleTraits>;
using UniqueModule = UniqueHandle<LibraryTraits>;
using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;
using UniqueFind = UniqueHandle<FindTraits>;
using UniqueKey = UniqueHandle<RegistryKeyTraits>;
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;
// Made with the window the context came from: UniqueWindowDc(GetDC(w), {w}).
using UniqueWindowDc = UniqueHandle<WindowDcTraits>;
using UniqueBstr = UniqueHandle<BstrTraits>;
template <typename T>
using UniqueLocal = UniqueHandle<LocalMemoryTraits<T>>;
template <typename T>
using UniqueTaskMemory = UniqueHandle<TaskMemoryTraits<T>>;

// A COM interface pointer that owns one reference.
template <typename T>
class ComRef : public UniqueHandle<ComReferenceTraits<T>> {
 public:
  using UniqueHandle<ComReferenceTraits<T>>::UniqueHandle;
  T* operator->() const { return this->get(); }
  // The form QueryInterface and the class-object calls take.
  void** out() { return reinterpret_cast<void**>(UniqueHandle<ComReferenceTraits<T>>::out()); }
  // The form calls that hand out a typed pointer take (GetTypeInfo, ...).
  T** outTyped() { return UniqueHandle<ComReferenceTraits<T>>::out(); }
  // Holds a reference of its own to `p` (which may be null), giving back the
  // one held before.
  void share(T* p) {
    if (p != nullptr) p->AddRef();
    *outTyped() = p;
  }
};

// Holds a slim reader/writer lock exclusively for a scope.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK* lock_;
};

}  // namespace tamsorel
