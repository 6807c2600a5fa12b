// RIFF files: WAVE with its format and data chunks, the WavPack streams of
// before version 4 that live in a WAVE data chunk, and the CD track files.
#include <algorithm>
#include <exception>
#include <string>

#include "analysis/streamformats.h"
#include "analysis/streamread.h"

namespace tunbrix {
namespace {

using namespace streamread;

std::string FormatTagName(uint16_t tag) {
  struct TName {
    uint16_t tag;
    const char *name;
  };
  static const TName kNames[] = {
      {1, "PCM"},
      {2, "Microsoft ADPCM"},
      {6, "CCITT A-Law"},
      {7, "CCITT u-Law"},
      {17, "IMA ADPCM"},
      {34, "DSP Group TrueSpeech(TM)"},
      {49, "GSM 6.10"},
      {66, "Microsoft G.723.1"},
      {85, "MPEG Layer 3"},
      {98, "Voxware v1.1.6/1.1.8 File-Mode Codecs"},
      {105, "Voxware v1.1.8 Bitstream-Mode Codecs"},
      {112, "Lernout & Hauspie CELP 4.8kbit/s"},
      {113, "Lernout & Hauspie SBC 8kbit/s"},
      {114, "Lernout & Hauspie SBC 12kbit/s"},
      {115, "Lernout & Hauspie SBC 16kbit/s"},
      {116, "Voxware MetaVoice"},
      {117, "Voxware MetaSound"},
      {304, "ACELP.net"},
      {352, "Windows Media Audio V1"},
      {353, "Windows Media Audio V2"},
      {1026, "IAC2"},
  };
  for (const auto &entry : kNames)
    if (entry.tag == tag) return entry.name;
  return std::to_string(tag);
}

// The common 16 bytes of every format chunk: format tag, channels, sample
// rate, average bytes per second, block align, bits per sample.
uint32_t ReadFormat(const uint8_t *f, TAudioFmtResult &r) {
  r.StreamType = kStreamWave;
  r.Recognised = true;
  r.FormatTagName = FormatTagName(Le16(f));
  r.Channels = Le16(f + 2);
  r.SampleRate = Le32(f + 4);
  r.BitsPerSample = Le16(f + 14);
  const uint32_t bytesPerSecond = Le32(f + 8);
  r.BitrateKbps = bytesPerSecond / 125;
  r.BitrateExact = bytesPerSecond / 125.0;
  return bytesPerSecond;
}

// A data chunk may claim more than the file holds: only the bytes present
// count.
void SetDataLength(uint32_t size, int64_t bytesLeft, uint32_t bytesPerSecond, TAudioFmtResult &r) {
  const uint64_t data = bytesLeft <= 0 ? 0 : std::min<uint64_t>(size, uint64_t(bytesLeft));
  if (data == 0 || bytesPerSecond == 0) return;
  if (ToU32(data * 1000 / bytesPerSecond, r.LengthMs))
    r.LengthSec = uint32_t(data / bytesPerSecond);
}

// WavPack before version 4: its header opens the data chunk; "wvpk", block
// size, version, flags (bit 0 mono) and total samples.
void ReadOldWavPack(IFile &file, int64_t position, const TTagFacts &tags, TAudioFmtResult &r) {
  uint8_t h[36];
  if (!ReadAt(file, position, h, sizeof h) || !SameBytes(h, "wvpk", 4)) return;
  r.StreamType = kStreamWavPack;
  r.Version = Le16(h + 8);
  r.Channels = (Le16(h + 12) & 1) ? 1 : 2;
  if (!SetLengthFromSamples(Le32(h + 16), r.SampleRate, r)) return;
  SetBitrateFromLength(AudioBytes(r, tags) - int64_t(Le32(h + 4)), r);
}

// Real files hold a handful of chunks; a file of countless tiny ones must not
// keep the reader busy.
constexpr int kMaxChunks = 4096;

void ReadChunks(IFile &file, int64_t position, bool wavPack, const TTagFacts &tags,
                TAudioFmtResult &r) {
  uint32_t bytesPerSecond = 0;
  bool haveFormat = false;
  for (int n = 0; n < kMaxChunks && position < r.FileSize; ++n) {
    uint8_t h[8];
    if (!ReadAt(file, position, h, sizeof h)) return;
    const uint32_t size = Le32(h + 4);
    const int64_t body = position + 8;
    if (SameBytes(h, "fmt ", 4) && size >= 16) {
      uint8_t f[16];
      if (!ReadAt(file, body, f, sizeof f)) return;
      bytesPerSecond = ReadFormat(f, r);
      haveFormat = true;
    } else if (SameBytes(h, "data", 4) && haveFormat) {
      if (wavPack)
        ReadOldWavPack(file, body, tags, r);
      else
        SetDataLength(size, r.FileSize - body, bytesPerSecond, r);
      return;
    }
    // Every chunk, the longer format chunks too, is passed over by its size;
    // a chunk of odd size is followed by a pad byte.
    position = body + size + (size & 1);
  }
}

} // namespace

void AnalyseRiffWave(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                     TAudioFmtResult &result) {
  try {
    const bool wavPack = HasExtension(path, u".wv");
    auto file = OpenStream(fs, path, result);
    if (!file) return;
    const int64_t start = tags.StartPosition();
    uint8_t h[12];
    if (!ReadAt(*file, start, h, sizeof h)) return;
    if (wavPack && SameBytes(h, "wvpk", 4)) {
      file.reset();
      AnalyseWavPack(fs, path, tags, result);
      return;
    }
    if (!SameBytes(h, "RIFF", 4) || !SameBytes(h + 8, "WAVE", 4)) return;
    ReadChunks(*file, start + 12, wavPack, tags, result);
  } catch (const std::exception &) {
    // What the chunks before the fault gave stays.
  }
}

void AnalyseCdTrack(IFileSystem &fs, const WideString &path, TAudioFmtResult &result) {
  try {
    auto file = OpenStream(fs, path, result);
    if (!file) return;
    // The track file has no tags: it starts at byte 0.
    uint8_t h[12];
    if (!ReadAt(*file, 0, h, sizeof h) || !SameBytes(h, "RIFF", 4) ||
        !SameBytes(h + 8, "CDDA", 4) || result.FileSize <= 12)
      return;
    uint8_t chunk[8 + 24];
    if (!ReadAt(*file, 12, chunk, sizeof chunk) || !SameBytes(chunk, "fmt ", 4) ||
        Le32(chunk + 4) < 24)
      return;
    // The track's length in sectors of 1/75 s.
    const uint32_t sectors = Le32(chunk + 8 + 12);
    result.StreamType = kStreamCdTrack;
    result.Recognised = true;
    RoundToU32(sectors * 1000.0 / 75, result.LengthMs);
    RoundToU32(sectors / 75.0, result.LengthSec);
    result.Channels = 2;
    result.SampleRate = 44100;
    result.BitsPerSample = 16;
    result.BitrateKbps = 1411;
    result.BitrateExact = 1411.2;
  } catch (const std::exception &) {
  }
}

} // namespace tunbrix
