#include "shell_lookup.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <memory>

namespace thumbhost {
namespace {

struct ItemIdListFree {
  void operator()(ITEMIDLIST_ABSOLUTE* list) const { CoTaskMemFree(list); }
};
struct ComRelease {
  void operator()(IUnknown* object) const { object->Release(); }
};

}  // namespace

HRESULT ShellItemObject(const wchar_t* path, REFIID iid, void** object, const char** step) {
  *object = nullptr;

  PIDLIST_ABSOLUTE parsed = nullptr;
  *step = "SHParseDisplayName";
  HRESULT hr = SHParseDisplayName(path, nullptr, &parsed, 0, nullptr);
  if (FAILED(hr)) return hr;
  const std::unique_ptr<ITEMIDLIST_ABSOLUTE, ItemIdListFree> item(parsed);

  // The child ID points into `item`, which outlives every use of it.
  IShellFolder* folder = nullptr;
  PCUITEMID_CHILD child = nullptr;
  *step = "SHBindToParent";
  hr = SHBindToParent(item.get(), IID_IShellFolder, reinterpret_cast<void**>(&folder), &child);
  if (FAILED(hr)) return hr;
  const std::unique_ptr<IShellFolder, ComRelease> parent(folder);

  *step = "IShellFolder::GetUIObjectOf";
  hr = parent->GetUIObjectOf(nullptr, 1, &child, iid, nullptr, object);
  if (SUCCEEDED(hr) && *object == nullptr) hr = E_UNEXPECTED;
  return hr;
}

}  // namespace thumbhost
