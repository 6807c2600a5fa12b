// Writing the comments of Ogg Vorbis files through the external program
// "vorbiscomment.exe" (found as "vorbiscomment" where programs have no
// extension), which rewrites the stream's comment header for us.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/WinExc32.h"
#include "foundation/codepages.h"
#include "tags/vorbiscomments.h"

namespace tunbrix {

// Replaces all comments of file by the list's comments with a value, and
// clears the marks of SetComment for the next round. The vendor is not
// passed: the file keeps its own. Returns the program's exit code (0
// success), the runner's start-failure code when it could not be started,
// kStillActive when it was aborted, and 1 when its input could not be set up.
uint32_t WriteOggComments(const TRunContext &context, const WideString &file,
                          CVorbisComments &comments);

// Removes all comments of file: 0 when the program exited with 0, else 2.
int ClearOggComments(const TRunContext &context, const WideString &file);

// The program's input: "name=value\n" per comment with a name and a value,
// as UTF-8; CR and LF inside a name or value become spaces, so that no text
// can end its line early and pose as a further comment.
std::string OggCommentInput(const CVorbisComments &comments);

} // namespace tunbrix
