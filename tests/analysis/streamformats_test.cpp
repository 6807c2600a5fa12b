// The stream readers against files made by the real encoders, checked with
// mutagen; FLAC, Ogg Vorbis, Shorten and the Vorbis quality estimate; and bad
// input for every reader: missing, empty, random, cut short, failing calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <sstream>

#include "analysis/streamformats.h"
#include "foundation/text_types.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using namespace std::string_view_literals;
using namespace test::bytes;

// The reader for a file name's extension, as the analyser will choose it.
TAudioFmtResult Analyse(IFileSystem &fs, const WideString &path, const TTagFacts &tags = {},
                        CVorbisComments *comments = nullptr) {
  TAudioFmtResult r;
  CVorbisComments own;
  CVorbisComments &list = comments ? *comments : own;
  const WideString ext = LowerCaseW(ExtractFileExtW(path));
  if (ext == u".mpc") AnalyseMusePack(fs, path, tags, r);
  if (ext == u".flac") AnalyseFlac(fs, path, tags, list, r);
  if (ext == u".ogg") AnalyseOggVorbis(fs, path, tags, list, r);
  if (ext == u".wav" || ext == u".wv") AnalyseRiffWave(fs, path, tags, r);
  if (ext == u".ape") AnalyseMonkey(fs, path, tags, r);
  if (ext == u".shn") AnalyseShorten(fs, path, tags, r);
  if (ext == u".cda") AnalyseCdTrack(fs, path, r);
  return r;
}

TAudioFmtResult AnalyseBytes(const std::string &name, const Bytes &bytes,
                             const TTagFacts &tags = {}, CVorbisComments *comments = nullptr) {
  MemoryFileSystem mem;
  mem.SetFile(u"/" + test::W(name), bytes);
  return Analyse(mem, u"/" + test::W(name), tags, comments);
}

const char *const kExtensions[] = {".mpc", ".flac", ".ogg", ".wav", ".wv", ".ape", ".shn", ".cda"};

void ExpectSame(const TAudioFmtResult &a, const TAudioFmtResult &b, const std::string &what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(a.Recognised, b.Recognised);
  EXPECT_EQ(a.StreamType, b.StreamType);
  EXPECT_EQ(a.Version, b.Version);
  EXPECT_EQ(a.SampleRate, b.SampleRate);
  EXPECT_EQ(a.Channels, b.Channels);
  EXPECT_EQ(a.BitsPerSample, b.BitsPerSample);
  EXPECT_EQ(a.LengthMs, b.LengthMs);
  EXPECT_EQ(a.LengthSec, b.LengthSec);
  EXPECT_EQ(a.BitrateKbps, b.BitrateKbps);
  EXPECT_NEAR(a.BitrateExact, b.BitrateExact, 1e-9);
  EXPECT_EQ(a.ModeValue, b.ModeValue);
  EXPECT_EQ(a.Encoder, b.Encoder);
}

// ---- Real files and mutagen --------------------------------------------------

struct TPeer {
  uint32_t channels = 0, sampleRate = 0, bits = 0, version = 0;
  double length = 0;  // seconds
  double bitrate = 0; // bits/s as mutagen gives it, 0 when it gives none
  double size = 0;
};

TPeer Mutagen(const std::string &path) {
  static const char *const kCode = R"(
import os, sys, mutagen
i = mutagen.File(sys.argv[1]).info
# int(): mutagen's WavPack reader gives True for one channel.
print(int(i.channels), i.sample_rate, getattr(i, 'bits_per_sample', 0), getattr(i, 'version', 0),
      repr(i.length), getattr(i, 'bitrate', 0) or 0, os.path.getsize(sys.argv[1]))
)";
  const auto r = test::RunCommand({"/usr/bin/python3", "-c", kCode, path});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  TPeer p;
  std::istringstream(r.out) >> p.channels >> p.sampleRate >> p.bits >> p.version >> p.length >>
      p.bitrate >> p.size;
  return p;
}

// Arguments starting with "@" name files in the test's folder.
using Command = std::vector<std::string>;

struct TRealCase {
  const char *name;
  const char *file;
  std::vector<Command> make;
  uint8_t streamType;
  // mutagen's Ogg bitrate is the nominal one, its WavPack reader gives none:
  // then the peer bitrate is the file's size over mutagen's length.
  bool peerBitrateMeasured;
  // A change made by hand to what the tools wrote.
  Bytes (*edit)(const Bytes &) = nullptr;
};

Command Sox(const std::string &rate, const std::string &channels, const std::string &bits,
            const std::string &out, const std::string &seconds = "3") {
  return {"sox", "-n", "-r",    rate,    "-c",   channels, "-b",
          bits,  out,  "synth", seconds, "sine", "440"};
}

// sox writes no chunk of odd size: a LIST chunk of 5 bytes and its pad byte
// go in before the data chunk, and the RIFF size grows by their 14 bytes.
Bytes InsertOddChunk(const Bytes &wave) {
  const Bytes chunk = Cat({B("LIST"), {5, 0, 0, 0}, B("INFOx"), {0}});
  const Bytes id = B("data");
  const auto data = std::search(wave.begin() + 12, wave.end(), id.begin(), id.end());
  Bytes out(wave.begin(), data);
  out = Cat({out, chunk, Bytes(data, wave.end())});
  const uint32_t riffSize = uint32_t(out.size() - 8);
  for (int i = 0; i < 4; ++i)
    out[4 + i] = uint8_t(riffSize >> (8 * i));
  return out;
}

const TRealCase kRealCases[] = {
    {"Wav16BitStereo", "s.wav", {Sox("44100", "2", "16", "@s.wav")}, kStreamWave, true},
    {"Wav8BitMono", "m.wav", {Sox("8000", "1", "8", "@m.wav", "2")}, kStreamWave, true},
    // sox writes the extensible format chunk (40 bytes) and a fact chunk for 24 bits.
    {"Wav24BitExtensible", "x.wav", {Sox("48000", "2", "24", "@x.wav", "2")}, kStreamWave, true},
    {"WavWithAChunkOfOddSize",
     "o.wav",
     {Sox("22050", "1", "16", "@o.wav", "1")},
     kStreamWave,
     true,
     InsertOddChunk},
    {"Flac",
     "t.flac",
     {Sox("44100", "2", "16", "@s.wav"), {"flac", "-s", "-f", "-o", "@t.flac", "@s.wav"}},
     kStreamFlac,
     true},
    {"OggVorbis",
     "t.ogg",
     {Sox("44100", "2", "16", "@s.wav"), {"oggenc", "-Q", "-o", "@t.ogg", "@s.wav"}},
     kStreamOggVorbis,
     false},
    {"WavPackStereo",
     "t.wv",
     {Sox("44100", "2", "16", "@s.wav"), {"wavpack", "-q", "-y", "@s.wav", "-o", "@t.wv"}},
     kStreamWavPack,
     false},
    {"WavPackMono8Bit",
     "m.wv",
     {Sox("8000", "1", "8", "@m.wav", "2"), {"wavpack", "-q", "-y", "@m.wav", "-o", "@m.wv"}},
     kStreamWavPack,
     false},
    {"MusepackSV8Stereo",
     "t.mpc",
     {Sox("44100", "2", "16", "@s.wav"), {"mpcenc", "--silent", "--overwrite", "@s.wav", "@t.mpc"}},
     kStreamMusePack,
     true},
    {"MusepackSV8Mono48k",
     "m.mpc",
     {Sox("48000", "1", "16", "@m.wav", "2"),
      {"mpcenc", "--silent", "--overwrite", "--quality", "7", "@m.wav", "@m.mpc"}},
     kStreamMusePack,
     true},
};

void PrintTo(const TRealCase &c, std::ostream *out) { *out << c.name; }

// Makes a real file; false (and a note) when a tool is missing or fails.
bool MakeRealFile(const test::TempDir &dir, const TRealCase &c, std::string &missing) {
  for (Command command : c.make) {
    if (test::FindTool(command[0]).empty()) {
      missing = command[0];
      return false;
    }
    for (auto &arg : command)
      if (arg[0] == '@') arg = (dir.Path() / arg.substr(1)).string();
    const auto r = test::RunCommand(command);
    EXPECT_EQ(r.exitCode, 0) << command[0] << ": " << r.err;
    if (r.exitCode != 0) return false;
  }
  if (c.edit) {
    const auto path = dir.Path() / c.file;
    const Bytes edited = c.edit(B(test::ReadFileBytes(path)));
    test::WriteFileBytes(path, std::string(edited.begin(), edited.end()));
  }
  return true;
}

class RealFile : public testing::TestWithParam<TRealCase> {};

// Sample rate, channels and bits exact; length within 1 ms of mutagen's;
// bitrate within 1 %, because we leave out the header and comment bytes that
// the peers count.
TEST_P(RealFile, AgreesWithMutagen) {
  TB_REQUIRE_MUTAGEN();
  const TRealCase &c = GetParam();
  test::TempDir dir;
  std::string missing;
  if (!MakeRealFile(dir, c, missing)) {
    if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
    FAIL() << "the encoder failed";
  }
  const std::string path = (dir.Path() / c.file).string();
  RealFileSystem fs;
  CVorbisComments comments;
  const TAudioFmtResult r = Analyse(fs, test::W(path), {}, &comments);
  const TPeer peer = Mutagen(path);

  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, c.streamType);
  EXPECT_EQ(r.FileSize, int64_t(peer.size));
  EXPECT_EQ(r.SampleRate, peer.sampleRate);
  EXPECT_EQ(r.Channels, peer.channels);
  EXPECT_EQ(r.BitsPerSample, peer.bits);
  EXPECT_NEAR(r.LengthMs, peer.length * 1000, 1.0);
  EXPECT_NEAR(r.LengthSec, peer.length, 1.0);
  const double peerBitrate =
      c.peerBitrateMeasured && peer.bitrate > 0 ? peer.bitrate : peer.size * 8 / peer.length;
  EXPECT_NEAR(r.BitrateExact * 1000, peerBitrate, peerBitrate * 0.01);
  // WAVE truncates bytes per second ÷ 125; the others round.
  EXPECT_EQ(r.BitrateKbps, c.streamType == kStreamWave ? uint32_t(r.BitrateExact)
                                                       : uint32_t(std::nearbyint(r.BitrateExact)));
  if (c.streamType == kStreamOggVorbis) {
    EXPECT_EQ(r.ModeValue, uint32_t(peer.bitrate)) << "the nominal bitrate";
    EXPECT_TRUE(r.IsVBR);
  }
  if (c.streamType == kStreamMusePack) {
    EXPECT_EQ(r.Version, peer.version * 10);
    EXPECT_TRUE(r.IsVBR);
  }
  if (c.streamType == kStreamWavPack) {
    EXPECT_EQ(r.Version, peer.version);
  }
  if (c.streamType == kStreamWave) {
    EXPECT_EQ(r.FormatTagName, peer.bits == 24 ? "65534" : "PCM");
  }
  if (c.streamType == kStreamFlac || c.streamType == kStreamOggVorbis) {
    EXPECT_GT(comments.TotalSize, 0) << "the encoder's vendor-only comment block";
  }
}

// An ID3v2 tag in front of the stream: the reader starts behind it, and its
// bytes do not count as audio, so nothing changes but the file size.
class RealFileBehindTag : public testing::TestWithParam<TRealCase> {};

TEST_P(RealFileBehindTag, StartsBehindAnID3v2TagAtTheStart) {
  const TRealCase &c = GetParam();
  test::TempDir dir;
  std::string missing;
  if (!MakeRealFile(dir, c, missing)) GTEST_SKIP() << "missing tool: " << missing;
  const Bytes plain = B(test::ReadFileBytes(dir.Path() / c.file));
  const uint32_t body = 990; // synchsafe as it stands: below 128
  const Bytes tag =
      Cat({B("ID3"), {3, 0, 0, 0, 0, uint8_t(body >> 7), uint8_t(body & 127)}, Bytes(body, 0)});
  TTagFacts facts;
  facts.id3v2AtStart = true;
  facts.id3v2Size = facts.totalTagSize = int64_t(tag.size());
  const auto before = AnalyseBytes(c.file, plain);
  const auto after = AnalyseBytes(c.file, Cat({tag, plain}), facts);
  ExpectSame(after, before, c.name);
  EXPECT_EQ(after.FileSize, before.FileSize + int64_t(tag.size()));
}

// Every cut of the file, and every failing call of the file interface, ends
// the analysis quietly inside the file's bytes; the whole file is recognised.
TEST_P(RealFile, EveryCutAndEveryFailingCallEndsQuietly) {
  const TRealCase &c = GetParam();
  test::TempDir dir;
  std::string missing;
  if (!MakeRealFile(dir, c, missing)) GTEST_SKIP() << "missing tool: " << missing;
  const Bytes whole = B(test::ReadFileBytes(dir.Path() / c.file));
  const auto full = AnalyseBytes(c.file, whole);
  ASSERT_TRUE(full.Recognised);
  for (size_t length = 0; length <= whole.size(); length += length < 600 ? 1 : 997) {
    const auto r = AnalyseBytes(c.file, Bytes(whole.begin(), whole.begin() + long(length)));
    EXPECT_EQ(r.FileSize, int64_t(length));
    if (r.Recognised) {
      EXPECT_EQ(r.StreamType, c.streamType) << length;
    }
  }
  for (int failAt = 1;; ++failAt) {
    MemoryFileSystem mem;
    mem.SetFile(u"/" + test::W(c.file), whole);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    const auto r = Analyse(fs, u"/" + test::W(c.file));
    if (!faults.Failed()) {
      ExpectSame(r, full, "the run without a failure");
      break;
    }
    if (r.Recognised) {
      EXPECT_EQ(r.StreamType, c.streamType) << "call " << failAt;
    }
  }
}

std::string CaseName(const testing::TestParamInfo<TRealCase> &info) { return info.param.name; }

// Ogg files carry no ID3v2 tag: the Ogg reader starts at the first page.
std::vector<TRealCase> TaggableCases() {
  std::vector<TRealCase> cases;
  for (const auto &c : kRealCases)
    if (c.streamType != kStreamOggVorbis) cases.push_back(c);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Encoders, RealFile, testing::ValuesIn(kRealCases), CaseName);
INSTANTIATE_TEST_SUITE_P(Encoders, RealFileBehindTag, testing::ValuesIn(TaggableCases()), CaseName);

// ---- FLAC and Ogg Vorbis -----------------------------------------------------

TEST(Flac, CommentsGoIntoTheCallersList) {
  TB_REQUIRE_TOOL("flac");
  TB_REQUIRE_TOOL("sox");
  test::TempDir dir;
  const std::string wav = (dir.Path() / "a.wav").string(), flac = (dir.Path() / "a.flac").string();
  ASSERT_EQ(test::RunCommand(Sox("44100", "1", "16", wav, "1")).exitCode, 0);
  ASSERT_EQ(
      test::RunCommand({"flac", "-s", "-f", "-T", "ARTIST=Somebody", "-o", flac, wav}).exitCode, 0);
  CVorbisComments comments;
  comments.AddComment().Name = "STALE";
  RealFileSystem fs;
  const auto r = Analyse(fs, test::W(flac), {}, &comments);
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(comments.GetComment("STALE"), u"");
  EXPECT_EQ(comments.GetComment("ARTIST"), u"Somebody");
  EXPECT_EQ(r.LengthMs, 1000u);
  EXPECT_EQ(r.LengthSec, 1u);
}

// STREAMINFO: 4096-sample blocks, 44100 Hz, stereo, 16 bits, 441000 samples.
Bytes StreamInfo(bool last) {
  Bytes body = {0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0};
  const uint64_t packed = uint64_t(44100) << 44 | uint64_t(1) << 41 | uint64_t(15) << 36 | 441000;
  for (int shift = 56; shift >= 0; shift -= 8)
    body.push_back(uint8_t(packed >> shift));
  body.resize(34, 0);
  return Cat({{uint8_t(last ? 0x80 : 0), 0, 0, 34}, body});
}

TEST(Flac, LengthRoundsAndBitrateLeavesOutTheMetadata) {
  // "fLaC", STREAMINFO (38 bytes with its header), then 100,000 audio bytes.
  const Bytes file = Cat({B("fLaC"), StreamInfo(true), Bytes(100000, 0x55)});
  TTagFacts tags;
  tags.totalTagSize = 0;
  const auto r = AnalyseBytes("a.flac", file, tags);
  ASSERT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, kStreamFlac);
  EXPECT_EQ(r.SampleRate, 44100u);
  EXPECT_EQ(r.Channels, 2u);
  EXPECT_EQ(r.BitsPerSample, 16u);
  EXPECT_EQ(r.LengthMs, 10000u);
  EXPECT_EQ(r.LengthSec, 10u);
  EXPECT_DOUBLE_EQ(r.BitrateExact, (file.size() - 38.0) / 125 / 10);
  EXPECT_EQ(r.BitrateKbps, 80u); // 80.0032
}

TEST(Flac, DamagedMetadataIsNotRecognised) {
  // A STREAMINFO with a sample rate of 0, and a sound one followed by a block
  // that claims more bytes than the file holds.
  Bytes zeroRate = Cat({B("fLaC"), StreamInfo(true), Bytes(100, 0)});
  zeroRate[4 + 4 + 10] = zeroRate[4 + 4 + 11] = 0;
  zeroRate[4 + 4 + 12] &= 0x0F;
  const Bytes pastEnd = Cat({B("fLaC"), StreamInfo(false), {0x84, 0, 0x10, 0}, Bytes(100, 0)});
  for (const Bytes &file : {zeroRate, pastEnd}) {
    const auto r = AnalyseBytes("a.flac", file);
    EXPECT_FALSE(r.Recognised);
    EXPECT_EQ(r.FileSize, int64_t(file.size()));
  }
}

// ---- Shorten -------------------------------------------------------------------

TEST(Shorten, SignatureAndVersionOnly) {
  struct {
    Bytes file;
    bool recognised;
    uint32_t version;
  } const cases[] = {
      {Cat({B("ajkg"), {2}, Bytes(59, 0)}), true, 2},
      {Cat({B("ajkg"), {3}, Bytes(59, 0xFF)}), true, 3},
      {Cat({B("ajkg"), {4}, Bytes(59, 0)}), false, 4},
      {Cat({B("ajkg"), {2}, Bytes(58, 0)}), false, 0}, // 63 bytes: the header is cut
      {Cat({B("ajkh"), {2}, Bytes(59, 0)}), false, 0},
  };
  for (const auto &c : cases) {
    const auto r = AnalyseBytes("a.shn", c.file);
    EXPECT_EQ(r.Recognised, c.recognised);
    EXPECT_EQ(r.Version, c.version);
    EXPECT_EQ(r.StreamType, c.recognised ? kStreamShorten : kStreamNone);
    EXPECT_EQ(r.FileSize, int64_t(c.file.size()));
    EXPECT_EQ(r.LengthMs, 0u);
    EXPECT_EQ(r.SampleRate, 0u);
  }
}

TEST(Shorten, StartsBehindAnID3v2Tag) {
  const Bytes file = Cat({Bytes(300, 0), B("ajkg"), {2}, Bytes(59, 0)});
  TTagFacts tags;
  tags.id3v2AtStart = true;
  tags.id3v2Size = tags.totalTagSize = 300;
  EXPECT_TRUE(AnalyseBytes("a.shn", file, tags).Recognised);
  EXPECT_FALSE(AnalyseBytes("a.shn", file).Recognised);
}

// ---- The Vorbis quality estimate ---------------------------------------------

TEST(EstimateVorbisQuality, Table) {
  struct {
    int64_t bitrate;
    uint32_t rate, channels;
    int quality;
  } const cases[] = {
      {128000, 44100, 2, 400},
      {128000, 44100, 1, 595}, // 128000 × 1.4884302326 = 190518.07
      {128160, 44100, 2, 400}, // 400.5: halves go to the even neighbour
      {128480, 44100, 2, 402}, // 401.5
      {44999, 44100, 2, kVorbisQualityTooLow},
      {45000, 44100, 2, -100},
      {64000, 44100, 2, 0},
      {256000, 44100, 2, 800},
      {320000, 44100, 2, 900},
      {500000, 48000, 2, 1000},
      {128000, 32000, 2, 427}, // × 1.0666816663
      {128000, 22050, 2, 662}, // × 1.6552227998: 22050 is not above 22050
      {128000, 8000, 2, 901},  // × 2.5197834646
      {128000, 0, 2, 400},     // no rate: no adjustment
      {384000, 44100, 6, 195}, // ÷ 4.0311394086
      {256000, 44100, 4, 195}, // ÷ 2.6874262724 = 95258.6
      {512000, 44100, 8, 195}, // ÷ 5.3748525448
      {128000, 44100, 3, 400}, // other channel counts unchanged
      {-1, 44100, 2, kVorbisQualityTooLow},
  };
  for (const auto &c : cases)
    EXPECT_EQ(EstimateVorbisQuality(c.bitrate, c.rate, c.channels), c.quality)
        << c.bitrate << " " << c.rate << " " << c.channels;
}

// ---- Bad input for every reader --------------------------------------------------

TEST(EveryReader, MissingAndEmptyFiles) {
  for (const char *ext : kExtensions) {
    SCOPED_TRACE(ext);
    MemoryFileSystem mem;
    const auto missing = Analyse(mem, u"/none" + test::W(ext));
    EXPECT_FALSE(missing.Recognised);
    EXPECT_EQ(missing.FileSize, 0);
    const auto empty = AnalyseBytes(std::string("empty") + ext, {});
    EXPECT_FALSE(empty.Recognised);
    EXPECT_EQ(empty.StreamType, kStreamNone);
    EXPECT_EQ(empty.FileSize, 0);
  }
}

TEST(EveryReader, RandomBytesAreNotRecognised) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 20; ++round) {
    Bytes noise(size_t(round * 211 % 5000 + 1));
    for (auto &b : noise)
      b = uint8_t(random());
    for (const char *ext : kExtensions) {
      const auto r = AnalyseBytes(std::string("noise") + ext, noise);
      EXPECT_FALSE(r.Recognised) << ext << " round " << round;
      EXPECT_EQ(r.FileSize, int64_t(noise.size()));
    }
  }
}

// Signatures followed by random bytes: a reader may take the header, but it
// never reads outside the file or its buffers (the sanitizers watch) and
// never hangs on sizes that point anywhere.
TEST(EveryReader, SignaturesFollowedByNoise) {
  const std::pair<const char *, Bytes> heads[] = {
      {".mpc", B("MP+\x17"sv)},
      {".mpc", B("MPCKSH"sv)},
      {".mpc", B("MPCKSH\xFF\xFF"sv)},
      {".flac", B("fLaC"sv)},
      {".ogg", B("OggS"sv)},
      {".wav", B("RIFF\0\0\0\0WAVE"sv)},
      {".wv", B("wvpk"sv)},
      {".wv", B("RIFF\0\0\0\0WAVE"sv)},
      {".ape", B("MAC \x96\x0f"sv)},
      {".ape", B("MAC \xd0\x07"sv)},
      {".shn", B("ajkg"sv)},
      {".cda", B("RIFF\0\0\0\0CDDA"sv)},
  };
  std::mt19937 random(7);
  for (const auto &[ext, head] : heads) {
    for (int round = 0; round < 50; ++round) {
      Bytes noise(size_t(random() % 300));
      for (auto &b : noise)
        b = uint8_t(random());
      const Bytes file = Cat({head, noise});
      const auto r = AnalyseBytes(std::string("sig") + ext, file);
      EXPECT_EQ(r.FileSize, int64_t(file.size()));
    }
  }
}

} // namespace
} // namespace tunbrix
