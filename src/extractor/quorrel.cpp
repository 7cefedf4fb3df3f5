#include "extractor/quorrel.h"

#include "decode/win32_decode.h"
#include "extractor/quorrel_typeinfo.h"
#include "server/atl_exception.h"
#include "server/module.h"

namespace tamsorel {

namespace {

void* HeapAllocate(SIZE_T bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }
void HeapRelease(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// Closes a file handle when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

constexpr QuorrelAllocator kProcessHeapAllocator = {&HeapAllocate, &HeapRelease};
QuorrelAllocator quorrelAllocator = {&HeapAllocate, &HeapRelease};

const InterfaceMapEntry QuorrelInterfaceMap[6] = {
    {&IID_IQuorrel, InterfaceOffset<CQuorrelBase, IQuorrel>(), 1},
    {&IID_IDispatch, InterfaceOffset<CQuorrelBase, IQuorrel>(), 1},
    {&IID_IPersistFile, InterfaceOffset<CQuorrelBase, IPersistFile>(), 1},
    {&IID_IExtractImage, InterfaceOffset<CQuorrelBase, IExtractImage2>(), 1},
    {&IID_IExtractImage2, InterfaceOffset<CQuorrelBase, IExtractImage2>(), 1},
    {nullptr, 0, 0},
};

// ---------------------------------------------------------------------------
// CQuorrelBase

CQuorrelBase::CQuorrelBase() : refCount_(0), path_(), scratch_(nullptr) {
  scratch_ = static_cast<BYTE*>(quorrelAllocator.allocate(kScratchBufferSize));
  if (scratch_ == nullptr) ThrowHResult(E_OUTOFMEMORY);
  tamsorel::LockModule();
}

CQuorrelBase::~CQuorrelBase() {
  tamsorel::UnlockModule();
  quorrelAllocator.release(scratch_);
  scratch_ = nullptr;
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  return quorrelTypeInfo.GetTypeInfo(iTInfo, lcid, ppTInfo);
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                      DISPID* rgDispId) {
  return quorrelTypeInfo.GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                               DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                               EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  return quorrelTypeInfo.Invoke(static_cast<IQuorrel*>(this), dispIdMember, riid, lcid, wFlags, pDispParams,
                                pVarResult, pExcepInfo, puArgErr);
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::GetClassID(CLSID*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrelBase::IsDirty() { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrelBase::Load(LPCOLESTR pszFileName, DWORD) {
  if (pszFileName == nullptr) return E_FAIL;
  // A path that does not fit whole is refused and the loaded one kept: a
  // shortened path would name another file, or end in half a surrogate
  // pair, and its last characters decide the sprite kind.
  UINT length = 0;
  while (length < kSpritePathCapacity && pszFileName[length] != 0) ++length;
  if (length == kSpritePathCapacity) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  CopyMemory(path_, pszFileName, length * sizeof(WCHAR));
  path_[length] = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::Save(LPCOLESTR, BOOL) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrelBase::SaveCompleted(LPCOLESTR) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrelBase::GetCurFile(LPOLESTR*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrelBase::GetLocation(LPWSTR pszPathBuffer, DWORD cch, DWORD*, const SIZE*, DWORD,
                                                    DWORD*) {
  if (cch > 0x7FFFFFFFu || cch == 0) return E_FAIL;
  if (pszPathBuffer == nullptr) return E_POINTER;
  DWORD length = 0;
  while (length < kSpritePathCapacity - 1 && path_[length] != 0) ++length;
  if (length >= cch) {
    // No room for the terminator: the buffer gets cch - 1 units of the path.
    CopyMemory(pszPathBuffer, path_, (cch - 1) * sizeof(WCHAR));
    pszPathBuffer[cch - 1] = 0;
    return E_FAIL;
  }
  CopyMemory(pszPathBuffer, path_, length * sizeof(WCHAR));
  pszPathBuffer[length] = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::Extract(HBITMAP* phBmpThumbnail) {
  if (phBmpThumbnail == nullptr) return E_POINTER;
  if (path_[0] == 0) return E_FAIL;  // nothing loaded yet
  return DecodeFirstFrameWin32(path_, scratch_, phBmpThumbnail);
}

HRESULT STDMETHODCALLTYPE CQuorrelBase::GetDateStamp(FILETIME* pDateStamp) {
  if (pDateStamp == nullptr) return E_POINTER;
  if (path_[0] == 0) return E_FAIL;  // nothing loaded yet
  FileHandle file(CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return E_FAIL;
  // The caller's FILETIME is written only with a time actually read.
  FILETIME lastWrite = {};
  if (!GetFileTime(file.get(), nullptr, nullptr, &lastWrite)) return E_FAIL;
  *pDateStamp = lastWrite;
  return S_OK;
}

// ---------------------------------------------------------------------------
// CQuorrel

CQuorrel::CQuorrel() : CQuorrelBase() {}

CQuorrel::~CQuorrel() { refCount_ = static_cast<LONG>(0xC0000001); }

HRESULT STDMETHODCALLTYPE CQuorrel::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceFromMap(static_cast<CQuorrelBase*>(this), QuorrelInterfaceMap, riid, ppv);
}

ULONG STDMETHODCALLTYPE CQuorrel::AddRef() { return static_cast<ULONG>(++refCount_); }

ULONG STDMETHODCALLTYPE CQuorrel::Release() {
  const LONG count = --refCount_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

void* CQuorrel::operator new(size_t bytes) noexcept { return quorrelAllocator.allocate(bytes); }

void CQuorrel::operator delete(void* block) noexcept { quorrelAllocator.release(block); }

// ---------------------------------------------------------------------------
// CQuorrelContained and CQuorrelAggregate

CQuorrelContained::CQuorrelContained(IUnknown* outer) : CQuorrelBase() { outer_ = outer; }

HRESULT STDMETHODCALLTYPE CQuorrelContained::QueryInterface(REFIID riid, void** ppv) {
  return outer_->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE CQuorrelContained::AddRef() { return outer_->AddRef(); }

ULONG STDMETHODCALLTYPE CQuorrelContained::Release() { return outer_->Release(); }

CQuorrelAggregate::CQuorrelAggregate(IUnknown* outer) : innerRefCount_(0), contained_(outer) {}

CQuorrelAggregate::~CQuorrelAggregate() { innerRefCount_ = static_cast<LONG>(0xC0000001); }

HRESULT STDMETHODCALLTYPE CQuorrelAggregate::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUnknown*>(this);
    ++innerRefCount_;
    return S_OK;
  }
  return QueryInterfaceFromMap(static_cast<CQuorrelBase*>(&contained_), QuorrelInterfaceMap, riid, ppv);
}

ULONG STDMETHODCALLTYPE CQuorrelAggregate::AddRef() { return static_cast<ULONG>(++innerRefCount_); }

ULONG STDMETHODCALLTYPE CQuorrelAggregate::Release() {
  const LONG count = --innerRefCount_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

void* CQuorrelAggregate::operator new(size_t bytes) noexcept { return quorrelAllocator.allocate(bytes); }

void CQuorrelAggregate::operator delete(void* block) noexcept { quorrelAllocator.release(block); }

// ---------------------------------------------------------------------------
// Creation

namespace {

// Hands out the interface asked for from a new object whose count is 0; an
// object that does not serve it is destroyed at once.
template <class Object>
HRESULT QueryNewObject(Object* object, REFIID riid, void** ppvObject) {
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppvObject);
  if (hr != S_OK) {
    *ppvObject = nullptr;
    delete object;
  }
  return hr;
}

}  // namespace

HRESULT CreateQuorrel(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  // A failed allocation of the object or of its scratch buffer builds
  // nothing and leaves no module lock behind: the constructor takes the lock
  // only once the buffer is there, and a throwing constructor gives the
  // storage back.
  try {
    if (pUnkOuter == nullptr) return QueryNewObject(new CQuorrel(), riid, ppvObject);
    return QueryNewObject(new CQuorrelAggregate(pUnkOuter), riid, ppvObject);
  } catch (const ATL::CAtlException& e) {
    return e.m_hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace tamsorel
