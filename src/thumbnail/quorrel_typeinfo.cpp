#include "thumbnail/quorrel_typeinfo.h"

#include "Tamsorel_h.h"
#include "common/win32_owner.h"

namespace tamsorel {

QuorrelTypeInfoCache quorrelTypeInfo(&IID_IQuorrel, &LIBID_TamsorelLib, 1, 0);

bool QuorrelTypeInfoCache::IsComplete() const {
  return typeInfo.load(std::memory_order_acquire) != nullptr && names.load(std::memory_order_acquire) != nullptr;
}

HRESULT QuorrelTypeInfoCache::Load(LCID lcid) {
  if (IsComplete()) return S_OK;
  ExclusiveLock held(&lock);
  HRESULT hr = S_OK;
  if (typeInfo.load(std::memory_order_relaxed) == nullptr) {
    ComRef<ITypeLib> library;
    hr = LoadRegTypeLib(*libraryId, majorVersion, minorVersion, lcid, library.outTyped());
    if (SUCCEEDED(hr)) {
      ComRef<ITypeInfo> found;
      hr = library->GetTypeInfoOfGuid(*interfaceIid, found.outTyped());
      if (SUCCEEDED(hr)) {
        // Keep the ITypeInfo view of the newer ITypeInfo2 interface when the
        // type info offers it.
        ComRef<ITypeInfo2> newer;
        ComRef<ITypeInfo> view;
        if (SUCCEEDED(found->QueryInterface(IID_ITypeInfo2, newer.out())) && newer.valid())
          newer->QueryInterface(IID_ITypeInfo, view.out());
        ITypeInfo* kept = view.valid() ? view.get() : found.get();
        kept->AddRef();  // the cache's own reference, given back by Clear
        typeInfo.store(kept, std::memory_order_release);
      }
    }
  }
  if (typeInfo.load(std::memory_order_relaxed) != nullptr && names.load(std::memory_order_relaxed) == nullptr)
    BuildNameTable();
  return hr;
}

HRESULT QuorrelTypeInfoCache::BuildNameTable() {
  ITypeInfo* const info = typeInfo.load(std::memory_order_relaxed);
  TYPEATTR* attributes = nullptr;
  HRESULT hr = info->GetTypeAttr(&attributes);
  if (FAILED(hr)) return hr;
  nameCount = attributes->cFuncs;
  if (nameCount == 0) {
    info->ReleaseTypeAttr(attributes);
    return S_OK;
  }
  auto* table = static_cast<DispatchNameEntry*>(
      HeapAlloc(GetProcessHeap(), 0, sizeof(DispatchNameEntry) * static_cast<SIZE_T>(nameCount)));
  if (table == nullptr) {
    info->ReleaseTypeAttr(attributes);
    return E_OUTOFMEMORY;
  }
  for (int i = 0; i < nameCount; ++i) table[i] = DispatchNameEntry{nullptr, 0, DISPID_UNKNOWN};
  for (int i = 0; i < nameCount; ++i) {
    FUNCDESC* function = nullptr;
    if (FAILED(info->GetFuncDesc(static_cast<UINT>(i), &function))) continue;
    BSTR name = nullptr;
    if (SUCCEEDED(info->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr))) {
      table[i].name = name;
      table[i].length = SysStringLen(name);
      table[i].dispid = function->memid;
    }
    info->ReleaseFuncDesc(function);
  }
  names.store(table, std::memory_order_release);
  info->ReleaseTypeAttr(attributes);
  return S_OK;
}

HRESULT QuorrelTypeInfoCache::GetTypeInfo(UINT, LCID lcid, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  HRESULT hr = S_OK;
  if (typeInfo.load(std::memory_order_acquire) == nullptr) hr = Load(lcid);
  ITypeInfo* info = typeInfo.load(std::memory_order_acquire);
  *ppTInfo = info;
  if (info == nullptr) return hr;
  info->AddRef();
  return S_OK;
}

HRESULT QuorrelTypeInfoCache::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) {
  HRESULT hr = S_OK;
  if (!IsComplete()) hr = Load(lcid);
  ITypeInfo* info = typeInfo.load(std::memory_order_acquire);
  if (info == nullptr) return hr;
  const DispatchNameEntry* table = names.load(std::memory_order_acquire);
  if (table != nullptr && cNames == 1 && rgszNames != nullptr && rgszNames[0] != nullptr &&
      rgDispId != nullptr) {
    const UINT length = static_cast<UINT>(lstrlenW(rgszNames[0]));
    for (int i = nameCount - 1; i >= 0; --i) {
      const DispatchNameEntry& entry = table[i];
      if (entry.name != nullptr && entry.length == length &&
          memcmp(entry.name, rgszNames[0], length * sizeof(WCHAR)) == 0) {
        rgDispId[0] = entry.dispid;
        return S_OK;
      }
    }
  }
  return info->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT QuorrelTypeInfoCache::Invoke(IDispatch* instance, DISPID dispIdMember, REFIID, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                     UINT* puArgErr) {
  HRESULT hr = S_OK;
  if (!IsComplete()) hr = Load(lcid);
  ITypeInfo* info = typeInfo.load(std::memory_order_acquire);
  if (info == nullptr) return hr;
  return info->Invoke(instance, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

void QuorrelTypeInfoCache::Clear() {
  ITypeInfo* info = typeInfo.exchange(nullptr);
  if (info != nullptr) info->Release();
  DispatchNameEntry* table = names.exchange(nullptr);
  if (table != nullptr) {
    for (int i = 0; i < nameCount; ++i) SysFreeString(table[i].name);
    HeapFree(GetProcessHeap(), 0, table);
  }
}

}  // namespace tamsorel
