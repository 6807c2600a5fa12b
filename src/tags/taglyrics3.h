// The Lyrics3 v2.00 block between the audio and the ID3v1 tag. Only the
// extended artist, title and album fields are edited; every other field is
// kept as read and written back unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/file_io.h"
#include "tags/tagcommon.h"

namespace tunbrix {

// A field identifier ("EAR") as a 24-bit number, first character highest.
constexpr uint32_t Lyrics3ID(std::string_view id) {
  return id.size() == 3 ? uint32_t(uint8_t(id[0])) << 16 | uint32_t(uint8_t(id[1])) << 8 |
                              uint32_t(uint8_t(id[2]))
                        : 0;
}

struct CLyrics3TagItem {
  uint32_t ID = 0;
  std::string Data;
  size_t Length() const { return Data.size(); }
};

class CLyrics3 {
public:
  std::vector<CLyrics3TagItem> Fields; // in file order
  // 8-bit texts in Windows-1252, from and for the fields EAR, ETT and EAL.
  std::string Artist, Title, Album;
  int64_t TagPosition = 0; // of "LYRICSBEGIN", from the end of the file (negative); 0 = none
  int64_t TagSize = 0;     // size digits + 15; 0 = none

  size_t FieldCount() const { return Fields.size(); }
  int64_t FieldsLength() const;

  // 0 found, 2 no tag, 1 error (unreadable file, a size that does not lead
  // to "LYRICSBEGIN", fields that do not fit the block). The object starts
  // from its new state.
  int Read(IFileSystem &fs, const WideString &path);
  // Puts the block in front of the file's ID3v1 tag, replacing an old one;
  // no block at all when no field has data. 0 written, 2 no ID3v1 tag to
  // attach to, 1 failed (also when an old block is damaged: it is kept).
  int Write(IFileSystem &fs, const WideString &path);
  // 0 removed, 2 nothing to remove, 1 failed.
  int Remove(IFileSystem &fs, const WideString &path, bool withID3v1);
};

} // namespace tunbrix
