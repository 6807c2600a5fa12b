// RIFF files built by hand: WAVE chunk walks, the WavPack streams of before
// version 4 inside a WAVE data chunk, and CD track files. (Files of sox are
// checked against mutagen in streamformats_test.)
#include <gtest/gtest.h>

#include "analysis/streamformats.h"
#include "support/analyse_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using namespace test::bytes;

// Identifier, size, body and, after an odd size, the pad byte.
Bytes Chunk(const char *id, const Bytes &body) {
  Bytes out = Cat({B(id), Le32(uint32_t(body.size())), body});
  if (body.size() % 2) out.push_back(0);
  return out;
}

// A header claiming `size` bytes of data, whatever follows it.
Bytes DataHeader(uint32_t size) { return Cat({B("data"), Le32(size)}); }

Bytes FormatBody(uint16_t tag = 1, uint16_t channels = 2, uint32_t rate = 44100,
                 uint32_t bytesPerSecond = 176400, uint16_t bits = 16) {
  return Cat({Le16(tag), Le16(channels), Le32(rate), Le32(bytesPerSecond),
              Le16(uint16_t(channels * bits / 8)), Le16(bits)});
}
Bytes Fmt(const Bytes &extra = {}) { return Chunk("fmt ", Cat({FormatBody(), extra})); }

Bytes Riff(std::initializer_list<Bytes> chunks) {
  const Bytes body = Cat(chunks);
  return Cat({B("RIFF"), Le32(uint32_t(4 + body.size())), B("WAVE"), body});
}

void CdTrack(IFileSystem &fs, const WideString &path, const TTagFacts &, TAudioFmtResult &r) {
  AnalyseCdTrack(fs, path, r);
}

TAudioFmtResult Analyse(const Bytes &file, const std::string &name = "a.wav",
                        const TTagFacts &tags = {}) {
  return test::AnalyseBytes(name.ends_with(".cda") ? CdTrack : AnalyseRiffWave, name, file, tags);
}

// ---- WAVE ------------------------------------------------------------------------

TEST(RiffWave, TenSecondsOfCdAudio) {
  const Bytes file = Riff({Fmt(), Chunk("data", Bytes(1764000, 0))});
  const auto r = Analyse(file);
  ASSERT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, kStreamWave);
  EXPECT_EQ(r.FormatTagName, "PCM");
  EXPECT_EQ(r.Channels, 2u);
  EXPECT_EQ(r.SampleRate, 44100u);
  EXPECT_EQ(r.BitsPerSample, 16u);
  EXPECT_EQ(r.BitrateKbps, 1411u);
  EXPECT_DOUBLE_EQ(r.BitrateExact, 1411.2);
  EXPECT_EQ(r.LengthMs, 10000u);
  EXPECT_EQ(r.LengthSec, 10u);
  EXPECT_EQ(r.FileSize, int64_t(file.size()));
  EXPECT_FALSE(r.IsVBR);
}

TEST(RiffWave, ADataChunkLongerThanTheFileCountsTheBytesPresent) {
  const auto r = Analyse(Riff({Fmt(), DataHeader(1764000), Bytes(264600, 0)}));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 1500u);
  EXPECT_EQ(r.LengthSec, 1u);
}

// Longer format chunks (18 bytes with an empty extension, the 40 bytes of the
// extensible form, an odd 17 with its pad byte) are passed over by their size,
// so the data chunk behind them is found; so it is behind any chunk of odd
// size and behind an empty one.
TEST(RiffWave, EveryChunkIsPassedOverByItsSize) {
  const Bytes extensible = Cat({Le16(22), Le16(24), Le32(3), Bytes(16, 0xAB)});
  struct {
    const char *what;
    Bytes file;
  } const cases[] = {
      {"18-byte format", Riff({Fmt(Le16(0)), Chunk("data", Bytes(176400, 0))})},
      {"extensible format", Riff({Fmt(extensible), Chunk("data", Bytes(176400, 0))})},
      {"17-byte format", Riff({Fmt({7}), Chunk("data", Bytes(176400, 0))})},
      {"odd chunks before and after the format",
       Riff({Chunk("LIST", B("INFOx")), Fmt(), Chunk("JUNK", B("abc")),
             Chunk("data", Bytes(176400, 0))})},
      {"an empty chunk",
       Riff({Chunk("JUNK", {}), Fmt(), Chunk("fact", {}), Chunk("data", Bytes(176400, 0))})},
  };
  for (const auto &c : cases) {
    const auto r = Analyse(c.file);
    EXPECT_TRUE(r.Recognised) << c.what;
    EXPECT_EQ(r.LengthMs, 1000u) << c.what;
    EXPECT_EQ(r.Channels, 2u) << c.what;
  }
}

TEST(RiffWave, DataCountsOnlyAfterAFormatChunk) {
  auto r = Analyse(Riff({Chunk("data", Bytes(352800, 0)), Fmt(), Chunk("data", Bytes(176400, 0))}));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 1000u);
  r = Analyse(Riff({Chunk("data", Bytes(352800, 0))}));
  EXPECT_FALSE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 0u);
}

TEST(RiffWave, WhatTheChunksBeforeAFaultGave) {
  struct {
    const char *what;
    Bytes file;
    bool recognised;
    uint32_t lengthMs;
  } const cases[] = {
      {"no RIFF", Cat({B("RIFX"), Le32(4), B("WAVE"), Fmt()}), false, 0},
      {"no WAVE", Cat({B("RIFF"), Le32(4), B("AVI "), Fmt()}), false, 0},
      {"a format chunk of 14 bytes", Riff({Chunk("fmt ", Bytes(14, 1)), DataHeader(4)}), false, 0},
      {"the format cut by the end",
       Cat({B("RIFF"), Le32(4), B("WAVE"), B("fmt "), Le32(16), Bytes(10, 1)}), false, 0},
      {"a chunk running past the end", Riff({Fmt(), Chunk("LIST", {}), B("JUNK"), Le32(99999)}),
       true, 0},
      {"no data chunk", Riff({Fmt()}), true, 0},
      {"a header cut by the end", Cat({Riff({Fmt()}), B("dat")}), true, 0},
  };
  for (const auto &c : cases) {
    const auto r = Analyse(c.file);
    EXPECT_EQ(r.Recognised, c.recognised) << c.what;
    EXPECT_EQ(r.LengthMs, c.lengthMs) << c.what;
    EXPECT_EQ(r.FileSize, int64_t(c.file.size())) << c.what;
  }
}

TEST(RiffWave, NoLengthWithoutBytesPerSecond) {
  const auto r =
      Analyse(Riff({Chunk("fmt ", FormatBody(1, 2, 44100, 0)), Chunk("data", Bytes(1000, 0))}));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.BitrateKbps, 0u);
  EXPECT_EQ(r.LengthMs, 0u);
}

TEST(RiffWave, FormatTagNames) {
  const std::pair<uint16_t, const char *> cases[] = {
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
      {3, "3"},
      {65534, "65534"},
      {0, "0"},
  };
  for (const auto &[tag, name] : cases)
    EXPECT_EQ(Analyse(Riff({Chunk("fmt ", FormatBody(tag))})).FormatTagName, name) << tag;
}

TEST(RiffWave, StartsBehindAnID3v2Tag) {
  const Bytes wave = Riff({Fmt(), Chunk("data", Bytes(176400, 0))});
  TTagFacts tags;
  tags.id3v2AtStart = true;
  tags.id3v2Size = tags.totalTagSize = 1000;
  const auto r = Analyse(Cat({Bytes(1000, 0), wave}), "a.wav", tags);
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 1000u);
  // A tag elsewhere does not move the start.
  tags.id3v2AtStart = false;
  EXPECT_FALSE(Analyse(Cat({Bytes(1000, 0), wave}), "a.wav", tags).Recognised);
}

TEST(RiffWave, CountlessTinyChunksDoNotKeepItBusy) {
  Bytes chunks;
  for (int i = 0; i < 200000; ++i) {
    const Bytes c = Chunk("JUNK", {});
    chunks.insert(chunks.end(), c.begin(), c.end());
  }
  const auto r = Analyse(Riff({chunks, Fmt(), Chunk("data", Bytes(100, 0))}));
  EXPECT_FALSE(r.Recognised);
}

// ---- WavPack before version 4, inside the data chunk --------------------------

// "wvpk", block size, version, bits, flags (bit 0 mono), shift, total samples,
// two CRCs, extension and extras: 36 bytes.
Bytes OldWavPack(uint32_t blockSize, uint16_t version, uint16_t flags, uint32_t samples) {
  return Cat({B("wvpk"), Le32(blockSize), Le16(version), Le16(16), Le16(flags), Le16(0),
              Le32(samples), Bytes(16, 0)});
}

// Five minutes at 44100 Hz: 13,230,000 samples, whose milliseconds do not fit
// into 32 bits before the division.
TEST(OldWavPack, FiveMinutesInAWaveDataChunk) {
  const Bytes stream = Cat({OldWavPack(32, 3, 0, 13230000), Bytes(4000, 0x5A)});
  const Bytes file = Riff({Fmt(), Chunk("data", stream)});
  TTagFacts tags;
  tags.totalTagSize = 128; // an ID3v1 tag counted by the caller
  for (const char *name : {"a.wv", "A.WV", "b.Wv"}) {
    const auto r = Analyse(file, name, tags);
    ASSERT_TRUE(r.Recognised) << name;
    EXPECT_EQ(r.StreamType, kStreamWavPack) << name;
    EXPECT_EQ(r.Version, 3u);
    EXPECT_EQ(r.Channels, 2u);
    EXPECT_EQ(r.SampleRate, 44100u);
    EXPECT_EQ(r.BitsPerSample, 16u);
    EXPECT_EQ(r.LengthMs, 300000u);
    EXPECT_EQ(r.LengthSec, 300u);
    const double kbps = (double(file.size()) - 128 - 32) * 8 / 300000;
    EXPECT_DOUBLE_EQ(r.BitrateExact, kbps);
    EXPECT_EQ(r.BitrateKbps, 0u); // 0.107: a tiny fixture
  }
}

TEST(OldWavPack, MonoFlagAndWhatIsNoWavPack) {
  const Bytes mono = Riff({Fmt(), Chunk("data", OldWavPack(32, 2, 1, 44100))});
  auto r = Analyse(mono, "a.wv");
  EXPECT_EQ(r.Channels, 1u);
  EXPECT_EQ(r.LengthMs, 1000u);
  // A ".wav" file is plain WAVE whatever its data holds.
  r = Analyse(mono, "a.wav");
  EXPECT_EQ(r.StreamType, kStreamWave);
  EXPECT_EQ(r.Channels, 2u);
  EXPECT_EQ(r.Version, 0u);
  // A ".wv" file whose data is not WavPack stays WAVE, without a length.
  r = Analyse(Riff({Fmt(), Chunk("data", Bytes(176400, 0))}), "a.wv");
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, kStreamWave);
  EXPECT_EQ(r.LengthMs, 0u);
  // A header cut by the end of the file.
  r = Analyse(Riff({Fmt(), DataHeader(36), B("wvpk")}), "a.wv");
  EXPECT_EQ(r.StreamType, kStreamWave);
}

// ---- CD tracks ---------------------------------------------------------------------

// "RIFF", "CDDA", and a format chunk: version, track, serial, start sector,
// length in sectors (offset 12), start and length as minutes, seconds, frames.
Bytes CdTrack(uint32_t sectors, uint32_t formatSize = 24) {
  Bytes format =
      Cat({Le16(1), Le16(3), Le32(0x12345678), Le32(30000), Le32(sectors), Le32(0), Le32(0)});
  format.resize(formatSize, 0);
  const Bytes chunk = Cat({B("fmt "), Le32(formatSize), format});
  return Cat({B("RIFF"), Le32(uint32_t(4 + chunk.size())), B("CDDA"), chunk});
}

TEST(CdTrack, LengthFromTheSectorsAndTheFixedCdFormat) {
  struct {
    uint32_t sectors, lengthMs, lengthSec;
  } const cases[] = {
      {75, 1000, 1}, {13, 173, 0}, {112, 1493, 1}, {113, 1507, 2}, {18000, 240000, 240}, {0, 0, 0},
  };
  for (const auto &c : cases) {
    const Bytes file = CdTrack(c.sectors);
    const auto r = Analyse(file, "track03.cda");
    ASSERT_TRUE(r.Recognised) << c.sectors;
    EXPECT_EQ(r.StreamType, kStreamCdTrack);
    EXPECT_EQ(r.LengthMs, c.lengthMs) << c.sectors;
    EXPECT_EQ(r.LengthSec, c.lengthSec) << c.sectors;
    EXPECT_EQ(r.Channels, 2u);
    EXPECT_EQ(r.SampleRate, 44100u);
    EXPECT_EQ(r.BitsPerSample, 16u);
    EXPECT_EQ(r.BitrateKbps, 1411u);
    EXPECT_DOUBLE_EQ(r.BitrateExact, 1411.2);
    EXPECT_EQ(r.FileSize, int64_t(file.size()));
  }
}

TEST(CdTrack, WhatIsNoTrackFile) {
  Bytes notCdda = CdTrack(75);
  notCdda[8] = 'X';
  Bytes otherChunk = CdTrack(75);
  otherChunk[12] = 'd';
  const Bytes whole = CdTrack(75);
  const Bytes cutInFormat(whole.begin(), whole.begin() + 30);
  const Bytes cutAfterCdda(whole.begin(), whole.begin() + 12);
  for (const Bytes &file : {notCdda, otherChunk, CdTrack(75, 23), cutInFormat, cutAfterCdda}) {
    const auto r = Analyse(file, "a.cda");
    EXPECT_FALSE(r.Recognised);
    EXPECT_EQ(r.FileSize, int64_t(file.size()));
  }
}

} // namespace
} // namespace tunbrix
