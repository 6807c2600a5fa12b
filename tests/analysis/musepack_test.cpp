// MusePack: hand-built headers of stream versions 4 to 7 (no tool here
// writes them) and of version 8, cross-checked with mutagen where it reads
// them, and the version 8 files of mpcenc.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "analysis/streamformats.h"
#include "foundation/crc32.h"
#include "support/analyse_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using namespace test::bytes;

TAudioFmtResult Analyse(const Bytes &file, const TTagFacts &tags = {}) {
  return test::AnalyseBytes(AnalyseMusePack, "a.mpc", file, tags);
}

// Facts mutagen reads from a file: version, sample rate, channels, length.
std::string Mutagen(const Bytes &file) {
  return test::MutagenOnBytes("import sys, mutagen.musepack as m\n"
                              "i = m.Musepack(sys.argv[1]).info\n"
                              "print(i.version, i.sample_rate, i.channels, '%.4f' % i.length)",
                              "a.mpc", S(file));
}

#define REQUIRE_MUTAGEN(text)                                                                      \
  do {                                                                                             \
    if ((text).empty()) GTEST_SKIP() << "missing tool: mutagen";                                   \
  } while (0)

std::string Fixed4(double v) {
  std::ostringstream s;
  s.setf(std::ios::fixed);
  s.precision(4);
  s << v;
  return s.str();
}

// ---- Stream version 7 --------------------------------------------------------

struct TSv7 {
  uint8_t version = 0x17; // minor 1 in the high nibble, major 7 in the low
  uint32_t frames = 1000;
  uint8_t profile = 10, rateIndex = 1, maxBand = 27;
  bool midSide = true;
  uint16_t trackPeak = 30000, albumPeak = 31000;
  int16_t trackGain = -523, albumGain = 150;
  uint8_t encoder = 116;
  size_t size = 4000; // the header, then zero bytes
};

// "MP+", version, frames, two flag bytes, profile and rate, mid/side and max
// band, the four ReplayGain fields, unused bytes, the encoder version at 27.
Bytes Sv7(const TSv7 &h) {
  Bytes out =
      Cat({B("MP+"),
           {h.version},
           Le32(h.frames),
           {0, 0},
           {uint8_t(h.profile << 4 | h.rateIndex), uint8_t((h.midSide ? 0x40 : 0) | h.maxBand)},
           Le16(h.trackPeak),
           Le16(uint16_t(h.trackGain)),
           Le16(h.albumPeak),
           Le16(uint16_t(h.albumGain)),
           Bytes(7, 0),
           {h.encoder}});
  out.resize(h.size, 0);
  return out;
}

TEST(MusePackSV7, HeaderFields) {
  const TSv7 h;
  const auto r = Analyse(Sv7(h));
  ASSERT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, kStreamMusePack);
  EXPECT_EQ(r.Version, 71u);
  EXPECT_EQ(r.FrameCount, 1000u);
  EXPECT_EQ(r.SampleRate, 48000u);
  EXPECT_EQ(r.Channels, 2u);
  EXPECT_EQ(r.ModeValue, 10u);
  EXPECT_EQ(r.ModeName, "Standard");
  EXPECT_EQ(r.MaxBand, 27u);
  EXPECT_EQ(r.ChannelMode, 1u);
  EXPECT_TRUE(r.IsVBR);
  EXPECT_TRUE(r.HasGain);
  EXPECT_EQ(r.TrackPeakValue, 30000u);
  EXPECT_EQ(r.AlbumPeakValue, 31000u);
  EXPECT_EQ(r.TrackGainText, "-5.23 dB");
  EXPECT_EQ(r.AlbumGainText, "1.50 dB");
  EXPECT_EQ(r.Encoder, "Beta 1.16");
  EXPECT_EQ(r.BitsPerSample, 0u);
}

// 1000 frames of 1152 samples, the last one half full, at 48000 Hz: 23.988 s.
TEST(MusePackSV7, LengthAndBitrateFromTheFramesLeaveOutTheTags) {
  const double seconds = (1000.0 * 1152 - 576) / 48000;
  for (int64_t tagBytes : {0, 500}) {
    TTagFacts tags;
    tags.totalTagSize = tagBytes;
    const auto r = Analyse(Sv7({}), tags);
    const double kbps = (4000.0 - tagBytes) * 8 / 1000 / seconds;
    EXPECT_NEAR(r.BitrateExact, kbps, 1e-9);
    EXPECT_EQ(r.BitrateKbps, uint32_t(std::nearbyint(kbps)));
    EXPECT_NEAR(r.LengthMs, 23988, 1);
    EXPECT_EQ(r.LengthSec, 23u);
  }
}

TEST(MusePackSV7, MutagenReadsTheFixtureAlike) {
  const Bytes file = Sv7({});
  const std::string peer = Mutagen(file);
  REQUIRE_MUTAGEN(peer);
  const auto r = Analyse(file);
  EXPECT_EQ(peer, "7 48000 2 " + Fixed4(r.LengthMs / 1000.0) + "\n");
}

TEST(MusePackSV7, EncoderTexts) {
  const std::pair<uint8_t, const char *> cases[] = {
      {0, ""},
      {100, "Release 1.0"},
      {110, "Release 1.1"},
      {250, "Release 2.5"},
      {116, "Beta 1.16"},
      {102, "Beta 1.02"},
      {115, "--Alpha-- 1.15"},
      {171, "--Alpha-- 1.71"},
  };
  for (const auto &[byte, text] : cases) {
    TSv7 h;
    h.encoder = byte;
    EXPECT_EQ(Analyse(Sv7(h)).Encoder, text) << int(byte);
  }
}

TEST(MusePackSV7, ProfileNames) {
  const char *const names[16] = {"",
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
  for (uint8_t profile = 0; profile < 16; ++profile) {
    TSv7 h;
    h.profile = profile;
    const auto r = Analyse(Sv7(h));
    EXPECT_EQ(r.ModeValue, profile);
    EXPECT_EQ(r.ModeName, names[profile]) << int(profile);
  }
}

TEST(MusePackSV7, SampleRatesAndVersions) {
  const uint32_t rates[4] = {44100, 48000, 37800, 32000};
  for (uint8_t i = 0; i < 4; ++i) {
    TSv7 h;
    h.rateIndex = i;
    EXPECT_EQ(Analyse(Sv7(h)).SampleRate, rates[i]);
  }
  struct {
    uint8_t byte;
    uint32_t version;
    bool recognised;
  } const versions[] = {
      {0x07, 70, true}, {0x17, 71, true}, {0x27, 72, true}, {0x08, 80, false}, {0x06, 60, false}};
  for (const auto &v : versions) {
    TSv7 h;
    h.version = v.byte;
    const auto r = Analyse(Sv7(h));
    EXPECT_EQ(r.Version, v.version);
    EXPECT_EQ(r.Recognised, v.recognised);
    EXPECT_EQ(r.StreamType, v.recognised ? kStreamMusePack : kStreamNone);
  }
}

// The header needs 80 bytes behind it inside the 1024 read: a file of 84
// bytes is enough for a header at 0, 83 is not.
TEST(MusePackSV7, ShortFilesAndAHeaderAfterJunk) {
  for (size_t size : {10, 82, 83, 84}) {
    TSv7 h;
    h.size = size;
    const auto r = Analyse(Sv7(h));
    EXPECT_EQ(r.Recognised, size == 84) << size;
    EXPECT_EQ(r.FileSize, int64_t(size));
  }
  const Bytes shifted = Cat({B("junk!"), Sv7({})});
  const auto r = Analyse(shifted);
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.SampleRate, 48000u);
  EXPECT_EQ(r.Encoder, "Beta 1.16");
}

TEST(MusePackSV7, StartsBehindAnID3v2Tag) {
  const Bytes file = Cat({Bytes(2000, 'x'), Sv7({})});
  TTagFacts tags;
  tags.id3v2AtStart = true;
  tags.id3v2Size = tags.totalTagSize = 2000;
  const auto r = Analyse(file, tags);
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.Version, 71u);
  EXPECT_NEAR(r.BitrateExact, Analyse(Sv7({})).BitrateExact, 1e-9);
}

// ---- Stream versions 4 to 6 ------------------------------------------------------

// The packed word at 0: bits 0-5 = 1, the version in bits 11-20, bits 22-31 0
// (a bitrate there is a stream of constant bitrate, not read); the frame
// count 16 bits at 6 for version 4, else 32 bits at 4.
Bytes Sv4To6(uint32_t version, uint32_t frames, uint32_t extraBits = 0) {
  Bytes out = Le32(version << 11 | 1 | extraBits);
  if (version < 5)
    out = Cat({out, {0, 0}, Le16(frames)});
  else
    out = Cat({out, Le32(frames)});
  out.resize(3000, 0);
  return out;
}

TEST(MusePackSV4To6, PackedHeader) {
  struct {
    const char *what;
    Bytes file;
    bool recognised;
    uint32_t version, frames;
  } const cases[] = {
      {"version 4 counts one frame too many", Sv4To6(4, 1001), true, 40, 1000},
      {"version 5 as well", Sv4To6(5, 1001), true, 50, 1000},
      {"version 6 counts right", Sv4To6(6, 1001), true, 60, 1001},
      {"version 5 without frames", Sv4To6(5, 0), true, 50, 0},
      {"a bitrate field", Sv4To6(6, 1001, 1u << 23), false, 60, 1001},
      {"bit 22", Sv4To6(6, 1001, 1u << 22), false, 60, 1001},
      {"bits 0-5 not 1", Sv4To6(6, 1001, 2), false, 60, 1001},
      {"no version below 4", Sv4To6(3, 1001), false, 30, 1001},
      {"version 7 needs MP+", Sv4To6(7, 1001), false, 70, 1001},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = Analyse(c.file);
    EXPECT_EQ(r.Recognised, c.recognised);
    EXPECT_EQ(r.Version, c.version);
    EXPECT_EQ(r.FrameCount, c.frames);
    if (!c.recognised) continue;
    EXPECT_EQ(r.SampleRate, 44100u);
    EXPECT_EQ(r.Channels, 2u);
    EXPECT_EQ(r.ModeName, "");
    EXPECT_FALSE(r.HasGain);
    EXPECT_TRUE(r.IsVBR);
    if (c.frames == 0) {
      EXPECT_EQ(r.LengthMs, 0u);
      EXPECT_EQ(r.BitrateExact, 0);
    } else {
      EXPECT_NEAR(r.LengthMs, (c.frames * 1152.0 - 576) / 44.1, 1);
    }
  }
}

TEST(MusePackSV4To6, MutagenReadsTheFixtureAlike) {
  const Bytes file = Sv4To6(5, 1001);
  const std::string peer = Mutagen(file);
  REQUIRE_MUTAGEN(peer);
  EXPECT_EQ(peer, "5 44100 2 " + Fixed4((1000 * 1152 - 576) / 44100.0) + "\n");
  EXPECT_NEAR(Analyse(file).LengthMs, (1000 * 1152 - 576) / 44.1, 1);
}

// ---- Stream version 8 -------------------------------------------------------------

// A number in 7-bit groups, high group first, bit 7 set on all but the last.
Bytes Number(uint64_t v) {
  Bytes out = {uint8_t(v & 0x7F)};
  while (v >>= 7)
    out.insert(out.begin(), uint8_t(0x80 | (v & 0x7F)));
  return out;
}

// Key, the packet's whole size, payload.
Bytes Packet(const char *key, const Bytes &payload) {
  size_t n = 1;
  while (Number(2 + n + payload.size()).size() != n)
    ++n;
  return Cat({B(key), Number(2 + n + payload.size()), payload});
}

struct TSh {
  uint8_t streamVersion = 8;
  uint64_t samples = 482400, silence = 2400;
  uint8_t rateIndex = 1, maxBand = 20, channels = 1;
  bool midSide = true;
  bool goodCrc = true;
};

// CRC-32 (big-endian) of the rest; version; samples; silence; rate index and
// max band − 1; channels − 1, mid/side and the frames per packet.
Bytes StreamHeader(const TSh &h) {
  const Bytes rest = Cat({{h.streamVersion},
                          Number(h.samples),
                          Number(h.silence),
                          {uint8_t(h.rateIndex << 5 | (h.maxBand - 1)),
                           uint8_t((h.channels - 1) << 4 | (h.midSide ? 8 : 0) | 3)}});
  uint32_t crc = Crc32(rest.data(), rest.size());
  if (!h.goodCrc) crc ^= 1;
  return Packet(
      "SH", Cat({{uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)}, rest}));
}

Bytes Be16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }

Bytes ReplayGain(uint16_t trackGain, uint16_t trackPeak, uint16_t albumGain, uint16_t albumPeak) {
  return Packet("RG",
                Cat({{1}, Be16(trackGain), Be16(trackPeak), Be16(albumGain), Be16(albumPeak)}));
}

// Profile × 8 with the PNS bit, then major, minor, build.
Bytes EncoderInfo(uint8_t profileTimes8, uint8_t major, uint8_t minor, uint8_t build) {
  return Packet("EI", {uint8_t(profileTimes8 << 1), major, minor, build});
}

// "MPCK", the header packets, 20,000 bytes of audio in one packet, the end.
Bytes Sv8(const Bytes &headers) {
  return Cat({B("MPCK"), headers, Packet("AP", Bytes(20000, 0x33)), Packet("SE", {})});
}

TEST(MusePackSV8, StreamHeader) {
  const Bytes file =
      Sv8(Cat({StreamHeader({}), ReplayGain(0, 0, 0, 0), EncoderInfo(80, 1, 30, 1)}));
  const auto r = Analyse(file);
  ASSERT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, kStreamMusePack);
  EXPECT_EQ(r.Version, 80u);
  EXPECT_EQ(r.SampleRate, 48000u);
  EXPECT_EQ(r.Channels, 1u);
  EXPECT_EQ(r.MaxBand, 20u);
  EXPECT_EQ(r.ChannelMode, 1u);
  EXPECT_TRUE(r.IsVBR);
  // 482400 samples less 2400 of silence at the beginning: 10 s.
  EXPECT_EQ(r.LengthMs, 10000u);
  EXPECT_EQ(r.LengthSec, 10u);
  EXPECT_DOUBLE_EQ(r.BitrateExact, file.size() * 8 / 1000.0 / 10);
  EXPECT_EQ(r.BitrateKbps, uint32_t(std::nearbyint(r.BitrateExact)));
  EXPECT_EQ(r.ModeValue, 10u);
  EXPECT_EQ(r.ModeName, "Standard");
  EXPECT_EQ(r.Encoder, "Release 1.30.1");
  EXPECT_FALSE(r.HasGain) << "all four values 0: not computed";
  EXPECT_EQ(r.TrackGainText, "");

  const std::string peer = Mutagen(file);
  REQUIRE_MUTAGEN(peer);
  EXPECT_EQ(peer, "8 48000 1 10.0000\n");
}

TEST(MusePackSV8, ReplayGainAndEncoderInfo) {
  // Track: −3.50 dB (64.82 − 17490 ÷ 256), peak 10^(23066 ÷ 5120) = 31994.7;
  // album: 64.82 − 16000 ÷ 256 = 2.32 dB, no peak.
  const auto r = Analyse(
      Sv8(Cat({StreamHeader({}), ReplayGain(17490, 23066, 16000, 0), EncoderInfo(84, 1, 31, 0)})));
  EXPECT_TRUE(r.HasGain);
  EXPECT_EQ(r.TrackGainText, "-3.50 dB");
  EXPECT_EQ(r.TrackPeakValue, 31995u);
  EXPECT_EQ(r.AlbumGainText, "2.32 dB");
  EXPECT_EQ(r.AlbumPeakValue, 0u);
  EXPECT_EQ(r.ModeValue, 10u) << "profile 10.5";
  EXPECT_EQ(r.Encoder, "Beta 1.31.0") << "an odd minor version is unstable";
}

TEST(MusePackSV8, DamagedStreamHeaders) {
  auto with = [](auto change) {
    TSh h;
    change(h);
    return Sv8(Cat({StreamHeader(h), ReplayGain(0, 0, 0, 0)}));
  };
  const Bytes goodSh = StreamHeader({});
  Bytes cutSh = Cat({B("MPCK"), goodSh});
  cutSh.resize(cutSh.size() - 2);
  struct {
    const char *what;
    Bytes file;
  } const cases[] = {
      {"CRC mismatch", with([](TSh &h) { h.goodCrc = false; })},
      {"stream version 7", with([](TSh &h) { h.streamVersion = 7; })},
      {"rate index 4", with([](TSh &h) { h.rateIndex = 4; })},
      {"no stream header", Sv8(ReplayGain(0, 0, 0, 0))},
      {"the header behind the audio", Cat({B("MPCK"), Packet("AP", Bytes(100, 0)), goodSh})},
      {"header cut by the end of the file", cutSh},
      {"a packet smaller than its own header", Cat({B("MPCKSH"), {2}, Bytes(50, 0)})},
      {"a lower-case key", Cat({B("MPCK"), Packet("xx", {}), goodSh})},
      {"a size without end", Cat({B("MPCKSH"), Bytes(12, 0xFF)})},
      {"a packet of 2^63 - 1 bytes before the header",
       Cat({B("MPCKXX"), Bytes(8, 0xFF), {0x7F}, goodSh})},
      {"only the magic", B("MPCK")},
  };
  for (const auto &c : cases) {
    const auto r = Analyse(c.file);
    EXPECT_FALSE(r.Recognised) << c.what;
    EXPECT_EQ(r.StreamType, kStreamNone) << c.what;
    EXPECT_EQ(r.FileSize, int64_t(c.file.size())) << c.what;
  }
}

TEST(MusePackSV8, WhatFollowsAGoodHeaderMayBeDamaged) {
  // A replay-gain packet claiming more bytes than the file holds, and more
  // silence than samples.
  Bytes file = Cat({B("MPCK"), StreamHeader({}), B("RG"), Number(5000), {1, 2, 3}});
  auto r = Analyse(file);
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 10000u);
  EXPECT_FALSE(r.HasGain);
  TSh h;
  h.silence = h.samples + 1;
  r = Analyse(Sv8(StreamHeader(h)));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 0u);
  EXPECT_EQ(r.BitrateExact, 0);
}

TEST(MusePackSV8, ManyPacketsBeforeTheHeaderDoNotKeepItBusy) {
  Bytes file = B("MPCK");
  for (int i = 0; i < 200000; ++i) {
    const Bytes p = Packet("XX", {});
    file.insert(file.end(), p.begin(), p.end());
  }
  file = Cat({file, StreamHeader({})});
  EXPECT_FALSE(Analyse(file).Recognised);
}

// mpcenc's own banner names its version; an even minor number is a stable
// release.
TEST(MusePackSV8, EncoderInfoOfMpcenc) {
  TB_REQUIRE_TOOL("mpcenc");
  TB_REQUIRE_TOOL("sox");
  test::TempDir dir;
  const std::string wav = (dir.Path() / "a.wav").string(), mpc = (dir.Path() / "a.mpc").string();
  ASSERT_EQ(test::RunCommand({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "1",
                              "sine", "440"})
                .exitCode,
            0);
  const auto run = test::RunCommand({"mpcenc", "--overwrite", "--standard", wav, mpc});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string banner = run.out + run.err;
  const size_t at = banner.find("MPC Encoder ");
  unsigned major = 0, minor = 0, build = 0;
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(std::sscanf(banner.c_str() + at, "MPC Encoder %u.%u.%u", &major, &minor, &build), 3);
  const bool stable = minor % 2 == 0;
  RealFileSystem fs;
  TAudioFmtResult r;
  AnalyseMusePack(fs, test::W(mpc), {}, r);
  EXPECT_EQ(r.Encoder, (stable ? "Release " : "Beta ") + std::to_string(major) + "." +
                           std::to_string(minor) + "." + std::to_string(build));
  EXPECT_EQ(r.ModeValue, 10u);
  EXPECT_EQ(r.ModeName, "Standard");
  EXPECT_EQ(r.SampleRate, 44100u);
  EXPECT_EQ(r.LengthMs, 1000u);
}

} // namespace
} // namespace tunbrix
