// The rule every command-line tool applies, on Linux and on Windows alike,
// to an output file that already exists and is marked read-only: it is
// refused, never replaced.  (On Windows, MoveFileExW would refuse to replace
// it anyway, while Wine and rename(2) would not; refusing it everywhere makes
// the tools agree.)  Header only: it is shared by tools/common (POSIX) and
// tools/win32_files (Windows).
#pragma once

#include <string>

namespace tamsorel {

// Whether a POSIX file mode marks a file read-only: no write permission for
// anyone, as chmod 0444 leaves it (what Windows' read-only attribute maps to).
constexpr bool ModeIsReadOnly(unsigned mode) { return (mode & 0222u) == 0; }

// "" when an existing output file may be replaced, else the reason that
// follows "cannot write OUT: ".
inline std::string ReadOnlyOutputProblem(bool readOnly) {
  return readOnly ? std::string("it is read-only") : std::string();
}

}  // namespace tamsorel
