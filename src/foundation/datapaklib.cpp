#include "foundation/datapaklib.h"

#include <utility>

#include "foundation/crc32.h"
#include "foundation/text_types.h"

namespace tunbrix {
namespace {

// ---- inflate (RFC 1951)
// Our own pack holds stored entries only, but a pack rebuilt with an ordinary
// ZIP tool is deflated; decompressing keeps such a pack working. Every read is
// bounds-checked; a malformed stream, or one that does not give exactly the
// size its header names, gives nothing.

class BitReader {
public:
  explicit BitReader(const Bytes &in) : in_(in) {}

  // n (at most 16) bits, least significant first. Past the end of the input
  // it gives zeros and marks the overrun, which the callers check.
  uint32_t Bits(int n) {
    while (count_ < n) {
      uint32_t byte = 0;
      if (pos_ < in_.size())
        byte = in_[pos_++];
      else
        overrun_ = true;
      buffer_ |= byte << count_;
      count_ += 8;
    }
    const uint32_t value = buffer_ & ((1u << n) - 1);
    buffer_ >>= n;
    count_ -= n;
    return value;
  }

  // Drops the rest of the current byte and takes count whole bytes.
  bool TakeBytes(size_t count, Bytes &out) {
    buffer_ = 0;
    count_ = 0;
    if (count > in_.size() - pos_) return false;
    out.insert(out.end(), in_.begin() + static_cast<std::ptrdiff_t>(pos_),
               in_.begin() + static_cast<std::ptrdiff_t>(pos_ + count));
    pos_ += count;
    return true;
  }

  bool Overrun() const { return overrun_; }

private:
  const Bytes &in_;
  size_t pos_ = 0;
  uint32_t buffer_ = 0;
  int count_ = 0;
  bool overrun_ = false;
};

constexpr int kMaxCodeLength = 15;

// A canonical Huffman code: how many codes each length has, and the symbols
// in code order.
struct Huffman {
  std::array<uint16_t, kMaxCodeLength + 1> count{};
  std::array<uint16_t, 288> symbol{};
};

// Codes left unused: 0 for a complete code, > 0 incomplete, < 0 over-subscribed.
int BuildHuffman(Huffman &h, const uint8_t *lengths, int n) {
  h.count.fill(0);
  for (int s = 0; s < n; ++s)
    ++h.count[lengths[s]];
  if (h.count[0] == n) return 0; // no codes: any use of it fails in Decode
  int left = 1;
  for (int len = 1; len <= kMaxCodeLength; ++len) {
    left = (left << 1) - h.count[len];
    if (left < 0) return left;
  }
  std::array<uint16_t, kMaxCodeLength + 1> offset{};
  for (int len = 1; len < kMaxCodeLength; ++len)
    offset[len + 1] = offset[len] + h.count[len];
  for (int s = 0; s < n; ++s)
    if (lengths[s] != 0) h.symbol[offset[lengths[s]]++] = static_cast<uint16_t>(s);
  return left;
}

// An incomplete code is valid only as a single code of length 1.
bool UsableHuffman(Huffman &h, const uint8_t *lengths, int n) {
  const int left = BuildHuffman(h, lengths, n);
  return left == 0 || (left > 0 && n == h.count[0] + h.count[1]);
}

// The next symbol, or -1 for a bit pattern that is no code.
int Decode(BitReader &in, const Huffman &h) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= kMaxCodeLength; ++len) {
    code |= static_cast<int>(in.Bits(1));
    const int count = h.count[len];
    if (code - count < first) return h.symbol[index + (code - first)];
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -1;
}

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The symbols of one compressed block, up to its end-of-block code.
bool InflateCodes(BitReader &in, Bytes &out, size_t limit, const Huffman &literals,
                  const Huffman &distances) {
  for (;;) {
    int symbol = Decode(in, literals);
    if (symbol < 0 || in.Overrun()) return false;
    if (symbol < 256) {
      if (out.size() >= limit) return false;
      out.push_back(static_cast<uint8_t>(symbol));
      continue;
    }
    if (symbol == 256) return true;
    symbol -= 257;
    if (symbol >= 29) return false;
    const size_t length = kLengthBase[symbol] + in.Bits(kLengthExtra[symbol]);
    const int code = Decode(in, distances);
    if (code < 0 || code >= 30) return false;
    const size_t distance = kDistanceBase[code] + in.Bits(kDistanceExtra[code]);
    if (in.Overrun() || distance > out.size() || length > limit - out.size()) return false;
    for (size_t i = 0; i < length; ++i) {
      const uint8_t byte = out[out.size() - distance];
      out.push_back(byte);
    }
  }
}

bool InflateStored(BitReader &in, Bytes &out, size_t limit) {
  Bytes header;
  if (!in.TakeBytes(4, header)) return false;
  const size_t length = header[0] | (header[1] << 8);
  const size_t complement = header[2] | (header[3] << 8);
  if (length != (~complement & 0xFFFFu) || length > limit - out.size()) return false;
  return in.TakeBytes(length, out);
}

bool InflateFixed(BitReader &in, Bytes &out, size_t limit) {
  uint8_t lengths[288];
  for (int s = 0; s < 288; ++s)
    lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
  Huffman literals, distances;
  BuildHuffman(literals, lengths, 288);
  for (int s = 0; s < 30; ++s)
    lengths[s] = 5;
  BuildHuffman(distances, lengths, 30);
  return InflateCodes(in, out, limit, literals, distances);
}

bool InflateDynamic(BitReader &in, Bytes &out, size_t limit) {
  static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                         11, 4,  12, 3, 13, 2, 14, 1, 15};
  const int literalCount = static_cast<int>(in.Bits(5)) + 257;
  const int distanceCount = static_cast<int>(in.Bits(5)) + 1;
  const int lengthCodeCount = static_cast<int>(in.Bits(4)) + 4;
  if (literalCount > 286 || distanceCount > 30) return false;

  uint8_t lengths[286 + 30] = {};
  for (int i = 0; i < lengthCodeCount; ++i)
    lengths[kOrder[i]] = static_cast<uint8_t>(in.Bits(3));
  Huffman lengthCode;
  if (BuildHuffman(lengthCode, lengths, 19) != 0) return false;

  const int total = literalCount + distanceCount;
  for (int index = 0; index < total;) {
    const int symbol = Decode(in, lengthCode);
    if (symbol < 0 || in.Overrun()) return false;
    if (symbol < 16) {
      lengths[index++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint8_t repeated = 0;
    int times;
    if (symbol == 16) {
      if (index == 0) return false;
      repeated = lengths[index - 1];
      times = 3 + static_cast<int>(in.Bits(2));
    } else if (symbol == 17) {
      times = 3 + static_cast<int>(in.Bits(3));
    } else {
      times = 11 + static_cast<int>(in.Bits(7));
    }
    if (times > total - index) return false;
    while (times-- > 0)
      lengths[index++] = repeated;
  }
  if (lengths[256] == 0) return false; // a block must be able to end

  Huffman literals, distances;
  if (!UsableHuffman(literals, lengths, literalCount) ||
      !UsableHuffman(distances, lengths + literalCount, distanceCount))
    return false;
  return InflateCodes(in, out, limit, literals, distances);
}

// The decompressed data, which must be exactly size bytes.
std::optional<Bytes> Inflate(const Bytes &in, size_t size) {
  BitReader bits(in);
  Bytes out;
  bool last = false;
  while (!last) {
    last = bits.Bits(1) != 0;
    bool ok = false;
    switch (bits.Bits(2)) {
    case 0: ok = InflateStored(bits, out, size); break;
    case 1: ok = InflateFixed(bits, out, size); break;
    case 2: ok = InflateDynamic(bits, out, size); break;
    default: break;
    }
    if (!ok || bits.Overrun()) return std::nullopt;
  }
  if (out.size() != size) return std::nullopt;
  return out;
}

// ---- the archive

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kEncryptedFlag = 0x0001;
constexpr uint16_t kDataDescriptorFlag = 0x0008;
constexpr uint16_t kStored = 0, kDeflated = 8;
// No plain file name comes near this; such an entry is passed over.
constexpr size_t kMaxNameLength = 1024;

uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t *p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }

std::string LowerAscii(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

} // namespace

CDataPak::CDataPak(IFileSystem &fs, const WideString &packPath)
    : fs_(fs), packPath_(packPath), packDirectory_(ExtractFilePathW(packPath)) {
  Index();
}

void CDataPak::Index() {
  archive_ = fs_.Open(packPath_, FileMode::Read);
  if (!archive_) return;
  const int64_t fileSize = archive_->Size();
  if (fileSize < 0) {
    archive_.reset();
    return;
  }
  // Every step moves on by at least one header, so the scan always ends.
  int64_t position = 0;
  while (IndexEntry(position, fileSize)) {
  }
}

bool CDataPak::IndexEntry(int64_t &position, int64_t fileSize) {
  const std::optional<Bytes> header = ReadUpTo(*archive_, position, kLocalHeaderSize);
  if (!header) {
    archive_.reset();
    return false;
  }
  // The central directory, or anything else after the last entry, ends the scan.
  if (header->size() < kLocalHeaderSize || Get32(header->data()) != kLocalHeaderSignature)
    return false;
  const uint8_t *h = header->data();
  const uint16_t flags = Get16(h + 6);
  const uint32_t storedSize = Get32(h + 18);
  const size_t nameLength = Get16(h + 26);
  const int64_t nameOffset = position + static_cast<int64_t>(kLocalHeaderSize);
  const int64_t dataOffset = nameOffset + static_cast<int64_t>(nameLength) + Get16(h + 28);
  const int64_t dataEnd = dataOffset + storedSize;
  // With a data descriptor the sizes follow the data, so the next header
  // cannot be found; an entry running past the end is cut off.
  if (((flags & kDataDescriptorFlag) && storedSize == 0) || dataEnd > fileSize) return false;

  if (nameLength > 0 && nameLength <= kMaxNameLength) {
    const std::optional<Bytes> name = ReadUpTo(*archive_, nameOffset, nameLength);
    if (!name) {
      archive_.reset();
      return false;
    }
    if (name->size() < nameLength) return false;
    TDataPakFile record;
    record.name = LowerAscii(std::string(name->begin(), name->end()));
    record.hash = Crc32(record.name);
    record.dataOffset = dataOffset;
    record.storedSize = storedSize;
    record.fullSize = Get32(h + 22);
    record.method = Get16(h + 8);
    record.encrypted = (flags & kEncryptedFlag) != 0;
    Add(std::move(record));
  }
  position = dataEnd;
  return true;
}

void CDataPak::Add(TDataPakFile record) {
  buckets_[record.hash & 0xFFu].push_front(std::move(record));
  ++entryCount_;
}

const TDataPakFile *CDataPak::Find(const std::string &name) const {
  const std::string key = LowerAscii(name);
  const uint32_t hash = Crc32(key);
  for (const TDataPakFile &record : buckets_[hash & 0xFFu])
    if (record.hash == hash && record.name == key) return &record;
  return nullptr;
}

std::optional<Bytes> CDataPak::ReadEntry(const TDataPakFile &record) {
  if (record.encrypted) return std::nullopt;
  if (record.method != kStored && record.method != kDeflated) return std::nullopt;
  // A stored entry whose two sizes differ is damaged.
  if (record.method == kStored && record.storedSize != record.fullSize) return std::nullopt;
  std::optional<Bytes> data = ReadUpTo(*archive_, record.dataOffset, record.storedSize);
  if (!data || data->size() != record.storedSize) return std::nullopt;
  if (record.method == kDeflated) data = Inflate(*data, record.fullSize);
  return data;
}

std::optional<Bytes> CDataPak::ReadFile(const std::string &name) {
  // A name with a NUL byte would open a file under a shorter name.
  if (name.find('\0') == std::string::npos) {
    if (auto loose = fs_.Open(packDirectory_ + SysToWide(name), FileMode::Read)) {
      if (std::optional<Bytes> content = ReadAll(*loose)) {
        if (content->empty()) return std::nullopt;
        return content;
      }
    }
  }
  if (!archive_) return std::nullopt;
  const TDataPakFile *record = Find(name);
  if (!record) return std::nullopt;
  std::optional<Bytes> content = ReadEntry(*record);
  if (!content || content->empty()) return std::nullopt;
  return content;
}

std::unique_ptr<MemoryFile> CDataPak::ReadStream(const std::string &name) {
  std::optional<Bytes> content = ReadFile(name);
  if (!content) return nullptr;
  return std::make_unique<MemoryFile>(std::move(*content));
}

} // namespace tunbrix
