// MPEG audio streams (".mp3", ".mp2"): the frame search in a sliding window
// near the start of the file, the Xing, Info, VBRI and LAME headers of the
// first frame, bitrate and length, and the LAME version that made the file.
// Only a few small windows are read, never the whole file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "analysis/audioresult.h"
#include "analysis/lametag.h"
#include "foundation/file_io.h"

namespace tunbrix {

// Receives the analysis's diagnostic lines; an empty function drops them.
using DebugLog = std::function<void(std::string_view)>;

enum MpegVersionCode : uint32_t { kMpeg25 = 0, kMpegReserved = 1, kMpeg2 = 2, kMpeg1 = 3 };
enum MpegLayerCode : uint32_t { kLayerReserved = 0, kLayer3 = 1, kLayer2 = 2, kLayer1 = 3 };
constexpr uint32_t kChannelModeMono = 3;

// One 4-byte frame header, as the MPEG audio standards lay it out.
struct TMpegHeader {
  uint32_t Version = 0;
  uint32_t Layer = 0;
  bool Protection = false; // the bit as stored: 0 means a CRC follows
  uint32_t BitrateIndex = 0;
  uint32_t SampleRateIndex = 0;
  bool Padding = false;
  bool Private = false;
  uint32_t ChannelMode = 0;
  uint32_t ModeExtension = 0;
  bool Copyright = false;
  bool Original = false;
  uint32_t Emphasis = 0;
  uint32_t Bitrate = 0;    // kbit/s; 0 for free format and the reserved version
  uint32_t SampleRate = 0; // Hz; 0 for the reserved version
  bool Valid = false;
};

// Decodes b[0..3].
TMpegHeader DecodeMpegHeader(const uint8_t *b);
// The frame-length coefficient C (with the factor 1000 of kbit/s in it).
uint32_t MpegCoefficient(const TMpegHeader &h);
// The padding P added to a padded frame.
uint32_t MpegPadding(const TMpegHeader &h);
// truncate(bitrate x C / sample rate) + P; 0 when the rate is unknown.
uint32_t MpegFrameLength(const TMpegHeader &h);

std::string MpegVersionName(uint32_t version);
std::string MpegLayerName(uint32_t layer);
std::string MpegChannelModeName(uint32_t mode);

// Analyses the MPEG stream of path into out (FileSize, Recognised,
// StreamType and the stream's values) and gives lameTag the LAME tag of the
// first frame, or none. Never fails: whatever goes wrong leaves the results
// as far as they were set.
void AnalyseMpeg(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                 TAudioFmtResult &out, std::unique_ptr<CLameTag> &lameTag,
                 const DebugLog &log = {});

// Sets out.Encoder from the LAME version texts in the first and the last
// kilobyte of the stream; the later version wins.
void DetectEncoder(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                   TAudioFmtResult &out, const DebugLog &log = {});

// The encoder text ("Lame 3.100", "Lame 3.90 (beta)") of the LAME version
// string nearest the end of block, or "" when it holds none.
std::string FindLameEncoder(const uint8_t *block, size_t size);

// Orders two encoder texts: by their LAME version numbers when both carry
// one, else byte-wise. Greater than 0 when a is the later.
int CompareEncoderTexts(std::string_view a, std::string_view b);

} // namespace tunbrix
