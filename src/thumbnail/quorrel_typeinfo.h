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
  QuorrelTypeInfoCache(const GUID* iid, const GUID* libid, WORD major, WORD minor)
      : interfaceIid(iid), libraryId(libid), majorVersion(major), minorVersion(minor) {}
  // Gives back what it holds when the module goes.
  ~QuorrelTypeInfoCache() { Clear(); }
  QuorrelTypeInfoCache(const QuorrelTypeInfoCache&) = delete;
  QuorrelTypeInfoCache& operator=(const QuorrelTypeInfoCache&) = delete;

  const GUID* interfaceIid;
  const GUID* libraryId;
  WORD majorVersion;
  WORD minorVersion;
  // Tested without a lock and filled under `lock`: readers see the pointers
  // only once what they point at is complete.
  std::atomic<ITypeInfo*> typeInfo{nullptr};       // one reference held; null until loaded
  std::atomic<DispatchNameEntry*> names{nullptr};  // null until built
  int nameCount = 0;
  SRWLOCK lock = SRWLOCK_INIT;

  bool IsComplete() const;

  // Loads the type info and builds the name table if they are missing.
  HRESULT Load(LCID lcid);

  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT Invoke(IDispatch* instance, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);

  // Releases the type info and frees the name table.
  void Clear();

 private:
  HRESULT BuildNameTable();
};

// The one cache of the module.
extern QuorrelTypeInfoCache quorrelTypeInfo;

}  // namespace tamsorel
