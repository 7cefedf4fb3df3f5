// What the Windows tests of the property handler share: Tamsorel.dll beside
// the test program, a property store made by its class object, and an
// in-memory stream that records what is read of it and can misbehave.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propsys.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/win32_owner.h"

namespace proptest {

using tamsorel::ComRef;

const CLSID kClsidSpriteProperties = {0x95133135, 0x5DC9, 0x4D6F, {0x90, 0x69, 0x68, 0x61, 0xC1, 0x14, 0x2B, 0xDD}};
constexpr GUID kImage = {0x6444048F, 0x4C8B, 0x11D1, {0x8B, 0x70, 0x08, 0x00, 0x36, 0xB1, 0x1A, 0x03}};
constexpr GUID kTamsorel = {0xF9B6B7EB, 0x769D, 0x4E2F, {0xB4, 0xDE, 0xBF, 0xCD, 0x11, 0x79, 0xA3, 0x5C}};
const PROPERTYKEY kHorizontalSize = {kImage, 3};
const PROPERTYKEY kVerticalSize = {kImage, 4};
const PROPERTYKEY kDimensions = {kImage, 13};
const PROPERTYKEY kBitDepth = {kImage, 7};
const PROPERTYKEY kFrameCount = {kTamsorel, 2};
const PROPERTYKEY kPixelFormat = {kTamsorel, 3};
const PROPERTYKEY kClaimedFrameCount = {kTamsorel, 4};

inline std::wstring Directory(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

inline std::wstring BinDirectory() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return Directory(path);
}

// How a MemoryStream misbehaves.
struct StreamFaults {
  ULONGLONG statedSize = ~0ull;  // what Stat says (~0: the true size)
  ULONG chunk = 0;               // at most this many bytes per Read (0: all)
  bool overReport = false;       // Read claims one byte more than asked
  bool readFails = false;        // Read fails with E_FAIL
  bool statFails = false;        // Stat fails; the size comes from a seek
};

// A read-only stream over bytes, named as a file is, that records the
// furthest byte and the number of bytes it hands out.
class MemoryStream final : public IStream {
 public:
  MemoryStream(std::vector<uint8_t> bytes, std::wstring name, StreamFaults faults = {})
      : bytes_(std::move(bytes)), name_(std::move(name)), faults_(faults) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream) || IsEqualIID(riid, IID_ISequentialStream)) {
      *ppv = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE Read(void* target, ULONG count, ULONG* read) override {
    ++reads;
    if (faults_.readFails) return E_FAIL;
    ULONG n = position_ < bytes_.size() ? static_cast<ULONG>(std::min<ULONGLONG>(count, bytes_.size() - position_)) : 0;
    if (faults_.chunk != 0) n = std::min(n, faults_.chunk);
    if (n > 0) std::memcpy(target, bytes_.data() + position_, n);
    position_ += n;
    if (n > 0) furthest = std::max<ULONGLONG>(furthest, position_);
    handedOut += n;
    if (read != nullptr) *read = faults_.overReport ? count + 1 : n;
    return n < count ? S_FALSE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    LONGLONG base = origin == STREAM_SEEK_SET   ? 0
                    : origin == STREAM_SEEK_CUR ? static_cast<LONGLONG>(position_)
                                                : static_cast<LONGLONG>(StatedSize());
    if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<ULONGLONG>(base + move.QuadPart);
    if (position != nullptr) position->QuadPart = position_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    if (faults_.statFails) return E_NOTIMPL;
    std::memset(stat, 0, sizeof(*stat));
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = StatedSize();
    if (!(flags & STATFLAG_NONAME)) {
      const size_t bytes = (name_.size() + 1) * sizeof(wchar_t);
      stat->pwcsName = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
      if (stat->pwcsName == nullptr) return E_OUTOFMEMORY;
      std::memcpy(stat->pwcsName, name_.c_str(), bytes);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

  ULONGLONG furthest = 0;   // one past the last byte handed out
  ULONGLONG handedOut = 0;  // bytes handed out in all
  ULONG reads = 0;

 private:
  ULONGLONG StatedSize() const { return faults_.statedSize == ~0ull ? bytes_.size() : faults_.statedSize; }

  LONG refs_ = 1;
  std::vector<uint8_t> bytes_;
  std::wstring name_;
  StreamFaults faults_;
  ULONGLONG position_ = 0;
};

inline bool SameKey(const PROPERTYKEY& a, const PROPERTYKEY& b) {
  return a.pid == b.pid && IsEqualGUID(a.fmtid, b.fmtid);
}

}  // namespace proptest
