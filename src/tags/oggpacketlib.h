// Reads Ogg Vorbis files without a decoder: the page layer with its CRC, the
// Vorbis identification and comment headers, and the granule position of the
// last page, which gives the play length. Nothing is written through these
// classes; Ogg comments are written by an external program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/codepages.h"
#include "foundation/file_io.h"
#include "tags/vorbiscomments.h"

namespace tunbrix {

// The CRC of an Ogg page: polynomial 0x04C11DB7, most significant bit first,
// initial value 0, no final inversion. Continue over pieces by passing the
// previous result on.
uint32_t OggCrcUpdate(uint32_t crc, const void *data, size_t size);
inline uint32_t OggCrc(const void *data, size_t size) { return OggCrcUpdate(0, data, size); }

// Fixed part of a page header: "OggS", version, header type, granule
// position, serial number, page sequence number, CRC, segment count.
constexpr size_t kOggPageHeaderSize = 27;

// One logical stream of an Ogg file: the stream of the first page. Its page
// bodies are delivered as one continuous byte stream; pages of other streams
// are passed over. A damaged page (bad header, CRC mismatch, short page) or a
// read error ends the data for good.
class COggStream {
public:
  // True when the file opened, its first page was read and its CRC matched.
  bool Open(IFileSystem &fs, const WideString &path);
  bool Open(std::unique_ptr<IFile> file);
  void Close();

  // True when the next page of the stream was read and its CRC matched; its
  // body is then the data that ReadData delivers next.
  bool NextPage();
  // Copies up to count bytes of stream data into buffer (nullptr skips them)
  // and returns how many; fewer at the end of the data.
  size_t ReadData(void *buffer, size_t count);
  // Reads on until the next length bytes equal pattern, sliding one byte at
  // a time, over at most maxSkip bytes when maxSkip is not negative. After
  // success the data continues right after the pattern.
  bool SyncTo(const void *pattern, size_t length, int64_t maxSkip = -1);
  // Granule position of the last page of the stream that has one, found by
  // searching 4 KiB windows backwards from the end of the file; -1 when there
  // is none. Sets LastPageEos. The reading position is kept.
  int64_t LastGranule();
  // The file's size; -1 when no file is open or its size is unknown.
  int64_t FileSize();

  uint32_t StreamSerial = 0;
  bool LastPageEos = false;

private:
  bool ReadPage();
  bool FindLastPage(const Bytes &block, int64_t &granule);

  std::unique_ptr<IFile> file_;
  Bytes body_;
  size_t bodyPos_ = 0;
  bool haveSerial_ = false;
  bool ended_ = true;
};

// The headers of an Ogg Vorbis stream and its play-length inputs.
class COggVorbis {
public:
  COggVorbis() = default;
  COggVorbis(const COggVorbis &) = delete;
  COggVorbis &operator=(const COggVorbis &) = delete;

  // Comments are read into list (the caller keeps owning it) instead of the
  // own list; nullptr goes back to the own list.
  void UseComments(CVorbisComments *list) { comments_ = list ? list : &ownComments_; }
  CVorbisComments &Comments() { return *comments_; }

  // Reads the identification and comment headers, the last granule position
  // and the file size. Reading stops quietly at the first fault; what was
  // read so far stays. Returns Valid.
  bool Read(IFileSystem &fs, const WideString &path);
  bool Read(std::unique_ptr<IFile> file);

  COggStream Stream;

  uint32_t Version = 0;
  int Channels = 0;
  uint32_t SampleRate = 0;
  int32_t BitrateMaximum = 0;
  int32_t BitrateNominal = 0;
  int32_t BitrateMinimum = 0;
  int BlockSize0 = 0; // exponents: the block sizes are 1 << exponent
  int BlockSize1 = 0;
  bool FramingFlag = false;
  bool Valid = false;
  int64_t LastGranule = -1;
  int64_t FileSize = -1;

private:
  void Reset();
  bool ReadIdentification();
  void ReadComments();

  CVorbisComments ownComments_;
  CVorbisComments *comments_ = &ownComments_;
};

} // namespace tunbrix
