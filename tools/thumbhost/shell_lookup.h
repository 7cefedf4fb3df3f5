// The shell's own way to a file's thumbnail handler, as Explorer takes it:
// the file's item ID list, its parent folder (SHBindToParent), and the
// folder's UI object for the item (IShellFolder::GetUIObjectOf).  The folder
// finds the handler through the extension's ShellEx binding, creates it and
// hands it the file; before any handler is registered it answers
// E_NOINTERFACE.
#pragma once

#include <windows.h>

namespace thumbhost {

// Asks the shell for interface `iid` of the item at `path`.  On success
// `*object` holds one reference; on failure it is null and `*step` names the
// call that failed.
HRESULT ShellItemObject(const wchar_t* path, REFIID iid, void** object, const char** step);

}  // namespace thumbhost
