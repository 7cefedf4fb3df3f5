// The exception that internal failures raise inside constructors and
// allocations when they cannot return a result where they happen.  The
// creating function catches it and turns it into its HRESULT; it never
// crosses an exported function or a COM operation.
#pragma once

#include <windows.h>

namespace ATL {

class CAtlException {
 public:
  explicit CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
  operator HRESULT() const noexcept { return m_hr; }

  HRESULT m_hr;
};

}  // namespace ATL
