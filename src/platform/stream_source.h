// A sprite handed over as a COM stream (IStream) as a ByteSource: what the
// shell gives handlers that run in its isolated process, for files on disk,
// inside archives and in search results alike.  Windows only.
//
// The source holds its own reference to the stream for as long as it
// lives.  Its size is the one the stream states when the source is opened
// (IStream::Stat, or a seek to the end when Stat is not supported), and no
// read goes past it: a read is cut at that size, and a stream that delivers
// fewer bytes than it stated gives short reads, so the reader sees a
// truncated file.  A stream that claims to have delivered more bytes than
// were asked for gives a failed read.  Every read seeks to its offset
// first, so the stream's own position on entry does not matter and is not
// restored.
#pragma once

#include <objidl.h>

#include <memory>
#include <string>

#include "sprite/byte_source.h"

namespace tamsorel {

// Null with the reason in words in `*problem` when the stream is null or
// states no size ("no stream", "size unknown", "out of memory").
std::unique_ptr<ByteSource> OpenStreamSource(IStream* stream, std::string* problem);

// The same, with the name the stream gives for itself (see StreamName) in
// `*name`, both from one IStream::Stat: a handler that needs the name as
// well asks the stream once (Stat can cost more than the reads of a whole
// frame directory).
std::unique_ptr<ByteSource> OpenStreamSource(IStream* stream, std::u16string* name, std::string* problem);

// The name the stream gives for itself (the file's name, without a folder,
// for streams on files; IStream::Stat), empty when it gives none.  Used to
// tell SPR files, which have no header flags, from the others.
std::u16string StreamName(IStream* stream);

}  // namespace tamsorel
