// WavPack 4 and later: block headers built by hand, and files of the wavpack
// tool where mutagen cannot serve as the peer (more than two channels, rates
// outside the table, a stream whose length was unknown when it was written).
#include <gtest/gtest.h>

#include "analysis/streamformats.h"
#include "support/analyse_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using namespace test::bytes;

constexpr uint32_t kMono = 0x4, kInitial = 0x800, kFinal = 0x1000, kDsd = 0x80000000;
constexpr uint64_t kUnknown = ~uint64_t(0);
uint32_t Rate(uint32_t index) { return index << 23; }
uint32_t BytesPerSample(uint32_t n) { return n - 1; }

// A sub-block: id (0x40 marks an odd length, 0x80 a 24-bit length in
// words), length in 16-bit words, data padded to even.
Bytes SubBlock(uint8_t id, Bytes data) {
  if (data.size() % 2) {
    id |= 0x40;
    data.push_back(0);
  }
  const uint32_t words = uint32_t(data.size() / 2);
  if (words > 255)
    return Cat(
        {{uint8_t(id | 0x80), uint8_t(words), uint8_t(words >> 8), uint8_t(words >> 16)}, data});
  return Cat({{id, uint8_t(words)}, data});
}

struct TBlock {
  uint32_t flags = BytesPerSample(2) | Rate(9) | kInitial | kFinal; // 16 bits, 44100 Hz, stereo
  uint64_t total = 441000;
  uint64_t index = 0;
  uint32_t samples = 22050;
  uint16_t version = 0x410;
  Bytes body;            // sub-blocks
  int64_t sizeDelta = 0; // added to the stored block size
};

// "wvpk", block size − 8, version, the upper bytes of the 40-bit index and
// total, their lower 32 bits, samples in the block, flags, CRC. A total of
// all ones in the low 32 bits is unknown, so larger totals are stored one
// higher per 2^32 − 1.
Bytes Block(const TBlock &b) {
  uint64_t total = b.total;
  uint32_t low = 0xFFFFFFFF;
  uint8_t high = 0;
  if (total != kUnknown) {
    total += total / 0xFFFFFFFF;
    low = uint32_t(total);
    high = uint8_t(total >> 32);
  }
  return Cat({B("wvpk"),
              Le32(uint32_t(24 + b.body.size() + b.sizeDelta)),
              Le16(b.version),
              {uint8_t(b.index >> 32), high},
              Le32(low),
              Le32(uint32_t(b.index)),
              Le32(b.samples),
              Le32(b.flags),
              Le32(0),
              b.body});
}

TAudioFmtResult Analyse(const Bytes &file, const std::string &name = "a.wv",
                        const TTagFacts &tags = {}) {
  return test::AnalyseBytes(AnalyseRiffWave, name, file, tags);
}

// Five minutes at 44100 Hz: 13,230,000 samples, more milliseconds than 32
// bits hold before the division.
TEST(WavPack, FirstBlockHeader) {
  TBlock b;
  b.total = 13230000;
  const Bytes file = Cat({Block(b), Bytes(50000, 0x42)});
  TTagFacts tags;
  tags.totalTagSize = 1000; // an APE tag at the end, counted by the caller
  for (const char *name : {"a.wv", "B.WV"}) {
    const auto r = Analyse(file, name, tags);
    ASSERT_TRUE(r.Recognised) << name;
    EXPECT_EQ(r.StreamType, kStreamWavPack);
    EXPECT_EQ(r.Version, 0x410u);
    EXPECT_EQ(r.Channels, 2u);
    EXPECT_EQ(r.SampleRate, 44100u);
    EXPECT_EQ(r.BitsPerSample, 16u);
    EXPECT_EQ(r.LengthMs, 300000u);
    EXPECT_EQ(r.LengthSec, 300u);
    EXPECT_DOUBLE_EQ(r.BitrateExact, (file.size() - 1000.0) * 8 / 300000);
    EXPECT_EQ(r.BitrateKbps, 1u);
    EXPECT_EQ(r.FileSize, int64_t(file.size()));
  }
  // Under ".wav" it is no RIFF file.
  EXPECT_FALSE(Analyse(file, "a.wav").Recognised);
}

TEST(WavPack, ChannelsSampleSizesAndRates) {
  for (uint32_t n = 1; n <= 4; ++n) {
    TBlock b;
    b.flags = BytesPerSample(n) | Rate(9) | kMono | kInitial | kFinal;
    const auto r = Analyse(Block(b));
    EXPECT_EQ(r.BitsPerSample, 8 * n);
    EXPECT_EQ(r.Channels, 1u);
  }
  const uint32_t rates[15] = {6000,  8000,  9600,  11025, 12000, 16000, 22050, 24000,
                              32000, 44100, 48000, 64000, 88200, 96000, 192000};
  for (uint32_t i = 0; i < 15; ++i) {
    TBlock b;
    b.flags = BytesPerSample(2) | Rate(i) | kInitial | kFinal;
    b.total = rates[i] * 2;
    const auto r = Analyse(Block(b));
    EXPECT_EQ(r.SampleRate, rates[i]);
    EXPECT_EQ(r.LengthMs, 2000u);
  }
}

// Rate index 15: the rate stands in a sample-rate sub-block (3 bytes, so of
// odd length); more than two channels in a channel-info sub-block behind
// other sub-blocks.
TEST(WavPack, FormatFromSubBlocks) {
  TBlock b;
  b.flags = BytesPerSample(3) | Rate(15) | kInitial;
  b.total = 100000;
  b.body = Cat({SubBlock(0x02, Bytes(6, 1)), SubBlock(0x0A, Bytes(600, 9)),
                SubBlock(0x0D, {6, 0x3F}), SubBlock(0x27, {0x50, 0xC3, 0x00})});
  auto r = Analyse(Block(b));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.SampleRate, 50000u);
  EXPECT_EQ(r.Channels, 6u);
  EXPECT_EQ(r.BitsPerSample, 24u);
  EXPECT_EQ(r.LengthMs, 2000u);
  // Without the sub-block the rate is unknown, and so is the length.
  b.body = SubBlock(0x0D, {6, 0x3F});
  r = Analyse(Block(b));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.SampleRate, 0u);
  EXPECT_EQ(r.LengthMs, 0u);
  EXPECT_EQ(r.BitrateExact, 0);
}

// DSD: one bit per sample; the stored rate times 2^shift of the DSD
// sub-block is the rate, while the sample counts keep the stored rate.
TEST(WavPack, DsdRate) {
  TBlock b;
  b.flags = BytesPerSample(1) | Rate(15) | kInitial | kFinal | kDsd;
  b.total = 352800 * 3;
  b.body = Cat({SubBlock(0x27, {0x20, 0x62, 0x05}), SubBlock(0x0E, {3, 0})});
  const auto r = Analyse(Block(b));
  EXPECT_EQ(r.SampleRate, 2822400u);
  EXPECT_EQ(r.BitsPerSample, 1u);
  EXPECT_EQ(r.LengthMs, 3000u);
}

// A stream written without knowing its length: the blocks are counted, and
// in a multichannel frame only its first block.
TEST(WavPack, UnknownTotalIsCountedBlockByBlock) {
  Bytes file;
  for (int frame = 0; frame < 3; ++frame) {
    TBlock first, second;
    first.total = second.total = kUnknown;
    first.index = second.index = uint64_t(frame) * 44100;
    first.samples = second.samples = 44100;
    first.flags = BytesPerSample(2) | Rate(9) | kInitial;
    second.flags = BytesPerSample(2) | Rate(9) | kFinal;
    first.body = second.body = Bytes(100, 0x11);
    file = Cat({file, Block(first), Block(second)});
  }
  file = Cat({file, B("APETAGEX"), Bytes(24, 0)});
  auto r = Analyse(file);
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 3000u);
  // A file cut out of a longer one starts at a later index: its total is not
  // its own.
  TBlock late;
  late.index = 441000;
  late.total = 882000;
  late.samples = 22050;
  r = Analyse(Cat({Block(late), Block(late)}));
  EXPECT_EQ(r.LengthMs, 1000u);
}

TEST(WavPack, FortyBitTotal) {
  TBlock b;
  b.flags = BytesPerSample(2) | Rate(14) | kInitial | kFinal; // 192000 Hz
  b.total = 5000000000;
  const auto r = Analyse(Block(b));
  EXPECT_EQ(r.LengthMs, 26041666u);
  EXPECT_EQ(r.LengthSec, 26041u);
}

TEST(WavPack, DamagedHeaders) {
  auto with = [](auto change) {
    TBlock b;
    change(b);
    return Block(b);
  };
  struct {
    const char *what;
    Bytes file;
    bool recognised;
    uint32_t channels = 2;
  } const cases[] = {
      {"version 0x401", with([](TBlock &b) { b.version = 0x401; }), false},
      {"version 0x411", with([](TBlock &b) { b.version = 0x411; }), false},
      {"a block smaller than its header", with([](TBlock &b) { b.sizeDelta = -1; }), false},
      {"a header cut by the end",
       [] {
         Bytes cut = Block({});
         cut.resize(31);
         return cut;
       }(),
       false},
      {"a block running past the end", with([](TBlock &b) {
         b.body = SubBlock(0x0D, {6, 0});
         b.sizeDelta = 1000000;
       }),
       true, 6},
      {"a sub-block running past the block", with([](TBlock &b) {
         b.body = Cat({{0x0D, 200}, {6, 0}});
       }),
       true},
      {"a large sub-block cut by the end", with([](TBlock &b) {
         b.body = {0x8D, 0xFF};
       }),
       true},
  };
  for (const auto &c : cases) {
    const auto r = Analyse(c.file);
    EXPECT_EQ(r.Recognised, c.recognised) << c.what;
    EXPECT_EQ(r.FileSize, int64_t(c.file.size())) << c.what;
    if (c.recognised) {
      EXPECT_EQ(r.Channels, c.channels) << c.what;
      EXPECT_EQ(r.LengthMs, 10000u) << c.what;
    }
  }
}

TEST(WavPack, StartsBehindAnID3v2Tag) {
  TTagFacts tags;
  tags.id3v2AtStart = true;
  tags.id3v2Size = tags.totalTagSize = 4096;
  const auto r = Analyse(Cat({Bytes(4096, 0), Block({})}), "a.wv", tags);
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.LengthMs, 10000u);
}

// ---- Files of the wavpack tool -------------------------------------------------

// sox writes raw samples into a pipe, wavpack reads them from the pipe and
// writes into another one, so it can neither know the total beforehand nor go
// back to fill it in.
Bytes PipedWavPack(const test::TempDir &dir, const std::string &rate, const std::string &channels) {
  const std::string out = (dir.Path() / "piped.wv").string();
  const std::string line = "sox -n -r " + rate + " -c " + channels +
                           " -b 16 -t raw - synth 2 sine 440 | wavpack -q -y --raw-pcm=" + rate +
                           ",16," + channels + " - -o - | cat > '" + out + "'";
  const auto r = test::RunCommand({"sh", "-c", line});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return B(test::ReadFileBytes(out));
}

TEST(WavPackTool, SixChannelsAtACustomRate) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("wavpack");
  test::TempDir dir;
  const std::string wav = (dir.Path() / "a.wav").string(), wv = (dir.Path() / "a.wv").string();
  ASSERT_EQ(test::RunCommand({"sox", "-n", "-r", "50000", "-c", "6", "-b", "16", wav, "synth", "2",
                              "sine", "440"})
                .exitCode,
            0);
  ASSERT_EQ(test::RunCommand({"wavpack", "-q", "-y", wav, "-o", wv}).exitCode, 0);
  const auto r = Analyse(B(test::ReadFileBytes(wv)));
  EXPECT_TRUE(r.Recognised);
  EXPECT_EQ(r.Channels, 6u);
  EXPECT_EQ(r.SampleRate, 50000u);
  EXPECT_EQ(r.BitsPerSample, 16u);
  EXPECT_EQ(r.LengthMs, 2000u);
}

TEST(WavPackTool, LengthUnknownWhenWritten) {
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_TOOL("wavpack");
  test::TempDir dir;
  for (const auto &[rate, channels] :
       {std::pair<std::string, std::string>{"44100", "2"}, {"48000", "6"}}) {
    const Bytes file = PipedWavPack(dir, rate, channels);
    ASSERT_GE(file.size(), 32u);
    ASSERT_EQ(Bytes(file.begin() + 12, file.begin() + 16), Bytes(4, 0xFF)) << "total unknown";
    const auto r = Analyse(file);
    EXPECT_TRUE(r.Recognised);
    EXPECT_EQ(r.Channels, uint32_t(std::stoi(channels)));
    EXPECT_EQ(r.SampleRate, uint32_t(std::stoi(rate)));
    EXPECT_EQ(r.LengthMs, 2000u) << channels << " channels";
  }
}

} // namespace
} // namespace tunbrix
