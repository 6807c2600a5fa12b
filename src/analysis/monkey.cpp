// Monkey's Audio: "MAC " and a version; before 3.98 one fixed header, from
// 3.98 on a descriptor followed by the header.
#include <algorithm>
#include <exception>

#include "analysis/streamformats.h"
#include "analysis/streamread.h"

namespace tunbrix {
namespace {

using namespace streamread;

constexpr uint16_t kDescriptorVersion = 3980;
constexpr uint32_t kDescriptorSize = 52;
constexpr uint32_t kHeaderSize = 24;

constexpr uint32_t kFlag8Bit = 1;
constexpr uint32_t kFlagPeakLevel = 4;
constexpr uint32_t kFlag24Bit = 8;

const char *LevelName(uint32_t level) {
  switch (level) {
  case 1000: return "Fast";
  case 2000: return "Normal";
  case 3000: return "High";
  case 4000: return "Extra High";
  case 5000: return "Insane";
  case 6000: return "BrainDead";
  default: return "";
  }
}

uint64_t TotalSamples(uint32_t frames, uint32_t blocksPerFrame, uint32_t finalFrameBlocks) {
  return frames == 0 ? 0 : uint64_t(frames - 1) * blocksPerFrame + finalFrameBlocks;
}

// The old header, 36 bytes from "MAC ": level, flags, channels, sample rate,
// the WAV header and terminating sizes, frames, final frame blocks, peak.
bool ReadOldHeader(IFile &file, int64_t start, TAudioFmtResult &r, uint64_t &samples) {
  uint8_t h[36];
  if (!ReadAt(file, start, h, sizeof h)) return false;
  const uint32_t level = Le16(h + 6);
  r.ModeValue = level;
  r.FormatFlags = Le16(h + 8);
  r.Channels = Le16(h + 10);
  r.SampleRate = Le32(h + 12);
  r.BitsPerSample = (r.FormatFlags & kFlag8Bit) ? 8 : (r.FormatFlags & kFlag24Bit) ? 24 : 16;
  if (r.FormatFlags & kFlagPeakLevel) {
    r.TrackPeakValue = Le32(h + 32);
    r.HasGain = true;
  }
  // The frame size grew with the versions; it is not stored.
  uint32_t blocksPerFrame = 9216;
  if (r.Version >= 3950)
    blocksPerFrame = 294912;
  else if (r.Version >= 3900 || (r.Version >= 3800 && level == 4000))
    blocksPerFrame = 73728;
  samples = TotalSamples(Le32(h + 24), blocksPerFrame, Le32(h + 28));
  return true;
}

// The descriptor gives its own length and the header's; the header: level,
// flags, blocks per frame, final frame blocks, frames, bits, channels, rate.
bool ReadNewHeader(IFile &file, int64_t start, TAudioFmtResult &r, uint64_t &samples) {
  uint8_t d[kDescriptorSize];
  if (!ReadAt(file, start, d, sizeof d)) return false;
  const uint32_t descriptorLength = Le32(d + 8);
  if (descriptorLength < kDescriptorSize) return false;
  const uint32_t headerLength = std::min(Le32(d + 12), kHeaderSize);
  uint8_t h[kHeaderSize] = {};
  if (!ReadAt(file, start + descriptorLength, h, headerLength)) return false;
  r.ModeValue = Le16(h);
  r.FormatFlags = Le16(h + 2);
  r.BitsPerSample = Le16(h + 16);
  r.Channels = Le16(h + 18);
  r.SampleRate = Le32(h + 20);
  const uint32_t frames = Le32(h + 12);
  samples = TotalSamples(frames, Le32(h + 4), Le32(h + 8));
  return frames != 0;
}

void ReadStream(IFile &file, int64_t start, const TTagFacts &tags, TAudioFmtResult &r) {
  uint8_t h[6];
  if (!ReadAt(file, start, h, sizeof h) || !SameBytes(h, "MAC ", 4)) return;
  r.Version = Le16(h + 4);
  uint64_t samples = 0;
  const bool ok = r.Version < kDescriptorVersion ? ReadOldHeader(file, start, r, samples)
                                                 : ReadNewHeader(file, start, r, samples);
  if (!ok) return;
  r.ModeName = LevelName(r.ModeValue);
  r.Recognised = true;
  r.StreamType = kStreamMonkey;
  if (!SetLengthFromSamples(samples, r.SampleRate, r)) return;
  SetBitrateFromLength(AudioBytes(r, tags), r);
}

} // namespace

void AnalyseMonkey(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                   TAudioFmtResult &result) {
  try {
    auto file = OpenStream(fs, path, result);
    if (file) ReadStream(*file, tags.StartPosition(), tags, result);
  } catch (const std::exception &) {
    // What the header gave stays.
  }
}

} // namespace tunbrix
