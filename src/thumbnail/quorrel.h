// The thumbnail handler: CQuorrel, the object the shell creates for each
// sprite file it shows a thumbnail of.  IQuorrel (automation), IPersistFile
// (receives the path) and IExtractImage2 (hands out the first frame as a
// bitmap, and the file's last-write time).  It may live inside an outer
// object (aggregation).  Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "com/object.h"

namespace tamsorel {

// Sprite path capacity: 259 characters and a terminator.
constexpr UINT kSpritePathCapacity = 260;

struct QuorrelTypeInfoCache;

// The class's instance creator: a plain object without an outer object, an
// aggregated one (asked for IID_IUnknown) with one.
HRESULT CreateQuorrel(IUnknown* outer, REFIID riid, void** ppv);

// What an object is made with, for tests that hand in their own: the memory
// it lives in and the type information its IDispatch answers from.
struct QuorrelSeams {
  const ObjectMemory* memory = &kProcessHeap;
  QuorrelTypeInfoCache* typeInfo = nullptr;  // null: the module's own cache
};
HRESULT CreateQuorrelWith(const QuorrelSeams& seams, IUnknown* outer, REFIID riid, void** ppv);

// Registers or unregisters the class: its registry script, REGISTRY 102.
HRESULT UpdateQuorrelRegistry(BOOL doRegister);

}  // namespace tamsorel
