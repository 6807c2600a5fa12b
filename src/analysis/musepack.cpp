// MusePack: the packed header of stream versions 4 to 6, the "MP+" header of
// version 7, and the packets of version 8 ("MPCK").
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "analysis/streamformats.h"
#include "analysis/streamread.h"
#include "foundation/crc32.h"

namespace tunbrix {
namespace {

using namespace streamread;

constexpr uint32_t kSampleRates[4] = {44100, 48000, 37800, 32000};
constexpr size_t kWindow = 1024;
constexpr uint32_t kSamplesPerFrame = 1152;

const char *ProfileName(uint32_t profile) {
  static const char *const kNames[16] = {"",
                                         "Unstable/Experimental",
                                         "",
                                         "",
                                         "",
                                         "below Telephone",
                                         "below Telephone",
                                         "Telephone",
                                         "Thumb",
                                         "Radio",
                                         "Standard",
                                         "Xtreme",
                                         "Insane",
                                         "BrainDead",
                                         "above BrainDead",
                                         "above BrainDead"};
  return profile < 16 ? kNames[profile] : "";
}

// The version byte of a version 7 encoder: the last digit tells a release
// (0), a beta (even) or an alpha (odd).
std::string EncoderText(uint32_t e) {
  char text[48];
  if (e % 10 == 0)
    std::snprintf(text, sizeof text, "Release %u.%u", e / 100, e / 10 % 10);
  else if (e % 2 == 0)
    std::snprintf(text, sizeof text, "Beta %u.%.2u", e / 100, e % 100);
  else
    std::snprintf(text, sizeof text, "--Alpha-- %u.%.2u", e / 100, e % 100);
  return text;
}

// ---- stream versions 4 to 7

bool ReadVersion7(const uint8_t *h, TAudioFmtResult &r) {
  const uint32_t major = h[3] & 0x0F;
  r.Version = (h[3] >> 4) + 10 * major;
  if (major != 7) return false;
  r.FrameCount = Le32(h + 4);
  r.ModeValue = h[10] >> 4;
  r.SampleRate = kSampleRates[h[10] & 0x03];
  r.MaxBand = h[11] & 0x3F;
  r.ChannelMode = (h[11] >> 6) & 1;
  r.TrackPeakValue = Le16(h + 12);
  r.TrackGainText = GainText(int16_t(Le16(h + 14)) / 100.0);
  r.AlbumPeakValue = Le16(h + 16);
  r.AlbumGainText = GainText(int16_t(Le16(h + 18)) / 100.0);
  r.HasGain = true;
  if (h[27] != 0) r.Encoder = EncoderText(h[27]);
  r.Channels = 2;
  return true;
}

bool ReadVersion4To6(const uint8_t *h, TAudioFmtResult &r) {
  const uint32_t w = Le32(h);
  const uint32_t v = (w >> 11) & 0x3FF;
  r.Version = 10 * v;
  r.FrameCount = v < 5 ? Le16(h + 6) : Le32(h + 4);
  // Stream versions begin at 4; a lower one is no MusePack header.
  if (v < 4 || v >= 7 || (w >> 22) != 0 || (w & 0x3F) != 1) return false;
  r.SampleRate = 44100;
  r.Channels = 2;
  // Before version 6 the count includes one frame too many.
  if (v < 6 && r.FrameCount > 0) --r.FrameCount;
  return true;
}

// Bitrate and length from the frame count: the last frame is half full.
void SetFrameLength(const TTagFacts &tags, TAudioFmtResult &r) {
  if (r.FrameCount == 0 || r.SampleRate == 0) return;
  const double seconds = (double(r.FrameCount) * kSamplesPerFrame - 576) / r.SampleRate;
  const double bytes = double(AudioBytes(r, tags));
  r.BitrateExact = bytes / 125 / seconds;
  if (!RoundToU32(r.BitrateExact, r.BitrateKbps)) return;
  if (r.BitrateExact > 0 && ToU32(bytes / (r.BitrateExact * 125) * 1000, r.LengthMs))
    r.LengthSec = r.LengthMs / 1000;
}

void AnalyseVersion4To7(const uint8_t *buf, size_t count, const TTagFacts &tags,
                        TAudioFmtResult &r) {
  if (count <= 82) return;
  size_t header = 0;
  bool plus = false;
  for (size_t i = 0; i + 3 < count && !plus; ++i) {
    if (SameBytes(buf + i, "MP+", 3)) {
      header = i;
      plus = true;
    }
  }
  if (header + 80 >= count - 3) return;
  if (!(plus ? ReadVersion7(buf + header, r) : ReadVersion4To6(buf, r))) return;
  r.Recognised = true;
  r.StreamType = kStreamMusePack;
  r.IsVBR = true;
  if (plus) r.ModeName = ProfileName(r.ModeValue);
  SetFrameLength(tags, r);
}

// ---- stream version 8

// Packet: two capital letters, the packet's whole size (key and size field
// included) as a number of 7-bit groups, high group first, each but the last
// with bit 7 set.
struct TPacket {
  char key[2];
  int64_t size = 0;
  int headerLength = 0;
};

constexpr int kMaxNumberBytes = 9; // 63 bits
constexpr int kMaxPacketsBeforeAudio = 64;
constexpr size_t kMaxHeaderPacket = 256;

bool ReadNumber(const uint8_t *p, size_t count, size_t &at, uint64_t &value) {
  value = 0;
  for (int i = 0; i < kMaxNumberBytes && at < count; ++i) {
    const uint8_t b = p[at++];
    value = value << 7 | (b & 0x7F);
    if (!(b & 0x80)) return true;
  }
  return false;
}

bool ReadPacketHeader(IFile &file, int64_t pos, TPacket &packet) {
  const auto h = ReadUpTo(file, pos, 2 + kMaxNumberBytes);
  if (!h || h->size() < 3) return false;
  for (int i = 0; i < 2; ++i) {
    if ((*h)[i] < 'A' || (*h)[i] > 'Z') return false;
    packet.key[i] = char((*h)[i]);
  }
  size_t at = 2;
  uint64_t size = 0;
  if (!ReadNumber(h->data(), h->size(), at, size) || size < at) return false;
  packet.size = int64_t(size);
  packet.headerLength = int(at);
  return true;
}

bool IsKey(const TPacket &packet, const char *key) {
  return packet.key[0] == key[0] && packet.key[1] == key[1];
}

// SH: CRC of the rest, stream version, sample count, beginning silence, then
// rate index (3 bits) and max band − 1 (5), channels − 1 (4), mid/side (1)
// and the frames per audio packet (3).
bool ReadStreamHeader(const uint8_t *p, size_t count, const TTagFacts &tags, TAudioFmtResult &r) {
  if (count < 5) return false;
  const uint32_t crc = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  if (Crc32(p + 4, count - 4) != crc || p[4] != 8) return false;
  size_t at = 5;
  uint64_t samples = 0, silence = 0;
  if (!ReadNumber(p, count, at, samples) || !ReadNumber(p, count, at, silence)) return false;
  if (at + 2 > count || (p[at] >> 5) >= 4) return false;
  r.Version = 80;
  r.SampleRate = kSampleRates[p[at] >> 5];
  r.MaxBand = (p[at] & 0x1F) + 1u;
  r.Channels = (p[at + 1] >> 4) + 1u;
  r.ChannelMode = (p[at + 1] >> 3) & 1;
  r.Recognised = true;
  r.StreamType = kStreamMusePack;
  r.IsVBR = true;
  const uint64_t played = samples > silence ? samples - silence : 0;
  if (!SetLengthFromSamples(played, r.SampleRate, r)) return false;
  if (played == 0) return true;
  const double seconds = double(played) / r.SampleRate;
  r.BitrateExact = double(AudioBytes(r, tags)) / 125 / seconds;
  return RoundToU32(r.BitrateExact, r.BitrateKbps);
}

// RG version 1: track gain, track peak, album gain, album peak, 16 bits each,
// big-endian; the gain as 64.82 dB − value ÷ 256, the peak as 256 × 20 ×
// log10 of the sample peak. 0 means not computed.
bool ReadReplayGain(const uint8_t *p, size_t count, TAudioFmtResult &r) {
  if (count < 9 || p[0] != 1) return true;
  auto be16 = [p](int at) { return uint32_t(p[at] << 8 | p[at + 1]); };
  auto gain = [](uint32_t v) { return GainText(64.82 - v / 256.0); };
  auto peak = [](uint32_t v, uint32_t &out) {
    return RoundToU32(std::pow(10.0, v / (256.0 * 20)), out);
  };
  const uint32_t trackGain = be16(1), trackPeak = be16(3), albumGain = be16(5), albumPeak = be16(7);
  if (trackGain) r.TrackGainText = gain(trackGain);
  if (albumGain) r.AlbumGainText = gain(albumGain);
  r.HasGain = trackGain || albumGain || trackPeak || albumPeak;
  return (!trackPeak || peak(trackPeak, r.TrackPeakValue)) &&
         (!albumPeak || peak(albumPeak, r.AlbumPeakValue));
}

// EI: profile × 8 (7 bits) and the PNS bit, then the encoder's major, minor
// and build numbers; an odd minor number marks an unstable encoder.
void ReadEncoderInfo(const uint8_t *p, size_t count, TAudioFmtResult &r) {
  if (count < 4) return;
  r.ModeValue = (p[0] >> 1) / 8u;
  r.ModeName = ProfileName(r.ModeValue);
  char text[48];
  std::snprintf(text, sizeof text, "%s %u.%u.%u", p[2] % 2 ? "Beta" : "Release", p[1], p[2], p[3]);
  r.Encoder = text;
}

void AnalyseVersion8(IFile &file, int64_t pos, const TTagFacts &tags, TAudioFmtResult &r) {
  bool haveHeader = false;
  TPacket packet;
  for (int n = 0; n < kMaxPacketsBeforeAudio && ReadPacketHeader(file, pos, packet); ++n) {
    if (IsKey(packet, "AP") || IsKey(packet, "SE")) break;
    const bool sh = IsKey(packet, "SH"), rg = IsKey(packet, "RG"), ei = IsKey(packet, "EI");
    if (sh || (haveHeader && (rg || ei))) {
      const int64_t length = packet.size - packet.headerLength;
      if (length > int64_t(kMaxHeaderPacket)) return;
      uint8_t body[kMaxHeaderPacket];
      if (!ReadAt(file, pos + packet.headerLength, body, size_t(length))) return;
      if (sh) {
        if (haveHeader) return; // a second stream header
        if (!ReadStreamHeader(body, size_t(length), tags, r)) return;
        haveHeader = true;
      } else if (rg) {
        if (!ReadReplayGain(body, size_t(length), r)) return;
      } else {
        ReadEncoderInfo(body, size_t(length), r);
      }
    }
    // A packet past the end leaves nothing behind it to read.
    if (packet.size > r.FileSize - pos) break;
    pos += packet.size;
  }
}

} // namespace

void AnalyseMusePack(IFileSystem &fs, const WideString &path, const TTagFacts &tags,
                     TAudioFmtResult &result) {
  try {
    auto file = OpenStream(fs, path, result);
    if (!file) return;
    const int64_t start = tags.StartPosition();
    const auto window = ReadUpTo(*file, start, kWindow);
    if (!window) return;
    uint8_t buf[kWindow] = {};
    std::memcpy(buf, window->data(), window->size());
    if (window->size() >= 4 && SameBytes(buf, "MPCK", 4))
      AnalyseVersion8(*file, start + 4, tags, result);
    else
      AnalyseVersion4To7(buf, window->size(), tags, result);
  } catch (const std::exception &) {
    // What was found before the fault stays.
  }
}

} // namespace tunbrix
