// What every COM class of Tamsorel.dll needs from the module it lives in:
// the lock count that DllCanUnloadNow reads (every living object and every
// LockServer(TRUE) holds one) and the module's own instance handle.  The
// server's entry points sit on top of this; the classes never reach up to
// them.  Windows only.
#pragma once

#include <windows.h>

namespace tamsorel {

// Take and give back one module lock; each returns the new count.
LONG LockModule();
LONG UnlockModule();
LONG ModuleLockCount();

// The module this code is linked into: Tamsorel.dll, or a test program
// that links the classes directly.
HINSTANCE ModuleInstance();

// Holds one module lock for its lifetime.
class ModuleLock {
 public:
  ModuleLock() { LockModule(); }
  ~ModuleLock() { UnlockModule(); }
  ModuleLock(const ModuleLock&) = delete;
  ModuleLock& operator=(const ModuleLock&) = delete;
};

}  // namespace tamsorel
