// CID3v2: one ID3v2 tag (versions 2.2, 2.3 and 2.4 read; 2.3 and 2.4
// written) as a list of frames, found at the start of a file or, with a
// footer or a header near the end, at its end.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/file_io.h"
#include "tags/id3v2frames.h"
#include "tags/tagcommon.h"

namespace tunbrix {

// Where a tag was found.
struct TID3v2Location {
  bool Found = false;
  bool IoError = false; // the file could not be read: nothing is known
  int64_t TagPosition = 0;
  uint32_t TagSize = 0; // the header's size field
  uint8_t Header[10] = {};
};

// "ID3" (or "3DI" for a footer), a version 2..254, a revision below 255 and
// a synchsafe size.
bool IsValidID3v2Header(const uint8_t *bytes);
bool IsValidID3v2Footer(const uint8_t *bytes);

class CID3v2 {
public:
  struct THeaderFlags {
    bool Unsynchronisation = false;
    bool ExtendedHeader = false;
    bool Experimental = false;
    bool Footer = false;
  };

  int Version = 3;
  int Revision = 0;
  THeaderFlags HeaderFlags;
  uint32_t TagSize = 0;
  int64_t TotalSize = 0; // header, body and footer, cut at the end of the file
  int64_t TagPosition = 0;
  uint32_t ExtHeaderSize = 0;
  std::vector<TID3Frame> Frames; // file order; new frames at the end

  // Write options.
  int PaddingUnit = 0; // 0: 256; negative: no padding
  bool AtEnd = false;
  bool Unsync = false;

  size_t FrameCount() const { return Frames.size(); }
  size_t FramesSize() const;

  // 0 when a valid header was found and read, 1 otherwise (no tag, or an
  // I/O error). Frames read before an error are kept.
  int Read(IFileSystem &fs, const WideString &path);
  static TID3v2Location Locate(IFile &file);

  // The first frame with this identifier whose description (for kinds that
  // have one) is exactly description.
  TID3FrameTextW FindFrame(std::string_view frameId, const WideString &description) const;
  WideString GetFrameText(std::string_view frameId, const WideString &description) const;

  // Sets the frames of an item name (ignored when the name has no frame).
  void SetItem(std::string_view itemName, const WideString &value);
  // Replaces or adds one text-like frame; an empty text removes it.
  void SetTextFrame(std::string_view frameId, const WideString &description,
                    const WideString &text);

  // Writes the frames as version Version (0 taken as 3) with the write
  // options; fails, touching nothing, for another version or when no frame
  // is left to write.
  TagResult Write(IFileSystem &fs, const WideString &path);
  TagResult Remove(IFileSystem &fs, const WideString &path);

private:
  void ResetTag();
  bool ReadFrom(IFileSystem &fs, const WideString &path);
  void ParseTagBody(Bytes block);
  void ParseFrames(const Bytes &block, size_t offset);
  bool ParseFrame(const uint8_t *header, const uint8_t *body, size_t size, TID3Frame &frame) const;
  void PrepareFrames(int version, const std::tm &now);
  std::optional<Bytes> BuildFrameArea(int version, bool &everyFrameUnsynchronised) const;
  TagResult WriteFile(IFileSystem &fs, const WideString &path, int version);
};

} // namespace tunbrix
