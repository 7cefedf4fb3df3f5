// Result codes shared by the portable core (decoder, registry scripts) and
// the Windows code.  On Windows the platform's own definitions are used; on
// other systems the same names and values are provided here, so portable
// code reads exactly like the Windows code that calls it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
typedef int32_t HRESULT;
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define DISP_E_EXCEPTION ((HRESULT)0x80020009L)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000AL)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#endif

namespace tamsorel {

// A Win32 error code as an HRESULT: positive codes map into FACILITY_WIN32,
// zero and negative values pass through unchanged.
constexpr HRESULT HResultFromWin32(long code) {
  return code <= 0 ? static_cast<HRESULT>(code)
                   : static_cast<HRESULT>((static_cast<uint32_t>(code) & 0xFFFFu) | 0x80070000u);
}

// The name of a well-known result ("E_FAIL"), or null for any other value.
// Tools print it beside the hexadecimal value.
inline const char* HResultName(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x00000000u: return "S_OK";
    case 0x00000001u: return "S_FALSE";
    case 0x80004001u: return "E_NOTIMPL";
    case 0x80004002u: return "E_NOINTERFACE";
    case 0x80004003u: return "E_POINTER";
    case 0x80004005u: return "E_FAIL";
    case 0x8000FFFFu: return "E_UNEXPECTED";
    case 0x80070002u: return "ERROR_FILE_NOT_FOUND";
    case 0x80070003u: return "ERROR_PATH_NOT_FOUND";
    case 0x80070005u: return "E_ACCESSDENIED";
    case 0x8007000Eu: return "E_OUTOFMEMORY";
    case 0x80070057u: return "E_INVALIDARG";
    case 0x8007007Au: return "ERROR_INSUFFICIENT_BUFFER";
    case 0x8007007Eu: return "ERROR_MOD_NOT_FOUND";
    case 0x8007007Fu: return "ERROR_PROC_NOT_FOUND";
    case 0x800700C1u: return "ERROR_BAD_EXE_FORMAT";
    case 0x80020009u: return "DISP_E_EXCEPTION";
    case 0x80020005u: return "DISP_E_TYPEMISMATCH";
    case 0x8002000Au: return "DISP_E_OVERFLOW";
    case 0x80040110u: return "CLASS_E_NOAGGREGATION";
    case 0x80040111u: return "CLASS_E_CLASSNOTAVAILABLE";
    default: return nullptr;
  }
}

// "E_FAIL 0x80004005": the name (or "HRESULT" for an unnamed value) and the
// value in hexadecimal, as the tools print results.
inline std::string HResultText(HRESULT hr) {
  const char* name = HResultName(hr);
  char text[64];
  std::snprintf(text, sizeof text, "%s 0x%08X", name ? name : "HRESULT", static_cast<unsigned>(hr));
  return text;
}

}  // namespace tamsorel
