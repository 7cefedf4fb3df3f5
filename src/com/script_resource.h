// The registry scripts a module carries as REGISTRY resources, run through
// the registry-script interpreter against the real registry: how every
// class of Tamsorel.dll registers and unregisters itself.  Windows only.
#pragma once

#include <windows.h>

#include "regscript/script.h"

namespace tamsorel {

// A replacement handed to a script run.  Lists end with a null key.
struct ReplacementPair {
  const wchar_t* key;
  const wchar_t* value;
};

// The AppID of the server as it appears in the registry scripts.
constexpr const wchar_t* kAppIdText = L"{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}";

// Runs REGISTRY resource `id` of this module, with the caller's pairs
// followed by "APPID", "Module" and "Module_Raw" (the module's path, its
// apostrophes doubled).
HRESULT RunScriptResource(UINT id, BOOL doRegister, const ReplacementPair* pairs);

// Loads resource `id` of `type` from the module file at `path` (mapped again
// as a data file), widens it with the conversion code page and runs it.
HRESULT LoadAndRunScript(ScriptRun* run, const wchar_t* path, UINT id, const wchar_t* type, BOOL doRegister);

// Copies `source` into `destination`, writing every apostrophe twice.  The
// destination holds twice the source's length plus the terminator.
void DoubleSingleQuotes(wchar_t* destination, const wchar_t* source);

// GetModuleFileNameW into a MAX_PATH buffer; a path that fills the buffer
// may have been cut and is refused.
HRESULT ModulePath(HINSTANCE module, wchar_t (&path)[MAX_PATH]);

// The HRESULT of the calling thread's last error.  A failing call that left
// no error code behind still fails.
HRESULT LastErrorResult();

// The code page that widens the 8-bit registry scripts: CP_THREAD_ACP on NT 5
// and later, the thread locale's default ANSI code page otherwise.
UINT GetConversionCodePage();

// The thread-locale rule of GetConversionCodePage on its own: the thread
// locale's LOCALE_IDEFAULTANSICODEPAGE read as a decimal number, GetACP()
// when the query fails, gives an empty text or reads as 0.
UINT ThreadLocaleCodePage();

// Reads `text` as decimal digits up to its terminator (value * 10 + c - '0'
// for every character, digit or not).  Used by ThreadLocaleCodePage.
UINT CodePageFromLocaleText(const char* text);

}  // namespace tamsorel
