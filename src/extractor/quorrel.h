// CQuorrel, the thumbnail extractor object the shell creates for each sprite
// file: IQuorrel (automation), IPersistFile (receives the path) and
// IExtractImage2 (hands out the first frame as a bitmap, and the file's
// last-write time).  CQuorrelAggregate is the same object inside an outer
// object.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include "Tamsorel_h.h"  // IQuorrel, generated from resources/Tamsorel.idl
#include "server/interface_map.h"

namespace tamsorel {

// Sprite path capacity: 259 characters and a terminator.
constexpr UINT kSpritePathCapacity = 260;
// The decoder's bitmap-header scratch buffer.
constexpr SIZE_T kScratchBufferSize = 1068;

// Where CQuorrel objects and their scratch buffers come from.  A seam for the
// tests, which make allocations fail; the product uses the process heap.
struct QuorrelAllocator {
  void* (*allocate)(SIZE_T bytes);
  void (*release)(void* block);
};
extern QuorrelAllocator quorrelAllocator;
extern const QuorrelAllocator kProcessHeapAllocator;

// The interfaces of the object, searched in order by QueryInterfaceFromMap
// (offsets from the CQuorrelBase address of a plain or contained object).
extern const InterfaceMapEntry QuorrelInterfaceMap[6];

// Everything of the object except IUnknown, which the plain and the contained
// forms implement differently.
class CQuorrelBase : public IQuorrel, public IPersistFile, public IExtractImage2 {
 public:
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override;
  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IPersistFile
  HRESULT STDMETHODCALLTYPE IsDirty() override;
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR pszFileName, DWORD dwMode) override;
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR pszFileName, BOOL fRemember) override;
  HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR pszFileName) override;
  HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* ppszFileName) override;
  // IExtractImage
  HRESULT STDMETHODCALLTYPE GetLocation(LPWSTR pszPathBuffer, DWORD cch, DWORD* pdwPriority, const SIZE* prgSize,
                                        DWORD dwRecClrDepth, DWORD* pdwFlags) override;
  HRESULT STDMETHODCALLTYPE Extract(HBITMAP* phBmpThumbnail) override;
  // IExtractImage2
  HRESULT STDMETHODCALLTYPE GetDateStamp(FILETIME* pDateStamp) override;

 protected:
  // Allocates the scratch buffer (ATL::CAtlException with E_OUTOFMEMORY when
  // it cannot) and takes a module lock.  The path starts empty.
  CQuorrelBase();
  // Releases the module lock and frees the scratch buffer.
  ~CQuorrelBase();
  CQuorrelBase(const CQuorrelBase&) = delete;
  CQuorrelBase& operator=(const CQuorrelBase&) = delete;

  // The reference count of a plain object; the outer unknown of a contained
  // one (no reference is held on it).
  union {
    LONG refCount_;
    IUnknown* outer_;
  };
  WCHAR path_[kSpritePathCapacity];
  BYTE* scratch_;
};

class CQuorrel final : public CQuorrelBase {
 public:
  CQuorrel();
  virtual ~CQuorrel();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  static void* operator new(size_t bytes) noexcept;
  static void operator delete(void* block) noexcept;
};

// The object inside an aggregate: IUnknown calls go to the outer object.
class CQuorrelContained final : public CQuorrelBase {
 public:
  explicit CQuorrelContained(IUnknown* outer);
  ~CQuorrelContained() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
};

// The aggregatable form: its own non-delegating IUnknown, the inner reference
// count, and the contained object.
class CQuorrelAggregate final : public IUnknown {
 public:
  explicit CQuorrelAggregate(IUnknown* outer);
  virtual ~CQuorrelAggregate();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  static void* operator new(size_t bytes) noexcept;
  static void operator delete(void* block) noexcept;

 private:
  LONG innerRefCount_;
  CQuorrelContained contained_;
};

// The instance creator of the Quorrel class: a plain CQuorrel without an
// outer object, an aggregate with one.
HRESULT CreateQuorrel(IUnknown* pUnkOuter, REFIID riid, void** ppvObject);

}  // namespace tamsorel
