#include "shell_lookup.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "common/win32_owner.h"

namespace thumbhost {

HRESULT ShellItemObject(const wchar_t* path, REFIID iid, void** object, const char** step) {
  *object = nullptr;

  tamsorel::UniqueTaskMemory<ITEMIDLIST_ABSOLUTE> item;
  *step = "SHParseDisplayName";
  HRESULT hr = SHParseDisplayName(path, nullptr, item.out(), 0, nullptr);
  if (FAILED(hr)) return hr;

  // The child ID points into `item`, which outlives every use of it.
  tamsorel::ComRef<IShellFolder> parent;
  PCUITEMID_CHILD child = nullptr;
  *step = "SHBindToParent";
  hr = SHBindToParent(item.get(), IID_IShellFolder, parent.out(), &child);
  if (FAILED(hr)) return hr;

  *step = "IShellFolder::GetUIObjectOf";
  hr = parent->GetUIObjectOf(nullptr, 1, &child, iid, nullptr, object);
  if (SUCCEEDED(hr) && *object == nullptr) hr = E_UNEXPECTED;
  return hr;
}

}  // namespace thumbhost
