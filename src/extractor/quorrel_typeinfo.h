// The module-wide type information of IQuorrel, loaded once from the
// registered type library and shared by every CQuorrel object.  It answers
// the IDispatch operations of the objects.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>

namespace tamsorel {

struct DispatchNameEntry {
  BSTR name;      // null when the name could not be read
  UINT length;    // SysStringLen(name)
  DISPID dispid;  // DISPID_UNKNOWN when there is no name
};

struct QuorrelTypeInfoCache {
  const GUID* interfaceIid;
  const GUID* libraryId;
  WORD majorVersion;
  WORD minorVersion;
  // Tested without a lock and filled under the module critical section:
  // readers see the pointers only once what they point at is complete.
  std::atomic<ITypeInfo*> typeInfo;       // one reference held; null until loaded
  std::atomic<DispatchNameEntry*> names;  // null until built
  int nameCount;

  bool IsComplete() const;

  // Loads the type info and builds the name table if they are missing.
  HRESULT Load(LCID lcid);

  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT Invoke(IDispatch* instance, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);

  // Run at module termination with the cache as its argument: releases the
  // type info and frees the name table.
  static void CALLBACK Terminate(DWORD_PTR cache);

 private:
  HRESULT BuildNameTable();
};

// The one cache of the module.
extern QuorrelTypeInfoCache quorrelTypeInfo;

}  // namespace tamsorel
