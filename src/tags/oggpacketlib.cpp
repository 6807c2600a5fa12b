#include "tags/oggpacketlib.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace tunbrix {
namespace {

// Eight tables, so that eight bytes are folded in per step: the setup
// header page is read on every analysis and is kilobytes long.
using TOggCrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr TOggCrcTables MakeOggCrcTables() {
  TOggCrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n << 24;
    for (int k = 0; k < 8; ++k)
      c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    tables[0][n] = c;
  }
  for (size_t t = 1; t < tables.size(); ++t)
    for (uint32_t n = 0; n < 256; ++n)
      tables[t][n] = (tables[t - 1][n] << 8) ^ tables[0][tables[t - 1][n] >> 24];
  return tables;
}

constexpr TOggCrcTables kOggCrc = MakeOggCrcTables();

constexpr int64_t kTailWindow = 4096;
// Consecutive windows overlap by 32 bytes, so a header cut by one window's
// start lies whole in the next one.
constexpr int64_t kTailStepBack = 8160;
// The Vorbis headers open their stream; a stream that does not show them
// this soon is something else, and searching on would read the whole file.
constexpr int64_t kMaxHeaderSkip = 65536;
// Texts are read in pieces so that a length field that lies never makes us
// allocate more than the data actually present.
constexpr size_t kTextChunk = 65536;

constexpr uint8_t kEndOfStream = 0x04;

uint32_t Le32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int64_t Le64(const uint8_t *p) { return int64_t(uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32); }

// Bytes read into buf, fewer only at the end of the file; -1 on failure.
int64_t ReadFull(IFile &file, void *buf, size_t count) {
  auto *out = static_cast<uint8_t *>(buf);
  size_t have = 0;
  while (have < count) {
    const int64_t got = file.Read(out + have, count - have);
    if (got < 0) return -1;
    if (got == 0) break;
    have += size_t(got);
  }
  return int64_t(have);
}

bool IsPageStart(const uint8_t *p) { return std::memcmp(p, "OggS", 4) == 0 && p[4] == 0; }

} // namespace

uint32_t OggCrcUpdate(uint32_t crc, const void *data, size_t size) {
  const auto *p = static_cast<const uint8_t *>(data);
  const auto &t = kOggCrc;
  for (; size >= 8; p += 8, size -= 8) {
    crc ^= uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xFFu] ^ t[5][(crc >> 8) & 0xFFu] ^
          t[4][crc & 0xFFu] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; size > 0; ++p, --size)
    crc = (crc << 8) ^ t[0][((crc >> 24) ^ *p) & 0xFFu];
  return crc;
}

// ---- COggStream -----------------------------------------------------------

bool COggStream::Open(IFileSystem &fs, const WideString &path) {
  return Open(fs.Open(path, FileMode::Read));
}

bool COggStream::Open(std::unique_ptr<IFile> file) {
  Close();
  if (!file) return false;
  file_ = std::move(file);
  ended_ = false;
  return NextPage();
}

void COggStream::Close() {
  file_.reset();
  body_.clear();
  bodyPos_ = 0;
  haveSerial_ = false;
  ended_ = true;
  StreamSerial = 0;
  LastPageEos = false;
}

bool COggStream::NextPage() {
  body_.clear();
  bodyPos_ = 0;
  if (ended_) return false;
  if (ReadPage()) return true;
  body_.clear();
  ended_ = true;
  return false;
}

bool COggStream::ReadPage() {
  for (;;) {
    uint8_t header[kOggPageHeaderSize];
    if (ReadFull(*file_, header, sizeof header) != int64_t(sizeof header)) return false;
    if (!IsPageStart(header)) return false;
    const uint32_t serial = Le32(header + 14);
    if (!haveSerial_) {
      StreamSerial = serial;
      haveSerial_ = true;
    }
    const uint32_t storedCrc = Le32(header + 22);
    std::memset(header + 22, 0, 4);
    uint32_t crc = OggCrcUpdate(0, header, sizeof header);

    uint8_t segments[255];
    const size_t segmentCount = header[26];
    if (ReadFull(*file_, segments, segmentCount) != int64_t(segmentCount)) return false;
    crc = OggCrcUpdate(crc, segments, segmentCount);
    size_t bodySize = 0;
    for (size_t i = 0; i < segmentCount; ++i)
      bodySize += segments[i];

    if (serial != StreamSerial) {
      const int64_t here = file_->Position();
      if (here < 0 || !file_->Seek(here + int64_t(bodySize))) return false;
      continue;
    }
    body_.resize(bodySize);
    if (ReadFull(*file_, body_.data(), bodySize) != int64_t(bodySize)) return false;
    return OggCrcUpdate(crc, body_.data(), bodySize) == storedCrc;
  }
}

size_t COggStream::ReadData(void *buffer, size_t count) {
  auto *out = static_cast<uint8_t *>(buffer);
  size_t done = 0;
  while (done < count) {
    if (bodyPos_ == body_.size() && !NextPage()) break;
    const size_t n = std::min(count - done, body_.size() - bodyPos_);
    if (out) std::memcpy(out + done, body_.data() + bodyPos_, n);
    bodyPos_ += n;
    done += n;
  }
  return done;
}

bool COggStream::SyncTo(const void *pattern, size_t length, int64_t maxSkip) {
  if (length == 0) return true;
  Bytes window(length);
  if (ReadData(window.data(), length) != length) return false;
  for (int64_t skipped = 0;; ++skipped) {
    if (std::memcmp(window.data(), pattern, length) == 0) return true;
    if (maxSkip >= 0 && skipped >= maxSkip) return false;
    uint8_t next = 0;
    if (ReadData(&next, 1) != 1) return false;
    std::memmove(window.data(), window.data() + 1, length - 1);
    window[length - 1] = next;
  }
}

bool COggStream::FindLastPage(const Bytes &block, int64_t &granule) {
  if (block.size() < kOggPageHeaderSize) return false;
  for (size_t i = block.size() - kOggPageHeaderSize + 1; i-- > 0;) {
    const uint8_t *p = &block[i];
    if (p[0] != 'O' || !IsPageStart(p)) continue;
    // Only our own stream counts: in a multiplexed or chained file the last
    // page may belong to another one, whose granules mean something else.
    if (haveSerial_ && Le32(p + 14) != StreamSerial) continue;
    // A page on which no packet ends carries no position.
    if (Le64(p + 6) == -1) continue;
    granule = Le64(p + 6);
    LastPageEos = (p[5] & kEndOfStream) != 0;
    return true;
  }
  return false;
}

int64_t COggStream::LastGranule() {
  LastPageEos = false;
  const int64_t size = FileSize();
  if (size < 0) return -1;
  const int64_t keep = file_->Position();
  int64_t granule = -1;
  int64_t start = std::max<int64_t>(0, size - kTailWindow);
  for (;;) {
    const auto block = ReadUpTo(*file_, start, size_t(kTailWindow));
    if (!block || FindLastPage(*block, granule) || start == 0) break;
    start = std::max<int64_t>(0, start + int64_t(block->size()) - kTailStepBack);
  }
  if (keep >= 0) file_->Seek(keep);
  return granule;
}

int64_t COggStream::FileSize() {
  if (!file_) return -1;
  const int64_t size = file_->Size();
  return size < 0 ? -1 : size;
}

// ---- COggVorbis -----------------------------------------------------------

namespace {

bool ReadLe32(COggStream &stream, uint32_t &value) {
  uint8_t b[4];
  if (stream.ReadData(b, 4) != 4) return false;
  value = Le32(b);
  return true;
}

bool ReadText(COggStream &stream, uint32_t length, std::string &text) {
  text.clear();
  while (text.size() < length) {
    const size_t have = text.size();
    const size_t piece = std::min<size_t>(kTextChunk, length - have);
    text.resize(have + piece);
    if (stream.ReadData(text.data() + have, piece) != piece) return false;
  }
  return true;
}

} // namespace

void COggVorbis::Reset() {
  Stream.Close();
  Version = 0;
  Channels = 0;
  SampleRate = 0;
  BitrateMaximum = BitrateNominal = BitrateMinimum = 0;
  BlockSize0 = BlockSize1 = 0;
  FramingFlag = false;
  Valid = false;
  LastGranule = -1;
  FileSize = -1;
}

bool COggVorbis::Read(IFileSystem &fs, const WideString &path) {
  return Read(fs.Open(path, FileMode::Read));
}

bool COggVorbis::Read(std::unique_ptr<IFile> file) {
  Reset();
  comments_->Clear();
  const bool opened = Stream.Open(std::move(file));
  FileSize = Stream.FileSize();
  if (opened && ReadIdentification()) {
    ReadComments();
    // The length does not depend on the comments, so a damaged comment page
    // still leaves it known.
    LastGranule = Stream.LastGranule();
  }
  Stream.Close();
  return Valid;
}

bool COggVorbis::ReadIdentification() {
  static const uint8_t kPacket[7] = {0x01, 'v', 'o', 'r', 'b', 'i', 's'};
  uint8_t h[23];
  if (!Stream.SyncTo(kPacket, sizeof kPacket, kMaxHeaderSkip)) return false;
  if (Stream.ReadData(h, sizeof h) != sizeof h) return false;
  Version = Le32(h);
  Channels = h[4];
  SampleRate = Le32(h + 5);
  BitrateMaximum = int32_t(Le32(h + 9));
  BitrateNominal = int32_t(Le32(h + 13));
  BitrateMinimum = int32_t(Le32(h + 17));
  BlockSize0 = h[21] & 0x0F;
  BlockSize1 = h[21] >> 4;
  FramingFlag = (h[22] & 1) != 0;
  Valid = Version == 0 && Channels > 0 && BlockSize1 >= BlockSize0 && SampleRate > 0 && FramingFlag;
  return true;
}

void COggVorbis::ReadComments() {
  static const uint8_t kPacket[7] = {0x03, 'v', 'o', 'r', 'b', 'i', 's'};
  CVorbisComments &list = *comments_;
  if (!Stream.SyncTo(kPacket, sizeof kPacket, kMaxHeaderSkip)) return;
  uint32_t length = 0;
  std::string text;
  if (!ReadLe32(Stream, length) || !ReadText(Stream, length, text)) return;
  list.Vendor = Utf8ToWide(text);
  int64_t total = 8 + int64_t(length);
  list.TotalSize = total;
  uint32_t count = 0;
  if (!ReadLe32(Stream, count)) return;
  for (uint32_t i = 0; i < count; ++i) {
    if (!ReadLe32(Stream, length) || !ReadText(Stream, length, text)) return;
    total += 4 + int64_t(length);
    list.TotalSize = total;
    list.AddCommentText(text); // a text without "=" is no comment and is skipped
  }
}

} // namespace tunbrix
