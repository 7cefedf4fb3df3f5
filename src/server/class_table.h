// The classes Tamsorel.dll serves: each one's CLSID, how it makes an
// instance and how it registers itself.  DllGetClassObject hands out a class
// object from this table; registration walks it.  Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>

#include "com/class_factory.h"

namespace tamsorel {

struct ClassEntry {
  const CLSID* clsid;
  InstanceCreator createInstance;
  HRESULT (*updateRegistry)(BOOL doRegister);
};

// The table, in registration order.
extern const ClassEntry kClasses[];
extern const size_t kClassCount;

// DllGetClassObject: a new class object of the class `rclsid`, asked for
// `riid`.  CLASS_E_CLASSNOTAVAILABLE for a class not in the table.
HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);

}  // namespace tamsorel
