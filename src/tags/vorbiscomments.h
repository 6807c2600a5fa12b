// The Vorbis comment list: the tags of FLAC and Ogg Vorbis files, and a plain
// name/value list elsewhere. Names are 8-bit, values wide; both are stored as
// UTF-8 in the serialised block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>

#include "foundation/codepages.h"
#include "foundation/file_io.h"

namespace tunbrix {

class CVorbisComment {
public:
  std::string Name;
  WideString Value;
  // The value's UTF-8 form, filled while serialising.
  std::string Utf8;
  // Set by SetComment until ClearMarks, so that several values of one name
  // fill that name's comments in order.
  bool SetMark = false;
};

class CVorbisComments {
public:
  // Drops every comment, the vendor and TotalSize.
  void Clear();
  // A new empty comment at the end of the list.
  CVorbisComment &AddComment();
  // First comment whose name equals name case-insensitively (ASCII), or nullptr.
  CVorbisComment *FindComment(std::string_view name);
  const CVorbisComment *FindComment(std::string_view name) const;
  // Its value; empty when there is none.
  WideString GetComment(std::string_view name) const;
  // The first comment of that name without a mark gets the value and the
  // mark; with none, a marked comment is appended.
  void SetComment(std::string_view name, const WideString &value);
  void ClearMarks();

  // The block: vendor length, vendor, count, then length and "name=value"
  // per comment (numbers 32-bit little-endian). Only comments with a name
  // and a non-empty value are written and counted. Sets TotalSize.
  Bytes Serialise();

  // 0 unchanged, 1 lower case, 2 upper case, 3 lower case with the first
  // character and every one after a space upper case (ASCII only). In every
  // mode a name byte below 32, "=" or above 125 then becomes "_", so that
  // every name can be stored and read back.
  void ApplyNameCase(int mode);
  // 0 unchanged, 1 by name (ASCII case-insensitive), 2 by value length in
  // characters, shortest first. Stable: equal keys keep their order.
  void SortComments(int mode);

  // Reads a serialised block of size bytes (vendor, count, comments),
  // replacing the list; TotalSize = size. Reading never goes outside the
  // block: a vendor that does not fit leaves the vendor empty and reads no
  // comments; comments are read while the count lasts and each one's length
  // lies inside the block; a comment without "=" is skipped. True when the
  // vendor and every counted comment were inside the block.
  bool ParseBlock(const uint8_t *data, size_t size);
  // Appends the comment held in text ("name=value", split at the first "=",
  // value UTF-8). False, appending nothing, when text has no "=".
  bool AddCommentText(std::string_view text);

  size_t Count() const { return Comments.size(); }

  // A std::list, so that a comment handed out stays where it is while the
  // list grows or is sorted.
  std::list<CVorbisComment> Comments;
  WideString Vendor;
  // Bytes of the serialised block: set when read, recomputed by Serialise.
  int64_t TotalSize = 0;
};

} // namespace tunbrix
