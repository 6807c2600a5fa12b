// Changing a file so that a failure at any step leaves it as it was.
//
// Tags live in small regions at the start and the end of audio files. A
// rewrite replaces such a region in place: the old bytes are kept in memory
// first, and when a later call fails they are written back and the length
// restored. A rewrite that moves the audio goes through a temporary copy
// that replaces the original only by rename, once it is complete.
#pragma once

#include <functional>

#include "foundation/file_io.h"

namespace tunbrix {

// Replaces the bytes from start to the end of the file by replacement (the
// file gets length start + replacement.size()). Only the replaced tail is
// read and written. False, with the file restored, when a call fails.
bool ReplaceTail(IFile &file, int64_t start, const Bytes &replacement);

// Overwrites replacement.size() bytes at start, inside the file. False, with
// the old bytes restored, when a call fails.
bool OverwriteRange(IFile &file, int64_t start, const Bytes &replacement);

// Writes a new version of path through a temporary file in its folder made
// with prefix: write fills the temporary file (positioned at 0) and reports
// success. The temporary file replaces path by rename only when it was
// written and flushed completely; otherwise it is removed and path stays
// untouched. The new file keeps the permissions of the old one.
bool RewriteThroughTempFile(IFileSystem &fs, const WideString &path, const WideString &prefix,
                            const std::function<bool(IFile &temp)> &write);

} // namespace tunbrix
