// One owner for every kind of Windows handle and COM reference the tools and
// tests hold.  Traits say what the kind is: its type, the value that holds
// nothing, and the call that gives a handle back.  Windows only.
#pragma once

#include <windows.h>

namespace tamsorel {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Type get() const { return handle_; }
  bool valid() const { return Traits::Valid(handle_); }
  // For a call that hands out a new handle: the one held is given back first.
  Type* out() {
    reset();
    return &handle_;
  }
  // Gives the handle back now; false only when that call failed.
  bool reset() {
    if (!valid()) return true;
    const Type handle = handle_;
    handle_ = Traits::Invalid();
    return Traits::Close(handle);
  }

 private:
  Type handle_ = Traits::Invalid();
};

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

using UniqueFile = UniqueHandle<KernelHandleTraits>;
using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
template <typename T>
using UniqueLocal = UniqueHandle<LocalMemoryTraits<T>>;

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
};

}  // namespace tamsorel
