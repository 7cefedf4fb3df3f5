// Helpers shared by the server tests: the owners of handles and interface
// pointers, the identifiers of the library, and Tamsorel.dll loaded through
// LoadLibrary.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <string>

#include <gtest/gtest.h>

#include "common/win32_owner.h"
#include "loaded_dll.h"

namespace testutil {

const CLSID kClsidQuorrel = {0x062AB647, 0xEA2F, 0x4A58, {0x91, 0x56, 0x7A, 0xC3, 0x37, 0x89, 0xEB, 0xF8}};
const IID kIidQuorrel = {0x6F2B4B02, 0xB170, 0x4F87, {0xA4, 0xF6, 0x60, 0x38, 0xE2, 0xEB, 0x29, 0x6E}};
const GUID kLibIdTamsorel = {0x54DB3818, 0x1432, 0x4203, {0xAD, 0x7F, 0x14, 0x1D, 0xEC, 0x46, 0x98, 0xA3}};
const CLSID kForeignClsid = {0x12345678, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

// An outer object for aggregation: hands out its own IUnknown, passes other
// requests to the inner unknown it was given, and counts the references and
// queries it receives.
class CountingOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    ++queries;
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner != nullptr ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

  LONG refs = 1;
  int queries = 0;
  IUnknown* inner = nullptr;
};

// The reference count an object reports after one AddRef/Release pair.
inline ULONG CurrentRefs(IUnknown* unknown) {
  unknown->AddRef();
  return unknown->Release();
}

}  // namespace testutil
