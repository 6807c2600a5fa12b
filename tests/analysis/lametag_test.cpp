// CLameTag: every field from a hand-built tag, the name tables, the version
// numbers, and the tags lame writes decoded as mutagen decodes them.
#include <gtest/gtest.h>

#include <map>

#include "analysis/lametag.h"
#include "analysis/mpegaudio.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

// 33 bytes from the last quality byte on: q[0] = quality low byte,
// q[1..9] = version text, q[10] = revision/method, and so on.
std::vector<uint8_t> TagBytes() {
  std::vector<uint8_t> q(CLameTag::kDecodedBytes, 0);
  q[0] = 0x4E;
  const std::string version = "LAME3.100";
  std::copy(version.begin(), version.end(), q.begin() + 1);
  q[10] = 0x15;              // revision 1, method 5
  q[11] = 0xAA;              // lowpass 17000 Hz
  q[20] = 0x10 | 0x40 | 0x4; // nspsytune, no-gap continued, ATH type 4
  q[21] = 0x80;              // 128 kbit/s
  q[22] = 0x24;              // delay 576, padding 1340
  q[23] = 0x05;
  q[24] = 0x3C;
  q[25] = 0x40 | 0x20 | (3 << 2) | 2; // 44.1 kHz, unwise, joint, noise shaping 2
  q[26] = 0x83;                       // -4.5 dB
  q[27] = (2 << 3) | 0x03;            // DPL2, preset high bits 3
  q[28] = 0xE9;                       // preset 3 * 256 + 233 = 1001
  q[29] = 0x00;
  q[30] = 0x01;
  q[31] = 0x02;
  q[32] = 0x03;
  return q;
}

TEST(LameTag, DecodesEveryField) {
  CLameTag tag;
  const auto q = TagBytes();
  ASSERT_TRUE(tag.Decode(q));
  EXPECT_TRUE(tag.Valid);
  EXPECT_EQ(tag.VbrQuality, 0x4E);
  EXPECT_EQ(tag.VersionString, "LAME3.100");
  EXPECT_EQ(tag.TagRevision, 1);
  EXPECT_EQ(tag.VbrMethod, 5);
  EXPECT_EQ(tag.VbrMethodName, "vbr-new / vbr-mt");
  EXPECT_FALSE(tag.IsCBR);
  EXPECT_EQ(tag.Lowpass, 17000u);
  EXPECT_EQ(tag.AthType, 4);
  EXPECT_TRUE(tag.NsPsyTune);
  EXPECT_FALSE(tag.NsSafeJoint);
  EXPECT_TRUE(tag.NoGapContinued);
  EXPECT_FALSE(tag.NoGapContinuation);
  EXPECT_EQ(tag.MinimumBitrate, 128);
  EXPECT_EQ(tag.EncoderDelay, 576);
  EXPECT_EQ(tag.PaddedSamples, 1340);
  EXPECT_EQ(tag.NoiseShaping, 2);
  EXPECT_EQ(tag.StereoMode, 3);
  EXPECT_EQ(tag.StereoModeName, "Joint");
  EXPECT_TRUE(tag.UnwiseSettings);
  EXPECT_EQ(tag.SourceFrequency, 1);
  EXPECT_EQ(tag.SourceFrequencyName, "44.1kHz");
  EXPECT_FLOAT_EQ(tag.Mp3Gain, -4.5f);
  EXPECT_EQ(tag.Surround, 2);
  EXPECT_EQ(tag.SurroundName, "DPL2 encoding");
  EXPECT_EQ(tag.Preset, 1001);
  EXPECT_EQ(tag.PresetName, "Standard");
  EXPECT_EQ(tag.MusicLength, 0x00010203u);

  // The other flags and a positive gain.
  auto r = q;
  r[10] = 0x01;
  r[20] = 0x20 | 0x80;
  r[26] = 0x03;
  ASSERT_TRUE(tag.Decode(r));
  EXPECT_TRUE(tag.IsCBR);
  EXPECT_EQ(tag.VbrMethodName, "Constant Bitrate");
  EXPECT_EQ(tag.AthType, 0);
  EXPECT_FALSE(tag.NsPsyTune);
  EXPECT_TRUE(tag.NsSafeJoint);
  EXPECT_FALSE(tag.NoGapContinued);
  EXPECT_TRUE(tag.NoGapContinuation);
  EXPECT_FLOAT_EQ(tag.Mp3Gain, 4.5f);
}

TEST(LameTag, ShortInputLeavesTheTagCleared) {
  CLameTag tag;
  ASSERT_TRUE(tag.Decode(TagBytes()));
  const auto q = TagBytes();
  EXPECT_FALSE(tag.Decode(std::span(q.data(), q.size() - 1)));
  EXPECT_FALSE(tag.Valid);
  EXPECT_EQ(tag.VersionString, "");
  EXPECT_EQ(tag.Preset, 0);
  tag.Decode(q);
  tag.Clear();
  EXPECT_FALSE(tag.Valid);
  EXPECT_EQ(tag.PresetName, "");
  EXPECT_EQ(tag.MusicLength, 0u);
}

TEST(LameTag, MethodByte) {
  struct Case {
    uint8_t byte;
    int revision, method;
    const char *name;
    bool cbr;
  } cases[] = {
      {0x03, 0, 3, "vbr-old / vbr-rh", false},
      {0x01, 0, 1, "Constant Bitrate", true},
      {0x02, 0, 2, "ABR", false},
      {0x04, 0, 4, "vbr-mtrh", false},
      {0x06, 0, 6, "full VBR method 4", false},
      {0x07, 0, 7, "7", false},
      {0x18, 1, 8, "constant bitrate 2 pass", false},
      {0x09, 0, 9, "abr 2 pass", false},
      {0x0A, 0, 10, "10", false},
      {0xFF, 15, 15, "15", false},
      {0x00, 0, 0, "0", false},
  };
  for (const auto &c : cases) {
    auto q = TagBytes();
    q[10] = c.byte;
    CLameTag tag;
    tag.Decode(q);
    EXPECT_EQ(tag.TagRevision, c.revision) << int(c.byte);
    EXPECT_EQ(tag.VbrMethod, c.method) << int(c.byte);
    EXPECT_EQ(tag.VbrMethodName, c.name) << int(c.byte);
    EXPECT_EQ(tag.IsCBR, c.cbr) << int(c.byte);
  }
}

TEST(LameTag, NameTables) {
  const std::pair<unsigned, const char *> presets[] = {
      {1001, "Standard"},       {128, "ABR 128 kbit/s"}, {8, "ABR 8 kbit/s"},
      {320, "ABR 320 kbit/s"},  {7, "Unknown (7)"},      {321, "Unknown (321)"},
      {0, "Unknown (0)"},       {1000, "R3mix"},         {1002, "Extreme"},
      {1003, "Insane"},         {1004, "Fast Standard"}, {1005, "Fast Extreme"},
      {1006, "Medium"},         {1007, "Fast Medium"},   {1008, "Unknown (1008)"},
      {2047, "Unknown (2047)"},
  };
  for (const auto &[preset, name] : presets)
    EXPECT_EQ(LamePresetName(preset), name) << preset;
  const char *stereo[] = {"Mono",  "Stereo", "Dual",      "Joint",
                          "Force", "Auto",   "Intensity", "Undefined"};
  for (unsigned i = 0; i < 8; ++i)
    EXPECT_EQ(LameStereoModeName(i), stereo[i]);
  const char *surround[] = {"no surround info",
                            "DPL encoding",
                            "DPL2 encoding",
                            "Ambisonic encoding",
                            "4",
                            "5",
                            "6",
                            "7"};
  for (unsigned i = 0; i < 8; ++i)
    EXPECT_EQ(LameSurroundName(i), surround[i]);
  const char *frequency[] = {"32kHz or smaller", "44.1kHz", "48kHz", "higher than 48kHz"};
  for (unsigned i = 0; i < 4; ++i)
    EXPECT_EQ(LameSourceFrequencyName(i), frequency[i]);
}

TEST(LameTag, VersionNumbers) {
  struct Case {
    const char *text;
    bool parsed;
    unsigned major, minor;
  } cases[] = {
      {"3.90", true, 3, 90},  {"3.100", true, 3, 100}, {"3.99r", true, 3, 99},
      {"3.90.", true, 3, 90}, {"3.98.4", true, 3, 98}, {"4.0  ", true, 4, 0},
      {"3.", false, 0, 0},    {".90", false, 0, 0},    {"x.yy", false, 0, 0},
      {"", false, 0, 0},      {"3 90", false, 0, 0},
  };
  for (const auto &c : cases) {
    const auto v = ParseLameVersion(c.text);
    ASSERT_EQ(v.has_value(), c.parsed) << c.text;
    if (!v) continue;
    EXPECT_EQ(v->Major, c.major) << c.text;
    EXPECT_EQ(v->Minor, c.minor) << c.text;
  }
  EXPECT_GT(*ParseLameVersion("3.100"), (TLameVersion{3, 90}));
  EXPECT_GT(*ParseLameVersion("3.100"), *ParseLameVersion("3.99r"));
  EXPECT_LT(*ParseLameVersion("3.89"), (TLameVersion{3, 90}));
  EXPECT_EQ(*ParseLameVersion("3.90."), (TLameVersion{3, 90}));
}

// mutagen's decoding of the LAME tag in the first frame of a file that
// starts with its first frame, as name=value lines.
constexpr const char *kMutagenLame = R"(
import sys
from mutagen.mp3 import MPEGFrame
from mutagen.mp3._util import XingHeader
f = open(sys.argv[1], 'rb')
frame = MPEGFrame(f)
f.seek(XingHeader.get_offset(frame))
x = XingHeader(f)
l = x.lame_header
print('vbr_scale=%d' % x.vbr_scale)
print('version=%s' % x.lame_version_desc)
for k in ['vbr_method', 'lowpass_filter', 'encoding_flags', 'ath_type', 'bitrate',
          'encoder_delay_start', 'encoder_padding_end', 'source_sample_frequency_enum',
          'unwise_setting_used', 'stereo_mode', 'noise_shaping', 'mp3_gain',
          'surround_info', 'preset_used', 'music_length']:
    print('%s=%d' % (k, getattr(l, k)))
)";

std::map<std::string, std::string> MutagenLame(const std::filesystem::path &file) {
  const auto r = test::RunCommand({"/usr/bin/python3", "-c", kMutagenLame, file.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return test::KeyValueLines(r.out);
}

TEST(LameTag, AgreesWithMutagenOnLameFiles) {
  TB_REQUIRE_TOOL("lame");
  TB_REQUIRE_TOOL("sox");
  TB_REQUIRE_MUTAGEN();
  test::TempDir dir;
  const auto wav = dir.Path() / "in.wav";
  ASSERT_EQ(test::RunCommand({"sox", "-R", "-n", "-r", "44100", "-c", "2", "-b", "16", wav.string(),
                              "synth", "2", "pinknoise", "vol", "0.3"})
                .exitCode,
            0);
  const std::vector<std::vector<std::string>> settings = {
      {"-b", "128"},
      {"-V", "2"},
      {"--abr", "112"},
      {"--preset", "standard"},
      {"-V", "5", "-m", "m", "--lowpass", "12"},
      {"-b", "64", "--resample", "22.05"},
  };
  int n = 0;
  for (const auto &args : settings) {
    const auto mp3 = dir.Path() / ("f" + std::to_string(n++) + ".mp3");
    std::vector<std::string> argv = {"lame", "--silent"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(wav.string());
    argv.push_back(mp3.string());
    ASSERT_EQ(test::RunCommand(argv).exitCode, 0);

    RealFileSystem fs;
    TAudioFmtResult out;
    std::unique_ptr<CLameTag> tag;
    AnalyseMpeg(fs, FromNativePath(mp3.string()), {}, out, tag);
    ASSERT_TRUE(tag) << mp3;
    auto m = MutagenLame(mp3);
    const std::string what = mp3.string() + " " + args[0] + " " + args[1];
    EXPECT_TRUE(tag->Valid);
    // mutagen describes the version as "3.100.0+".
    EXPECT_EQ(tag->VersionString, "LAME" + m["version"].substr(0, 5)) << what;
    EXPECT_EQ(std::to_string(tag->VbrQuality), m["vbr_scale"]) << what;
    EXPECT_EQ(std::to_string(tag->VbrMethod), m["vbr_method"]) << what;
    EXPECT_EQ(std::to_string(tag->Lowpass), m["lowpass_filter"]) << what;
    const int flags = tag->NsPsyTune | tag->NsSafeJoint << 1 | tag->NoGapContinued << 2 |
                      tag->NoGapContinuation << 3;
    EXPECT_EQ(std::to_string(flags), m["encoding_flags"]) << what;
    EXPECT_EQ(std::to_string(tag->AthType), m["ath_type"]) << what;
    EXPECT_EQ(std::to_string(tag->MinimumBitrate), m["bitrate"]) << what;
    EXPECT_EQ(std::to_string(tag->EncoderDelay), m["encoder_delay_start"]) << what;
    EXPECT_EQ(std::to_string(tag->PaddedSamples), m["encoder_padding_end"]) << what;
    EXPECT_EQ(std::to_string(tag->SourceFrequency), m["source_sample_frequency_enum"]) << what;
    EXPECT_EQ(std::to_string(int(tag->UnwiseSettings)), m["unwise_setting_used"]) << what;
    EXPECT_EQ(std::to_string(tag->StereoMode), m["stereo_mode"]) << what;
    EXPECT_EQ(std::to_string(tag->NoiseShaping), m["noise_shaping"]) << what;
    EXPECT_EQ(std::to_string(int(tag->Mp3Gain / 1.5f)), m["mp3_gain"]) << what;
    EXPECT_EQ(std::to_string(tag->Surround), m["surround_info"]) << what;
    EXPECT_EQ(std::to_string(tag->Preset), m["preset_used"]) << what;
    EXPECT_EQ(std::to_string(tag->MusicLength), m["music_length"]) << what;
    EXPECT_EQ(tag->MusicLength, std::filesystem::file_size(mp3)) << what;
  }
}

} // namespace
} // namespace tunbrix
