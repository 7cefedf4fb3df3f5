// The decoder bound to the Win32 platform (files, the PALETTE resource of the
// module named "Tamsorel.dll", GDI).  Used by the extractor in the DLL.
#pragma once
#ifdef _WIN32
#include <windows.h>

namespace tamsorel {

// DecodeFirstFrame with the Win32 seam.  `header` holds 1068 bytes.
HRESULT DecodeFirstFrameWin32(const wchar_t* path, BYTE* header, HBITMAP* bitmap);

}  // namespace tamsorel
#endif
