// WavPack 4 and later: a file of "wvpk" blocks, each with a 32-byte header
// and metadata sub-blocks. The first block tells the whole stream's format.
#include <algorithm>
#include <exception>

#include "analysis/streamformats.h"
#include "analysis/streamread.h"

namespace tunbrix {
namespace {

using namespace streamread;

constexpr size_t kHeaderSize = 32;
constexpr uint16_t kMinVersion = 0x402; // the versions decoders accept
constexpr uint16_t kMaxVersion = 0x410;
constexpr uint32_t kUnknownSamples = 0xFFFFFFFF;

constexpr uint32_t kMonoFlag = 0x4;
constexpr uint32_t kInitialBlock = 0x800;
constexpr uint32_t kDsdFlag = 0x80000000;
constexpr int kRateShift = 23;
constexpr uint32_t kCustomRate = 15;
constexpr uint32_t kSampleRates[kCustomRate] = {6000,  8000,  9600,  11025, 12000,
                                                16000, 22050, 24000, 32000, 44100,
                                                48000, 64000, 88200, 96000, 192000};

// Sub-block ids (the low six bits of the id byte).
constexpr uint8_t kIdMask = 0x3F;
constexpr uint8_t kOddSize = 0x40;
constexpr uint8_t kLarge = 0x80;
constexpr uint8_t kIdChannelInfo = 0x0D;
constexpr uint8_t kIdDsdBlock = 0x0E;
constexpr uint8_t kIdSampleRate = 0x27;

// So many blocks hold weeks of audio; counting stops there.
constexpr int kMaxBlocksCounted = 1 << 20;
// A block holds a dozen sub-blocks or so.
constexpr int kMaxSubBlocks = 256;

struct TBlockHeader {
  uint32_t blockSize = 0; // bytes after the first 8
  uint16_t version = 0;
  uint64_t totalSamples = 0;
  bool totalKnown = false;
  uint64_t blockIndex = 0;
  uint32_t blockSamples = 0;
  uint32_t flags = 0;
};

bool ReadBlockHeader(IFile &file, int64_t position, TBlockHeader &b) {
  uint8_t h[kHeaderSize];
  if (!ReadAt(file, position, h, sizeof h) || !SameBytes(h, "wvpk", 4)) return false;
  b.blockSize = Le32(h + 4);
  b.version = Le16(h + 8);
  // 40-bit counts: the low 32 bits all set mean an unknown total, so a total
  // that would have them so is stored one higher per 2^32 - 1.
  b.blockIndex = Le32(h + 16) + (uint64_t(h[10]) << 32);
  const uint32_t low = Le32(h + 12);
  b.totalKnown = low != kUnknownSamples;
  b.totalSamples = low + (uint64_t(h[11]) << 32) - h[11];
  b.blockSamples = Le32(h + 20);
  b.flags = Le32(h + 24);
  return b.blockSize >= kHeaderSize - 8 && b.version >= kMinVersion && b.version <= kMaxVersion;
}

// The format facts the flags cannot hold: more than two channels, a sample
// rate outside the table, the rate multiplier of DSD audio.
struct TExtraFormat {
  uint32_t channels = 0;
  uint32_t sampleRate = 0;
  int dsdShift = -1;
};

void ReadSubBlock(IFile &file, uint8_t id, int64_t position, uint32_t length, TExtraFormat &x) {
  uint8_t d[8];
  const uint8_t kind = id & kIdMask;
  if (kind == kIdChannelInfo && length >= 1 && length <= 7 && ReadAt(file, position, d, length))
    x.channels = length >= 6 ? (d[0] | (d[2] & 0x0F) << 8) + 1u : d[0];
  else if (kind == kIdSampleRate && (length == 3 || length == 4) &&
           ReadAt(file, position, d, length))
    x.sampleRate = d[0] | d[1] << 8 | d[2] << 16 | (length == 4 ? uint32_t(d[3] & 0x7F) << 24 : 0);
  else if (kind == kIdDsdBlock && length >= 1 && ReadAt(file, position, d, 1))
    x.dsdShift = d[0] < 32 ? d[0] : -1;
}

TExtraFormat ReadSubBlocks(IFile &file, int64_t position, int64_t end) {
  TExtraFormat x;
  for (int n = 0; n < kMaxSubBlocks && position + 2 <= end; ++n) {
    uint8_t h[4];
    if (!ReadAt(file, position, h, 2)) break;
    uint32_t words = h[1];
    int headerLength = 2;
    if (h[0] & kLarge) {
      if (!ReadAt(file, position, h, 4)) break;
      words = h[1] | h[2] << 8 | uint32_t(h[3]) << 16;
      headerLength = 4;
    }
    const uint32_t bytes = words * 2;
    const int64_t data = position + headerLength;
    if (data + bytes > end) break;
    const uint32_t length = (h[0] & kOddSize) && bytes > 0 ? bytes - 1 : bytes;
    ReadSubBlock(file, h[0], data, length, x);
    position = data + bytes;
  }
  return x;
}

// Without a known total the samples are counted block by block; the blocks
// of one multichannel frame share its samples, so only first blocks count.
uint64_t CountSamples(IFile &file, int64_t position, int64_t fileSize) {
  uint64_t samples = 0;
  TBlockHeader b;
  for (int n = 0; n < kMaxBlocksCounted && position < fileSize; ++n) {
    if (!ReadBlockHeader(file, position, b)) break;
    if (b.flags & kInitialBlock) samples += b.blockSamples;
    position += 8 + int64_t(b.blockSize);
  }
  return samples;
}

void ReadStream(IFile &file, int64_t start, const TTagFacts &tags, TAudioFmtResult &r) {
  TBlockHeader b;
  if (!ReadBlockHeader(file, start, b)) return;
  r.StreamType = kStreamWavPack;
  r.Recognised = true;
  r.Version = b.version;
  r.BitsPerSample = ((b.flags & 3) + 1) * 8;
  r.Channels = (b.flags & kMonoFlag) ? 1 : 2;
  const uint32_t rateIndex = (b.flags >> kRateShift) & 0x0F;
  uint32_t storedRate = rateIndex < kCustomRate ? kSampleRates[rateIndex] : 0;
  const int64_t blockEnd = std::min<int64_t>(start + 8 + int64_t(b.blockSize), r.FileSize);
  const TExtraFormat extra = ReadSubBlocks(file, start + kHeaderSize, blockEnd);
  if (extra.channels) r.Channels = extra.channels;
  if (rateIndex == kCustomRate) storedRate = extra.sampleRate;
  r.SampleRate = storedRate;
  // DSD is stored as bytes of eight 1-bit samples at a divided rate; the
  // counts stay in stored units, so the length uses the stored rate.
  if (b.flags & kDsdFlag) {
    r.BitsPerSample = 1;
    if (extra.dsdShift >= 0 && !ToU32(uint64_t(storedRate) << extra.dsdShift, r.SampleRate)) return;
  }
  const uint64_t samples =
      b.totalKnown && b.blockIndex == 0 ? b.totalSamples : CountSamples(file, start, r.FileSize);
  if (!SetLengthFromSamples(samples, storedRate, r)) return;
  SetBitrateFromLength(AudioBytes(r, tags), r);
}

} // namespace

void AnalyseWavPack(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                    TAudioFmtResult &result) {
  try {
    auto file = OpenStream(fs, path, result);
    if (file) ReadStream(*file, tags.StartPosition(), tags, result);
  } catch (const std::exception &) {
    // What the header gave stays.
  }
}

} // namespace tunbrix
