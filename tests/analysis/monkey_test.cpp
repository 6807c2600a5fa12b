// Monkey's Audio headers built by hand (no tool here writes the format): the
// old header before version 3.98 and the descriptor form after it, checked
// against mutagen where it reads the same fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "analysis/streamformats.h"
#include "support/analyse_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using namespace test::bytes;

TAudioFmtResult Analyse(const Bytes &file, const TTagFacts &tags = {}) {
  return test::AnalyseBytes(AnalyseMonkey, "a.ape", file, tags);
}

// mutagen's sample rate, channels and length ("" without mutagen).
std::string Mutagen(const Bytes &file) {
  return test::MutagenOnBytes("import sys, mutagen.monkeysaudio as m\n"
                              "i = m.MonkeysAudio(sys.argv[1]).info\n"
                              "print(i.sample_rate, i.channels, '%.3f' % i.length)",
                              "a.ape", S(file));
}

std::string Seconds(double s) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(3);
  out << s;
  return out.str();
}

// ---- The old header ----------------------------------------------------------------

struct TOld {
  uint16_t version = 3930, level = 3000, flags = 4, channels = 2;
  uint32_t rate = 44100, frames = 10, finalBlocks = 1000, peak = 32000;
  size_t size = 10000;
};

// "MAC ", version, level, flags, channels, rate, WAV header bytes,
// terminating bytes, frames, final frame blocks, peak level; then zeros.
Bytes Old(const TOld &h) {
  Bytes out =
      Cat({B("MAC "), Le16(h.version), Le16(h.level), Le16(h.flags), Le16(h.channels), Le32(h.rate),
           Le32(44), Le32(0), Le32(h.frames), Le32(h.finalBlocks), Le32(h.peak)});
  out.resize(h.size, 0);
  return out;
}

TEST(MonkeyOldHeader, Fields) {
  TTagFacts tags;
  tags.totalTagSize = 200;
  const auto r = Analyse(Old({}), tags);
  ASSERT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, kStreamMonkey);
  EXPECT_EQ(r.Version, 3930u);
  EXPECT_EQ(r.ModeValue, 3000u);
  EXPECT_EQ(r.ModeName, "High");
  EXPECT_EQ(r.FormatFlags, 4u);
  EXPECT_EQ(r.Channels, 2u);
  EXPECT_EQ(r.SampleRate, 44100u);
  EXPECT_EQ(r.BitsPerSample, 16u);
  EXPECT_TRUE(r.HasGain);
  EXPECT_EQ(r.TrackPeakValue, 32000u);
  // 9 full frames of 73728 blocks and 1000 more: 664552 samples, 15.069 s.
  EXPECT_EQ(r.LengthMs, 15069u);
  EXPECT_EQ(r.LengthSec, 15u);
  EXPECT_DOUBLE_EQ(r.BitrateExact, (10000.0 - 200) * 8 / 15069);
  EXPECT_EQ(r.BitrateKbps, 5u);

  const std::string peer = Mutagen(Old({}));
  if (peer.empty()) GTEST_SKIP() << "missing tool: mutagen";
  EXPECT_EQ(peer, "44100 2 " + Seconds(664552 / 44100.0) + "\n");
}

// The frame size is not stored: it grew with the versions, and version 3.80
// used the larger one at level 4000 (Extra High) already.
TEST(MonkeyOldHeader, BlocksPerFrameByVersion) {
  struct {
    uint16_t version, level;
    uint32_t blocks;
  } const cases[] = {
      {3700, 2000, 9216},  {3800, 3000, 9216},   {3800, 4000, 73728},
      {3899, 4000, 73728}, {3899, 5000, 9216},   {3900, 1000, 73728},
      {3949, 2000, 73728}, {3950, 2000, 294912}, {3979, 5000, 294912},
  };
  for (const auto &c : cases) {
    TOld h;
    h.version = c.version;
    h.level = c.level;
    h.frames = 2;
    h.finalBlocks = 0;
    const auto r = Analyse(Old(h));
    EXPECT_EQ(r.LengthMs, uint32_t(uint64_t(c.blocks) * 1000 / 44100))
        << c.version << " " << c.level;
  }
}

TEST(MonkeyOldHeader, SampleSizeAndPeakFromTheFlags) {
  struct {
    uint16_t flags;
    uint32_t bits;
    bool peak;
  } const cases[] = {
      {0, 16, false}, {1, 8, false}, {8, 24, false}, {2 | 4 | 16, 16, true}, {8 | 4, 24, true}};
  for (const auto &c : cases) {
    TOld h;
    h.flags = c.flags;
    const auto r = Analyse(Old(h));
    EXPECT_EQ(r.BitsPerSample, c.bits) << c.flags;
    EXPECT_EQ(r.HasGain, c.peak) << c.flags;
    EXPECT_EQ(r.TrackPeakValue, c.peak ? 32000u : 0u) << c.flags;
    EXPECT_EQ(r.FormatFlags, c.flags);
  }
}

TEST(MonkeyOldHeader, NoFramesAndCutHeaders) {
  TOld h;
  h.frames = 0;
  auto r = Analyse(Old(h));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 0u);
  EXPECT_EQ(r.BitrateExact, 0);
  h = {};
  h.size = 35;
  r = Analyse(Old(h));
  EXPECT_FALSE(r.Recognised);
  EXPECT_EQ(r.Version, 3930u);
  EXPECT_EQ(r.FileSize, 35);
  h.rate = 0;
  h.size = 36;
  r = Analyse(Old(h));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 0u);
}

// ---- The descriptor form -----------------------------------------------------------

struct TNew {
  uint16_t version = 3990;
  uint32_t descriptorLength = 52, headerLength = 24;
  uint16_t level = 2000, flags = 0;
  uint32_t blocksPerFrame = 73728, finalBlocks = 5000, frames = 3;
  uint16_t bits = 24, channels = 2;
  uint32_t rate = 48000;
  size_t size = 20000;
};

// Descriptor: "MAC ", version, padding, its length, the header's length, seek
// table, WAV header, frame data (two words), terminating bytes, MD5; extra
// descriptor bytes up to its length; the header: level, flags, blocks per
// frame, final frame blocks, frames, bits, channels, rate.
Bytes New(const TNew &h) {
  Bytes out =
      Cat({B("MAC "), Le16(h.version), Le16(0), Le32(h.descriptorLength), Le32(h.headerLength),
           Le32(12), Le32(44), Le32(19000), Le32(0), Le32(0), Bytes(16, 0xEE)});
  out.resize(std::max<size_t>(52, h.descriptorLength), 0xDD);
  out = Cat({out, Le16(h.level), Le16(h.flags), Le32(h.blocksPerFrame), Le32(h.finalBlocks),
             Le32(h.frames), Le16(h.bits), Le16(h.channels), Le32(h.rate)});
  out.resize(h.size, 0);
  return out;
}

TEST(MonkeyNewHeader, Fields) {
  const auto r = Analyse(New({}));
  ASSERT_TRUE(r.Recognised);
  EXPECT_EQ(r.StreamType, kStreamMonkey);
  EXPECT_EQ(r.Version, 3990u);
  EXPECT_EQ(r.ModeValue, 2000u);
  EXPECT_EQ(r.ModeName, "Normal");
  EXPECT_EQ(r.BitsPerSample, 24u);
  EXPECT_EQ(r.Channels, 2u);
  EXPECT_EQ(r.SampleRate, 48000u);
  EXPECT_FALSE(r.HasGain);
  // 2 × 73728 + 5000 = 152456 samples: 3.176 s.
  EXPECT_EQ(r.LengthMs, 3176u);
  EXPECT_EQ(r.LengthSec, 3u);
  EXPECT_DOUBLE_EQ(r.BitrateExact, 20000.0 * 8 / 3176);
  EXPECT_EQ(r.BitrateKbps, 50u);

  const std::string peer = Mutagen(New({}));
  if (peer.empty()) GTEST_SKIP() << "missing tool: mutagen";
  EXPECT_EQ(peer, "48000 2 " + Seconds(152456 / 48000.0) + "\n");
}

TEST(MonkeyNewHeader, LevelNames) {
  const std::pair<uint16_t, const char *> cases[] = {
      {1000, "Fast"},   {2000, "Normal"},    {3000, "High"}, {4000, "Extra High"},
      {5000, "Insane"}, {6000, "BrainDead"}, {1500, ""},     {0, ""}};
  for (const auto &[level, name] : cases) {
    TNew h;
    h.level = level;
    const auto r = Analyse(New(h));
    EXPECT_EQ(r.ModeValue, level);
    EXPECT_EQ(r.ModeName, name) << level;
  }
}

TEST(MonkeyNewHeader, DescriptorAndHeaderLengths) {
  struct {
    const char *what;
    TNew h;
    bool recognised;
    uint32_t rate;
  } cases[] = {
      {"a longer descriptor is passed over", {}, true, 48000},
      {"a header of 20 bytes ends before the rate", {}, true, 0},
      {"a longer header is read as far as known", {}, true, 48000},
      {"a descriptor shorter than its own fields", {}, false, 0},
      {"no frames", {}, false, 48000},
  };
  cases[0].h.descriptorLength = 60;
  cases[1].h.headerLength = 20;
  cases[2].h.headerLength = 40;
  cases[3].h.descriptorLength = 40;
  cases[4].h.frames = 0;
  for (const auto &c : cases) {
    const auto r = Analyse(New(c.h));
    EXPECT_EQ(r.Recognised, c.recognised) << c.what;
    EXPECT_EQ(r.SampleRate, c.rate) << c.what;
    EXPECT_EQ(r.StreamType, c.recognised ? kStreamMonkey : kStreamNone) << c.what;
    if (c.rate == 0) {
      EXPECT_EQ(r.LengthMs, 0u) << c.what;
    }
  }
}

TEST(MonkeyNewHeader, CutHeadersAndHugeCounts) {
  for (size_t size : {6, 51, 57, 75}) {
    TNew h;
    h.size = size;
    const auto r = Analyse(New(h));
    EXPECT_FALSE(r.Recognised) << size;
    EXPECT_EQ(r.FileSize, int64_t(size));
  }
  // Milliseconds beyond 32 bits: the header is taken, the length is not.
  TNew h;
  h.frames = h.blocksPerFrame = 0xFFFFFFFF;
  h.rate = 1;
  const auto r = Analyse(New(h));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 0u);
  EXPECT_EQ(r.BitrateKbps, 0u);
}

TEST(MonkeysAudio, StartsBehindAnID3v2TagAndNeedsItsSignature) {
  TTagFacts tags;
  tags.id3v2AtStart = true;
  tags.id3v2Size = tags.totalTagSize = 512;
  const Bytes file = Cat({Bytes(512, 0), New({})});
  const auto r = Analyse(file, tags);
  EXPECT_TRUE(r.Recognised);
  EXPECT_DOUBLE_EQ(r.BitrateExact, 20000.0 * 8 / 3176);
  EXPECT_FALSE(Analyse(file).Recognised);
  Bytes wrong = New({});
  wrong[3] = '_';
  EXPECT_FALSE(Analyse(wrong).Recognised);
  EXPECT_EQ(Analyse(wrong).Version, 0u);
}

} // namespace
} // namespace tunbrix
