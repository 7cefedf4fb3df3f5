#include "thumbnail/quorrel.h"

#include <shobjidl.h>

#include "Tamsorel_h.h"  // IQuorrel, generated from resources/Tamsorel.idl
#include "com/script_resource.h"
#include "common/win32_owner.h"
#include "platform/win32_decode.h"
#include "thumbnail/quorrel_typeinfo.h"

namespace tamsorel {

namespace {

constexpr UINT kScriptId = 102;
// The decoder's bitmap-header scratch buffer.
constexpr SIZE_T kScratchBufferSize = 1068;

class CQuorrel final : public ComObject<CQuorrel, IQuorrel, IPersistFile, IExtractImage2> {
 public:
  static constexpr bool kAggregatable = true;
  static const InterfaceRow<CQuorrel> kInterfaces[];

  explicit CQuorrel(QuorrelTypeInfoCache& typeInfo) : typeInfo_(typeInfo) {}

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

 private:
  QuorrelTypeInfoCache& typeInfo_;
  WCHAR path_[kSpritePathCapacity] = {};  // empty until Load
  BYTE scratch_[kScratchBufferSize];
};

// IDispatch answers as IQuorrel; IExtractImage as IExtractImage2.
const InterfaceRow<CQuorrel> CQuorrel::kInterfaces[] = {
    Row<CQuorrel, IQuorrel>(IID_IQuorrel),
    Row<CQuorrel, IQuorrel>(IID_IDispatch),
    Row<CQuorrel, IPersistFile>(IID_IPersistFile),
    Row<CQuorrel, IExtractImage2>(IID_IExtractImage),
    Row<CQuorrel, IExtractImage2>(IID_IExtractImage2),
    {},
};

}  // namespace

HRESULT STDMETHODCALLTYPE CQuorrel::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CQuorrel::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  return typeInfo_.GetTypeInfo(iTInfo, lcid, ppTInfo);
}

HRESULT STDMETHODCALLTYPE CQuorrel::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                      DISPID* rgDispId) {
  return typeInfo_.GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
}

HRESULT STDMETHODCALLTYPE CQuorrel::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                               DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                               EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  return typeInfo_.Invoke(static_cast<IQuorrel*>(this), dispIdMember, riid, lcid, wFlags, pDispParams,
                                pVarResult, pExcepInfo, puArgErr);
}

HRESULT STDMETHODCALLTYPE CQuorrel::GetClassID(CLSID*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrel::IsDirty() { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrel::Load(LPCOLESTR pszFileName, DWORD) {
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

HRESULT STDMETHODCALLTYPE CQuorrel::Save(LPCOLESTR, BOOL) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrel::SaveCompleted(LPCOLESTR) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrel::GetCurFile(LPOLESTR*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CQuorrel::GetLocation(LPWSTR pszPathBuffer, DWORD cch, DWORD*, const SIZE*, DWORD,
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

HRESULT STDMETHODCALLTYPE CQuorrel::Extract(HBITMAP* phBmpThumbnail) {
  if (phBmpThumbnail == nullptr) return E_POINTER;
  if (path_[0] == 0) return E_FAIL;  // nothing loaded yet
  return DecodeFirstFrameWin32(path_, scratch_, phBmpThumbnail);
}

HRESULT STDMETHODCALLTYPE CQuorrel::GetDateStamp(FILETIME* pDateStamp) {
  if (pDateStamp == nullptr) return E_POINTER;
  if (path_[0] == 0) return E_FAIL;  // nothing loaded yet
  const UniqueFile file(CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return E_FAIL;
  // The caller's FILETIME is written only with a time actually read.
  FILETIME lastWrite = {};
  if (!GetFileTime(file.get(), nullptr, nullptr, &lastWrite)) return E_FAIL;
  *pDateStamp = lastWrite;
  return S_OK;
}

HRESULT CreateQuorrel(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateQuorrelWith(QuorrelSeams{}, outer, riid, ppv);
}

HRESULT CreateQuorrelWith(const QuorrelSeams& seams, IUnknown* outer, REFIID riid, void** ppv) {
  QuorrelTypeInfoCache& typeInfo = seams.typeInfo != nullptr ? *seams.typeInfo : quorrelTypeInfo;
  return CQuorrel::CreateIn(*seams.memory, outer, riid, ppv, typeInfo);
}

HRESULT UpdateQuorrelRegistry(BOOL doRegister) { return RunScriptResource(kScriptId, doRegister, nullptr); }

}  // namespace tamsorel
