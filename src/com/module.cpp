#include "com/module.h"

#include "com/object.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module's load address

namespace tamsorel {

namespace {
LONG lockCount = 0;
}  // namespace

LONG LockModule() { return InterlockedIncrement(&lockCount); }

LONG UnlockModule() { return InterlockedDecrement(&lockCount); }

LONG ModuleLockCount() { return InterlockedCompareExchange(&lockCount, 0, 0); }

namespace {
void* HeapAllocate(size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }
void HeapRelease(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}
}  // namespace

const ObjectMemory kProcessHeap = {&HeapAllocate, &HeapRelease};

HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

}  // namespace tamsorel
