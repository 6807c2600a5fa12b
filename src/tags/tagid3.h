// The 128-byte ID3v1 / ID3v1.1 tag at the end of an audio file.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/file_io.h"
#include "tags/tagcommon.h"

namespace tunbrix {

constexpr int kID3v1Size = 128;

class CID3 {
public:
  // 8-bit texts in Windows-1252, as stored in the file.
  std::string Artist, Title, Album;
  std::string Year;
  std::string Comment;
  uint8_t Genre = kNoGenre;
  uint8_t Track = 0; // 0 = none; a track makes the tag ID3v1.1
  int TagSize = 0;   // 128 after a successful read

  // 0 found, 2 no tag, 1 error (the file cannot be opened or is shorter than
  // 131 bytes). The object starts from its new state.
  int Read(IFileSystem &fs, const WideString &path);
  // Overwrites an existing tag, else appends one. 0 written, 1 failed.
  int Write(IFileSystem &fs, const WideString &path);
  // 0 removed, 2 no tag, 1 error. The fields are left as they are.
  int Remove(IFileSystem &fs, const WideString &path);

  // The tag's bytes as Write stores them.
  Bytes Build() const;
  // Takes the fields from 128 tag bytes that begin with "TAG".
  void Parse(const uint8_t *tag);
};

} // namespace tunbrix
