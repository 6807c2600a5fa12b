// MPEG audio analysis: frame headers, the frame search and its window,
// Xing, Info, VBRI and LAME headers, the start behind an ID3v2 tag, the
// encoder search, damaged input and the bytes read. Hand-built streams are
// runs of frames whose bodies are zeros (no byte 0xFF), so every header sits
// exactly where the test puts it; real files come from lame and are checked
// against mutagen.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

#include "analysis/mpegaudio.h"
#include "support/bytes.h"
#include "support/test_support.h"
#include "tags/tagid3.h"
#include "tags/tagid3v2.h"

namespace tunbrix {
namespace {

using namespace test::bytes;
using Header = std::array<uint8_t, 4>;

// MPEG 1 Layer III 128 kbit/s 44100 Hz stereo: frames of 417 bytes, 418 padded.
constexpr Header kMp3 = {0xFF, 0xFB, 0x90, 0x00};
constexpr Header kMp3Padded = {0xFF, 0xFB, 0x92, 0x00};

uint32_t LengthOf(const Header &h) { return MpegFrameLength(DecodeMpegHeader(h.data())); }

// count frames of the length the header gives.
Bytes Frames(const Header &h, int count) {
  Bytes out;
  const uint32_t length = LengthOf(h);
  for (int i = 0; i < count; ++i) {
    out.insert(out.end(), h.begin(), h.end());
    out.resize(out.size() + length - 4, 0);
  }
  return out;
}

void Put(Bytes &b, size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), b.begin() + at);
}

void PutBE32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = uint8_t(v >> (24 - 8 * i));
}

// A VBR header ("Xing" or "Info", flags with the frame field) at `at`,
// optionally followed by a LAME version and its method byte.
void PutXing(Bytes &b, size_t at, std::string_view id, uint32_t frames, std::string_view lame = {},
             uint8_t method = 0) {
  Put(b, at, id);
  PutBE32(b, at + 4, 0x0F);
  PutBE32(b, at + 8, frames);
  if (lame.empty()) return;
  Put(b, at + 120, lame);
  b[at + 129] = method;
}

struct Analysis {
  TAudioFmtResult out;
  std::unique_ptr<CLameTag> lame;
  std::vector<std::string> log;
};

Analysis Analyse(const Bytes &file, const TTagFacts &tags = {}) {
  MemoryFileSystem fs;
  fs.SetFile(u"/a.mp3", file);
  Analysis a;
  AnalyseMpeg(fs, u"/a.mp3", tags, a.out, a.lame,
              [&](std::string_view line) { a.log.emplace_back(line); });
  return a;
}

// ---- frame headers

TEST(MpegHeader, FrameLengths) {
  struct Case {
    Header h;
    uint32_t bitrate, rate, length;
  } cases[] = {
      {kMp3, 128, 44100, 417},                      // MPEG 1 Layer III
      {kMp3Padded, 128, 44100, 418},                //
      {{0xFF, 0xF3, 0x80, 0x00}, 64, 22050, 208},   // MPEG 2 Layer III
      {{0xFF, 0xF3, 0x82, 0x00}, 64, 22050, 209},   //
      {{0xFF, 0xF5, 0x80, 0x00}, 64, 22050, 417},   // MPEG 2 Layer II
      {{0xFF, 0xF5, 0x82, 0x00}, 64, 22050, 418},   //
      {{0xFF, 0xE3, 0x18, 0xC0}, 8, 8000, 72},      // MPEG 2.5 Layer III
      {{0xFF, 0xE3, 0x20, 0x00}, 16, 11025, 104},   //
      {{0xFF, 0xFF, 0x14, 0x00}, 32, 48000, 32},    // MPEG 1 Layer I
      {{0xFF, 0xFF, 0x16, 0x00}, 32, 48000, 36},    // padded by 4
      {{0xFF, 0xFD, 0xE8, 0x00}, 384, 32000, 1728}, // MPEG 1 Layer II, the longest
      {{0xFF, 0xFB, 0xE2, 0x00}, 320, 44100, 1045}, //
      {{0xFF, 0xF7, 0xE0, 0x00}, 256, 22050, 557},  // MPEG 2 Layer I
      {{0xFF, 0xFB, 0x00, 0x00}, 0, 44100, 0},      // free format
      {{0xFF, 0xEB, 0x90, 0x00}, 0, 0, 0},          // reserved version
  };
  for (const auto &c : cases) {
    const auto h = DecodeMpegHeader(c.h.data());
    EXPECT_TRUE(h.Valid) << int(c.h[1]) << " " << int(c.h[2]);
    EXPECT_EQ(h.Bitrate, c.bitrate) << int(c.h[1]) << " " << int(c.h[2]);
    EXPECT_EQ(h.SampleRate, c.rate) << int(c.h[1]) << " " << int(c.h[2]);
    EXPECT_EQ(MpegFrameLength(h), c.length) << int(c.h[1]) << " " << int(c.h[2]);
  }
}

TEST(MpegHeader, Validity) {
  const std::pair<Header, bool> cases[] = {
      {kMp3, true},
      {{0xFE, 0xFB, 0x90, 0x00}, false}, // no sync byte
      {{0xFF, 0xDB, 0x90, 0x00}, false}, // a top bit of b1 clear
      {{0xFF, 0xF9, 0x90, 0x00}, false}, // layer 0
      {{0xFF, 0xFB, 0xF0, 0x00}, false}, // bitrate index 15
      {{0xFF, 0xFB, 0x9C, 0x00}, false}, // sample-rate index 3
      {{0xFF, 0xFB, 0x90, 0x02}, false}, // emphasis 2
      {{0xFF, 0xFB, 0x90, 0x01}, true},  // emphasis 1
      {{0xFF, 0xFB, 0x90, 0x03}, true},  // emphasis 3
      {{0xFF, 0xFB, 0x00, 0x00}, true},  // free format
  };
  for (const auto &[bytes, valid] : cases)
    EXPECT_EQ(DecodeMpegHeader(bytes.data()).Valid, valid)
        << int(bytes[0]) << " " << int(bytes[1]) << " " << int(bytes[2]) << " " << int(bytes[3]);

  const Header all = {
      0xFF, 0xFA, 0x93,
      0x6D}; // protected, padded, private, joint, ext 2, copyright, original, emphasis 1
  const auto h = DecodeMpegHeader(all.data());
  EXPECT_EQ(h.Version, kMpeg1);
  EXPECT_EQ(h.Layer, kLayer3);
  EXPECT_FALSE(h.Protection);
  EXPECT_EQ(h.BitrateIndex, 9u);
  EXPECT_EQ(h.SampleRateIndex, 0u);
  EXPECT_TRUE(h.Padding);
  EXPECT_TRUE(h.Private);
  EXPECT_EQ(h.ChannelMode, 1u);
  EXPECT_EQ(h.ModeExtension, 2u);
  EXPECT_TRUE(h.Copyright);
  EXPECT_TRUE(h.Original);
  EXPECT_EQ(h.Emphasis, 1u);
}

TEST(MpegHeader, Names) {
  const char *versions[] = {"MPEG 2.5", "", "MPEG 2.0", "MPEG 1.0"};
  const char *layers[] = {"", "Layer 3", "Layer 2", "Layer 1"};
  const char *modes[] = {"Stereo", "Joint Stereo", "Dual Channel", "Mono"};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(MpegVersionName(i), versions[i]);
    EXPECT_EQ(MpegLayerName(i), layers[i]);
    EXPECT_EQ(MpegChannelModeName(i), modes[i]);
  }
}

// ---- streams by hand

TEST(MpegAnalysis, ConstantBitrateStreamsOfEveryVersion) {
  struct Case {
    Header h;
    uint32_t version, layer, rate, channels, bitrate;
    const char *versionName;
  } cases[] = {
      {kMp3, kMpeg1, kLayer3, 44100, 2, 128, "MPEG 1.0"},
      {{0xFF, 0xF3, 0x80, 0x40}, kMpeg2, kLayer3, 22050, 2, 64, "MPEG 2.0"},
      {{0xFF, 0xF5, 0x84, 0xC0}, kMpeg2, kLayer2, 24000, 1, 64, "MPEG 2.0"},
      {{0xFF, 0xE3, 0x18, 0xC0}, kMpeg25, kLayer3, 8000, 1, 8, "MPEG 2.5"},
      {{0xFF, 0xE3, 0x24, 0x80}, kMpeg25, kLayer3, 12000, 2, 16, "MPEG 2.5"},
      {{0xFF, 0xFF, 0x14, 0x00}, kMpeg1, kLayer1, 48000, 2, 32, "MPEG 1.0"},
      {{0xFF, 0xFD, 0x98, 0x00}, kMpeg1, kLayer2, 32000, 2, 160, "MPEG 1.0"},
  };
  for (const auto &c : cases) {
    const Bytes file = Frames(c.h, 200);
    const auto a = Analyse(file);
    const auto &out = a.out;
    const std::string what = c.versionName + std::to_string(c.rate);
    ASSERT_TRUE(out.Recognised) << what;
    EXPECT_EQ(out.StreamType, kStreamMpeg) << what;
    EXPECT_EQ(out.Version, c.version) << what;
    EXPECT_EQ(out.VersionName, c.versionName) << what;
    EXPECT_EQ(out.Layer, c.layer) << what;
    EXPECT_EQ(out.LayerName, MpegLayerName(c.layer)) << what;
    EXPECT_EQ(out.SampleRate, c.rate) << what;
    EXPECT_EQ(out.Channels, c.channels) << what;
    EXPECT_EQ(out.ChannelMode, uint32_t(c.h[3] >> 6)) << what;
    EXPECT_EQ(out.ChannelModeName, MpegChannelModeName(c.h[3] >> 6)) << what;
    EXPECT_FALSE(out.IsVBR) << what;
    EXPECT_EQ(out.BitrateKbps, c.bitrate) << what;
    EXPECT_DOUBLE_EQ(out.BitrateExact, c.bitrate) << what;
    EXPECT_EQ(out.FrameCount, 200u) << what;
    EXPECT_EQ(out.FileSize, int64_t(file.size())) << what;
    EXPECT_EQ(out.LengthMs, uint32_t(file.size() * 8 / c.bitrate)) << what;
    EXPECT_EQ(out.LengthSec, uint32_t(file.size() * 8 / 1000 / c.bitrate)) << what;
    EXPECT_FALSE(a.lame) << what;
    EXPECT_TRUE(a.log.empty()) << what;
  }
}

TEST(MpegAnalysis, CbrBitrateIsTheMeanOfTheConfirmedHeaders) {
  // 128 kbit/s, then 160 kbit/s frames: the first two headers decide.
  const Bytes file = Cat({Frames(kMp3, 1), Frames({0xFF, 0xFB, 0xA0, 0x00}, 50)});
  const auto a = Analyse(file);
  ASSERT_TRUE(a.out.Recognised);
  EXPECT_DOUBLE_EQ(a.out.BitrateExact, 144);
  EXPECT_EQ(a.out.BitrateKbps, 144u);
  EXPECT_EQ(a.out.FrameCount, uint32_t(file.size() / (144 * 144000 / 44100)));
  EXPECT_EQ(a.out.LengthMs, uint32_t(file.size() * 8 / 144.0));
}

// 1000 frames of 418 bytes whose first holds a Xing header saying 1000.
TEST(MpegAnalysis, XingHeader) {
  Bytes file = Frames(kMp3Padded, 1000);
  PutXing(file, 36, "Xing", 1000);
  const auto a = Analyse(file);
  ASSERT_TRUE(a.out.Recognised);
  EXPECT_TRUE(a.out.IsVBR);
  EXPECT_EQ(a.out.FrameCount, 1000u);
  EXPECT_DOUBLE_EQ(a.out.BitrateExact, 128.0125);
  EXPECT_EQ(a.out.BitrateKbps, 128u);
  EXPECT_EQ(a.out.LengthMs, 26122u);
  EXPECT_EQ(a.out.LengthSec, 26u);
  EXPECT_FALSE(a.lame);

  // A header whose frame field is 0 gives no bitrate and no length.
  PutBE32(file, 44, 0);
  const auto zero = Analyse(file);
  EXPECT_TRUE(zero.out.IsVBR);
  EXPECT_EQ(zero.out.BitrateKbps, 0u);
  EXPECT_EQ(zero.out.LengthMs, 0u);
}

// The Info header says 500 frames: taken, it doubles the mean frame and so
// the bitrate (256); ignored, the frame headers give 128.
TEST(MpegAnalysis, InfoHeaderTrustedByTheLameTag) {
  struct Case {
    const char *id;
    const char *lame; // version text of the LAME tag, "" for none
    uint8_t method;
    bool vbr;     // the header was used
    bool lameTag; // a LAME tag was decoded
  } cases[] = {
      {"Info", "LAME3.100", 0x01, false, true}, // today's lame: 3.100 is not older than 3.90
      {"Info", "LAME3.90.", 0x01, false, true},
      {"Info", "LAME3.99r", 0x01, false, true},
      {"Info", "LAME3.93 ", 0x21, false, true}, // revision 2, method 1
      {"Info", "LAME4.0  ", 0x01, false, true},
      {"Info", "LAME3.89 ", 0x01, true, false}, // older than 3.90: no tag, Info counts
      {"Info", "LAME3.100", 0x04, true, true},  // not constant bitrate
      {"Info", "LAME3.100", 0x02, true, true},
      {"Info", "LAMEx.yy ", 0x01, true, false}, // no version
      {"Info", "", 0, true, false},
      {"Xing", "LAME3.100", 0x01, true, true}, // a Xing header always counts
  };
  for (const auto &c : cases) {
    Bytes file = Frames(kMp3Padded, 1000);
    PutXing(file, 36, c.id, 500, c.lame, c.method);
    const auto a = Analyse(file);
    const std::string what = std::string(c.id) + " " + c.lame + " " + std::to_string(c.method);
    ASSERT_TRUE(a.out.Recognised) << what;
    EXPECT_EQ(a.out.IsVBR, c.vbr) << what;
    EXPECT_EQ(a.out.BitrateKbps, c.vbr ? 256u : 128u) << what;
    EXPECT_EQ(a.out.FrameCount, c.vbr ? 500u : 1000u) << what;
    EXPECT_EQ(a.out.LengthMs,
              c.vbr ? uint32_t(418000 * 8 / (44100 * 836 / 144000.0)) : uint32_t(418000 * 8 / 128))
        << what;
    ASSERT_EQ(bool(a.lame), c.lameTag) << what;
    if (a.lame) {
      EXPECT_EQ(a.lame->VersionString, c.lame) << what;
      EXPECT_EQ(a.lame->IsCBR, (c.method & 0x0F) == 1) << what;
    }
  }
}

// The side information before the VBR header is 32, 17 or 9 bytes.
TEST(MpegAnalysis, XingBehindEachSizeOfSideInformation) {
  struct Case {
    Header h;
    size_t at;
    uint32_t frames;
  } cases[] = {
      {kMp3Padded, 36, 300},               // MPEG 1 stereo
      {{0xFF, 0xFB, 0x92, 0xC0}, 21, 300}, // MPEG 1 mono
      {{0xFF, 0xF3, 0x82, 0x00}, 21, 300}, // MPEG 2 stereo
      {{0xFF, 0xF3, 0x82, 0xC0}, 13, 300}, // MPEG 2 mono
      {{0xFF, 0xE3, 0x18, 0xC0}, 13, 300}, // MPEG 2.5 mono, 8000 Hz
  };
  for (const auto &c : cases) {
    Bytes file = Frames(c.h, int(c.frames));
    PutXing(file, c.at, "Xing", c.frames);
    const auto a = Analyse(file);
    const auto h = DecodeMpegHeader(c.h.data());
    ASSERT_TRUE(a.out.Recognised) << c.at;
    EXPECT_TRUE(a.out.IsVBR) << c.at;
    EXPECT_EQ(a.out.FrameCount, c.frames) << c.at;
    const double exact = double(h.SampleRate) * MpegFrameLength(h) / MpegCoefficient(h);
    EXPECT_DOUBLE_EQ(a.out.BitrateExact, exact) << c.at;
    EXPECT_EQ(a.out.LengthMs, uint32_t(file.size() * 8 / exact)) << c.at;
  }
  // MPEG 2.5 at 8000 Hz: 300 frames of 576 samples are 21.6 s.
  Bytes file = Frames({0xFF, 0xE3, 0x18, 0xC0}, 300);
  PutXing(file, 13, "Xing", 300);
  const auto a = Analyse(file);
  EXPECT_EQ(a.out.VersionName, "MPEG 2.5");
  EXPECT_EQ(a.out.Channels, 1u);
  EXPECT_EQ(a.out.BitrateKbps, 8u);
  EXPECT_EQ(a.out.LengthMs, 21600u);
}

// A VBRI header lies 32 bytes behind the frame header in every version and
// mode; its frame count is at offset 14.
TEST(MpegAnalysis, VbriHeader) {
  // MPEG 1 stereo: 1000 frames of 418 bytes, VBRI at 36 saying 1000.
  Bytes mpeg1 = Frames(kMp3Padded, 1000);
  Put(mpeg1, 36, "VBRI");
  PutBE32(mpeg1, 50, 1000);
  auto a = Analyse(mpeg1);
  ASSERT_TRUE(a.out.Recognised);
  EXPECT_TRUE(a.out.IsVBR);
  EXPECT_EQ(a.out.FrameCount, 1000u);
  EXPECT_DOUBLE_EQ(a.out.BitrateExact, 128.0125);
  EXPECT_EQ(a.out.LengthMs, 26122u);

  // MPEG 2 mono, 22050 Hz: 500 frames of 209 bytes, VBRI at 36 saying 500.
  Bytes mpeg2 = Frames({0xFF, 0xF3, 0x82, 0xC0}, 500);
  Put(mpeg2, 36, "VBRI");
  PutBE32(mpeg2, 50, 500);
  a = Analyse(mpeg2);
  ASSERT_TRUE(a.out.Recognised);
  EXPECT_TRUE(a.out.IsVBR);
  EXPECT_EQ(a.out.FrameCount, 500u);
  EXPECT_DOUBLE_EQ(a.out.BitrateExact, 22050 * 209 / 72000.0);
  EXPECT_EQ(a.out.LengthMs, uint32_t(104500 * 8 / (22050 * 209 / 72000.0)));

  // A Xing header comes first.
  PutXing(mpeg1, 36 - 32 + 32, "Xing", 500);
  EXPECT_EQ(Analyse(mpeg1).out.FrameCount, 500u);
}

// A tag of 2000 bytes whose body holds a run of fake frame headers, 150
// bytes of zeros, 1000 frames of 418 bytes and an ID3v1 tag.
Bytes TaggedFile(bool xing) {
  Bytes tag(2000, 0);
  Put(tag, 0, "ID3\x03");
  for (size_t at = 100; at + 4 < tag.size(); at += 417)
    std::copy(kMp3.begin(), kMp3.end(), tag.begin() + at);
  Bytes stream = Frames(kMp3Padded, 1000);
  if (xing) PutXing(stream, 36, "Xing", 1000);
  Bytes v1(128, 0);
  Put(v1, 0, "TAG");
  return Cat({tag, Bytes(150, 0), stream, v1});
}

TEST(MpegAnalysis, StartBehindAnID3v2Tag) {
  TTagFacts tags;
  tags.id3v2AtStart = true;
  tags.id3v2Size = 2000;
  tags.hasID3v1 = true;
  tags.totalTagSize = 2128;
  // With the Xing header, the audio bytes (FileSize - 2150 - 128) give the
  // example's values only when FirstFrame is absolute and the tag at the
  // start is not subtracted again.
  auto a = Analyse(TaggedFile(true), tags);
  ASSERT_TRUE(a.out.Recognised);
  EXPECT_EQ(a.out.FrameCount, 1000u);
  EXPECT_DOUBLE_EQ(a.out.BitrateExact, 128.0125);
  EXPECT_EQ(a.out.LengthMs, 26122u);

  a = Analyse(TaggedFile(false), tags);
  ASSERT_TRUE(a.out.Recognised);
  EXPECT_FALSE(a.out.IsVBR);
  EXPECT_EQ(a.out.FrameCount, 1000u);
  EXPECT_EQ(a.out.LengthMs, 418000u * 8 / 128);

  // Read from byte 0, the fake headers inside the tag make the stream.
  tags = {};
  tags.totalTagSize = 2128;
  a = Analyse(TaggedFile(true), tags);
  ASSERT_TRUE(a.out.Recognised);
  EXPECT_FALSE(a.out.IsVBR);
}

TEST(MpegAnalysis, FreeFormatStreamsAreNotRecognised) {
  for (const Header &h : {Header{0xFF, 0xFB, 0x00, 0x00}, Header{0xFF, 0xFB, 0x02, 0x00},
                          Header{0xFF, 0xFF, 0x02, 0x00}}) {
    Bytes frames;
    for (int i = 0; i < 400; ++i) {
      frames.insert(frames.end(), h.begin(), h.end());
      frames.resize(frames.size() + 413, 0);
    }
    for (size_t junk = 0; junk < 2100; junk += junk < 1030 && junk > 1015 ? 1 : 13) {
      for (size_t count : {size_t(1), size_t(3), size_t(400)}) {
        Bytes file(junk, 0);
        file.insert(file.end(), frames.begin(), frames.begin() + count * 417);
        EXPECT_FALSE(Analyse(file).out.Recognised) << junk << " " << count;
      }
    }
    // Found at the last position of the last window searched, the header is
    // the last one tested.
    Bytes file(65 * 1024 - 1, 0);
    file.insert(file.end(), frames.begin(), frames.end());
    EXPECT_FALSE(Analyse(file).out.Recognised);
  }
}

// A header anywhere in a short file is found, up to the file's last window,
// however the window's halves fall; one whose frame runs past the end counts.
TEST(MpegAnalysis, FrameSearchReachesTheEndOfAShortFile) {
  for (const size_t junk :
       {0, 1023, 1024, 1500, 2047, 2048, 2100, 2496, 3000, 3071, 3072, 3500, 10000, 10239, 10240}) {
    Bytes file = Cat({Bytes(junk, 0), Frames(kMp3, 1)});
    file.resize(junk + 100);
    const auto a = Analyse(file);
    ASSERT_TRUE(a.out.Recognised) << junk;
    EXPECT_EQ(a.out.LengthMs, 100u * 8 / 128) << junk; // FirstFrame = junk
  }
}

// 1045-byte frames behind about 1000 bytes of junk put the second header on
// the last bytes of the first window, partly beyond it.
TEST(MpegAnalysis, HeaderAtTheEndOfTheWindow) {
  const Header h320 = {0xFF, 0xFB, 0xE2, 0x00};
  for (size_t junk = 995; junk <= 1010; ++junk) {
    const Bytes file = Cat({Bytes(junk, 0), Frames(h320, 20)});
    const auto a = Analyse(file);
    ASSERT_TRUE(a.out.Recognised) << junk;
    EXPECT_EQ(a.out.BitrateKbps, 320u) << junk;
    EXPECT_EQ(a.out.LengthMs, uint32_t((file.size() - junk) * 8 / 320)) << junk;
  }
}

// Headers are looked for among the first 65 x 1024 positions behind the
// start position.
TEST(MpegAnalysis, FrameSearchCoversSixtyFiveWindows) {
  const int64_t limit = 65 * 1024;
  for (const int64_t start : {int64_t(0), int64_t(3000)}) {
    TTagFacts tags;
    tags.id3v2AtStart = start > 0;
    tags.id3v2Size = start;
    tags.totalTagSize = start;
    for (const int64_t junk : {limit - 3000, limit - 1, limit, limit + 500}) {
      const Bytes file = Cat({Bytes(size_t(start + junk), 0), Frames(kMp3, 50)});
      const auto a = Analyse(file, tags);
      EXPECT_EQ(a.out.Recognised, junk < limit) << start << " " << junk;
      EXPECT_EQ(a.out.FileSize, int64_t(file.size()));
      if (a.out.Recognised) {
        EXPECT_EQ(a.out.FrameCount, 50u) << start << " " << junk;
      }
    }
  }
}

TEST(MpegAnalysis, DamagedAndForeignInput) {
  struct Case {
    const char *what;
    Bytes file;
    bool recognised;
  };
  Bytes wave(44 + 20000, 0);
  Put(wave, 0, "RIFF");
  Put(wave, 8, "WAVEfmt ");
  Bytes endsInHeader = Frames(kMp3, 3);
  endsInHeader.insert(endsInHeader.end(), {0xFF, 0xFB, 0x90});
  Bytes pastTheEnd = Frames(kMp3, 1);
  pastTheEnd.resize(104); // one header, its frame cut short
  Bytes lone(5000, 0);    // one header, no frame behind it
  std::copy(kMp3.begin(), kMp3.end(), lone.begin() + 100);
  Bytes hugeFrames = Frames({0xFF, 0xFD, 0xE8, 0x00}, 2); // 1728-byte frames
  hugeFrames.resize(2000);
  Bytes xingCut = Frames(kMp3Padded, 1);
  PutXing(xingCut, 36, "Xing", 1000);
  xingCut.resize(45); // the frame count cut in half
  const Case cases[] = {
      {"empty", {}, false},
      {"three bytes", {0xFF, 0xFB, 0x90}, false},
      {"one header", {kMp3.begin(), kMp3.end()}, true},
      {"a lone header among zeros", lone, false},
      {"a wave file", wave, false},
      {"ends inside a header", endsInHeader, true},
      {"a frame past the end", pastTheEnd, true},
      {"long frames past the end", hugeFrames, true},
      {"Xing header cut short", xingCut, true},
      {"all 0xFF", Bytes(5000, 0xFF), false},
  };
  for (const auto &c : cases) {
    const auto a = Analyse(c.file);
    EXPECT_EQ(a.out.Recognised, c.recognised) << c.what;
    EXPECT_EQ(a.out.FileSize, int64_t(c.file.size())) << c.what;
    EXPECT_TRUE(a.log.empty()) << c.what;
  }
  // What was read of a cut-short frame: 104 bytes at 128 kbit/s.
  const auto cut = Analyse(pastTheEnd).out;
  EXPECT_EQ(cut.BitrateKbps, 128u);
  EXPECT_EQ(cut.FrameCount, 0u);
  EXPECT_EQ(cut.LengthMs, 104u * 8 / 128);
  EXPECT_FALSE(Analyse(xingCut).out.IsVBR);

  // A file that is not there.
  MemoryFileSystem fs;
  TAudioFmtResult out;
  std::unique_ptr<CLameTag> lame;
  AnalyseMpeg(fs, u"/missing.mp3", {}, out, lame);
  EXPECT_FALSE(out.Recognised);
  EXPECT_EQ(out.FileSize, 0);
}

TEST(MpegAnalysis, RandomBytes) {
  std::mt19937 random(7);
  for (int i = 0; i < 60; ++i) {
    Bytes file(random() % 150000);
    for (auto &b : file)
      b = uint8_t(random());
    // Some runs hold many sync bytes, which the search must wade through.
    if (i % 3 == 0)
      for (size_t j = 0; j < file.size(); j += 1 + random() % 300)
        file[j] = 0xFF;
    const auto a = Analyse(file);
    if (!a.out.Recognised) continue;
    EXPECT_TRUE(a.out.SampleRate == 44100 || a.out.SampleRate == 48000 ||
                a.out.SampleRate == 32000 || a.out.SampleRate == 22050 ||
                a.out.SampleRate == 24000 || a.out.SampleRate == 16000 ||
                a.out.SampleRate == 11025 || a.out.SampleRate == 12000 || a.out.SampleRate == 8000);
    EXPECT_TRUE(a.out.Channels == 1 || a.out.Channels == 2);
    EXPECT_LE(a.out.BitrateKbps, 448u * 1000); // a Xing header may say anything
  }
}

// A stream with a LAME tag, and LAME texts at the start and near the end.
Bytes LameStream() {
  Bytes file = Frames(kMp3Padded, 40);
  PutXing(file, 36, "Info", 40, "LAME3.100", 0x01);
  Put(file, file.size() - 600, "LAME3.100UUUUUU");
  return file;
}

TEST(MpegAnalysis, AFailedCallEndsTheAnalysisQuietly) {
  const Bytes file = LameStream();
  for (int failAt = 1;; ++failAt) {
    MemoryFileSystem mem;
    mem.SetFile(u"/a.mp3", file);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    TAudioFmtResult out;
    std::unique_ptr<CLameTag> lame;
    std::vector<std::string> log;
    testing::internal::CaptureStdout();
    AnalyseMpeg(fs, u"/a.mp3", {}, out, lame, [&](std::string_view l) { log.emplace_back(l); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << failAt;
    if (!faults.Failed()) {
      EXPECT_TRUE(out.Recognised);
      EXPECT_EQ(out.Encoder, "Lame 3.100");
      EXPECT_EQ(out.LengthMs, uint32_t(file.size() * 8 / 128));
      EXPECT_TRUE(log.empty());
      break;
    }
    // A failure in the encoder search is logged and keeps the stream values.
    if (!log.empty()) {
      EXPECT_EQ(log, std::vector<std::string>{"!!!EXCEPTION!!!"}) << failAt;
      EXPECT_TRUE(out.Recognised) << failAt;
      EXPECT_EQ(out.BitrateKbps, 128u) << failAt;
    } else {
      EXPECT_EQ(out.Encoder, "") << failAt;
      EXPECT_EQ(out.LengthMs, 0u) << failAt;
    }
  }
}

// A real file of size bytes holding prefix and then nothing (sparse).
std::filesystem::path SparseFile(const test::TempDir &dir, const std::string &name,
                                 const Bytes &prefix, uintmax_t size) {
  const auto path = dir.Path() / name;
  test::WriteFileBytes(path, S(prefix));
  std::filesystem::resize_file(path, size);
  return path;
}

TEST(MpegAnalysis, ReadsOnlyItsWindows) {
  test::TempDir dir;
  RealFileSystem real;
  struct Case {
    const char *name;
    Bytes prefix;
    uintmax_t size;
    int64_t maxRead;
  } cases[] = {
      // No header anywhere: the start window and 65 slides.
      {"zeros.mp3", {}, uintmax_t(1) << 30, 2048 + 65 * 1024},
      // A stream at the start: the window, the first frame again, the two
      // blocks of the encoder search.
      {"stream.mp3", LameStream(), uintmax_t(1) << 30, 2048 + 2048 + 2 * 1024},
      // A stream deep in the junk: everything the search may read.
      {"late.mp3", Cat({Bytes(60000, 0), LameStream()}), uintmax_t(1) << 30,
       2048 + 65 * 1024 + 2048 + 2 * 1024},
  };
  for (const auto &c : cases) {
    const auto path = SparseFile(dir, c.name, c.prefix, c.size);
    FaultInjector faults;
    FaultInjectingFileSystem fs(real, faults);
    TAudioFmtResult out;
    std::unique_ptr<CLameTag> lame;
    AnalyseMpeg(fs, FromNativePath(path.string()), {}, out, lame);
    EXPECT_LE(faults.stats.bytesRead, c.maxRead) << c.name;
    EXPECT_EQ(out.FileSize, int64_t(c.size)) << c.name;
    EXPECT_EQ(out.Recognised, !c.prefix.empty()) << c.name;
    if (out.Recognised) {
      const double audio = double(c.size) - (c.prefix.size() - LameStream().size());
      EXPECT_EQ(out.LengthMs, uint32_t(audio * 8 / 128)) << c.name;
      EXPECT_EQ(out.FrameCount, uint32_t(audio / 418)) << c.name;
    }
  }
}

// 6 GB at 8 kbit/s is more milliseconds than 32 bits hold: the seconds are
// kept, the milliseconds stay unset.
TEST(MpegAnalysis, LengthTooLongForItsField) {
  test::TempDir dir;
  const uintmax_t size = uintmax_t(6) << 30;
  const auto path = SparseFile(dir, "long.mp3", Frames({0xFF, 0xE3, 0x18, 0xC0}, 10), size);
  RealFileSystem fs;
  TAudioFmtResult out;
  std::unique_ptr<CLameTag> lame;
  AnalyseMpeg(fs, FromNativePath(path.string()), {}, out, lame);
  ASSERT_TRUE(out.Recognised);
  EXPECT_EQ(out.FileSize, int64_t(size));
  EXPECT_EQ(out.FrameCount, uint32_t(size / 72));
  EXPECT_EQ(out.LengthSec, uint32_t(size * 8 / 1000 / 8));
  EXPECT_EQ(out.LengthMs, 0u);
}

// ---- the encoder search

TEST(DetectEncoder, TextRules) {
  struct Case {
    std::string block;
    const char *encoder;
  } cases[] = {
      {std::string("LAME3.90") + '\0', "Lame 3.90"},
      {"xxLAME3.90a", "Lame 3.90 (alpha)"},
      {"LAME3.90b2", "Lame 3.90 (beta)"},
      {"LAME3.90.3", "Lame 3.90.3"},
      {"LAME3.90.", "Lame 3.90."},
      {"LAME3.96.1\xAA\xAA", "Lame 3.96.1"},
      {"LAME3.99r\x04", "Lame 3.99r"},
      {"LAME3.100\x01\xAA", "Lame 3.100"}, // lame 3.100's tag: "3.100" is not 3.10 + "0"
      {"LAME3.100UUUUUUUU", "Lame 3.100"},
      {"LAME3.100a", "Lame 3.100 (alpha)"},
      {"LAME3.100.1", "Lame 3.100.1"},
      {"LAME3.97 (beta 2)", "Lame 3.97 (beta 2)"},
      {"LAME3.93  \x7f", "Lame 3.93"},
      {"LAME3.90 then LAME3.88", "Lame 3.88"}, // the hit nearest the end
      {"LAME3.9x", ""},
      {"lame3.90", ""},
      {"LAME3.", ""},
      {"", ""},
  };
  for (const auto &c : cases) {
    const auto *b = reinterpret_cast<const uint8_t *>(c.block.data());
    EXPECT_EQ(FindLameEncoder(b, c.block.size()), c.encoder) << c.block;
  }
}

TEST(DetectEncoder, VersionOrder) {
  struct Case {
    const char *a, *b;
    int order;
  } cases[] = {
      {"Lame 3.93", "Lame 3.90", 1},    {"Lame 3.100", "Lame 3.99r", 1},
      {"Lame 3.100", "Lame 3.90", 1},   {"Lame 3.90", "Lame 3.100", -1},
      {"Lame 3.99r", "Lame 3.99.5", 1}, // the same numbers: byte-wise
      {"Lame 3.93", "Lame 3.93", 0},    {"Lame 3.93", "", 1},
      {"Other", "Lame 3.93", 1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(CompareEncoderTexts(c.a, c.b), c.order) << c.a << " / " << c.b;
}

// A 4000-byte stream-less file with a LAME text near the start and one near
// the end.
Bytes TwoVersions(const std::string &head, const std::string &tail) {
  Bytes file(4000, 0);
  Put(file, 100, head);
  Put(file, 3500, tail);
  return file;
}

std::string Encoder(const Bytes &file, const TTagFacts &tags = {}) {
  MemoryFileSystem fs;
  fs.SetFile(u"/a.mp3", file);
  TAudioFmtResult out;
  DetectEncoder(fs, u"/a.mp3", tags, out);
  return out.Encoder;
}

TEST(DetectEncoder, TheLaterVersionWins) {
  struct Case {
    const char *head, *tail, *encoder;
  } cases[] = {
      {"LAME3.90", "LAME3.93", "Lame 3.93"},
      {"LAME3.93", "LAME3.90", "Lame 3.93"},
      {"LAME3.100", "LAME3.99r", "Lame 3.100"},
      {"LAME3.99r", "LAME3.100", "Lame 3.100"},
      {"LAME3.90", "LAME3.100", "Lame 3.100"},
      {"", "LAME3.93", "Lame 3.93"},
      {"LAME3.93", "", "Lame 3.93"},
      {"", "", ""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(Encoder(TwoVersions(c.head, c.tail)), c.encoder) << c.head << " " << c.tail;
}

TEST(DetectEncoder, BlocksLieBetweenTheTags) {
  // The head block starts behind an ID3v2 tag at the start.
  TTagFacts start;
  start.id3v2AtStart = true;
  start.id3v2Size = 200;
  EXPECT_EQ(Encoder(TwoVersions("LAME3.90", ""), start), "");
  start.id3v2Size = 50;
  EXPECT_EQ(Encoder(TwoVersions("LAME3.90", ""), start), "Lame 3.90");

  // The tail block ends 1025 bytes before the tags at the end: a text at
  // 3500 of 4000 lies in it only when the tags are small enough.
  struct Case {
    bool v1;
    int64_t lyrics3, id3v2;
    const char *encoder;
  } cases[] = {
      {false, 0, 0, "Lame 3.93"}, {true, 0, 0, "Lame 3.93"}, {false, 600, 0, ""},
      {false, 0, 600, ""},        {true, 200, 200, ""},      {false, 300, 0, "Lame 3.93"},
  };
  for (const auto &c : cases) {
    TTagFacts tags;
    tags.hasID3v1 = c.v1;
    tags.lyrics3Size = c.lyrics3;
    tags.id3v2AtEnd = c.id3v2 > 0;
    tags.id3v2EndSize = c.id3v2;
    EXPECT_EQ(Encoder(TwoVersions("", "LAME3.93"), tags), c.encoder)
        << c.v1 << " " << c.lyrics3 << " " << c.id3v2;
  }
  // A file too short for a tail block has only its head.
  Bytes small(1025, 0);
  Put(small, 1017, "LAME3.93"); // crosses the end of the head block
  EXPECT_EQ(Encoder(small), "");
}

TEST(DetectEncoder, AFailureGoesToTheDebugLogOnly) {
  MemoryFileSystem fs;
  TAudioFmtResult out;
  out.Encoder = "Lame 3.90";
  std::vector<std::string> log;
  testing::internal::CaptureStdout();
  DetectEncoder(fs, u"/missing.mp3", {}, out, [&](std::string_view l) { log.emplace_back(l); });
  DetectEncoder(fs, u"/missing.mp3", {}, out);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log, std::vector<std::string>{"!!!EXCEPTION!!!"});
  EXPECT_EQ(out.Encoder, "Lame 3.90");
}

// ---- files made by lame

struct MutagenInfo {
  double length = 0;
  double bitrate = 0; // kbit/s
  uint32_t rate = 0, channels = 0;
};

MutagenInfo Mutagen(const std::filesystem::path &file) {
  const auto r = test::RunCommand(
      {"/usr/bin/python3", "-c",
       "import mutagen.mp3,sys; f=mutagen.mp3.MP3(sys.argv[1]); print(f.info.length, "
       "f.info.bitrate, f.info.sample_rate, f.info.channels)",
       file.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  MutagenInfo m;
  std::istringstream(r.out) >> m.length >> m.bitrate >> m.rate >> m.channels;
  m.bitrate /= 1000;
  return m;
}

std::filesystem::path MakeWav(const test::TempDir &dir, int rate, int channels) {
  const auto wav =
      dir.Path() / ("in" + std::to_string(rate) + "_" + std::to_string(channels) + ".wav");
  if (std::filesystem::exists(wav)) return wav;
  const auto r = test::RunCommand({"sox", "-R", "-n", "-r", std::to_string(rate), "-c",
                                   std::to_string(channels), "-b", "16", wav.string(), "synth", "4",
                                   "pinknoise", "vol", "0.3"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return wav;
}

std::filesystem::path Lame(const test::TempDir &dir, const std::filesystem::path &wav,
                           const std::vector<std::string> &args, const std::string &name) {
  std::vector<std::string> argv = {"lame", "--silent"};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto mp3 = dir.Path() / name;
  argv.push_back(wav.string());
  argv.push_back(mp3.string());
  const auto r = test::RunCommand(argv);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return mp3;
}

// Whether the first kilobyte or the kilobyte before the last byte holds a
// LAME version text.
bool FileHoldsLameText(const std::filesystem::path &mp3) {
  const std::string bytes = test::ReadFileBytes(mp3);
  const std::string head = bytes.substr(0, 1024);
  const std::string tail = bytes.size() > 1025 ? bytes.substr(bytes.size() - 1025, 1024) : "";
  return head.find("LAME3.") != std::string::npos || tail.find("LAME3.") != std::string::npos;
}

// Sample rate and channels must match mutagen exactly. Length and bitrate
// may differ by design: mutagen leaves out the Info frame and lame's
// encoder delay and padding, which we count as audio, so the lengths may
// differ by up to four frames and the bitrates by 3 % (at least 1 kbit/s).
// A VBR stream without a VBR header gets its bitrate from its first frames;
// only its stream values are compared.
TEST(MpegAnalysis, LameFilesAgreeWithMutagen) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_MUTAGEN();
  struct Case {
    int inRate, inChannels;
    std::vector<std::string> args;
    uint32_t rate, channels, version;
    bool vbr, lameTag, compareLength;
  } cases[] = {
      {44100, 2, {"-b", "128"}, 44100, 2, kMpeg1, false, true, true}, // CBR with Info
      {44100, 2, {"-V", "2"}, 44100, 2, kMpeg1, true, true, true},
      {44100, 2, {"--abr", "96"}, 32000, 2, kMpeg1, true, true, true},
      {44100, 2, {"-t", "-b", "128"}, 44100, 2, kMpeg1, false, false, true},
      {44100, 2, {"-t", "-V", "2"}, 44100, 2, kMpeg1, false, false, false},
      {44100, 2, {"-m", "m", "-b", "64"}, 44100, 1, kMpeg1, false, true, true},
      {44100, 2, {"-m", "m", "-V", "4"}, 44100, 1, kMpeg1, true, true, true},
      {22050, 2, {"-b", "64"}, 22050, 2, kMpeg2, false, true, true},
      {24000, 2, {"-V", "5"}, 24000, 2, kMpeg2, true, true, true},
      // Frames too short for a LAME tag: lame writes no Info frame.
      {16000, 1, {"-b", "24"}, 16000, 1, kMpeg2, false, false, true},
      {44100, 2, {"-b", "64", "--resample", "22.05"}, 22050, 2, kMpeg2, false, true, true},
      {8000, 1, {"-b", "8"}, 8000, 1, kMpeg25, false, false, true},
      {11025, 2, {"-b", "16", "--resample", "11.025"}, 11025, 2, kMpeg25, false, false, true},
      {44100, 2, {"-b", "16", "--resample", "12"}, 12000, 2, kMpeg25, false, false, true},
      {8000, 1, {"-V", "6"}, 8000, 1, kMpeg25, true, true, true},
  };
  test::TempDir dir;
  RealFileSystem fs;
  int n = 0;
  for (const auto &c : cases) {
    const auto mp3 =
        Lame(dir, MakeWav(dir, c.inRate, c.inChannels), c.args, "f" + std::to_string(n++) + ".mp3");
    std::string what = mp3.filename().string();
    for (const auto &a : c.args)
      what += " " + a;
    TAudioFmtResult out;
    std::unique_ptr<CLameTag> lame;
    AnalyseMpeg(fs, FromNativePath(mp3.string()), {}, out, lame);
    const auto m = Mutagen(mp3);
    ASSERT_TRUE(out.Recognised) << what;
    EXPECT_EQ(out.SampleRate, c.rate) << what;
    EXPECT_EQ(out.SampleRate, m.rate) << what;
    EXPECT_EQ(out.Channels, c.channels) << what;
    EXPECT_EQ(out.Channels, m.channels) << what;
    EXPECT_EQ(out.Version, c.version) << what;
    EXPECT_EQ(out.Layer, kLayer3) << what;
    EXPECT_EQ(out.IsVBR, c.vbr) << what;
    EXPECT_EQ(bool(lame), c.lameTag) << what;
    if (lame) {
      EXPECT_EQ(lame->IsCBR, !c.vbr) << what;
    }
    EXPECT_EQ(out.FileSize, int64_t(std::filesystem::file_size(mp3))) << what;
    // Without an Info frame the name is found only where lame's padding
    // happens to carry it.
    if (lame || FileHoldsLameText(mp3)) {
      EXPECT_EQ(out.Encoder, "Lame 3.100") << what;
    } else {
      EXPECT_EQ(out.Encoder, "") << what;
    }
    if (!c.compareLength) continue;
    const double frame = (c.version == kMpeg1 ? 1152.0 : 576.0) / c.rate;
    EXPECT_NEAR(out.LengthMs / 1000.0, m.length, 4 * frame) << what;
    EXPECT_EQ(out.LengthSec, out.LengthMs / 1000) << what;
    EXPECT_NEAR(out.BitrateExact, m.bitrate, std::max(1.0, m.bitrate * 0.03)) << what;
    EXPECT_EQ(out.BitrateKbps, uint32_t(out.BitrateExact)) << what;
    if (!c.vbr) {
      EXPECT_EQ(out.LengthMs, uint32_t(out.FileSize * 8 / out.BitrateExact)) << what;
    }
  }
}

// lame's own ID3v2 tag at the start and ID3v1 tag at the end, their facts
// taken by the tag readers: the analysis gives what the untagged file gives.
TEST(MpegAnalysis, LameFileWithTags) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_TOOL("sox");
  test::TempDir dir;
  const auto wav = MakeWav(dir, 44100, 2);
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"-b", "128"}, std::vector<std::string>{"-V", "3"}}) {
    const auto plain = Lame(dir, wav, args, "plain.mp3");
    auto tagArgs = args;
    tagArgs.insert(tagArgs.end(),
                   {"--add-id3v2", "--pad-id3v2-size", "3000", "--tt", "Title", "--ta", "Artist"});
    const auto tagged = Lame(dir, wav, tagArgs, "tagged.mp3");

    RealFileSystem fs;
    const WideString name = FromNativePath(tagged.string());
    CID3v2 v2;
    ASSERT_EQ(v2.Read(fs, name), 0);
    CID3 v1;
    ASSERT_EQ(v1.Read(fs, name), 0);
    ASSERT_EQ(v2.TagPosition, 0);
    ASSERT_GT(v2.TotalSize, 3000);
    TTagFacts tags;
    tags.id3v2AtStart = true;
    tags.id3v2Size = v2.TotalSize;
    tags.hasID3v1 = true;
    tags.totalTagSize = v2.TotalSize + 128;

    TAudioFmtResult a, b;
    std::unique_ptr<CLameTag> la, lb;
    AnalyseMpeg(fs, FromNativePath(plain.string()), {}, a, la);
    AnalyseMpeg(fs, name, tags, b, lb);
    ASSERT_TRUE(b.Recognised) << args[0];
    EXPECT_EQ(b.IsVBR, a.IsVBR) << args[0];
    EXPECT_EQ(b.FrameCount, a.FrameCount) << args[0];
    EXPECT_DOUBLE_EQ(b.BitrateExact, a.BitrateExact) << args[0];
    EXPECT_EQ(b.LengthMs, a.LengthMs) << args[0];
    EXPECT_EQ(b.Encoder, "Lame 3.100") << args[0];
    EXPECT_EQ(bool(la), bool(lb)) << args[0];
  }
}

} // namespace
} // namespace tunbrix
