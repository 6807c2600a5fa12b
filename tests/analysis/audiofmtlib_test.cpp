#include <gtest/gtest.h>

#include <cmath>

#include "analysis/audiofmtlib.h"
#include "support/test_support.h"
#include "tags/tagcommon.h"

namespace tunbrix {
namespace {

// A second of stereo noise at 44.1 kHz, 16 bits, made by sox.
std::string MakeWav(const test::TempDir &dir) {
  const std::string wav = (dir.Path() / "in.wav").string();
  const auto r = test::RunCommand({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                                   "1", "whitenoise", "vol", "0.3"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return wav;
}

void Tool(const std::vector<std::string> &argv) {
  const auto r = test::RunCommand(argv);
  ASSERT_EQ(r.exitCode, 0) << argv[0] << ": " << r.err;
}

// Every format goes to its own reader by the extension, and the tags and
// stream values meet in one object.
TEST(CAudioFmt, DispatchesByExtensionAndJoinsTagsAndStream) {
  for (const char *tool : {"sox", "lame", "flac", "oggenc", "wavpack", "metaflac"})
    TB_REQUIRE_TOOL(tool);
  test::TempDir dir;
  const std::string wav = MakeWav(dir);
  const auto file = [&](const char *name) { return (dir.Path() / name).string(); };
  Tool({"lame", "--silent", "-b", "128", "--id3v2-only", "--ta", "Sigur Rós", wav, file("a.mp3")});
  Tool({"flac", "--silent", "-T", "ARTIST=Flacky", "-o", file("a.flac"), wav});
  Tool({"metaflac", "--set-tag=REPLAYGAIN_TRACK_GAIN=-3.21 dB", file("a.flac")});
  Tool({"oggenc", "--quiet", "-c", "TITLE=Oggy", "-o", file("a.ogg"), wav});
  Tool({"wavpack", "-q", "-y", wav, "-o", file("a.wv")});
  test::WriteFileBytes(dir.Path() / "a.xyz", "not audio at all");

  const struct {
    const char *name;
    uint8_t type;
    bool recognised;
    const char *item, *value;
  } cases[] = {
      {"a.mp3", kStreamMpeg, true, "Artist", "Sigur Rós"},
      {"a.flac", kStreamFlac, true, "ARTIST", "Flacky"},
      {"a.ogg", kStreamOggVorbis, true, "TITLE", "Oggy"},
      {"a.wv", kStreamWavPack, true, nullptr, nullptr},
      {"in.wav", kStreamWave, true, nullptr, nullptr},
      {"a.xyz", kStreamNone, false, nullptr, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const CAudioFmt fmt(test::W(file(c.name)));
    EXPECT_EQ(fmt.StreamType, c.type);
    EXPECT_EQ(fmt.Recognised, c.recognised);
    EXPECT_EQ(fmt.FileSize, static_cast<int64_t>(std::filesystem::file_size(file(c.name))));
    ASSERT_NE(fmt.Tag, nullptr);
    if (c.item) {
      EXPECT_EQ(fmt.Tag->GetItem(c.item), test::W(c.value));
    }
    if (!c.recognised) continue;
    EXPECT_EQ(fmt.SampleRate, 44100u);
    EXPECT_EQ(fmt.Channels, 2u);
    // MP3 length comes from the audio size, which holds the encoder's delay
    // and padding frames: up to about 70 ms more than the source.
    EXPECT_NEAR(fmt.LengthMs, 1000, 100);
    // Decoded size: length × rate × bytes per sample × channels.
    const int bytes = fmt.BitsPerSample ? fmt.BitsPerSample / 8 : 2;
    EXPECT_EQ(fmt.UncompressedSize,
              static_cast<int64_t>(std::nearbyint(fmt.LengthMs / 1000.0 * 44100 * bytes * 2)));
  }
  const CAudioFmt mp3(test::W(file("a.mp3")));
  ASSERT_NE(mp3.LameTag, nullptr); // lame writes its tag into the Info frame
  EXPECT_EQ(mp3.BitrateKbps, 128u);
  EXPECT_EQ(mp3.Encoder.rfind("Lame 3.", 0), 0u) << mp3.Encoder;
  EXPECT_TRUE(mp3.Tag->HasID3v2);

  const CAudioFmt flac(test::W(file("a.flac")));
  EXPECT_TRUE(flac.Tag->HasVorbis);
  EXPECT_TRUE(flac.HasGain);
  EXPECT_EQ(flac.TrackGainText, "-3.21 dB");
  EXPECT_EQ(flac.LameTag, nullptr);

  const CAudioFmt none(u"");
  EXPECT_FALSE(none.Recognised);
  EXPECT_EQ(none.FileSize, 0);
}

// The readers of tags and stream share one open file: a whole analysis is
// one open and a few reads of the head and the tail, never the whole file.
TEST(CAudioFmt, OpensTheFileOnceAndReadsOnlyHeadAndTail) {
  for (const char *tool : {"sox", "lame", "flac", "oggenc"})
    TB_REQUIRE_TOOL(tool);
  test::TempDir dir;
  const std::string wav = (dir.Path() / "long.wav").string();
  Tool({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "20", "whitenoise", "vol",
        "0.3"});
  const auto file = [&](const char *name) { return (dir.Path() / name).string(); };
  Tool({"lame", "--silent", "-b", "128", "--tt", "Title", wav, file("a.mp3")});
  Tool({"flac", "--silent", "-T", "ARTIST=Flacky", "-o", file("a.flac"), wav});
  Tool({"oggenc", "--quiet", "-c", "TITLE=Oggy", "-o", file("a.ogg"), wav});
  RealFileSystem real;
  for (const char *name : {"a.mp3", "a.flac", "a.ogg", "long.wav"}) {
    SCOPED_TRACE(name);
    FaultInjector counter;
    FaultInjectingFileSystem counting(real, counter);
    const CAudioFmt fmt(counting, test::W(file(name)));
    EXPECT_TRUE(fmt.Recognised);
    EXPECT_EQ(fmt.LengthSec, 20u);
    EXPECT_LE(counter.stats.calls, 2 + 4); // open, size, reads
    EXPECT_LT(counter.stats.bytesRead, 64 * 1024);
    EXPECT_LT(counter.stats.bytesRead * 10, fmt.FileSize);
  }
}

// Tags and stream read through the shared file: a failure of any single
// call, or a file cut anywhere, ends the whole analysis quietly with what was
// read; without a failure the result is the full one.
TEST(CAudioFmt, EveryFailingCallAndEveryCutEndsQuietly) {
  for (const char *tool : {"sox", "lame", "flac", "wavpack"})
    TB_REQUIRE_TOOL(tool);
  test::TempDir dir;
  const std::string wav = MakeWav(dir);
  const auto file = [&](const char *name) { return (dir.Path() / name).string(); };
  Tool({"lame", "--silent", "-b", "96", "--add-id3v2", "--tt", "Title", "--ta", "Artist", wav,
        file("a.mp3")});
  Tool({"flac", "--silent", "-T", "ARTIST=Flacky", "-o", file("a.flac"), wav});
  Tool({"wavpack", "-q", "-y", "-w", "Artist=Wavy", wav, "-o", file("a.wv")});
  for (const char *name : {"a.mp3", "a.flac", "a.wv"}) {
    SCOPED_TRACE(name);
    const std::string bytes = test::ReadFileBytes(file(name));
    const Bytes whole(bytes.begin(), bytes.end());
    const WideString path = u"/" + test::W(name);
    const auto analyse = [&](IFileSystem &fs) { return std::make_unique<CAudioFmt>(fs, path); };
    MemoryFileSystem mem;
    mem.SetFile(path, whole);
    const auto full = analyse(mem);
    ASSERT_TRUE(full->Recognised);
    ASSERT_TRUE(full->Tag->HasTag);
    for (int failAt = 1;; ++failAt) {
      FaultInjector faults;
      faults.FailAt(failAt);
      FaultInjectingFileSystem failing(mem, faults);
      const auto r = analyse(failing);
      if (!faults.Failed()) {
        EXPECT_EQ(r->LengthMs, full->LengthMs);
        EXPECT_EQ(r->BitrateKbps, full->BitrateKbps);
        EXPECT_EQ(r->Tag->GetItem("Artist"), full->Tag->GetItem("Artist"));
        break;
      }
      if (r->Recognised) {
        EXPECT_EQ(r->StreamType, full->StreamType) << "call " << failAt;
      }
    }
    for (size_t length = 0; length < whole.size(); length += length < 300 ? 7 : 1999) {
      MemoryFileSystem cut;
      cut.SetFile(path, Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
      const auto r = analyse(cut);
      EXPECT_EQ(r->FileSize, static_cast<int64_t>(length));
      if (r->Recognised) {
        EXPECT_EQ(r->StreamType, full->StreamType) << length;
      }
    }
  }
}

TEST(CAudioFmt, InfoCommandShowsEveryResultAndTheLameTag) {
  for (const char *tool : {"sox", "lame", "flac"})
    TB_REQUIRE_TOOL(tool);
  test::TempDir dir;
  const std::string wav = MakeWav(dir);
  const std::string mp3 = (dir.Path() / "a.mp3").string(), flac = (dir.Path() / "a.flac").string();
  Tool({"lame", "--silent", "-V", "4", wav, mp3});
  Tool({"flac", "--silent", "-o", flac, wav});
  const auto info = test::RunCommand({test::Executable().string(), "info", "--json", mp3, flac});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  const auto seen = test::RunCommand(
      {"/usr/bin/python3", "-c",
       "import json,sys; m, f = json.load(sys.stdin)\n"
       "keys = ['FileName','StreamType','Recognised','IsVBR','BitrateKbps','BitrateExact',"
       "'SampleRate','Channels','LengthMs','FileSize','Encoder','LameTag','Tag']\n"
       "print(all(k in m and k in f for k in keys))\n"
       "print(m['StreamType'], m['IsVBR'], m['LameTag']['VbrMethodName'] != '', f['StreamType'],"
       " f['LameTag'])"},
      info.out);
  ASSERT_EQ(seen.exitCode, 0) << seen.err;
  EXPECT_EQ(seen.out, "True\n1 True True 3 None\n");
}

} // namespace
} // namespace tunbrix
