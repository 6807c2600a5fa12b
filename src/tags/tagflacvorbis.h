// FLAC metadata: the blocks after "fLaC" (behind an optional ID3v2 tag), the
// stream information, and the Vorbis comment block, rewritten in place while
// the new blocks fit into the old metadata area and through a temporary copy
// otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/codepages.h"
#include "foundation/file_io.h"
#include "tags/tagcommon.h"
#include "tags/vorbiscomments.h"

namespace tunbrix {

constexpr uint8_t kFlacStreamInfo = 0;
constexpr uint8_t kFlacPadding = 1;
constexpr uint8_t kFlacVorbisComment = 4;

// The new padding when the metadata has to grow.
constexpr uint32_t kFlacNewPadding = 1024;
// A block body's length is a 24-bit number.
constexpr uint32_t kFlacMaxBlockLength = 0xFFFFFF;
// Real files carry a handful of blocks; a file claiming more is damaged, and
// reading it on would cost memory many times its size.
constexpr size_t kFlacMaxBlocks = 4096;

struct TFlacBlock {
  uint8_t Type = 0; // bits 0-6 of the header's first byte
  Bytes Body;       // its length is the block's length
};

// STREAMINFO, decoded.
struct TFlacStreamInfo {
  uint32_t MinBlockSize = 0;
  uint32_t MaxBlockSize = 0;
  uint32_t MinFrameSize = 0;
  uint32_t MaxFrameSize = 0;
  uint32_t SampleRate = 0;
  uint32_t Channels = 0;
  uint32_t BitsPerSample = 0;
  uint64_t TotalSamples = 0;
  std::array<uint8_t, 16> MD5{};
};

class CFlacVorbisTag {
public:
  // 0 read; 1 no "fLaC", an I/O error, a block running past the end of the
  // file, or more than kFlacMaxBlocks blocks (padding included). The blocks
  // read before a failure stay in Blocks, but Valid stays false and nothing
  // is written from them.
  TagResult ReadBlocks(IFile &file);
  TagResult ReadBlocks(IFileSystem &fs, const WideString &path);

  // Fills comments (cleared first) from the file. 0 when a STREAMINFO block
  // of at least 34 bytes has block sizes of at least 16 and a sample rate
  // above 0, which also holds for a file whose later blocks are damaged;
  // else 1 and comments stay empty. The comment block is read only with a
  // valid STREAMINFO and a body longer than 7 bytes.
  int ReadInfoAndComments(IFile &file, CVorbisComments &comments);
  int ReadInfoAndComments(IFileSystem &fs, const WideString &path, CVorbisComments &comments);

  // Writes comments as the file's comment block, keeping the file's vendor
  // (which becomes comments.Vendor) and every other block; the marks of
  // SetComment are cleared for the next round. 0 written, 1 failed (the file
  // is then as it was).
  TagResult WriteComments(IFileSystem &fs, const WideString &path, CVorbisComments &comments);
  // Reduces the comment block to the vendor and no comments, or drops it
  // when the vendor is empty. 0 done, also when there is no comment block
  // (nothing is written then); 1 failed.
  TagResult RemoveComments(IFileSystem &fs, const WideString &path);

  // Kept blocks in file order; PADDING is never kept.
  std::vector<TFlacBlock> Blocks;
  // Offset of the first block header, right after "fLaC".
  int64_t FirstBlockPos = 0;
  // Bytes of all block headers and bodies as found, padding included.
  int64_t MetadataSize = 0;
  // The metadata was read completely.
  bool Valid = false;
  // Set by the padding plan: the new blocks do not fit into the old area.
  bool Rewrite = false;
  TFlacStreamInfo StreamInfo;

private:
  TFlacBlock *FindBlock(uint8_t type);
  // The new metadata area: the kept blocks, then padding, by the padding plan.
  std::optional<Bytes> PlanMetadata();
  // Writes Blocks back by the padding plan; file is the audio file, open
  // for reading and writing.
  TagResult WriteBlocks(IFileSystem &fs, const WideString &path, IFile &file);
};

} // namespace tunbrix
