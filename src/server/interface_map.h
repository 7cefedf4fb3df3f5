// Map-driven QueryInterface: every object of the server describes the
// interfaces it hands out with a constant table of InterfaceMapEntry rows.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace tamsorel {

struct InterfaceMapEntry {
  const IID* iid;
  DWORD_PTR offset;  // of the interface pointer from the object's address
  DWORD_PTR kind;    // 1 for an interface row, 0 for the end row
};

// Offset of the `Interface` base within `Class`, for InterfaceMapEntry rows.
template <class Class, class Interface>
DWORD_PTR InterfaceOffset() {
  // Any non-null address works for the pointer adjustment; 8 is aligned.
  Class* object = reinterpret_cast<Class*>(static_cast<DWORD_PTR>(8));
  return reinterpret_cast<DWORD_PTR>(static_cast<Interface*>(object)) - 8;
}

// QueryInterface over `map` for the object at `object`.  IID_IUnknown is
// answered by the first row without comparing its IID; otherwise the first
// row whose IID equals `riid` answers.  The pointer handed out is AddRef'd
// through itself.  E_INVALIDARG, E_POINTER or E_NOINTERFACE on failure, with
// *ppv null whenever ppv is given.
HRESULT QueryInterfaceFromMap(void* object, const InterfaceMapEntry* map, REFIID riid, void** ppv);

}  // namespace tamsorel
