// Helpers shared by the server tests: an owning interface pointer, the
// identifiers of the library, and Tamsorel.dll loaded through LoadLibrary.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <string>

#include <gtest/gtest.h>

#include "loaded_dll.h"

namespace testutil {

const CLSID kClsidQuorrel = {0x062AB647, 0xEA2F, 0x4A58, {0x91, 0x56, 0x7A, 0xC3, 0x37, 0x89, 0xEB, 0xF8}};
const IID kIidQuorrel = {0x6F2B4B02, 0xB170, 0x4F87, {0xA4, 0xF6, 0x60, 0x38, 0xE2, 0xEB, 0x29, 0x6E}};
const GUID kLibIdTamsorel = {0x54DB3818, 0x1432, 0x4203, {0xAD, 0x7F, 0x14, 0x1D, 0xEC, 0x46, 0x98, 0xA3}};
const CLSID kForeignClsid = {0x12345678, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

// An interface pointer that owns one reference.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* adopted) : p_(adopted) {}
  ~Ref() { reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void** out() {
    reset();
    return reinterpret_cast<void**>(&p_);
  }
  T** outT() {
    reset();
    return &p_;
  }
  void reset() {
    if (p_ != nullptr) {
      T* held = p_;
      p_ = nullptr;
      held->Release();
    }
  }
  T* detach() {
    T* held = p_;
    p_ = nullptr;
    return held;
  }

 private:
  T* p_ = nullptr;
};

// The reference count an object reports after one AddRef/Release pair.
inline ULONG CurrentRefs(IUnknown* unknown) {
  unknown->AddRef();
  return unknown->Release();
}

// Deletes a bitmap handed out by Extract.
class BitmapGuard {
 public:
  BitmapGuard() = default;
  ~BitmapGuard() { reset(); }
  BitmapGuard(const BitmapGuard&) = delete;
  BitmapGuard& operator=(const BitmapGuard&) = delete;
  HBITMAP* out() {
    reset();
    return &bitmap_;
  }
  HBITMAP get() const { return bitmap_; }
  void reset() {
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
    bitmap_ = nullptr;
  }

 private:
  HBITMAP bitmap_ = nullptr;
};

}  // namespace testutil
