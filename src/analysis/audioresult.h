// What the stream analysis of one file found: the result fields of the
// analyser, filled by the reader of the file's format. Unknown values stay 0
// or empty.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/codepages.h"

namespace tunbrix {

enum StreamTypeCode : uint8_t {
  kStreamNone = 0,
  kStreamMpeg = 1,
  kStreamMusePack = 2,
  kStreamFlac = 3,
  kStreamOggVorbis = 4,
  kStreamWave = 5,
  kStreamMonkey = 6,
  kStreamShorten = 7,
  kStreamCdTrack = 8,
  kStreamWavPack = 9,
};

struct TAudioFmtResult {
  WideString FileName;
  uint8_t StreamType = kStreamNone;
  bool Recognised = false;
  bool IsVBR = false;
  uint32_t Version = 0;
  uint32_t Layer = 0;
  uint32_t BitrateKbps = 0;
  double BitrateExact = 0;
  uint32_t SampleRate = 0;
  uint32_t Channels = 0;
  uint32_t BitsPerSample = 0;
  uint32_t FrameCount = 0;
  uint32_t LengthSec = 0;
  uint32_t LengthMs = 0;
  uint32_t ChannelMode = 0;
  uint32_t ModeValue = 0;
  uint32_t FormatFlags = 0;
  uint32_t MaxBand = 0;
  int64_t FileSize = 0;
  int64_t UncompressedSize = 0;
  std::string FormatTagName;
  std::string ModeName;
  std::string ChannelModeName;
  std::string VersionName;
  std::string LayerName;
  std::string Encoder;
  bool HasGain = false;
  uint32_t TrackPeakValue = 0;
  uint32_t AlbumPeakValue = 0;
  std::string TrackGainText;
  std::string AlbumGainText;
};

// What the readers need to know of the file's tags, taken from its
// aggregate tag before the stream is read.
struct TTagFacts {
  bool id3v2AtStart = false;  // an ID3v2 tag at offset 0
  int64_t id3v2Size = 0;      // its total size: the stream starts behind it
  bool id3v2AtEnd = false;    // an ID3v2 tag elsewhere (appended)
  int64_t id3v2EndSize = 0;   // that tag's total size
  bool hasID3v1 = false;
  int64_t lyrics3Size = 0;    // 0 without a Lyrics3 tag
  int64_t totalTagSize = 0;   // all tags found
  // Where every reader that honours it starts.
  int64_t StartPosition() const { return id3v2AtStart ? id3v2Size : 0; }
};

} // namespace tunbrix
