// The INPUT argument of the thumbnailer: a local path as it is, or a file://
// URI (as desktops pass them, with percent-escapes) turned into one.
#pragma once

#include <string>

namespace tamsorel::thumbnailer {

// Sets `*path` to the local file `argument` names, or returns false with the
// reason in `*error`.
//
//  - An argument that does not start with a URI scheme ("name:") followed by
//    "//", and does not start with "file:", is a path and is used unchanged
//    (so "a:b.spr" is a file name, as it would be to any other program).
//  - file:///p, file://localhost/p and file:/p name /p; percent-escapes are
//    decoded byte for byte ("%20" a space, "%C3%A9" the UTF-8 bytes of é).
//  - Refused: other schemes, a host other than localhost, a malformed or NUL
//    escape, a query or fragment, and a URI without a path.
bool LocalPathFromArgument(const std::string& argument, std::string* path, std::string* error);

}  // namespace tamsorel::thumbnailer
