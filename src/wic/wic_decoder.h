// The WIC decoder: sprites for Windows' own imaging programs (every program
// built on the Windows Imaging Component).  IWICBitmapDecoder over a stream,
// with one IWICBitmapFrameDecode per frame the directory holds, each 32-bit
// BGRA with straight alpha (bgra_frames.h).  Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace tamsorel {

// {229C1A6F-EED6-4DAE-9942-50F981AFBBEC}
extern const CLSID CLSID_TamsorelWicDecoder;
// The container formats the decoder answers with, one per kind.
extern const GUID GUID_ContainerFormatTamsorelSpr;  // {192246EA-6C47-4C31-874E-3021144F1896}
extern const GUID GUID_ContainerFormatTamsorelS16;  // {6448ACDF-0A58-4D7D-BD3F-8D7355FABA4E}
extern const GUID GUID_ContainerFormatTamsorelC16;  // {00BCAF99-A355-4759-8E79-E8121866609D}
// The vendor GUID of Tamsorel's codecs.
extern const GUID GUID_VendorTamsorel;  // {82422DF2-F7B7-49AA-93B5-77BF343B10EF}

// The class's instance creator; no aggregation.
HRESULT CreateWicDecoder(IUnknown* outer, REFIID riid, void** ppv);

// Registers or unregisters the decoder: its registry script (REGISTRY 104:
// the class, WIC's decoder category entry, the patterns), then the
// extensions' PerceivedType ("image") and Explorer's kind ("picture"),
// written only where the extension has none and recorded under the class,
// so that unregistration takes away exactly what registration added.  A
// failed registration leaves things as they were; unregistration runs every
// step and returns the first failure.
HRESULT UpdateWicDecoderRegistry(BOOL doRegister);

}  // namespace tamsorel
